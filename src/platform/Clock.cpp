#include "platform/Clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/DateTime.h"

namespace merivo {
namespace {

constexpr double kSecondsPerDay = 86400.0;

class RealClock : public Clock {
  public:
    std::uint32_t tickCount() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<std::uint32_t>(ms);
    }

    double now() override {
        timespec stamp{};
        clock_gettime(CLOCK_REALTIME, &stamp);
        tm local{};
        localtime_r(&stamp.tv_sec, &local);
        double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
                         static_cast<double>(stamp.tv_nsec / 1000000) / 1000.0;
        return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
               seconds / kSecondsPerDay;
    }

    void sleepMs(int milliseconds) override {
        if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

std::atomic<Clock*>& CurrentClockPointer() {
    static std::atomic<Clock*> current{&SystemClock()};
    return current;
}

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

Clock& CurrentClock() {
    return *CurrentClockPointer().load();
}

ScopedClock::ScopedClock(Clock& clock) : previous_(CurrentClockPointer().exchange(&clock)) {}

ScopedClock::~ScopedClock() {
    CurrentClockPointer().store(previous_);
}

Timeouts& CurrentTimeouts() {
    static Timeouts timeouts;
    return timeouts;
}

}  // namespace merivo
