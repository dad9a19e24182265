#pragma once
// The one log of the server, callable from any thread. The host installs the sink that shows the
// lines in the main window and appends them to debug.log; before it does and after the window
// has closed, log lines go nowhere.
#include <string>

namespace merivo {

class LogSink {
public:
    virtual ~LogSink() = default;
    // Called under the log lock with the message as given (Windows-1251 bytes).
    virtual void append(const std::string& message) = 0;
};

// Installs the sink under the log lock; nullptr stops all logging.
void SetLogSink(LogSink* sink);

// Messages that always appear.
void WriteLog(const std::string& message);
// Trace messages that appear only in debug mode.
void DebugLog(const std::string& message);
// Inside a catch block: the text of the exception being handled, "unknown exception" for one
// that is no std::exception. For the debug traces of failures that are otherwise ignored.
std::string CaughtText();

}  // namespace merivo
