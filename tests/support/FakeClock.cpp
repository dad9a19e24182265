#include "support/FakeClock.h"

#include <chrono>
#include <thread>

#include "platform/DateTime.h"

namespace merivo {

namespace {
constexpr double kMsPerDay = 86400000.0;
}

FakeClock::FakeClock() : now_(EncodeDate(2026, 1, 15) + 0.5) {}

std::uint32_t FakeClock::tickCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    return ticks_;
}

double FakeClock::now() {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
}

void FakeClock::sleepMs(int milliseconds) {
    ++sleepCalls_;
    if (milliseconds <= 0) return;
    sleptMs_ += milliseconds;
    advanceMs(milliseconds);
    if (realSleep_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    } else {
        std::this_thread::yield();  // a polling loop still lets other threads run
    }
}

void FakeClock::setNow(double date) {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ = date;
}

void FakeClock::setToday(int year, int month, int day) {
    std::lock_guard<std::mutex> guard(mutex_);
    const double timeOfDay = now_ - static_cast<double>(DayOf(now_));
    now_ = EncodeDate(year, month, day) + timeOfDay;
}

void FakeClock::setTickCount(std::uint32_t ticks) {
    std::lock_guard<std::mutex> guard(mutex_);
    ticks_ = ticks;
}

void FakeClock::advanceMs(std::int64_t milliseconds) {
    std::lock_guard<std::mutex> guard(mutex_);
    ticks_ += static_cast<std::uint32_t>(milliseconds);
    now_ += static_cast<double>(milliseconds) / kMsPerDay;
}

}  // namespace merivo
