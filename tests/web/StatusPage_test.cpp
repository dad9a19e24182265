#include "web/StatusPage.h"

#include <gtest/gtest.h>

#include "platform/DateTime.h"

namespace merivo {
namespace {

AdminSnapshot PageSnapshot(int language) {
    AdminSnapshot s;
    s.language = language;
    s.version = "1.2.3";
    s.settingsFile = "/srv/merivo/Server.ini";
    s.programFolder = "/srv/merivo";
    s.webAddress = "http://0.0.0.0:6380/";
    s.startTime = EncodeDate(2024, 5, 1) + 0.5;
    s.now = s.startTime + 2 + (3 * 3600 + 4 * 60 + 5) / 86400.0;
    s.connections = 1;
    GroupFigures group;
    group.alias = "R&D <Office>";
    group.dataFile = "/srv/merivo/office.mvd";
    group.records = 14;
    group.archiveRecords = 30;
    group.firstDay = DayOf(EncodeDate(2024, 4, 20));
    group.lastDay = DayOf(EncodeDate(2024, 5, 3));
    group.usersOnline = 1;
    group.usersConfigured = 2;
    group.ctag = "c-17";
    group.feedUrl = "http://server:6380/feeds/k\"ey.ics";
    s.groups = {group};
    UserFigures anna{.name = "Анна", .host = "127.0.0.2", .group = group.alias, .online = true,
                     .onlineSince = s.startTime + 1, .queuedPieces = 3, .sendProcesses = 1,
                     .stopped = true, .mailWaiting = 2};
    UserFigures boris{.name = "Boris", .host = "127.0.0.3", .group = group.alias};
    s.users = {anna, boris};
    s.usersNotShown = 5;
    s.recentLog = {"10:00:00 Start!", "10:00:01 <script>alert(1)</script>"};
    return s;
}

TEST(StatusPageTest, ShowsTheFactsEscapedAndRefreshesWithoutScript) {
    const std::string page = RenderStatusPage(PageSnapshot(0));
    for (const char* fact :
         {"<html lang=\"en\">", "<meta http-equiv=\"refresh\" content=\"5\">",
          "name=\"viewport\"", ">1.2.3<", ">2024-05-01 12:00:00<", ">2 d 03:04:05<",
          ">/srv/merivo/Server.ini<", ">/srv/merivo<", ">http://0.0.0.0:6380/<",
          ">R&amp;D &lt;Office&gt;<", ">14<", ">30<", ">2024-04-20<", ">2024-05-03<", ">1 / 2<",
          ">c-17<", "href=\"http://server:6380/feeds/k&quot;ey.ics\"", ">Анна<", ">127.0.0.2<",
          ">2024-05-02 12:00:00<", ">3<", ">offline<", "class=\"stop\"", "Users not shown: 5",
          "&lt;script&gt;alert(1)&lt;/script&gt;"}) {
        EXPECT_NE(page.find(fact), std::string::npos) << fact;
    }
    EXPECT_EQ(page.find("<script"), std::string::npos);
    // The log shows its newest line first, as the main window does.
    EXPECT_LT(page.find("alert(1)"), page.find("Start!"));
}

TEST(StatusPageTest, RussianTextsComeFromTheCatalogue) {
    const std::string page = RenderStatusPage(PageSnapshot(1));
    for (const char* text : {"<html lang=\"ru\">", "Состояние сервера", "Группы", "Пользователи",
                             "Последние строки журнала", "не в сети", ">2 дн. 03:04:05<"}) {
        EXPECT_NE(page.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(page.find("Users"), std::string::npos);
}

TEST(StatusPageTest, UptimeFormat) {
    EXPECT_EQ(FormatUptime(0, 0), "00:00:00");
    EXPECT_EQ(FormatUptime(59.9, 0), "00:00:59");
    EXPECT_EQ(FormatUptime(86400 * 3 + 3661, 0), "3 d 01:01:01");
    EXPECT_EQ(FormatUptime(-5, 0), "00:00:00");
}

}  // namespace
}  // namespace merivo
