#include "host/UnServer_LogWriter.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <thread>
#include <utility>

#include "db/MessageCatalog.h"
#include "host/UnServer_Log.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Env.h"
#include "platform/Locks.h"

namespace merivo {

namespace {

struct QueuedLine {
    std::string line;
    std::string debugLog;  // empty: standard output only
    bool toConsole = true;
    long lostBefore = 0;   // lines dropped since the one queued before
};

// Writes all of text, or gives up at the first failure (a reader that went away).
void WriteAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

// debug.log, kept open between lines; reopened when the folder changes.
class DebugFile {
  public:
    void append(const std::string& path, const std::string& entry) {
        try {
            if (!file_ || path != path_) {
                file_.reset();
                path_ = path;
                file_ = CurrentEnv().openFile(path, OpenMode::ReadWrite);
            }
            file_->seek(file_->size());
            file_->write(entry.data(), entry.size());
        } catch (...) {
            file_.reset();  // missing or held elsewhere: the entry is lost, the next one retries
        }
    }

  private:
    std::string path_;
    std::unique_ptr<File> file_;
};

}  // namespace

struct LogWriter::State {
    explicit State(int console) : console(console) {}

    const int console;
    Mutex mutex LEAF_LOCK;
    CondVar changed;
    std::deque<QueuedLine> queue GUARDED_BY(mutex);
    std::size_t queuedBytes GUARDED_BY(mutex) = 0;
    long lost GUARDED_BY(mutex) = 0;  // dropped since the last line queued
    // A line taken from the queue is being written.
    bool writing GUARDED_BY(mutex) = false;
    bool ending GUARDED_BY(mutex) = false;
    bool ended GUARDED_BY(mutex) = false;
};

LogWriter::LogWriter(int console) : state_(std::make_shared<State>(console)) {
    std::thread([state = state_] { Run(state); }).detach();
}

LogWriter::~LogWriter() {
    State& state = *state_;
    const auto deadline = CondVar::Clock::now() + std::chrono::milliseconds(kLogDrainMs);
    MutexLock lock(state.mutex);
    state.ending = true;
    state.changed.notifyAll();
    // A writer still blocked on its output keeps its state alive and ends with the process.
    while (!state.ended && state.changed.waitUntil(state.mutex, deadline)) {
    }
}

void LogWriter::add(std::string line, std::string debugLog) {
    queue(std::move(line), std::move(debugLog), true);
}

void LogWriter::addToDebugLog(std::string line, std::string debugLog) {
    queue(std::move(line), std::move(debugLog), false);
}

void LogWriter::queue(std::string line, std::string debugLog, bool toConsole) {
    MutexLock lock(state_->mutex);
    if (state_->queuedBytes + line.size() > kLogQueueBytes) {
        ++state_->lost;
        return;
    }
    state_->queuedBytes += line.size();
    state_->queue.push_back(
        {std::move(line), std::move(debugLog), toConsole, std::exchange(state_->lost, 0)});
    state_->changed.notifyAll();
}

bool LogWriter::drain(int ms) {
    State& state = *state_;
    const auto deadline = CondVar::Clock::now() + std::chrono::milliseconds(ms);
    MutexLock lock(state.mutex);
    while ((!state.queue.empty() || state.writing) &&
           state.changed.waitUntil(state.mutex, deadline)) {
    }
    return state.queue.empty() && !state.writing;
}

// Writes the queued lines until the writer ends and none is left.
void LogWriter::WriteQueued(State& state) {
    DebugFile debugFile;
    MutexLock lock(state.mutex);
    for (;;) {
        while (state.queue.empty() && !state.ending) state.changed.wait(state.mutex);
        if (state.queue.empty()) return;
        QueuedLine next = std::move(state.queue.front());
        state.queue.pop_front();
        state.queuedBytes -= next.line.size();
        state.writing = true;
        state.mutex.unlock();
        if (next.lostBefore > 0) {
            const std::string notice = FormatTimeOfDay(CurrentClock().now()) + " " +
                                       Txt(txtLogLinesLost) + std::to_string(next.lostBefore);
            WriteAll(state.console, LogText(notice).toStdString() + "\n");
            if (!next.debugLog.empty()) debugFile.append(next.debugLog, notice + "\r\n");
        }
        if (next.toConsole) WriteAll(state.console, LogText(next.line).toStdString() + "\n");
        if (!next.debugLog.empty()) debugFile.append(next.debugLog, next.line + "\r\n");
        state.mutex.lock();
        state.writing = false;
        state.changed.notifyAll();
    }
}

// debug.log is closed before the end is announced: the process may end right after it.
void LogWriter::Run(const std::shared_ptr<State>& state) {
    WriteQueued(*state);
    MutexLock lock(state->mutex);
    state->ended = true;
    state->changed.notifyAll();
}

}  // namespace merivo
