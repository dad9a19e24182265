#pragma once
// The two process-wide locks. A thread that needs both takes the thread-table lock first.
#include <mutex>

namespace merivo {

// Guards the users' thread tables, the send hand-off slots, the pending outgoing connections
// and the locked opening of inbox files.
std::recursive_mutex& ThreadTableLock();
// Guards the log (window and debug.log), the window references cleared at close and the online
// flag at disconnect.
std::recursive_mutex& LogLock();

}  // namespace merivo
