// The calendars of the built server, set up as the README's Try-it and "Calendars" sections say,
// read by Debian's iCalendar and CalDAV clients (tests/web/calendar_clients.py).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/ServerPort.h"
#include "support/SpawnedServer.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

constexpr const char* kFeedKey = "7d1c0a9e52b64f0fa0d3c1e8b2f4a6c9";

std::string TodayText() {
    char text[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%d", std::localtime(&now));
    return text;
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) *output += buffer;
    return ::pclose(pipe);
}

TEST(RealClientsTest, CalendarProgramsListReadAndSyncTheGroup) {
    TempDir dir;
    const std::string bin = MERIVO_BIN_DIR;
    std::string output;
    ASSERT_EQ(RunCommand(bin + "/merivo-db create " + dir.file("office.mvd") + " " + TodayText() + " 14", &output), 0) << output;
    const int port = PickServerPort();
    int webPort = PickServerPort();
    while (webPort == port || webPort == port + 10 || webPort + 10 == port) webPort = PickServerPort();
    const std::string settings =
        "[Options]\nLanguage=0\n[NetWork]\nPort=" + std::to_string(port) +
        "\nDirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=1\nAlias1=Office\n[DataBase - 1]\nName=" +
        dir.file("office.mvd") +
        "\nCount=7\nCountArc=30\nTime Begin=9\nTime End=18\nStep=0\nArchive Link=0\nUserCount=2\n"
        "User_1=127.0.0.2::Anna\nUser_2=127.0.0.3::Boris\n[Web]\nPort=" + std::to_string(webPort) +
        "\nDays Back=30\n[Web Feeds]\nOffice=" + kFeedKey + "\n";
    SpawnedServer server(dir.path(), settings);
    ASSERT_TRUE(server.start(20000));
    bool told = false;
    for (const std::string& line : server.messages()) {
        EXPECT_EQ(line.find(kFeedKey), std::string::npos) << line;
        told = told || line == "Calendars listen on http://0.0.0.0:" + std::to_string(webPort) + "/";
    }
    EXPECT_TRUE(told);

    const std::string client = bin + "/merivo-client --port " + std::to_string(port) + " ";
    ASSERT_EQ(RunCommand(client + "title " + TodayText() + " 'Team meeting at 10'", &output), 0) << output;
    ASSERT_EQ(RunCommand(client + "row " + TodayText() + " 3 '' 'Call the supplier'", &output), 0) << output;
    output.clear();
    const int status = RunCommand("/usr/bin/python3 " + std::string(MERIVO_TEST_SOURCE_DIR) + "/web/calendar_clients.py " +
                               std::to_string(webPort) + " " + std::to_string(port) + " " + kFeedKey + " " +
                               bin + "/merivo-client",
                           &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(server.stop(10000), 0);
}

}  // namespace
}  // namespace merivo
