#pragma once
// The "DB Structure" dialog: rebuilds one group's data file and archive around a chosen date.
#include <cstdint>
#include <string>

class QWidget;

namespace merivo {

// Shows the dialog modally over parent for the data file at dataPath, with the group's archive
// capacity (its archive record count); returns when the dialog is closed.
void ShowDBStructureDialog(QWidget* parent, const std::string& dataPath, std::int32_t archiveCapacity);

}  // namespace merivo
