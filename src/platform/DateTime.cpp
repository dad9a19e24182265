#include "platform/DateTime.h"

#include <cmath>
#include <cstdio>
#include <string_view>

#include "platform/Clock.h"

namespace merivo {
namespace {

// Day numbers of 1 January 0001 and 31 December 9999, the calendar that dates may name.
constexpr std::int64_t kFirstDay = -693593;
constexpr std::int64_t kLastDay = 2958465;
// Day number of 1 January 1970, from which the civil-date arithmetic below counts.
constexpr std::int64_t kUnixEpochDay = 25569;
constexpr std::int64_t kMsPerDay = 86400000;

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(std::int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2));
}

struct DayAndTime {
    std::int64_t day;
    int hour, minute, second;
};

// The day and the time of day rounded to the second; a time that rounds up to midnight belongs
// to the next day. Before the base date the time of day counts forward from the day, as the
// whole part is truncated toward zero.
DayAndTime SplitDate(double date) {
    std::int64_t day = DayOf(date);
    std::int64_t ms = 0;
    if (std::isfinite(date) && day == static_cast<std::int64_t>(std::trunc(date))) {
        ms = std::llround(std::fabs(date - static_cast<double>(day)) * kMsPerDay);
    }
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        day += date < 0 ? -1 : 1;
    }
    const auto seconds = static_cast<int>(ms / 1000);
    return {day, seconds / 3600, seconds / 60 % 60, seconds % 60};
}

std::string TwoDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value % 100);
    return text;
}

}  // namespace

std::int64_t DayOf(double date) {
    if (!std::isfinite(date)) return 0;
    const double whole = std::trunc(date);
    if (whole < static_cast<double>(kFirstDay) || whole > static_cast<double>(kLastDay)) return 0;
    return static_cast<std::int64_t>(whole);
}

// A date that no calendar holds (month 13, 30 February, year 0) gives 0, the null day.
double EncodeDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12) return 0;
    if (day < 1 || day > DaysInMonth(year, month)) return 0;
    return static_cast<double>(DaysFromCivil(year, month, day) + kUnixEpochDay);
}

void DecodeDate(double date, int& year, int& month, int& day) {
    CivilFromDays(DayOf(date) - kUnixEpochDay, year, month, day);
}

std::int64_t Today() {
    return DayOf(CurrentClock().now());
}

std::string FormatTimeOfDay(double date) {
    const DayAndTime parts = SplitDate(date);
    return TwoDigits(parts.hour) + ":" + TwoDigits(parts.minute) + ":" + TwoDigits(parts.second);
}

std::string FormatStamp(double date) {
    const DayAndTime parts = SplitDate(date);
    int year = 0, month = 0, day = 0;
    CivilFromDays(parts.day - kUnixEpochDay, year, month, day);
    return TwoDigits(year) + TwoDigits(month) + TwoDigits(day) + TwoDigits(parts.hour) +
           TwoDigits(parts.minute) + TwoDigits(parts.second);
}

std::string FormatIsoDate(double date) {
    int year = 0, month = 0, day = 0;
    DecodeDate(date, year, month, day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
}

double ParseIsoDate(const std::string& text) {
    constexpr std::string_view kPattern = "dddd-dd-dd";
    if (text.size() != kPattern.size()) return 0;
    for (std::size_t i = 0; i < kPattern.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kPattern[i] == 'd' ? !digit : text[i] != kPattern[i]) return 0;
    }
    return EncodeDate(std::stoi(text.substr(0, 4)), std::stoi(text.substr(5, 2)),
                      std::stoi(text.substr(8, 2)));
}

}  // namespace merivo
