#pragma once
// Events as iCalendar text (RFC 5545), written by libical. Every time is in UTC and all-day events
// are dates, so no VTIMEZONE is ever written.
#include <string>
#include <vector>

#include "web/DayEvents.h"

namespace merivo {

// One VCALENDAR holding the events in the order given; `name` (UTF-8) is the calendar's
// X-WR-CALNAME, left out when empty.
std::string CalendarText(const std::vector<const DayEvent*>& events, const std::string& name);

// A strong entity tag for an event: it changes exactly when the event's text would.
std::string EventTag(const DayEvent& event);

}  // namespace merivo
