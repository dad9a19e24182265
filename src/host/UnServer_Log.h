#pragma once
// Where the log goes: the memo of the main window (newest line first), debug.log in debug mode,
// and standard output (oldest line first, UTF-8) so that the log can be followed without a
// display.
#include <QString>
#include <QtMessageHandler>
#include <deque>
#include <string>
#include <vector>

#include "host/UnServer_LogWriter.h"
#include "net/MainThreadQueue.h"
#include "platform/Log.h"

class QPlainTextEdit;

namespace merivo {

constexpr int kMemoMaxLines = 100;
constexpr int kMemoTrimLines = 20;

// Inserts a line at the top of the memo; a memo holding more than 100 lines first loses its last
// 20. Lines are counted as the memo's text blocks.
void AddMemoLine(QPlainTextEdit& memo, const QString& line);

// Appends an entry to AppDir/debug.log, which must exist already; any failure loses the entry.
void AppendDebugFile(const std::string& entry);

// A Windows-1251 log text as a person reads it.
QString LogText(const std::string& cp1251);

// The sink that the main window installs, created on the memo's thread. It may be called on any
// thread; the memo is changed on its own thread only, in the order in which the lines were logged.
// Standard output and debug.log are written by a LogWriter: the caller never waits for them.
// While a window sink lives, its writer is the one that writes debug.log.
class WindowLogSink : public LogSink {
  public:
    explicit WindowLogSink(QPlainTextEdit& memo);
    ~WindowLogSink() override;
    WindowLogSink(const WindowLogSink&) = delete;
    WindowLogSink& operator=(const WindowLogSink&) = delete;
    void append(const std::string& message) REQUIRES(LogMutex) override;
    // Queues a line ("hh:mm:ss text") for debug.log alone, after the lines logged so far.
    void appendToDebugLog(std::string line);
    // Waits (up to kLogDrainMs) until standard output and debug.log have every line so far.
    void drainOutput();

  private:
    void showPending();

    QPlainTextEdit& memo_;
    std::deque<QString> pending_ GUARDED_BY(LogMutex);
    MainThreadQueue mainThread_;
    LogWriter writer_{1};  // standard output
};

// The sink of a run without a window (the settings check): standard output only.
class StdoutLogSink : public LogSink {
  public:
    void append(const std::string& message) override;
};

// The toolkit's own messages (warnings of its platform plugins and the like) are not the
// server's log: they go to debug.log in debug mode and nowhere otherwise, so that the standard
// output of a run without a display holds the log lines alone. While the window's sink lives,
// they go through its writer, which holds debug.log open. A fatal message still reaches
// the toolkit's own handler, so that the reason for the abort is seen. Messages that come before
// the settings are read wait (up to kEarlyToolkitMessages) until settingsRead().
class ToolkitMessageRoute {
  public:
    ToolkitMessageRoute();   // installs the route
    ~ToolkitMessageRoute();  // puts the previous handler back
    ToolkitMessageRoute(const ToolkitMessageRoute&) = delete;
    ToolkitMessageRoute& operator=(const ToolkitMessageRoute&) = delete;

    // DebugMode and AppDir are in force: the waiting messages follow them.
    void settingsRead();

  private:
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text);
    void route(const std::string& line) REQUIRES(LogMutex);

    QtMessageHandler previous_ GUARDED_BY(LogMutex);
    bool settingsRead_ GUARDED_BY(LogMutex) = false;
    std::vector<std::string> early_ GUARDED_BY(LogMutex);  // "hh:mm:ss text"
};

constexpr std::size_t kEarlyToolkitMessages = 100;

}  // namespace merivo
