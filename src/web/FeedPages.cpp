#include "web/FeedPages.h"

#include <QLocale>
#include <optional>

#include "web/CalDav.h"

namespace merivo {

namespace {

constexpr const char* kFeedSuffix = ".ics";

// The name in "<name>.ics" of a request /<folder>/<name>.ics; none when the path is not of that
// form.
std::optional<std::string> FeedName(const WebRequest& request) {
    if (request.segments.size() != 2) return std::nullopt;
    const std::string& file = request.segments[1];
    const std::size_t suffix = std::string(kFeedSuffix).size();
    if (file.size() <= suffix || !file.ends_with(kFeedSuffix)) return std::nullopt;
    return file.substr(0, file.size() - suffix);
}

std::string HttpDate(const QDateTime& time) {
    return QLocale::c()
        .toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toStdString();
}

}  // namespace

WebResponse FeedResponse(const WebRequest& request, CalendarEntry& entry) {
    if (request.method != "GET" && request.method != "HEAD") return WebResponse::Status(403);
    GroupCalendar& calendar = *entry.calendar;
    WebResponse response = CalendarGet(request, calendar.feedTag(),
                                       [&] { return calendar.feedText(entry.name); });
    if (response.status == 200) response.with("Last-Modified", HttpDate(calendar.lastModified()));
    return response;
}

void AddFeedRoutes(WebRouter& router, CalendarSet& calendars, const WebAccess& access) {
    router.addPrefix("/calendars/", WebAccessRule::IdentifiedUser, [&calendars](const WebRequest& request) {
        const std::optional<std::string> name = FeedName(request);
        CalendarEntry* entry = name ? calendars.named(*name) : nullptr;
        if (!entry) return WebResponse::Status(404);
        if (!request.caller.mayRead(entry->group)) return WebResponse::Status(403);
        return FeedResponse(request, *entry);
    });
    router.addPrefix("/feeds/", WebAccessRule::Anyone, [&calendars, &access](const WebRequest& request) {
        const std::optional<std::string> key = FeedName(request);
        const int group = key ? access.groupOfFeedKey(*key) : -1;
        CalendarEntry* entry = group < 0 ? nullptr : calendars.ofGroup(group);
        if (!entry) return WebResponse::Status(403);
        return FeedResponse(request, *entry);
    });
}

}  // namespace merivo
