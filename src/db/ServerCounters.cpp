#include "db/ServerCounters.h"

#include <algorithm>
#include <chrono>

#include "db/MessageCatalog.h"
#include "platform/Clock.h"
#include "platform/Log.h"

namespace merivo {

namespace {

double UnixSecondsNow() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count();
}

}  // namespace

ServerCounters::ServerCounters()
    : startTime(SystemClock().now()), startUnixSeconds(UnixSecondsNow()) {
    SetLogFailureTest(&ReportsFailure);
}

ServerCounters Counters;

void DurationHistogram::add(std::uint64_t nanoseconds) {
    const double seconds = static_cast<double>(nanoseconds) / 1e9;
    const auto bound =
        std::lower_bound(kRequestSecondsBounds.begin(), kRequestSecondsBounds.end(), seconds);
    buckets[static_cast<std::size_t>(bound - kRequestSecondsBounds.begin())] += 1;
    count += 1;
    totalNanoseconds += nanoseconds;
}

void CountPackage(std::int32_t firstWord, std::uint64_t nanoseconds) {
    if (firstWord >= 0 && static_cast<std::size_t>(firstWord) < kCountedCodes) {
        Counters.packagesByCode[static_cast<std::size_t>(firstWord)] += 1;
    } else {
        Counters.packagesOtherCode += 1;
    }
    Counters.packageTimes.add(nanoseconds);
}

void CountBytesSent(long bytes) {
    if (bytes > 0) {
        Counters.bytesSent.fetch_add(static_cast<std::uint64_t>(bytes), std::memory_order_relaxed);
    }
}

void ResetCounters() {
    Counters.packagesByCode.fill(0);
    Counters.packagesOtherCode = 0;
    Counters.packageTimes = {};
    Counters.refusals = 0;
    Counters.mailStored = 0;
    Counters.directForwarded = 0;
    Counters.bytesSent = 0;
    Counters.startTime = SystemClock().now();
    Counters.startUnixSeconds = UnixSecondsNow();
}

}  // namespace merivo
