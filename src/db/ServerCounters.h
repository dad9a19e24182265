#pragma once
// The figures the administrator's pages show, counted where the work is done. Counting must cost
// next to nothing: what the main thread counts is plain, what other threads count is atomic, and
// nothing takes a lock.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace merivo {

// Upper bounds, in seconds, of the buckets of the main thread's time per package.
constexpr std::array<double, 12> kRequestSecondsBounds = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1};

// A histogram of durations; main thread only.
struct DurationHistogram {
    // Durations up to each bound (not cumulative); the last entry counts those above all bounds.
    std::array<std::uint64_t, kRequestSecondsBounds.size() + 1> buckets{};
    std::uint64_t count = 0;
    std::uint64_t totalNanoseconds = 0;

    void add(std::uint64_t nanoseconds);
};

// Packages are counted by their first word; words 0 to kCountedCodes - 1 one by one, the rest
// together.
constexpr std::size_t kCountedCodes = 16385;

struct ServerCounters {
    // Installs the log's test for failure reports (ReportsFailure of the message catalogue).
    ServerCounters();

    // When the server started (this process, or the last ResetCounters): local time as days since
    // 30 December 1899, and seconds since 1970 (UTC).
    double startTime;
    double startUnixSeconds;
    // Main thread.
    std::array<std::uint64_t, kCountedCodes> packagesByCode{};
    std::uint64_t packagesOtherCode = 0;
    DurationHistogram packageTimes;
    std::uint64_t refusals = 0;         // 7000 answers
    std::uint64_t mailStored = 0;       // stored copies of relay packages, one per recipient
    std::uint64_t directForwarded = 0;  // relay packages forwarded at once, one per recipient
    // Any thread.
    std::atomic<std::uint64_t> bytesSent{0};
};

extern ServerCounters Counters;

// A package with this first word took the main thread `nanoseconds`.
void CountPackage(std::int32_t firstWord, std::uint64_t nanoseconds);
// Bytes a socket took on a user's outgoing connection (nothing for a count below 1).
void CountBytesSent(long bytes);
// Every figure back to 0 and the start time to now (tests).
void ResetCounters();

}  // namespace merivo
