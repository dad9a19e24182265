#include "platform/DateTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/Clock.h"
#include "support/FakeClock.h"

namespace merivo {
namespace {

TEST(DateTimeTest, EncodeAndDecodeCountFromTheBaseDate) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1899, 12, 31), 1.0);
    EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
    EXPECT_EQ(EncodeDate(2000, 3, 1), 36586.0);
    EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
    EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);
    int year = 0, month = 0, day = 0;
    for (double date : {-693593.0, -1.0, 0.0, 36585.0, 36586.9, 46036.0, 2958465.0}) {
        DecodeDate(date, year, month, day);
        EXPECT_EQ(EncodeDate(year, month, day), std::trunc(date)) << date;
    }
    DecodeDate(36585.75, year, month, day);
    EXPECT_EQ(year * 10000 + month * 100 + day, 20000229);
}

TEST(DateTimeTest, DatesNoCalendarHoldsEncodeAsTheNullDay) {
    EXPECT_EQ(EncodeDate(2023, 2, 29), 0.0);
    EXPECT_EQ(EncodeDate(2024, 13, 1), 0.0);
    EXPECT_EQ(EncodeDate(2024, 4, 31), 0.0);
    EXPECT_EQ(EncodeDate(0, 1, 1), 0.0);
    EXPECT_NE(EncodeDate(2024, 2, 29), 0.0);
}

TEST(DateTimeTest, DayOfTruncatesTowardZeroAndRejectsNonsense) {
    EXPECT_EQ(DayOf(45000.99), 45000);
    EXPECT_EQ(DayOf(-1.5), -1);
    EXPECT_EQ(DayOf(-0.5), 0);
    EXPECT_EQ(DayOf(2958465.5), 2958465);
    EXPECT_EQ(DayOf(std::nan("")), 0);
    EXPECT_EQ(DayOf(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(DayOf(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(DayOf(1e300), 0);
    EXPECT_EQ(DayOf(-1e19), 0);
    EXPECT_EQ(DayOf(2958466.0), 0);
    EXPECT_EQ(DayOf(-693594.0), 0);
}

TEST(DateTimeTest, Formats) {
    const double date = EncodeDate(2026, 3, 7) + (14 * 3600 + 5 * 60 + 9) / 86400.0;
    EXPECT_EQ(FormatTimeOfDay(date), "14:05:09");
    EXPECT_EQ(FormatStamp(date), "260307140509");
    EXPECT_EQ(FormatIsoDate(date), "2026-03-07");
    EXPECT_EQ(FormatStamp(EncodeDate(2009, 1, 2)), "090102000000");
    EXPECT_EQ(FormatIsoDate(0), "1899-12-30");
}

TEST(DateTimeTest, IsoDatesAreParsedOnlyWhenWhole) {
    EXPECT_EQ(ParseIsoDate("2026-03-07"), EncodeDate(2026, 3, 7));
    EXPECT_EQ(ParseIsoDate("2026-02-30"), 0);
    EXPECT_EQ(ParseIsoDate("2026-3-7"), 0);
    EXPECT_EQ(ParseIsoDate("2026-03-07x"), 0);
    EXPECT_EQ(ParseIsoDate("abcd-ef-gh"), 0);
    // Ten characters, but not digits where the digits belong.
    for (const char* text : {" 2026-3-07", "+026-03-07", "2026-+3-07", "2026- 3-07", "2026-03--7"})
        EXPECT_EQ(ParseIsoDate(text), 0) << text;
}

TEST(DateTimeTest, TimeThatRoundsToMidnightBelongsToTheNextDay) {
    const double almostMidnight = EncodeDate(2025, 12, 31) + 1.0 - 0.0001 / 86400.0;
    EXPECT_EQ(FormatTimeOfDay(almostMidnight), "00:00:00");
    EXPECT_EQ(FormatStamp(almostMidnight), "260101000000");
}

TEST(DateTimeTest, FormattingNonsenseGivesTheNullDay) {
    EXPECT_EQ(FormatStamp(std::nan("")), "991230000000");
    EXPECT_EQ(FormatIsoDate(1e300), "1899-12-30");
}

TEST(DateTimeTest, TodayComesFromTheCurrentClock) {
    FakeClock clock;
    ScopedClock scoped(clock);
    clock.setToday(2026, 5, 17);
    EXPECT_EQ(Today(), static_cast<std::int64_t>(EncodeDate(2026, 5, 17)));
    EXPECT_EQ(FormatTimeOfDay(CurrentClock().now()), "12:00:00");  // time of day kept
    clock.sleepMs(12 * 3600 * 1000);
    EXPECT_EQ(Today(), static_cast<std::int64_t>(EncodeDate(2026, 5, 18)));
}

TEST(ClockTest, SystemClockGivesLocalTimeAndMovingTicks) {
    Clock& clock = SystemClock();
    EXPECT_EQ(&CurrentClock(), &clock);
    const double now = clock.now();
    EXPECT_GT(now, EncodeDate(2020, 1, 1));
    EXPECT_LT(now, EncodeDate(2200, 1, 1));
    const std::uint32_t before = clock.tickCount();
    clock.sleepMs(20);
    const std::uint32_t elapsed = clock.tickCount() - before;
    EXPECT_GE(elapsed, 19u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(ClockTest, FakeClockAdvancesOnlyWhenTold) {
    FakeClock clock;
    clock.setTickCount(0xFFFFFFF0u);
    clock.sleepMs(32);
    EXPECT_EQ(clock.tickCount(), 16u);  // wraps like the 32-bit counter
    EXPECT_EQ(clock.sleepCalls(), 1);
    EXPECT_EQ(clock.sleptMs(), 32);
}

TEST(ClockTest, TimeoutsAreSharedAndChangeable) {
    Timeouts& timeouts = CurrentTimeouts();
    EXPECT_EQ(timeouts.fileOpenRetryMs, 60000);
    EXPECT_EQ(timeouts.sendAttempts, 6000);
    timeouts.fileOpenRetryMs = 50;
    EXPECT_EQ(CurrentTimeouts().fileOpenRetryMs, 50);
    timeouts = Timeouts{};
}

}  // namespace
}  // namespace merivo
