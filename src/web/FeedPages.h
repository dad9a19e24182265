#pragma once
// The calendars as subscribed iCalendar files: /calendars/<name>.ics for a caller identified as
// a user of the group, /feeds/<key>.ics for anyone who has the group's feed key.
#include "web/GroupCalendar.h"
#include "web/WebAccess.h"
#include "web/WebRouter.h"

namespace merivo {

void AddFeedRoutes(WebRouter& router, CalendarSet& calendars, const WebAccess& access);

// The whole calendar of an entry as one file, with its entity tag and time of change; 304 when
// the request already has it (decided without reading the data file).
WebResponse FeedResponse(const WebRequest& request, CalendarEntry& entry);

}  // namespace merivo
