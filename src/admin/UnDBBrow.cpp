#include "admin/UnDBBrow.h"

namespace merivo {

void ShowDBStructureDialog(QWidget*, const std::string&, std::int32_t) {}

}  // namespace merivo
