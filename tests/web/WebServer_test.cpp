// The HTTP face as a caller sees it: who may read what, conditional requests, the limits on
// requests and connections, and identification by name.
#include <gtest/gtest.h>

#include <thread>

#include "db/UnSFile.h"
#include "net/UnSockSr.h"
#include "support/FaultInjectionEnv.h"
#include "support/HeldLookup.h"
#include "web/MetricsCheck.h"
#include "web/WebFixture.h"

namespace merivo {
namespace {

class WebServerTest : public WebFixture {};

TEST_F(WebServerTest, EachCallerReadsWhatItsIdentificationOrKeyAllows) {
    const std::string office = "/calendars/Office.ics";
    const std::string second = "/calendars/" + PercentEncode(kSecondGroup) + ".ics";
    const std::string feed = std::string("/feeds/") + kFeedKey + ".ics";
    struct Case {
        const char* from;
        std::string target;
        int status;
    } cases[] = {
        {kAnna, office, 200},           {kBoris, office, 200},
        {kClara, office, 403},          {kClara, second, 200},
        {kAnna, second, 403},           {kStranger, feed, 200},
        {kStranger, office, 403},       {kStranger, "/feeds/0123456789abcdefWRONG.ics", 403},
        {kAnna, "/feeds/short.ics", 403}, {kStranger, "/dav/", 403},
    };
    for (const Case& c : cases) {
        const HttpAnswer answer = Get(c.from, c.target);
        EXPECT_EQ(answer.status, c.status) << c.from << " " << c.target;
        if (c.status == 200) {
            EXPECT_EQ(answer.header("content-type"), "text/calendar; charset=utf-8");
            EXPECT_NE(answer.body.find("SUMMARY:Day " + std::to_string(today)), std::string::npos);
        }
    }
}

// The administrator's pages: the machine itself sees them, a configured user on another
// loopback address does not.
TEST_F(WebServerTest, OnlyTheMachineItselfSeesTheStatusPages) {
    for (const char* page : {"/status", "/metrics"}) EXPECT_EQ(Get(kAnna, page).status, 403);
    const HttpAnswer status = Get("127.0.0.1", "/status");
    EXPECT_EQ(status.status, 200);
    EXPECT_NE(status.body.find("Office"), std::string::npos);
    const HttpAnswer metrics = Get("127.0.0.1", "/metrics");
    ASSERT_EQ(metrics.status, 200);
    EXPECT_EQ(SeriesValue(metrics.body, "merivo_up"), 1);
    EXPECT_GE(SeriesValue(metrics.body, "merivo_http_requests_total{status=\"403\"}"), 2);
    const PromtoolResult check = CheckWithPromtool(metrics.body);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(RepeatedSeries(metrics.body).empty());
}

TEST_F(WebServerTest, RefusedCallersAndCurrentEntityTagsReadNoDataFile) {
    FaultInjectionEnv counting;
    ScopedEnv use(counting);
    ReleaseDataFile(*DBTable[0]);  // opened again through the counting files
    const auto fileCalls = [&] { return counting.calls(FileOp::Open) + counting.calls(FileOp::Read); };
    EXPECT_EQ(Get(kStranger, "/calendars/Office.ics").status, 403);
    EXPECT_EQ(Get(kStranger, "/feeds/0123456789abcdefWRONG.ics").status, 403);
    EXPECT_EQ(fileCalls(), 0);

    const HttpAnswer first = Get(kAnna, "/calendars/Office.ics");
    ASSERT_EQ(first.status, 200);
    EXPECT_FALSE(first.header("last-modified").empty());
    const int callsAfterFirst = fileCalls();
    EXPECT_GT(callsAfterFirst, 0);
    const HttpAnswer again = Get(kAnna, "/calendars/Office.ics", "If-None-Match: " + first.header("etag") + "\r\n");
    EXPECT_EQ(again.status, 304);
    EXPECT_TRUE(again.body.empty());
    EXPECT_EQ(fileCalls(), callsAfterFirst);

    // While the file is rewritten elsewhere, the last events stand and the file is left alone.
    DBTable[0]->restructuring = true;
    ++DBTable[0]->changeCount;
    const HttpAnswer meanwhile = Get(kAnna, "/calendars/Office.ics");
    EXPECT_EQ(meanwhile.status, 200);
    EXPECT_NE(meanwhile.body.find("SUMMARY:Day " + std::to_string(today)), std::string::npos);
    EXPECT_EQ(fileCalls(), callsAfterFirst);
    DBTable[0]->restructuring = false;

    EditTitle(today, "Changed title");
    const HttpAnswer changed = Get(kAnna, "/calendars/Office.ics", "If-None-Match: " + first.header("etag") + "\r\n");
    EXPECT_EQ(changed.status, 200);
    EXPECT_NE(changed.header("etag"), first.header("etag"));
    EXPECT_NE(changed.body.find("SUMMARY:Changed title"), std::string::npos);
}

TEST_F(WebServerTest, BadRequestsGetAnErrorAndChangeNothing) {
    const std::string before = files.readFile("office.mvd");
    const std::string bigHeader = "X-Filler: " + std::string(9000, 'a') + "\r\n";
    struct Case {
        std::string request;
        int status;
    } cases[] = {
        {Request("GET", "/calendars/Office.ics", "", bigHeader), 413},
        {Request("PROPFIND", "/dav/Office/", std::string(70000, ' ')), 413},
        {Request("PROPFIND", "/dav/Office/", "<d:propfind xmlns:d=\"DAV:\"><d:prop>"), 400},
        {Request("REPORT", "/dav/Office/", "<unclosed"), 400},
        {"NOT HTTP AT ALL\r\n\r\n", 400},
        {Request("GET", "/nowhere"), 404},
        {Request("GET", "/dav/../calendars/Office.ics"), 404},
        {Request("GET", "/calendars/%2e%2e/Office.ics"), 404},
        {Request("GET", "/calendars/Nobody.ics"), 404},
        {Request("PUT", "/dav/Office/new.ics", "BEGIN:VCALENDAR"), 403},
        {Request("DELETE", "/dav/Office/"), 403},
        {Request("MKCALENDAR", "/dav/Other/"), 404},
        {Request("MKCALENDAR", "/dav/Office/"), 403},
        {Request("PROPPATCH", "/dav/Office/", "<d:propertyupdate xmlns:d=\"DAV:\"/>"), 403},
    };
    for (const Case& c : cases) EXPECT_EQ(Http(kAnna, c.request).status, c.status) << c.request.substr(0, 60);
    EXPECT_EQ(files.readFile("office.mvd"), before);
}

TEST_F(WebServerTest, TheConnectionIdleLongestGoesWhenTheLimitIsReached) {
    const int port = web->port();
    std::vector<int> idle = server->whilePumping([port] {
        std::vector<int> fds;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        for (std::size_t i = 0; i < kMaxHttpConnections; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fds.push_back(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return fds;
    });
    ASSERT_TRUE(server->pumpUntil([&] { return web->connectionCount() == kMaxHttpConnections; }));
    EXPECT_EQ(Get(kAnna, "/calendars/Office.ics").status, 200);
    timeval timeout{5, 0};
    setsockopt(idle.front(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte;
    EXPECT_EQ(server->whilePumping([&] { return ::recv(idle.front(), &byte, 1, 0); }), 0);
    EXPECT_LE(web->connectionCount(), kMaxHttpConnections);
    for (int fd : idle) ::close(fd);
}

TEST_F(WebServerTest, AConnectionThatStaysSilentIsClosed) {
    WebSettings shortIdle = settings();
    shortIdle.idleCloseMs = 200;
    startWeb(shortIdle);
    // Half a request, then nothing.
    const int port = web->port();
    const ssize_t received = server->whilePumping([port] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
        timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char byte;
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        ::close(fd);
        return n;
    });
    EXPECT_EQ(received, 0);
}

TEST_F(WebServerTest, ACallerKnownByNameIsIdentifiedWhileOthersAreServed) {
    HeldLookup lookup(kDoraHost);
    const auto previous = PeerNameLookup;
    PeerNameLookup = lookup.function();
    const int port = web->port();
    auto dora = std::async(std::launch::async, [port] {
        return SendHttp("127.0.0.5", port, Request("GET", "/calendars/Office.ics"));
    });
    // While the name server keeps Dora waiting, Anna is served.
    EXPECT_EQ(Get(kAnna, "/calendars/Office.ics").status, 200);
    lookup.release();
    server->pumpUntil([&] { return dora.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
    EXPECT_EQ(dora.get().status, 200);
    PeerNameLookup = previous;
}

}  // namespace
}  // namespace merivo
