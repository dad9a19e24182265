// A server start-up with a group whose data file needs repair: the whole road from Server.ini to
// a repaired and archived file, with the start-up messages in their order.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db/UnDBserv_DayFiles.h"
#include "host/UnServer.h"
#include "platform/Config.h"
#include "support/FaultInjectionEnv.h"

namespace merivo {
namespace {

class StartTest : public DayFileTest {
  protected:
    StartTest() { Config.appDir = dir.path(); }
    ~StartTest() override { ResetServerState(); }

    void WriteSettings(int recordLimit, int archiveLimit) {
        dir.writeFile("Server.ini",
                      "[Options]\nLanguage=0\n[NetWork]\nPort=7000\nDirectSend=1\nTCPNoDelay=1\n"
                      "[DataBases]\nCount=1\nAlias1=G\n[DataBase - 1]\nName=" +
                          dir.file("group.mvd") + "\nCount=" + std::to_string(recordLimit) +
                          "\nCountArc=" + std::to_string(archiveLimit) +
                          "\nTime Begin=9\nTime End=20\nStep=0\nArchive Link=0\nUserCount=1\n"
                          "User_1=127.0.0.2::anna\n");
    }

    std::vector<std::string> Days(std::int64_t first, std::int64_t last) {
        std::vector<std::string> days;
        for (std::int64_t day = first; day <= last; ++day) days.push_back(Day(day));
        return days;
    }
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(StartTest, RepairsArchivesAndIndexesTheDataFile) {
    SetToday(1040);
    WriteData(Days(1000, 1019) + Days(1023, 1042));
    WriteSettings(30, 5);
    InitServer();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Start!", "OK! Data correction - G",
                                                     "Initialization -> Ok!"}));
    ExpectArchive(Days(1005, 1009));
    ExpectData(Days(1010, 1019) + std::vector<std::string>{Empty(1020), Empty(1021), Empty(1022)} +
               Days(1023, 1042));
    ASSERT_EQ(DBTable.size(), 1u);
    EXPECT_EQ(DBTable[0]->TmyDBIndex.size(), 33u);
    EXPECT_FALSE(DBTable[0]->insertBeforeFirstAllowed);
    EXPECT_EQ(DBTable[0]->firstDate, 1010);
}

TEST_F(StartTest, ReportsDatesOutOfOrderAndStillStarts) {
    SetToday(1040);
    WriteData({Day(1041), Day(1040), Day(1042)});
    WriteSettings(30, 5);
    InitServer();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Start!", "OK! Data correction - G",
                               "Database Structure Error. Correction required. See Settings -> G",
                               "Initialization -> Ok!"}));
    EXPECT_TRUE(DBTable[0]->insertBeforeFirstAllowed);
    EXPECT_EQ(DBTable[0]->firstDate, 0);
}

// The settings check looks at the data file as the start would and reports the same faults, but
// repairs, archives and creates nothing.
TEST_F(StartTest, CheckReportsWhatTheStartWouldAndChangesNoFile) {
    struct Case {
        const char* name;
        std::vector<std::string> data;  // empty: no data file
        bool unreadable;
        bool clean;
        std::string report;  // the line between "Start!" and "Initialization -> Ok!"
    };
    const std::vector<Case> cases = {
        {"needs repair and archiving", Days(1000, 1019) + Days(1023, 1042), false, true, ""},
        {"dates out of order",
         {Day(1041), Day(1040), Day(1042)},
         false,
         false,
         "Database Structure Error. Correction required. See Settings -> G"},
        {"no data file", {}, false, false, "Error in structure of Database:G"},
        {"unreadable data file", Days(1000, 1002), true, false,
         "Error in creating database index or correction:G"},
    };
    SetToday(1040);
    WriteSettings(30, 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetServerState();
        Config.appDir = dir.path();
        Reset();
        if (!c.data.empty()) WriteData(c.data);
        FaultInjectionEnv env;
        if (c.unreadable) env.failOn(FileOp::Read, "group.mvd", 1, kForever);
        ScopedEnv scoped(env);
        EXPECT_EQ(CheckSettings(), c.clean);
        std::vector<std::string> expected = {"Start!", "Initialization -> Ok!"};
        if (!c.report.empty()) expected.insert(expected.begin() + 1, c.report);
        EXPECT_EQ(log.lines(), expected);
        if (!c.data.empty()) ExpectData(c.data);
        EXPECT_FALSE(std::filesystem::exists(dir.file("group.arc")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("POP3")));
    }
}

}  // namespace
}  // namespace merivo
