#pragma once
// The one log of the server, callable from any thread. The host installs the sink that shows the
// lines in the main window and appends them to debug.log; before it does and after the window
// has closed, log lines go nowhere.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Locks.h"

namespace merivo {

class LogSink {
public:
    virtual ~LogSink() = default;
    // Called under the log lock with the message as given (Windows-1251 bytes).
    virtual void append(const std::string& message) REQUIRES(LogMutex) = 0;
};

// Installs the sink under the log lock; nullptr stops all logging.
void SetLogSink(LogSink* sink);

// Messages that always appear.
void WriteLog(const std::string& message);
// Trace messages that appear only in debug mode.
void DebugLog(const std::string& message);
// The last lines the log showed, oldest first, each after its time ("14:05:09 Start!"); at most
// kRecentLogLines are kept.
constexpr std::size_t kRecentLogLines = 50;
std::vector<std::string> RecentLogLines();

// The log counts the messages (not the traces) that report a failure or a warning; the test
// that tells them from the other messages is installed by the layer that knows the texts (until
// then no message counts).
using LogFailureTest = bool (*)(const std::string& message);
void SetLogFailureTest(LogFailureTest test);
std::uint64_t LoggedFailures();

// Inside a catch block: the text of the exception being handled, "unknown exception" for one
// that is no std::exception. For the debug traces of failures that are otherwise ignored.
std::string CaughtText();

}  // namespace merivo
