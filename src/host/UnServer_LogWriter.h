#pragma once
// The writer of the log's lines to standard output and (in debug mode) to debug.log, on a thread
// of its own, so that no thread that logs waits for a slow reader of the output (a pager that is
// not paged, a journal that pushes back) or for a slow disk.
//
// Lines wait in a queue of at most kLogQueueBytes. A line that does not fit is dropped, and the
// next line written is preceded by one that says how many were lost.
#include <cstddef>
#include <memory>
#include <string>

namespace merivo {

constexpr std::size_t kLogQueueBytes = 1 << 20;
// How long the end of the writer waits for the lines still queued.
constexpr int kLogDrainMs = 1000;

class LogWriter {
  public:
    // Writes to the descriptor `console` (standard output unless a test says otherwise).
    explicit LogWriter(int console);
    // Writes what is queued for up to kLogDrainMs, then leaves the rest.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Queues a log line ("hh:mm:ss message", Windows-1251): standard output gets it as UTF-8
    // with a line feed, and the file debugLog, unless empty, gets it as it is with "\r\n".
    // Never waits for the writing.
    void add(std::string line, std::string debugLog);
    // The same for a line that goes to the file debugLog alone.
    void addToDebugLog(std::string line, std::string debugLog);
    // Waits until every line queued so far is written, up to ms milliseconds; false when some
    // still wait.
    bool drain(int ms);

  private:
    struct State;
    void queue(std::string line, std::string debugLog, bool toConsole);
    static void WriteQueued(State& state);
    static void Run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
};

}  // namespace merivo
