// Read-only CalDAV as a calendar program meets it: discovery, listing, the three reports, and
// what a change of one day changes.
#include <gtest/gtest.h>

#include <QXmlStreamReader>

#include "web/CalDavXml.h"
#include "web/WebFixture.h"

namespace merivo {
namespace {

// One response of a multistatus: its href, the status of every property by its
// "namespace local-name", their texts, and the status of a response without properties.
struct DavResponse {
    std::string href;
    std::map<std::string, int> status;
    std::map<std::string, std::string> text;
    int ownStatus = 0;
};

int StatusCode(const QString& line) {
    return line.section(' ', 1, 1).toInt();
}

std::vector<DavResponse> ParseMultistatus(const std::string& body) {
    std::vector<DavResponse> responses;
    QXmlStreamReader xml(QByteArray::fromStdString(body));
    std::vector<std::string> propstat;  // names of the current propstat's properties
    int depthInProp = 0;
    std::string current;
    while (!xml.atEnd()) {
        xml.readNext();
        const QString ns = xml.namespaceUri().toString();
        const QString name = xml.name().toString();
        if (xml.isStartElement()) {
            if (depthInProp > 0) {
                if (depthInProp++ == 1) {
                    current = (ns + " " + name).toStdString();
                    propstat.push_back(current);
                    if (name == "getetag" || name == "calendar-data" || name == "getctag" || name == "sync-token" ||
                        name == "displayname")
                        responses.back().text[current] = xml.readElementText().toStdString(), --depthInProp;
                } else if (name == "href") {
                    responses.back().text[current] = xml.readElementText().toStdString();
                    --depthInProp;
                }
            } else if (ns == kDavNs && name == "response") {
                responses.emplace_back();
                propstat.clear();
            } else if (ns == kDavNs && name == "href" && !responses.empty()) {
                responses.back().href = xml.readElementText().toStdString();
            } else if (ns == kDavNs && name == "prop") {
                depthInProp = 1;
            } else if (ns == kDavNs && name == "status") {
                const int code = StatusCode(xml.readElementText());
                if (propstat.empty()) responses.back().ownStatus = code;
                for (const std::string& property : propstat) responses.back().status[property] = code;
                propstat.clear();
            }
        } else if (xml.isEndElement() && depthInProp > 0) {
            --depthInProp;
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString() << "\n" << body;
    return responses;
}

const DavResponse* ByHref(const std::vector<DavResponse>& responses, const std::string& href) {
    for (const DavResponse& response : responses)
        if (response.href == href) return &response;
    return nullptr;
}

const std::string kProps =
    "<d:propfind xmlns:d=\"DAV:\" xmlns:cs=\"http://calendarserver.org/ns/\" "
    "xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop><d:resourcetype/><d:displayname/><cs:getctag/>"
    "<d:sync-token/><d:getetag/><c:calendar-home-set/><d:current-user-principal/><x:color xmlns:x=\"urn:x\"/>"
    "</d:prop></d:propfind>";

class CalDavTest : public WebFixture {
  protected:
    std::vector<DavResponse> Propfind(const char* from, const std::string& target, const char* depth,
                                      const std::string& body = kProps) {
        const HttpAnswer answer = Http(from, Request("PROPFIND", target, body, std::string("Depth: ") + depth + "\r\n"));
        EXPECT_EQ(answer.status, 207) << target;
        EXPECT_EQ(answer.header("content-type"), "application/xml; charset=utf-8");
        return ParseMultistatus(answer.body);
    }

    std::vector<DavResponse> Report(const std::string& body, int expected = 207) {
        const HttpAnswer answer = Http(kAnna, Request("REPORT", "/dav/Office/", body, "Depth: 1\r\n"));
        EXPECT_EQ(answer.status, expected);
        return expected == 207 ? ParseMultistatus(answer.body) : std::vector<DavResponse>{};
    }

    std::vector<DavResponse> Sync(const std::string& token, int expected = 207) {
        return Report("<d:sync-collection xmlns:d=\"DAV:\"><d:sync-token>" + token +
                          "</d:sync-token><d:sync-level>1</d:sync-level><d:prop><d:getetag/></d:prop>"
                          "</d:sync-collection>",
                      expected);
    }

    static std::string TokenOf(const std::string& body) {
        const std::size_t start = body.find("<d:sync-token>") + 14;
        return body.substr(start, body.find("</d:sync-token>") - start);
    }
};

TEST_F(CalDavTest, ClientsFindThePrincipalTheHomeAndOnlyTheirCalendars) {
    const HttpAnswer wellKnown = Get(kAnna, "/.well-known/caldav");
    EXPECT_EQ(wellKnown.status, 301);
    EXPECT_EQ(wellKnown.header("location"), kPrincipalPath);

    const auto root = Propfind(kAnna, "/", "0");
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].text.at("DAV: current-user-principal"), kPrincipalPath);
    const auto principal = Propfind(kAnna, kPrincipalPath, "0");
    EXPECT_EQ(principal.at(0).text.at("urn:ietf:params:xml:ns:caldav calendar-home-set"), kHomePath);
    EXPECT_EQ(principal.at(0).text.at("DAV: displayname"), "anna");

    const auto annasHome = Propfind(kAnna, kHomePath, "1");
    ASSERT_EQ(annasHome.size(), 2u);
    EXPECT_EQ(annasHome[1].href, "/dav/Office/");
    const auto clarasHome = Propfind(kClara, kHomePath, "1");
    ASSERT_EQ(clarasHome.size(), 2u);
    EXPECT_EQ(clarasHome[1].href, "/dav/%D0%A9%D0%B8%D1%82/");
    EXPECT_EQ(clarasHome[1].text.at("DAV: displayname"), kSecondGroup);

    const HttpAnswer options = Http(kAnna, Request("OPTIONS", "/dav/Office/"));
    EXPECT_EQ(options.header("dav"), "1, 3, calendar-access");
    EXPECT_EQ(Http(kClara, Request("PROPFIND", "/dav/Office/", kProps, "Depth: 0\r\n")).status, 403);
}

TEST_F(CalDavTest, ACalendarListsOneResourcePerEventAndNamesWhatItLacks) {
    const auto listed = Propfind(kAnna, "/dav/Office/", "1");
    ASSERT_EQ(listed.size(), 1u + 6 * 3);  // six days, each a title and two rows
    const DavResponse& collection = listed[0];
    EXPECT_EQ(collection.status.at("DAV: resourcetype"), 200);
    EXPECT_EQ(collection.status.at("http://calendarserver.org/ns/ getctag"), 200);
    EXPECT_EQ(collection.status.at("urn:x color"), 404);
    EXPECT_EQ(collection.text.at("DAV: displayname"), "Office");
    for (std::size_t i = 1; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].href.rfind("/dav/Office/", 0), 0u);
        EXPECT_EQ(listed[i].status.at("DAV: getetag"), 200);
        const HttpAnswer event = Get(kAnna, listed[i].href);
        EXPECT_EQ(event.status, 200);
        EXPECT_EQ(event.header("etag"), listed[i].text.at("DAV: getetag"));
        EXPECT_EQ(event.body.find("VTIMEZONE"), std::string::npos);
        EXPECT_EQ(Get(kAnna, listed[i].href, "If-None-Match: " + event.header("etag") + "\r\n").status, 304);
    }
    EXPECT_EQ(Get(kAnna, "/dav/Office/nothing.ics").status, 404);
}

