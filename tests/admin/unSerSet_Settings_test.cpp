#include "admin/unSerSet_Settings.h"

#include <gtest/gtest.h>

#include "db/UnDBType.h"
#include "platform/Config.h"
#include "platform/IniFile.h"
#include "support/FaultInjectionEnv.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

class ServerSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetServerState(); }
    void TearDown() override { ResetServerState(); }

    ServerSettings Load(const std::string& text, bool expectOk = true) {
        dir.writeFile("Server.ini", text);
        ServerSettings settings;
        EXPECT_EQ(settings.Load(IniFile(ini())), expectOk);
        return settings;
    }
    std::string ini() const { return dir.file("Server.ini"); }

    TempDir dir;
};

constexpr const char* kThreeGroups =
    "[Options]\r\nLanguage=0\r\nDEBUG=1\r\n"
    "[NetWork]\r\nPort=6340\r\nDirectSend=1\r\nReconnect=5\r\nTCPNoDelay=1\r\nDebug=0\r\n"
    "[DataBases]\r\nCount=3\r\nAlias1=One\r\nAlias2=Two\r\nAlias3=Three\r\n"
    "[DataBase - 1]\r\nName=/data/one.mvd\r\nCount=7\r\nCountArc=0\r\nTime Begin=9\r\n"
    "Time End=20\r\nStep=0\r\nUserCount=3\r\nArchive Link=0\r\n"
    "User_1=PC1::anna\r\nUser_2=pc2::boris\r\nUser_3=pc3::vera\r\n"
    "[DataBase - 2]\r\nName=\r\nCount=5\r\nCountArc=10\r\nTime Begin=8\r\nTime End=18\r\n"
    "Step=2\r\nUserCount=1\r\nArchive Link=3\r\nUser_1=10.0.0.5::gleb\r\n"
    "[DataBase - 3]\r\nName=\r\nCount=7\r\nCountArc=0\r\nTime Begin=9\r\nTime End=20\r\n"
    "Step=0\r\nUserCount=0\r\nArchive Link=0\r\n";

TEST_F(ServerSettingsTest, LoadReadsEveryGroupAndItsUsersAsStored) {
    const ServerSettings settings = Load(kThreeGroups);
    EXPECT_EQ(settings.port, "6340");
    EXPECT_EQ(settings.groupNames, (std::vector<std::string>{"One", "Two", "Three"}));
    ASSERT_EQ(settings.groups.size(), 3u);
    const TMyDBAlias& two = settings.groups[1];
    EXPECT_EQ(two.Count, "5");
    EXPECT_EQ(two.CountArc, "10");
    EXPECT_EQ(two.TimeBegin, "8");
    EXPECT_EQ(two.TimeEnd, "18");
    EXPECT_EQ(two.Step, 2);
    EXPECT_TRUE(two.ArchiveLink);
    EXPECT_EQ(settings.groups[0].IniUserCount, 3);
    EXPECT_EQ(settings.groups[0].Users[0].host, "PC1");  // not lower-cased as at start-up
    EXPECT_EQ(settings.groups[0].Users[2].name, "vera");
    EXPECT_EQ(two.Users[0].host, "10.0.0.5");
}

TEST_F(ServerSettingsTest, LanguageAndNetworkSwitches) {
    struct Case {
        const char* language;
        const char* direct;
        const char* noDelay;
        int index;
        bool directOn;
        bool noDelayOn;
        bool liveNoDelay;  // the server's switch, off before the reading
    };
    const Case cases[] = {
        {"1", "1", "1", 1, true, true, true},   {"2", "0", "1", 1, false, true, true},
        {"x", "1", "5", 0, true, false, false}, {"-1", "x", "1", 0, true, true, true},
        {"0", "0", "", 0, true, true, false},
    };
    for (const Case& c : cases) {
        Config.tcpNoDelay = false;
        const ServerSettings settings =
            Load(std::string("[Options]\nLanguage=") + c.language + "\n[NetWork]\nDirectSend=" +
                 c.direct + "\nTCPNoDelay=" + c.noDelay + "\n[DataBases]\nCount=0\n");
        SCOPED_TRACE(std::string(c.language) + " " + c.direct + " " + c.noDelay);
        EXPECT_EQ(settings.language, c.index);
        EXPECT_EQ(Config.firstStartLanguage, c.index);
        EXPECT_EQ(settings.directSend, c.directOn);
        EXPECT_EQ(settings.tcpNoDelay, c.noDelayOn);
        EXPECT_EQ(Config.tcpNoDelay.load(), c.liveNoDelay);
    }
}

TEST_F(ServerSettingsTest, ABadValueStopsTheReadingAndKeepsWhatWasRead) {
    std::string text = kThreeGroups;
    text.replace(text.find("Step=2"), 6, "Step=two");
    const ServerSettings settings = Load(text, false);
    ASSERT_EQ(settings.groups.size(), 3u);
    EXPECT_EQ(settings.groups[0].Users.size(), 3u);
    EXPECT_EQ(settings.groups[1].TimeEnd, "18");
    EXPECT_TRUE(settings.groups[1].Users.empty());
    EXPECT_EQ(settings.groups[2].Count, "");
    EXPECT_EQ(settings.groupNames[2], "Three");

    EXPECT_TRUE(Load("[NetWork]\nPort=1\n[DataBases]\nCount=many\n", false).groups.empty());
}

