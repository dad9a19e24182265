#pragma once
// Read-only CalDAV over the groups' calendars: the root and the principal for discovery, the
// calendar home /dav/ with one calendar collection per group the caller may read, and one
// resource per event (/dav/<name>/<uid>.ics). PROPFIND, REPORT (calendar-multiget,
// calendar-query, sync-collection), GET and OPTIONS; every method that would write answers 403.
#include "web/GroupCalendar.h"
#include "web/WebRouter.h"

namespace merivo {

constexpr const char* kPrincipalPath = "/principal/";
constexpr const char* kHomePath = "/dav/";

class CalDav {
  public:
    explicit CalDav(CalendarSet& calendars) : calendars_(calendars) {}

    // Registers "/", "/.well-known/caldav", the principal and everything under /dav/, each for
    // identified users only.
    void addRoutes(WebRouter& router);

    WebResponse root(const WebRequest& request);
    WebResponse principal(const WebRequest& request);
    WebResponse dav(const WebRequest& request);

  private:
    WebResponse collection(const WebRequest& request, CalendarEntry& entry);
    WebResponse resource(const WebRequest& request, CalendarEntry& entry, const std::string& file);
    WebResponse report(const WebRequest& request, CalendarEntry& entry);

    CalendarSet& calendars_;
};

// The answer to a GET of an iCalendar text with this entity tag: 304 when the request's
// If-None-Match names it, else the text.
WebResponse CalendarGet(const WebRequest& request, const std::string& etag,
                        const std::function<QByteArray()>& text);

// True for the methods a read-only server answers: GET, HEAD, OPTIONS, PROPFIND, REPORT.
bool ReadingMethod(const std::string& method);

}  // namespace merivo