TEST_F(CalDavTest, ReportsGiveTheEventsAskedForWithTheirData) {
    const auto listed = Propfind(kAnna, "/dav/Office/", "1");
    const auto multiget = Report(
        "<c:calendar-multiget xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop><d:getetag/>"
        "<c:calendar-data/></d:prop><d:href>" + listed.at(1).href + "</d:href><d:href>/dav/Office/gone.ics</d:href>"
        "</c:calendar-multiget>");
    ASSERT_EQ(multiget.size(), 2u);
    EXPECT_NE(multiget[0].text.at("urn:ietf:params:xml:ns:caldav calendar-data").find("BEGIN:VEVENT"),
              std::string::npos);
    EXPECT_EQ(multiget[1].ownStatus, 404);

    // Today in UTC from 00:00 to 23:59 meets today's all-day event and its two rows.
    const QDate date = QDate(1899, 12, 30).addDays(today);
    const std::string day = date.toString("yyyyMMdd").toStdString();
    const auto query = Report(
        "<c:calendar-query xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop><d:getetag/></d:prop>"
        "<c:filter><c:comp-filter name=\"VCALENDAR\"><c:comp-filter name=\"VEVENT\"><c:time-range start=\"" + day +
        "T000000Z\" end=\"" + day + "T235959Z\"/></c:comp-filter></c:comp-filter></c:filter></c:calendar-query>");
    EXPECT_GE(query.size(), 1u);
    for (const DavResponse& response : query) EXPECT_NE(response.href.find(day), std::string::npos) << response.href;

    Report("<c:calendar-query xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><c:filter><c:time-range start=\"soon\"/>"
           "</c:filter></c:calendar-query>", 400);
    Report("<d:expand-property xmlns:d=\"DAV:\"/>", 403);
}

TEST_F(CalDavTest, ASyncAfterAnEditGivesOnlyWhatChanged) {
    HttpAnswer first = Http(kAnna, Request("REPORT", "/dav/Office/",
                                           "<d:sync-collection xmlns:d=\"DAV:\"><d:sync-token/><d:prop><d:getetag/>"
                                           "</d:prop></d:sync-collection>"));
    ASSERT_EQ(first.status, 207);
    EXPECT_EQ(ParseMultistatus(first.body).size(), 6u * 3);
    const std::string token = TokenOf(first.body);
    EXPECT_EQ(token.rfind(GroupCalendar::kSyncTokenPrefix, 0), 0u);
    EXPECT_TRUE(Sync(token).empty());

    const auto before = ParseMultistatus(first.body);
    EditTitle(today, "New title");
    const HttpAnswer second = Http(kAnna, Request("REPORT", "/dav/Office/",
                                                  "<d:sync-collection xmlns:d=\"DAV:\"><d:sync-token>" + token +
                                                      "</d:sync-token><d:prop><d:getetag/></d:prop></d:sync-collection>"));
    const auto changed = ParseMultistatus(second.body);
    ASSERT_EQ(changed.size(), 1u);
    const DavResponse* old = ByHref(before, changed[0].href);
    ASSERT_NE(old, nullptr);
    EXPECT_NE(old->text.at("DAV: getetag"), changed[0].text.at("DAV: getetag"));
    EXPECT_NE(TokenOf(second.body), token);
    Sync(std::string(GroupCalendar::kSyncTokenPrefix) + "unknown", 403);
}

}  // namespace
}  // namespace merivo