TEST_F(ServerSettingsTest, SaveRewritesTheChangedSettingsAndRemovesWhatIsGone) {
    ServerSettings settings = Load(kThreeGroups);
    settings.language = 1;
    settings.port = "7000";
    settings.directSend = false;
    settings.groups[0].TimeBegin = "123";
    settings.groups[0].Users.erase(settings.groups[0].Users.begin() + 1);
    EXPECT_EQ(settings.RemoveGroup(1), 0);
    EXPECT_EQ(settings.RemoveGroup(1), 0);
    EXPECT_EQ(settings.AddGroup("Four"), 1);
    settings.groups[1].Users = {UserValue{}};  // the empty row of a group without users
    settings.Save(ini());
    EXPECT_EQ(dir.readFile("Server.ini"),
              "[Options]\r\nLanguage=1\r\nDEBUG=1\r\n"
              "[NetWork]\r\nPort=7000\r\nDirectSend=0\r\nReconnect=5\r\nTCPNoDelay=1\r\n"
              "Debug=0\r\n"
              "[DataBases]\r\nCount=2\r\nAlias1=One\r\nAlias2=Four\r\n"
              "[DataBase - 1]\r\nName=/data/one.mvd\r\nCount=7\r\nCountArc=0\r\n"
              "Time Begin=12\r\nTime End=20\r\nStep=0\r\nUserCount=2\r\nArchive Link=0\r\n"
              "User_1=PC1::anna\r\nUser_2=pc3::vera\r\n"
              "[DataBase - 2]\r\nName=\r\nCount=100\r\nCountArc=0\r\nTime Begin=9\r\n"
              "Time End=20\r\nStep=0\r\nUserCount=0\r\nArchive Link=0\r\n");
}

// A save that returned outlives a power loss right after it, its new name included.
TEST_F(ServerSettingsTest, ASavedChangeOutlivesAPowerLoss) {
    ServerSettings settings = Load(kThreeGroups);
    FaultInjectionEnv faulty;
    ScopedEnv scoped(faulty);
    faulty.trackUnsyncedData();
    settings.port = "7000";
    settings.Save(ini());
    faulty.dropUnsyncedData();
    EXPECT_EQ(IniFile(ini()).readString("NetWork", "Port"), "7000");
    EXPECT_FALSE(PosixEnv().fileExists(ini() + ".new"));
}

TEST_F(ServerSettingsTest, RemovingAGroupShowsTheOneBeforeIt) {
    ServerSettings settings = Load(kThreeGroups);
    EXPECT_EQ(settings.RemoveGroup(2), 1);
    EXPECT_EQ(settings.RemoveGroup(0), 0);
    EXPECT_EQ(settings.RemoveGroup(0), -1);
}

TEST_F(ServerSettingsTest, EachUserNameAndHostOnceInTheServer) {
    const ServerSettings settings = Load(kThreeGroups);
    const std::vector<UserValue> grid = {{"pc8", "zoe"}};  // group 1 on screen, as edited
    struct Case {
        UserValue user;
        NewUserCheck expected;
    };
    const Case cases[] = {
        {{"pc9", "gleb"}, NewUserCheck::UserExists},  // another group
        {{"pc9", "zoe"}, NewUserCheck::UserExists},   // the grid
        {{"pc9", "Gleb"}, NewUserCheck::Accepted},    // names compare with case
        {{"pc9", "boris"}, NewUserCheck::Accepted},   // stored for group 1, gone from its grid
        {{"10.0.0.5", "new"}, NewUserCheck::HostExists}, {{"pc8", "new"}, NewUserCheck::HostExists},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(settings.CheckNewUser(0, grid, c.user), c.expected)
            << c.user.host << " " << c.user.name;
    }
}

TEST(SettingsTextsTest, HostNormalFormAndDataFileName) {
    EXPECT_EQ(NormalHost("192.168.001.010"), "192.168.1.10");
    EXPECT_EQ(NormalHost("PC7"), "PC7");
    EXPECT_EQ(NormalHost("1.2.3"), "1.2.3");
    EXPECT_EQ(DataFileName("/d/diary"), "/d/diary.mvd");
    EXPECT_EQ(DataFileName("/d/diary.dat"), "/d/diary.dat");
    EXPECT_EQ(DataFileName("/d/diary.mv"), "/d/diary.mv.mvd");
    EXPECT_EQ(DataFileName("mvd"), "mvd.mvd");
}

TEST_F(ServerSettingsTest, AMissingFileIsCreatedWithTheDefaultsInTheRememberedLanguage) {
    Config.firstStartLanguage = 1;
    ServerSettings::CreateIfMissing(ini());
    const IniFile file(ini());
    EXPECT_EQ(file.readString("Options", "Language"), "1");
    EXPECT_EQ(file.readString("DataBases", "Alias1"), "First Group");
    EXPECT_EQ(file.readString("DataBase - 1", "Count"), "7");
    dir.writeFile("Server.ini", "kept");
    ServerSettings::CreateIfMissing(ini());
    EXPECT_EQ(dir.readFile("Server.ini"), "kept");
}

}  // namespace
}  // namespace merivo
