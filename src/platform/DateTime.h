#pragma once
// Dates are doubles counting days from 30 December 1899; the whole part is the day.
#include <cstdint>
#include <string>

namespace merivo {

// The whole part of a date, truncated toward zero. A value that is not a finite number or lies
// beyond any real calendar day gives 0, the null day, so that data from the network can never
// cause an undefined conversion.
std::int64_t DayOf(double date);

double EncodeDate(int year, int month, int day);
void DecodeDate(double date, int& year, int& month, int& day);

// Today's day number from the current clock.
std::int64_t Today();

// "hh:nn:ss", the time of day of the given date.
std::string FormatTimeOfDay(double date);
// "yymmddhhnnss": two-digit year, month, day, hour, minute, second.
std::string FormatStamp(double date);
// "yyyy-mm-dd".
std::string FormatIsoDate(double date);
// The day written "yyyy-mm-dd"; 0 when the text is not such a date of the calendar.
double ParseIsoDate(const std::string& text);

}  // namespace merivo
