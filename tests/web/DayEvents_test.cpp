// A day record as events: which events a day gives, their texts, their times in UTC and their
// UIDs. The server's local time here is Berlin's, so that summer and winter differ.
#include "web/DayEvents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/CodePage.h"

namespace merivo {
namespace {

const bool kBerlinTime = [] {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return true;
}();

constexpr std::int64_t kSummerDay = 45474;                // 1 July 2024
constexpr std::int64_t kSummerMidnightUtc = 1719784800;   // its local midnight in UTC
constexpr std::int64_t kWinterDay = 45306;                // 15 January 2024
constexpr std::int64_t kWinterMidnightUtc = 1705273200;

TMyDBUser Group(const std::string& alias, int step) {
    TMyDBUser db;
    db.alias = alias;
    db.step = std::to_string(step);
    InitTimeSlots(db.EmptyDay, 9, 20, step);
    return db;
}

DayRecord DayOf(const TMyDBUser& db, std::int64_t day) {
    DayRecord record = db.EmptyDay;
    record.setDate(static_cast<double>(day));
    return record;
}

const DayEvent* Titled(const std::vector<DayEvent>& events, const std::string& summary) {
    for (const DayEvent& event : events)
        if (event.summary == summary) return &event;
    return nullptr;
}

TEST(DayEventsTest, AnEmptyDayHasNoEvents) {
    const TMyDBUser db = Group("Office", 0);
    EXPECT_TRUE(DayEvents(DayOf(db, kSummerDay), RulesOf(db)).empty());
}

TEST(DayEventsTest, RowsStartAtTheirLabelOrHalfAnIntervalPerRowBelowIt) {
    struct Case {
        int step;
        std::int64_t day, midnightUtc;
        int row;
        const char* ownTime;  // put on the row (row 7: on row 6 above it); nullptr: none
        bool clearLabelsAbove; // the day's labels above row 2 are removed
        int startMinutes;
    } cases[] = {
        {0, kSummerDay, kSummerMidnightUtc, 0, nullptr, false, 9 * 60},
        {0, kSummerDay, kSummerMidnightUtc, 1, nullptr, false, 9 * 60 + 30},
        {0, kSummerDay, kSummerMidnightUtc, 3, nullptr, false, 10 * 60 + 30},
        {0, kSummerDay, kSummerMidnightUtc, 6, "14.15", false, 14 * 60 + 15},
        {0, kSummerDay, kSummerMidnightUtc, 7, "14:15", false, 14 * 60 + 45},
        {0, kSummerDay, kSummerMidnightUtc, 0, nullptr, true, 10 * 60},
        {1, kSummerDay, kSummerMidnightUtc, 1, nullptr, false, 10 * 60},
        {0, kWinterDay, kWinterMidnightUtc, 0, nullptr, false, 9 * 60},
    };
    for (const Case& c : cases) {
        const TMyDBUser db = Group("Office", c.step);
        DayRecord day = DayOf(db, c.day);
        if (c.clearLabelsAbove) day.setScheduleTime(0, "");
        if (c.ownTime) day.setScheduleTime(c.row == 7 ? 6 : c.row, c.ownTime);
        day.setScheduleText(c.row, "Row");
        const std::vector<DayEvent> events = DayEvents(day, RulesOf(db));
        ASSERT_EQ(events.size(), 1u);
        const std::int64_t start = c.midnightUtc + c.startMinutes * 60;
        EXPECT_EQ(events[0].startUtc, start) << "step " << c.step << " row " << c.row;
        EXPECT_EQ(events[0].endUtc, start + (c.step + 1) * 30 * 60);
        EXPECT_FALSE(events[0].allDay);
    }
}

TEST(DayEventsTest, ADayWithoutLabelsIsTimedByTheGroupsLabels) {
    const TMyDBUser db = Group("Office", 0);
    DayRecord day = DayOf(db, kSummerDay);
    for (int row = 0; row < kScheduleRows; ++row) day.setScheduleTime(row, "");
    day.setScheduleText(2, "Row");
    EXPECT_EQ(DayEvents(day, RulesOf(db)).at(0).startUtc, kSummerMidnightUtc + 10 * 3600);
}

TEST(DayEventsTest, TheAllDayEventTakesTitleMemoAndListsInUtf8) {
    const TMyDBUser db = Group("Office", 0);
    struct Case {
        std::string title, memo, line;
        std::string summary, description;
    } cases[] = {
        {"Title", "Memo one\r\nMemo two", "Buy milk", "Title", "Memo one\nMemo two\nBuy milk"},
        {"", "\r\n  First memo line\r\nsecond", "", "First memo line", "First memo line\nsecond"},
        {"", "", "Only a line", "Only a line", "Only a line"},
        {Utf8ToCp1251("Встреча"), "", "", "Встреча", ""},
        {std::string("Bell\x07 and tab\t"), "", "", "Bell and tab", ""},
    };
    for (const Case& c : cases) {
        DayRecord day = DayOf(db, kSummerDay);
        day.setTitle(c.title);
        std::memcpy(day.data() + day::kMemo, c.memo.c_str(), c.memo.size() + 1);
        day.setListLine(2, 5, c.line);
        const std::vector<DayEvent> events = DayEvents(day, RulesOf(db));
        ASSERT_EQ(events.size(), 1u) << c.summary;
        EXPECT_TRUE(events[0].allDay);
        EXPECT_EQ(events[0].day, kSummerDay);
        EXPECT_EQ(events[0].summary, c.summary);
        EXPECT_EQ(events[0].description, c.description);
    }
}

TEST(DayEventsTest, UidsFollowRowIdsAndStayTheSameForTheSameDay) {
    const TMyDBUser db = Group("Office", 0);
    DayRecord day = DayOf(db, kSummerDay);
    day.setTitle("Title");
    day.setScheduleText(3, "With ID");
    day.setRowId(3, 0x12345);
    day.setScheduleText(4, "Without ID");
    day.setScheduleText(5, "Same ID again");
    day.setRowId(5, 0x12345);
    const std::vector<DayEvent> before = DayEvents(day, RulesOf(db));
    EXPECT_EQ(before, DayEvents(day, RulesOf(db)));

    // The rows move one down, as an insert above them moves them.
    DayRecord moved = day;
    for (int row = 6; row > 3; --row) {
        moved.setScheduleText(row, day.scheduleText(row - 1));
        moved.setRowId(row, day.rowId(row - 1));
    }
    moved.setScheduleText(3, "");
    moved.setRowId(3, 0);
    const std::vector<DayEvent> after = DayEvents(moved, RulesOf(db));
    EXPECT_EQ(Titled(after, "With ID")->uid, Titled(before, "With ID")->uid);
    EXPECT_NE(Titled(after, "Without ID")->uid, Titled(before, "Without ID")->uid);
    EXPECT_NE(Titled(before, "Same ID again")->uid, Titled(before, "With ID")->uid);
    EXPECT_EQ(Titled(after, "Title")->uid, Titled(before, "Title")->uid);

    const TMyDBUser other = Group("Shop", 0);
    EXPECT_NE(DayEvents(day, RulesOf(other))[0].uid, before[0].uid);
    for (const DayEvent& event : before)
        EXPECT_EQ(event.uid.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-"), std::string::npos);
}

TEST(DayEventsTest, LabelsAreHoursWithOptionalMinutes) {
    struct Case {
        const char* text;
        int minutes;
    } cases[] = {{" 9.00", 540}, {"14.30", 870}, {"8:05", 485}, {"34.00", 2040}, {"7", 420},
                 {"", -1}, {"9.60", -1}, {"9.0", -1}, {"abc", -1}, {"123.00", -1}};
    for (const Case& c : cases) EXPECT_EQ(LabelMinutes(c.text), c.minutes) << c.text;
}

}  // namespace
}  // namespace merivo
