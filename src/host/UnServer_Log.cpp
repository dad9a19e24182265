#include "host/UnServer_Log.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <cstdio>
#include <utility>

#include "db/UnDBType.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "platform/Env.h"
#include "platform/Locks.h"

namespace merivo {

namespace {

std::string TimeNow() {
    return FormatTimeOfDay(CurrentClock().now());
}

void DeleteLastLine(QTextDocument& document) {
    QTextCursor cursor(&document);
    cursor.movePosition(QTextCursor::End);
    cursor.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.deletePreviousChar();
}

// Standard output gets the line as UTF-8 with plain line feeds, flushed at once.
void PrintLine(const std::string& line) {
    const std::string text = LogText(line).toStdString() + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

QString LogText(const std::string& cp1251) {
    QString text = QString::fromStdString(Cp1251ToUtf8(cp1251));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

void AddMemoLine(QPlainTextEdit& memo, const QString& line) {
    QTextDocument& document = *memo.document();
    if (document.blockCount() > kMemoMaxLines) {
        memo.setUpdatesEnabled(false);
        for (int i = 0; i < kMemoTrimLines; ++i) DeleteLastLine(document);
        memo.setUpdatesEnabled(true);
    }
    QTextCursor cursor(&document);
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(document.isEmpty() ? line : line + QLatin1Char('\n'));
}

void AppendDebugFile(const std::string& entry) {
    try {
        std::unique_ptr<File> file =
            CurrentEnv().openFile(JoinPath(Config.appDir, "debug.log"), OpenMode::ReadWrite);
        file->seek(file->size());
        file->write(entry.data(), entry.size());
    } catch (...) {
        // The file is missing or held elsewhere: this entry is lost, as designed.
    }
}

namespace {
WindowLogSink* DebugLogOwner GUARDED_BY(LogMutex) = nullptr;
}  // namespace

WindowLogSink::WindowLogSink(QPlainTextEdit& memo) : memo_(memo) {
    MutexLock lock(LogLock());
    DebugLogOwner = this;
}

// Its writer goes after this: no line is handed to it from here on.
WindowLogSink::~WindowLogSink() {
    MutexLock lock(LogLock());
    if (DebugLogOwner == this) DebugLogOwner = nullptr;
}

void StdoutLogSink::append(const std::string& message) {
    PrintLine(TimeNow() + " " + message);
}

namespace {
ToolkitMessageRoute* ActiveRoute GUARDED_BY(LogMutex) = nullptr;
}  // namespace

ToolkitMessageRoute::ToolkitMessageRoute() {
    MutexLock lock(LogLock());
    ActiveRoute = this;
    previous_ = qInstallMessageHandler(&ToolkitMessageRoute::Handle);
}

ToolkitMessageRoute::~ToolkitMessageRoute() {
    MutexLock lock(LogLock());
    qInstallMessageHandler(previous_);
    ActiveRoute = nullptr;
}

void ToolkitMessageRoute::settingsRead() {
    MutexLock lock(LogLock());
    settingsRead_ = true;
    for (const std::string& line : early_) route(line);
    early_.clear();
}

void ToolkitMessageRoute::Handle(QtMsgType type, const QMessageLogContext& context,
                                 const QString& text) {
    MutexLock lock(LogLock());
    if (!ActiveRoute) return;
    ToolkitMessageRoute& active = *ActiveRoute;
    if (type == QtFatalMsg && active.previous_) active.previous_(type, context, text);
    const std::string line = TimeNow() + " " + Utf8ToCp1251(text.toStdString());
    if (active.settingsRead_) {
        active.route(line);
    } else if (active.early_.size() < kEarlyToolkitMessages) {
        active.early_.push_back(line);
    }
}

void ToolkitMessageRoute::route(const std::string& line) {
    if (!Config.debugMode) return;
    if (DebugLogOwner) {
        DebugLogOwner->appendToDebugLog(line);
    } else {
        AppendDebugFile(line + "\r\n");
    }
}

void WindowLogSink::append(const std::string& message) {
    const std::string line = TimeNow() + " " + message;
    writer_.add(line, Config.debugMode ? JoinPath(Config.appDir, "debug.log") : std::string());
    pending_.push_back(LogText(line));
    mainThread_.run([this] { showPending(); });
}

void WindowLogSink::appendToDebugLog(std::string line) {
    writer_.addToDebugLog(std::move(line), JoinPath(Config.appDir, "debug.log"));
}

void WindowLogSink::drainOutput() {
    writer_.drain(kLogDrainMs);
}

void WindowLogSink::showPending() {
    MutexLock lock(LogLock());
    while (!pending_.empty()) {
        AddMemoLine(memo_, pending_.front());
        pending_.pop_front();
    }
}

}  // namespace merivo
