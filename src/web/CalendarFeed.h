#pragma once
// Events as iCalendar text (RFC 5545), written by libical. Every time is in UTC and all-day events
// are dates, so no VTIMEZONE is ever written.
#include <string>
#include <vector>

#include "web/DayEvents.h"

namespace merivo {

// One VEVENT as iCalendar text, from its BEGIN line to its END line.
std::string EventText(const DayEvent& event);

// One VCALENDAR holding the events whose EventText is given, in that order; `name` (UTF-8) is
// the calendar's X-WR-CALNAME, left out when empty. The events were written once and are only
// put in place: a calendar of a year is rewritten at every change of one day.
std::string CalendarText(const std::vector<const std::string*>& eventTexts, const std::string& name);

// A strong entity tag for an event: it changes exactly when the event's text would.
std::string EventTag(const DayEvent& event);

}  // namespace merivo
