#pragma once
// Inside the log: what it keeps of the lines it showed, for the administrator's pages.
#include <string>

namespace merivo {

// Called under the log lock for every line the sink took.
void KeepRecentLine(const std::string& message, bool trace);

}  // namespace merivo
