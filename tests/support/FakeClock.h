#pragma once
// A Clock for tests: the date and the tick counter are set by the test, and sleeping only moves
// them forward (it really sleeps as well when asked to, for tests that wait on other threads).
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

namespace merivo {

class FakeClock : public Clock {
  public:
    // Starts at noon of 15 January 2026 with the tick counter at 1000.
    FakeClock();

    std::uint32_t tickCount() override;
    double now() override;
    // Moves the tick counter and the date forward by the milliseconds.
    void sleepMs(int milliseconds) override;

    void setNow(double date);
    // Sets the date, keeping the time of day.
    void setToday(int year, int month, int day);
    void setTickCount(std::uint32_t ticks);
    void advanceMs(std::int64_t milliseconds);
    void setRealSleep(bool on) { realSleep_ = on; }

    int sleepCalls() const { return sleepCalls_.load(); }
    std::int64_t sleptMs() const { return sleptMs_.load(); }

  private:
    mutable std::mutex mutex_;
    double now_;
    std::uint32_t ticks_ = 1000;
    std::atomic<bool> realSleep_{false};
    std::atomic<int> sleepCalls_{0};
    std::atomic<std::int64_t> sleptMs_{0};
};

}  // namespace merivo
