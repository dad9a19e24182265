// The last lines of the log and the count of failure reports: a fixed ring under the log lock and
// one atomic counter, so that a line costs the logging thread a copy and a comparison or two.
#include <algorithm>
#include <array>
#include <atomic>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Log_Recent.h"

namespace merivo {

namespace {

std::array<std::string, kRecentLogLines> Ring GUARDED_BY(LogMutex);
std::size_t RingNext GUARDED_BY(LogMutex) = 0;   // where the next line goes
std::size_t RingCount GUARDED_BY(LogMutex) = 0;  // lines held

std::atomic<LogFailureTest> FailureTest{nullptr};
std::atomic<std::uint64_t> Failures{0};

}  // namespace

void KeepRecentLine(const std::string& message, bool trace) {
    Ring[RingNext] = FormatTimeOfDay(CurrentClock().now()) + " " + message;
    RingNext = (RingNext + 1) % Ring.size();
    RingCount = std::min(RingCount + 1, Ring.size());
    const LogFailureTest test = FailureTest.load(std::memory_order_relaxed);
    if (!trace && test != nullptr && test(message)) {
        Failures.fetch_add(1, std::memory_order_relaxed);
    }
}

std::vector<std::string> RecentLogLines() {
    MutexLock guard(LogLock());
    std::vector<std::string> lines;
    lines.reserve(RingCount);
    const std::size_t first = (RingNext + Ring.size() - RingCount) % Ring.size();
    for (std::size_t i = 0; i < RingCount; ++i) lines.push_back(Ring[(first + i) % Ring.size()]);
    return lines;
}

void SetLogFailureTest(LogFailureTest test) {
    FailureTest.store(test);
}

std::uint64_t LoggedFailures() {
    return Failures.load(std::memory_order_relaxed);
}

}  // namespace merivo
