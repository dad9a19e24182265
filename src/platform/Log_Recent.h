#pragma once
// Inside the log: what it keeps of the lines it showed, for the administrator's pages.
#include <string>

#include "platform/Locks.h"

namespace merivo {

// Called under the log lock for every line the sink took.
void KeepRecentLine(const std::string& message, bool trace) REQUIRES(LogMutex);

}  // namespace merivo
