#pragma once
// The HTTP face of an in-process server: two groups with data files, "Office" (users anna at
// 127.0.0.2 and boris at 127.0.0.3) and a second group with a Cyrillic name (clara at
// 127.0.0.4), a feed key for Office, and a blocking HTTP client that calls from a chosen
// loopback address while the server's event loop runs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "db/UnDBType.h"
#include "db/UnDBserv_Request.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "support/ServerFixture.h"
#include "support/ServerPort.h"
#include "support/TempDir.h"
#include "web/WebServer.h"

namespace merivo {

struct HttpAnswer {
    int status = 0;  // 0: no answer (the connection closed first)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? "" : found->second;
    }
};

// One request on a connection of its own from `from`; reads until the body is complete or the
// server closes.
inline HttpAnswer SendHttp(const std::string& from, int port, const std::string& request) {
    HttpAnswer answer;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        ::close(fd);
        return answer;
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string received;
    char buffer[65536];
    std::size_t headerEnd = std::string::npos;
    std::size_t length = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
        if (headerEnd == std::string::npos && (headerEnd = received.find("\r\n\r\n")) != std::string::npos) {
            const std::string head = LowerAscii(received.substr(0, headerEnd));
            const std::size_t at = head.find("content-length: ");
            length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
        }
        if (headerEnd != std::string::npos && received.size() >= headerEnd + 4 + length) break;
    }
    ::close(fd);
    if (headerEnd == std::string::npos || received.size() < 12) return answer;
    answer.status = std::stoi(received.substr(9, 3));
    std::size_t line = received.find("\r\n") + 2;
    while (line < headerEnd) {
        const std::size_t end = received.find("\r\n", line);
        const std::string field = received.substr(line, end - line);
        const std::size_t colon = field.find(':');
        answer.headers[LowerAscii(field.substr(0, colon))] = field.substr(colon + 2);
        line = end + 2;
    }
    answer.body = received.substr(headerEnd + 4);
    return answer;
}

inline std::string Request(const std::string& method, const std::string& target,
                           const std::string& body = "", const std::string& extraHeaders = "") {
    return method + " " + target + " HTTP/1.1\r\nHost: test\r\n" + extraHeaders +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class WebFixture : public ::testing::Test {
  protected:
    static constexpr const char* kAnna = "127.0.0.2";
    static constexpr const char* kBoris = "127.0.0.3";
    static constexpr const char* kClara = "127.0.0.4";
    static constexpr const char* kStranger = "127.0.0.9";
    static constexpr const char* kDoraHost = "pc-dora";  // known by name only
    static constexpr const char* kFeedKey = "0123456789abcdefOFFICE";
    const std::string kSecondGroup = "Щит";  // UTF-8

    void SetUp() override {
        today = Today();
        std::string office;
        for (std::int64_t day = today - 2; day <= today + 3; ++day) office += RecordOf(DayWithText(day));
        files.writeFile("office.mvd", office);
        files.writeFile("second.mvd", RecordOf(DayWithText(today)));
        FixtureOptions options;
        options.groups.push_back(
            {"Office", {{kAnna, "anna"}, {kBoris, "boris"}, {kDoraHost, "dora"}}, files.file("office.mvd")});
        options.groups.push_back({Utf8ToCp1251(kSecondGroup), {{kClara, "clara"}}, files.file("second.mvd")});
        server = std::make_unique<ServerFixture>(options);
        ASSERT_TRUE(server->listening());
        startWeb(settings());
    }

    WebSettings settings() const {
        WebSettings settings;
        settings.port = PickServerPort();
        settings.address = "127.0.0.1";
        settings.feeds.push_back({0, kFeedKey});
        return settings;
    }

    void startWeb(const WebSettings& settings) {
        web.reset();
        web = std::make_unique<WebServer>(settings);
        std::string error;
        ASSERT_TRUE(web->start(&error)) << error;
    }

    // A day with a title and two schedule rows.
    static DayRecord DayWithText(std::int64_t day) {
        DayRecord record;
        InitTimeSlots(record, 9, 20, 0);
        record.setDate(static_cast<double>(day));
        record.setTitle("Day " + std::to_string(day));
        record.setScheduleText(2, "Meeting");
        record.setScheduleText(5, "Call");
        return record;
    }

    static std::string RecordOf(const DayRecord& record) {
        return std::string(reinterpret_cast<const char*>(record.data()), kDayRecordSize);
    }

    HttpAnswer Http(const std::string& from, const std::string& request) {
        const int port = web->port();
        return server->whilePumping([&] { return SendHttp(from, port, request); });
    }

    HttpAnswer Get(const std::string& from, const std::string& target, const std::string& headers = "") {
        return Http(from, Request("GET", target, "", headers));
    }

    // Stores a new title for the day of group 0, as a user's edit would.
    void EditTitle(std::int64_t day, const std::string& title) {
        RequestBytes q{};
        WriteDouble(q.data() + 12, static_cast<double>(day));
        WriteShortString(q.data() + 47, 255, title);
        ASSERT_EQ(EditDay(*DBTable[0], 2, 0, q), StoreResult::Stored);
    }

    std::int64_t today = 0;
    TempDir files;
    std::unique_ptr<ServerFixture> server;
    std::unique_ptr<WebServer> web;
};

}  // namespace merivo
