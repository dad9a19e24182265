#include "web/CalDav.h"

#include <QXmlStreamWriter>
#include <algorithm>
#include <optional>
#include <set>

#include "web/CalDavXml.h"
#include "web/CalendarFeed.h"

namespace merivo {

namespace {

constexpr const char* kXmlType = "application/xml; charset=utf-8";
constexpr const char* kCalendarType = "text/calendar; charset=utf-8";
constexpr const char* kEventSuffix = ".ics";

WebResponse MultistatusResponse(QByteArray body) {
    return WebResponse::Text(207, kXmlType, std::move(body));
}

WebResponse Options() {
    return WebResponse::Text(200, "text/plain; charset=utf-8", QByteArray())
        .with("DAV", "1, 3, calendar-access")
        .with("Allow", "OPTIONS, GET, HEAD, PROPFIND, REPORT");
}

// Depth 0 is the resource alone; 1 and infinity (or none) take its members too.
bool WithMembers(const WebRequest& request) {
    return request.header("depth") != "0";
}

PropName Dav(const char* name) {
    return {kDavNs, QString::fromLatin1(name)};
}

PropName Cal(const char* name) {
    return {kCalDavNs, QString::fromLatin1(name)};
}

// <name><child/>...</name>
PropWriter Holding(const PropName& name, std::vector<PropName> children) {
    return [name, children](QXmlStreamWriter& xml) {
        xml.writeStartElement(name.ns, name.name);
        for (const PropName& child : children) xml.writeEmptyElement(child.ns, child.name);
        xml.writeEndElement();
    };
}

// Each child wrapped in its own pair of elements: <outer><wrap><inner><x/></inner></wrap>...
PropWriter Wrapped(const PropName& outer, const PropName& wrap, const PropName& inner,
                   std::vector<PropName> children) {
    return [=](QXmlStreamWriter& xml) {
        xml.writeStartElement(outer.ns, outer.name);
        for (const PropName& child : children) {
            xml.writeStartElement(wrap.ns, wrap.name);
            xml.writeStartElement(inner.ns, inner.name);
            xml.writeEmptyElement(child.ns, child.name);
            xml.writeEndElement();
            xml.writeEndElement();
        }
        xml.writeEndElement();
    };
}

DavProperty Property(const PropName& name, PropWriter write) {
    return {name, std::move(write), true};
}

// What every node tells: who the caller is and that it may only read.
void AddCommon(DavNode& node) {
    node.properties.push_back(Property(Dav("current-user-principal"),
                                       HrefProperty(kDavNs, "current-user-principal", kPrincipalPath)));
    node.properties.push_back(Property(Dav("current-user-privilege-set"),
                                       [](QXmlStreamWriter& xml) {
                                           xml.writeStartElement(kDavNs, "current-user-privilege-set");
                                           xml.writeStartElement(kDavNs, "privilege");
                                           xml.writeEmptyElement(kDavNs, "read");
                                           xml.writeEndElement();
                                           xml.writeEndElement();
                                       }));
}

DavNode RootNode() {
    DavNode node{"/", {}};
    node.properties.push_back(Property(Dav("resourcetype"), Holding(Dav("resourcetype"), {Dav("collection")})));
    node.properties.push_back(Property(Cal("calendar-home-set"),
                                       HrefProperty(kCalDavNs, "calendar-home-set", kHomePath)));
    AddCommon(node);
    return node;
}

DavNode PrincipalNode(const WebCaller& caller) {
    DavNode node{kPrincipalPath, {}};
    node.properties.push_back(Property(Dav("resourcetype"), Holding(Dav("resourcetype"), {Dav("principal")})));
    node.properties.push_back(Property(Dav("displayname"), TextProperty(kDavNs, "displayname", caller.user)));
    node.properties.push_back(Property(Dav("principal-URL"), HrefProperty(kDavNs, "principal-URL", kPrincipalPath)));
    node.properties.push_back(Property(Cal("calendar-home-set"),
                                       HrefProperty(kCalDavNs, "calendar-home-set", kHomePath)));
    AddCommon(node);
    return node;
}

DavNode HomeNode() {
    DavNode node{kHomePath, {}};
    node.properties.push_back(Property(Dav("resourcetype"), Holding(Dav("resourcetype"), {Dav("collection")})));
    node.properties.push_back(Property(Dav("displayname"), TextProperty(kDavNs, "displayname", "Calendars")));
    AddCommon(node);
    return node;
}

DavNode CollectionNode(CalendarEntry& entry) {
    GroupCalendar& calendar = *entry.calendar;
    DavNode node{entry.href, {}};
    node.properties.push_back(Property(Dav("resourcetype"),
                                       Holding(Dav("resourcetype"), {Dav("collection"), Cal("calendar")})));
    node.properties.push_back(Property(Dav("displayname"), TextProperty(kDavNs, "displayname", entry.name)));
    node.properties.push_back(Property({kCalServerNs, "getctag"}, TextProperty(kCalServerNs, "getctag", calendar.ctag())));
    node.properties.push_back(Property(Dav("sync-token"), TextProperty(kDavNs, "sync-token", calendar.syncToken())));
    node.properties.push_back(Property(Cal("supported-calendar-component-set"), [](QXmlStreamWriter& xml) {
        xml.writeStartElement(kCalDavNs, "supported-calendar-component-set");
        xml.writeEmptyElement(kCalDavNs, "comp");
        xml.writeAttribute("name", "VEVENT");
        xml.writeEndElement();
    }));
    node.properties.push_back(Property(Dav("supported-report-set"),
                                       Wrapped(Dav("supported-report-set"), Dav("supported-report"), Dav("report"),
                                               {Cal("calendar-multiget"), Cal("calendar-query"), Dav("sync-collection")})));
    AddCommon(node);
    return node;
}

std::string EventHref(const CalendarEntry& entry, const std::string& uid) {
    return entry.href + uid + kEventSuffix;
}

DavNode EventNode(CalendarEntry& entry, const CalendarResource& resource) {
    DavNode node{EventHref(entry, resource.event.uid), {}};
    node.properties.push_back(Property(Dav("getetag"), TextProperty(kDavNs, "getetag", resource.etag)));
    node.properties.push_back(Property(Dav("getcontenttype"),
                                       TextProperty(kDavNs, "getcontenttype", "text/calendar; charset=utf-8; component=VEVENT")));
    node.properties.push_back(Property(Dav("resourcetype"), Holding(Dav("resourcetype"), {})));
    GroupCalendar* calendar = entry.calendar.get();
    const CalendarResource* written = &resource;
    node.properties.push_back({Cal("calendar-data"),
                               [calendar, written](QXmlStreamWriter& xml) {
                                   const std::string text = CalendarText({&calendar->eventText(*written)}, "");
                                   xml.writeTextElement(kCalDavNs, "calendar-data", QString::fromStdString(text));
                               },
                               false});
    AddCommon(node);
    return node;
}

WebResponse Propfind(const WebRequest& request, const std::function<std::vector<DavNode>(bool)>& nodes) {
    PropQuery query;
    if (ParsePropfind(request.body, query) != XmlVerdict::Ok) return WebResponse::Status(400);
    return MultistatusResponse(Multistatus(nodes(WithMembers(request)), query));
}

// The answer of a node that has no members and no content to GET: OPTIONS, PROPFIND, else 405.
WebResponse DiscoveryNode(const WebRequest& request, const DavNode& node) {
    if (!ReadingMethod(request.method)) return WebResponse::Status(403);
    if (request.method == "OPTIONS") return Options();
    if (request.method == "PROPFIND") return Propfind(request, [&](bool) { return std::vector<DavNode>{node}; });
    return WebResponse::Status(405).with("Allow", "OPTIONS, PROPFIND");
}

// The UID of a member's file name ("<uid>.ics"); none when it is no such name.
std::optional<std::string> UidOfFile(const std::string& file) {
    const std::size_t suffix = std::string(kEventSuffix).size();
    if (file.size() <= suffix || !file.ends_with(kEventSuffix)) return std::nullopt;
    return file.substr(0, file.size() - suffix);
}

// The UID a member's href names within the collection; none when it names none. The href may be
// a path or a whole URL.
std::optional<std::string> UidOfHref(const CalendarEntry& entry, const std::string& href) {
    std::string path = href;
    const std::size_t scheme = path.find("://");
    if (scheme != std::string::npos) {
        const std::size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    std::vector<std::string> wanted;
    std::vector<std::string> collection;
    if (!SplitPath(path, wanted) || !SplitPath(entry.href, collection)) return std::nullopt;
    if (wanted.size() != collection.size() + 1 ||
        !std::equal(collection.begin(), collection.end(), wanted.begin()))
        return std::nullopt;
    return UidOfFile(wanted.back());
}

bool Overlaps(const DayEvent& event, const DavReport& report) {
    constexpr std::int64_t kSecondsPerDay = 86400;
    constexpr std::int64_t kUnixEpochDay = 25569;
    const std::int64_t start = event.allDay ? (event.day - kUnixEpochDay) * kSecondsPerDay : event.startUtc;
    const std::int64_t end = event.allDay ? start + kSecondsPerDay : event.endUtc;
    return (!report.rangeEnd || start < *report.rangeEnd) && (!report.rangeStart || end > *report.rangeStart);
}

}  // namespace

bool ReadingMethod(const std::string& method) {
    static const std::set<std::string> kReading = {"GET", "HEAD", "OPTIONS", "PROPFIND", "REPORT"};
    return kReading.count(method) > 0;
}

WebResponse CalendarGet(const WebRequest& request, const std::string& etag,
                        const std::function<QByteArray()>& text) {
    const std::string match = request.header("if-none-match");
    if (!match.empty() && (match.find(etag) != std::string::npos || match == "*"))
        return WebResponse::Text(304, kCalendarType, QByteArray()).with("ETag", etag);
    return WebResponse::Text(200, kCalendarType, text()).with("ETag", etag);
}

void CalDav::addRoutes(WebRouter& router) {
    const auto rule = WebAccessRule::IdentifiedUser;
    router.add("/", rule, [this](const WebRequest& request) { return root(request); });
    router.add("/.well-known/caldav", rule, [](const WebRequest&) {
        return WebResponse::Status(301).with("Location", kPrincipalPath);
    });
    for (const char* path : {"/principal", kPrincipalPath})
        router.add(path, rule, [this](const WebRequest& request) { return principal(request); });
    router.add("/dav", rule, [this](const WebRequest& request) { return dav(request); });
    router.addPrefix(kHomePath, rule, [this](const WebRequest& request) { return dav(request); });
}

WebResponse CalDav::root(const WebRequest& request) {
    if (request.method == "GET" || request.method == "HEAD")
        return WebResponse::Text(200, "text/plain; charset=utf-8", "Merivo Server calendars\n");
    return DiscoveryNode(request, RootNode());
}

WebResponse CalDav::principal(const WebRequest& request) {
    return DiscoveryNode(request, PrincipalNode(request.caller));
}

WebResponse CalDav::dav(const WebRequest& request) {
    const std::vector<std::string>& segments = request.segments;  // "dav", name, file
    if (segments.size() == 1) {
        if (request.method != "PROPFIND") return DiscoveryNode(request, HomeNode());
        return Propfind(request, [&](bool members) {
            std::vector<DavNode> nodes{HomeNode()};
            if (!members) return nodes;
            for (CalendarEntry& entry : calendars_.entries())
                if (request.caller.mayRead(entry.group)) nodes.push_back(CollectionNode(entry));
            return nodes;
        });
    }
    CalendarEntry* entry = calendars_.named(segments[1]);
    if (!entry || segments.size() > 3) return WebResponse::Status(404);
    if (!request.caller.mayRead(entry->group)) return WebResponse::Status(403);
    if (!ReadingMethod(request.method)) return WebResponse::Status(403);
    if (segments.size() == 3) return resource(request, *entry, segments[2]);
    return collection(request, *entry);
}

WebResponse CalDav::collection(const WebRequest& request, CalendarEntry& entry) {
    GroupCalendar& calendar = *entry.calendar;
    if (request.method == "OPTIONS") return Options();
    if (request.method == "REPORT") return report(request, entry);
    if (request.method == "PROPFIND") {
        return Propfind(request, [&](bool members) {
            std::vector<DavNode> nodes{CollectionNode(entry)};
            if (!members) return nodes;
            for (const CalendarResource& resource : calendar.resources())
                nodes.push_back(EventNode(entry, resource));
            return nodes;
        });
    }
    return CalendarGet(request, calendar.feedTag(), [&] { return calendar.feedText(entry.name); });
}

WebResponse CalDav::resource(const WebRequest& request, CalendarEntry& entry, const std::string& file) {
    const std::optional<std::string> uid = UidOfFile(file);
    const CalendarResource* found = uid ? entry.calendar->find(*uid) : nullptr;
    if (!found) return WebResponse::Status(404);
    if (request.method == "OPTIONS") return Options();
    if (request.method == "REPORT") return WebResponse::Status(403);
    if (request.method == "PROPFIND") {
        return Propfind(request, [&](bool) { return std::vector<DavNode>{EventNode(entry, *found)}; });
    }
    GroupCalendar& calendar = *entry.calendar;
    return CalendarGet(request, found->etag, [&] {
        return QByteArray::fromStdString(CalendarText({&calendar.eventText(*found)}, ""));
    });
}

WebResponse CalDav::report(const WebRequest& request, CalendarEntry& entry) {
    DavReport report;
    switch (ParseReport(request.body, report)) {
        case XmlVerdict::Malformed: return WebResponse::Status(400);
        case XmlVerdict::Unsupported:
            return WebResponse::Text(403, kXmlType, DavError(kDavNs, "supported-report"));
        case XmlVerdict::Ok: break;
    }
    GroupCalendar& calendar = *entry.calendar;
    std::vector<DavNode> nodes;
    std::vector<std::string> gone;
    if (report.kind == DavReport::Kind::Multiget) {
        for (const std::string& href : report.hrefs) {
            const std::optional<std::string> uid = UidOfHref(entry, href);
            const CalendarResource* found = uid ? calendar.find(*uid) : nullptr;
            if (found) {
                nodes.push_back(EventNode(entry, *found));
            } else {
                gone.push_back(href);
            }
        }
        return MultistatusResponse(Multistatus(nodes, report.props, gone));
    }
    if (report.kind == DavReport::Kind::Query) {
        for (const CalendarResource& resource : calendar.resources())
            if (Overlaps(resource.event, report)) nodes.push_back(EventNode(entry, resource));
        return MultistatusResponse(Multistatus(nodes, report.props));
    }
    const std::vector<CalendarResource>& now = calendar.resources();
    std::map<std::string, std::string> before;
    if (!report.syncToken.empty()) {
        auto known = calendar.stateAt(report.syncToken);
        if (!known) return WebResponse::Text(403, kXmlType, DavError(kDavNs, "valid-sync-token"));
        before = std::move(*known);
    }
    for (const CalendarResource& resource : now) {
        const auto was = before.find(resource.event.uid);
        if (was == before.end() || was->second != resource.etag) nodes.push_back(EventNode(entry, resource));
        if (was != before.end()) before.erase(was);
    }
    for (const auto& [uid, etag] : before) gone.push_back(EventHref(entry, uid));
    return MultistatusResponse(Multistatus(nodes, report.props, gone, calendar.syncToken()));
}

}  // namespace merivo
