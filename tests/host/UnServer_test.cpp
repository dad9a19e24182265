#include "host/UnServer.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "db/MessageCatalog.h"
#include "host/UnServer_Form.h"
#include "host/UnServer_Language.h"
#include "host/UnServer_Log.h"
#include "net/UnSockSr.h"
#include "platform/Config.h"
#include "platform/IniFile.h"
#include "platform/Log.h"
#include "support/CapturedLog.h"
#include "support/FakeClock.h"
#include "support/FaultInjectionEnv.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

void EnsureApplication() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "UnServer_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the test program
}

using Lines = std::vector<std::string>;

// Each test runs in a fresh program folder with the server's state reset.
class FreshProgramFolder : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { EnsureApplication(); }
    void SetUp() override {
        ResetServerState();
        Config.appDir = dir.path();
    }
    void TearDown() override { ResetServerState(); }

    TempDir dir;
};

// Each test runs start-up in a fresh program folder.
class ServerFolderTest : public FreshProgramFolder {
  protected:

    Lines Start() {
        InstalledLog log;
        InitServer();
        return log.lines();
    }
    void WriteIni(const std::string& text) { dir.writeFile("Server.ini", text); }

    // A complete file with the given groups appended after the network section.
    static std::string Ini(const std::string& databases,
                           const std::string& options = "Language=0\n",
                           const std::string& port = "7000") {
        return "[Options]\n" + options + "[NetWork]\nPort=" + port +
               "\nDirectSend=1\nTCPNoDelay=1\nReconnect=2\n" + databases;
    }
    static std::string Group(int k, const std::string& users, int userCount) {
        return "[DataBase - " + std::to_string(k) +
               "]\nName=\nCount=7\nCountArc=0\nTime Begin=9\nTime End=20\nStep=0\n"
               "Archive Link=0\nUserCount=" +
               std::to_string(userCount) + "\n" + users;
    }
};

// ---- First start --------------------------------------------------------------------------------

TEST_F(ServerFolderTest, FirstStartWritesTheDefaultsAndStartsWithThem) {
    EXPECT_EQ(Start(),
              (Lines{"Created file Server.ini", "Start!",
                     "User list of server is empty. See Settings", "Initialization -> Ok!"}));
    const IniFile ini(dir.file("Server.ini"));
    EXPECT_EQ(ini.readString("Options", "Language"), "0");
    EXPECT_EQ(ini.readString("NetWork", "Debug"), "0");
    EXPECT_EQ(ini.readString("DataBase - 1", "UserCount"), "0");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("POP3")));
    ASSERT_EQ(DBTable.size(), 1u);
    EXPECT_EQ(DBTable[0]->alias, "First Group");
    EXPECT_EQ(DBTable[0]->recordLimit, 7);
    EXPECT_EQ(DBTable[0]->EmptyDay.scheduleTime(0), " 9.00");
    EXPECT_EQ(DBTable[0]->EmptyDay.scheduleTime(22), "20.00");
    EXPECT_EQ(DBTable[0]->EmptyDay.scheduleTime(24), "");
    EXPECT_EQ(Config.port, 6340);
    EXPECT_EQ(Config.reconnect, 5);
    EXPECT_EQ(UserListImage.size(), 4u);
}

TEST_F(ServerFolderTest, RussianLicenceMakesTheFirstStartRussian) {
    std::string licence(300, ' ');
    licence.replace(100, 7, "\xC4\xCE\xC3\xCE\xC2\xCE\xD0");
    dir.writeFile("License.txt", licence);
    const Catalogue& ru = RussianCatalogue();
    EXPECT_EQ(Start(), (Lines{Msg(ru, msgCreatedServerIni), Msg(ru, msgStart),
                              Msg(ru, msgUserListEmpty), Msg(ru, msgInitOk)}));
    EXPECT_EQ(IniFile(dir.file("Server.ini")).readString("Options", "Language"), "1");
    EXPECT_EQ(Config.firstStartLanguage, 1);
}

TEST_F(ServerFolderTest, MailFolderThatCannotBeCreatedStopsTheStart) {
    FaultInjectionEnv env;
    env.failOn(FileOp::CreateFolder, "POP3", 1, kForever);
    ScopedEnv scoped(env);
    InstalledLog log;
    EXPECT_THROW(InitServer(), StartupError);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("Server.ini")));
}

// ---- Options and network
// -------------------------------------------------------------------------

TEST_F(ServerFolderTest, SectionsAndKeysAreFoundWhateverTheirCase) {
    WriteIni(
        "[options]\nlanguage=0\ndebug=1\n[network]\nport=7001\ndirectsend=0\n"
        "tcpnodelay=0\nreconnect=4\n[databases]\ncount=0\n");
    Lines lines = Start();
    EXPECT_EQ(lines.back(), "Initialization -> Ok!");
    EXPECT_EQ(Config.port, 7001);
    EXPECT_EQ(Config.userPort, 7011);
    EXPECT_FALSE(Config.directSend);
    EXPECT_FALSE(Config.tcpNoDelay);
    EXPECT_EQ(Config.reconnect, 4);
    EXPECT_TRUE(Config.debugMode);
}

TEST_F(ServerFolderTest, DebugModeNeedsExactlyOne) {
    for (const std::string value : {"01", "yes", "1.0"}) {
        ResetServerState();
        Config.appDir = dir.path();
        WriteIni("[Options]\nLanguage=0\nDEBUG=" + value +
                 "\n[NetWork]\nPort=7000\n"
                 "DirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=0\n");
        Start();
        EXPECT_FALSE(Config.debugMode) << value;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("debug.log")));
}

TEST_F(ServerFolderTest, DebugModeCreatesDebugLogAndMarksTheRun) {
    WriteIni(
        "[Options]\nLanguage=0\nDEBUG=1\n[NetWork]\nPort=7000\nDirectSend=1\n"
        "TCPNoDelay=1\n[DataBases]\nCount=0\n");
    EXPECT_EQ(Start(), (Lines{"\r\n--DEBUG--", "Start!", "Initialization -> Ok!"}));
    EXPECT_TRUE(std::filesystem::exists(dir.file("debug.log")));
}

TEST_F(ServerFolderTest, LanguageOtherThanOneOrBadMeansEnglishWithoutDebug) {
    WriteIni("[Options]\nLanguage=2\n[DataBases]\nCount=0\n");
    EXPECT_EQ(Start().front(), "Start!");
    ResetServerState();
    Config.appDir = dir.path();
    WriteIni("[Options]\nLanguage=x\nDEBUG=1\n");
    EXPECT_EQ(Start().front(), "Start!");
    EXPECT_FALSE(Config.debugMode) << "a bad Language leaves the DEBUG key unread";
    ResetServerState();
    Config.appDir = dir.path();
    WriteIni("[Options]\nLanguage=257\n");
    EXPECT_EQ(Start().front(), Msg(RussianCatalogue(), msgStart)) << "only the low 8 bits count";
}

TEST_F(ServerFolderTest, MissingReconnectMeansFive) {
    WriteIni("[NetWork]\nPort=7000\nDirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=0\n");
    Start();
    EXPECT_EQ(Config.reconnect, 5);
}

TEST_F(ServerFolderTest, BadPortStopsTheStartBeforeAnyGroup) {
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + Group(1, "", 0), "Language=0\n", "abc"));
    EXPECT_EQ(Start(), (Lines{"Start!", "Incorrect Initialization -> Error in settings."}));
    EXPECT_TRUE(DBTable.empty());
    EXPECT_EQ(Config.port, 6340);
    EXPECT_EQ(Config.reconnect, 3) << "settings after the bad one keep their initial values";
}

TEST_F(ServerFolderTest, PortOutsideTheRangeOfPortsIsABadPort) {
    WriteIni("[NetWork]\nPort=70000\nDirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=0\n");
    EXPECT_EQ(Start().back(), "Incorrect Initialization -> Error in settings.");
    EXPECT_EQ(Config.port, 6340);
}

// The users are reached at Port + 10, which must be a port too: 65530 would make it 65540, which
// a socket address silently turns into port 4.
TEST_F(ServerFolderTest, PortWhoseUserPortIsNoPortIsABadPort) {
    WriteIni("[NetWork]\nPort=65530\nDirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=0\n");
    EXPECT_EQ(Start().back(), "Incorrect Initialization -> Error in settings.");
    EXPECT_EQ(Config.port, 6340);
    EXPECT_EQ(Config.userPort, 6350);

    ResetServerState();
    Config.appDir = dir.path();
    WriteIni("[NetWork]\nPort=65525\nDirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=0\n");
    EXPECT_EQ(Start().back(), "Initialization -> Ok!");
    EXPECT_EQ(Config.userPort, 65535);
}

TEST_F(ServerFolderTest, ImpossibleGroupCountIsASettingsError) {
    for (const char* count : {"-1", "2000000000"}) {
        WriteIni(Ini(std::string("[DataBases]\nCount=") + count + "\n"));
        EXPECT_EQ(Start().back(), "Incorrect Initialization -> Error in settings.") << count;
        EXPECT_TRUE(DBTable.empty());
    }
}

// ---- Groups
// ---------------------------------------------------------------------------------------

TEST_F(ServerFolderTest, MissingGroupSectionIsReportedAndTheGroupBuiltEmpty) {
    WriteIni(Ini("[DataBases]\nCount=2\nAlias1=A\nAlias2=B\n" + Group(1, "User_1=pc1::anna\n", 1)));
    EXPECT_EQ(Start(),
              (Lines{"Start!", "Incorrect parameters of database: B",
                     "Incorrect time parameters of group: B", "Initialization -> with errors!"}));
    ASSERT_EQ(DBTable.size(), 2u);
    EXPECT_TRUE(DBTable[1]->users.empty());
}

TEST_F(ServerFolderTest, BadTimeKeysSkipTheLoadAndTheEmptyListNotice) {
    std::string group = Group(1, "", 0);
    group.replace(group.find("Step=0"), 6, "Step=x");
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + group));
    EXPECT_EQ(Start(), (Lines{"Start!", "Incorrect time parameters of group: A",
                              "Initialization -> with errors!"}));
}

TEST_F(ServerFolderTest, NegativeUserCountIsABadGroupParameter) {
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + Group(1, "", -1)));
    EXPECT_EQ(Start(), (Lines{"Start!", "Incorrect parameters of database: A",
                              "Initialization -> with errors!"}));
    EXPECT_TRUE(DBTable[0]->users.empty());
}

TEST_F(ServerFolderTest, ImpossibleUserCountBuildsNoUsers) {
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + Group(1, "", 2000000000)));
    EXPECT_EQ(Start(), (Lines{"Start!", "Incorrect parameters of database: A",
                              "User list of server is empty. See Settings",
                              "Initialization -> with errors!"}));
    EXPECT_TRUE(DBTable[0]->users.empty());
}

TEST_F(ServerFolderTest, DataFileThatCannotBeLoadedIsReportedWithoutFailingTheStart) {
    std::string group = Group(1, "User_1=pc1::anna\n", 1);
    group.replace(group.find("Name="), 5, "Name=" + dir.file("missing/folder/data.mvd"));
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + group));
    const Lines lines = Start();
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "Error in creating database index or correction:A"),
        lines.end());
    EXPECT_EQ(lines.back(), "Initialization -> Ok!");
}

// ---- Users
// ----------------------------------------------------------------------------------------

TEST_F(ServerFolderTest, UsersGetTheirEntriesInboxesAndLowerCaseHosts) {
    WriteIni(Ini("[DataBases]\nCount=2\nAlias1=A\nAlias2=B\n" +
                 Group(1, "User_1=PC-ONE::Anna\nUser_2=10.0.0.5::boris\n", 2) +
                 Group(2, "User_1=pc7::Clara\n", 1)));
    EXPECT_EQ(Start(), (Lines{"Start!", "Initialization -> Ok!"}));
    ASSERT_EQ(DBTable.size(), 2u);
    const TMyNameUser& anna = *DBTable[0]->users[0];
    EXPECT_TRUE(anna.valid);
    EXPECT_EQ(anna.host, "pc-one");
    EXPECT_EQ(anna.name, "Anna");
    EXPECT_EQ(anna.connectionHandle, -1);
    EXPECT_EQ(anna.userListSlot, 4);
    EXPECT_EQ(DBTable[0]->users[1]->userListSlot, 90);
    const TMyNameUser& clara = *DBTable[1]->users[0];
    EXPECT_EQ(clara.userListSlot, 176);
    EXPECT_EQ(clara.databaseNumber, 1);
    EXPECT_EQ(UserListImage.size(), 4u + 3 * kUserListEntrySize);
    EXPECT_EQ(ReadShortString(UserListImage.data() + 4 + 4, 50), "Anna");
    EXPECT_EQ(ReadShortString(UserListImage.data() + 4 + 55, 30), "pc-one");
    for (const char* inbox : {"pc-one.bin", "10.0.0.5.bin", "pc7.bin"}) {
        EXPECT_TRUE(std::filesystem::exists(dir.file(std::string("POP3/") + inbox))) << inbox;
    }
}

// No connection owns a spill file at start: those of packages cut off by the end of the last run
// go; the stored mail and the inbox files stay.
TEST_F(ServerFolderTest, StartRemovesLeftSpillFilesOnly) {
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + Group(1, "User_1=pc1::anna\n", 1)));
    std::filesystem::create_directory(dir.file("POP3"));
    const std::vector<std::string> kept = {"pc1.bin", "01231231231231.mvm"};
    for (const std::string& name :
         {std::string("pc1123456.buf"), std::string("pc1987.buf"), kept[0], kept[1]}) {
        dir.writeFile("POP3/" + name, "x");
    }
    Start();
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("POP3"))) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end(), std::greater<>());
    EXPECT_EQ(left, kept);
}

TEST_F(ServerFolderTest, DuplicateHostInAnotherGroupMakesTheSecondInvalid) {
    WriteIni(Ini("[DataBases]\nCount=2\nAlias1=A\nAlias2=B\n" + Group(1, "User_1=pc1::anna\n", 1) +
                     Group(2, "User_1=PC1::boris\n", 1),
                 "Language=0\nDEBUG=1\n"));
    const Lines lines = Start();
    EXPECT_EQ(lines, (Lines{"\r\n--DEBUG--", "Start!",
                            "This user or hostname already exist! -> boris (pc1)",
                            "Error! Uncorrect Name of user -> Database: B, User: boris",
                            "Initialization -> with errors!"}));
    EXPECT_TRUE(DBTable[0]->users[0]->valid);
    EXPECT_FALSE(DBTable[1]->users[0]->valid);
    EXPECT_EQ(DBTable[1]->users[0]->userListSlot, 90) << "an invalid user keeps its entry";
    EXPECT_EQ(FindUserByHost("pc1"), DBTable[0]->users[0].get());
}

// A host is the name of its inbox file in the mail folder; one with a path separator would put
// that file elsewhere, so its user is not served.
TEST_F(ServerFolderTest, HostWithAPathSeparatorMakesTheUserInvalidWithoutAnInbox) {
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" +
                     Group(1, "User_1=../pc1::anna\nUser_2=pc\\2::boris\nUser_3=pc3::clara\n", 3),
                 "Language=0\nDEBUG=1\n"));
    EXPECT_EQ(Start(), (Lines{"\r\n--DEBUG--", "Start!",
                              "Error! Uncorrect Name of user -> Database: A, User: anna",
                              "Error! Uncorrect Name of user -> Database: A, User: boris",
                              "Initialization -> with errors!"}));
    EXPECT_FALSE(DBTable[0]->users[0]->valid);
    EXPECT_FALSE(DBTable[0]->users[1]->valid);
    EXPECT_TRUE(DBTable[0]->users[2]->valid);
    EXPECT_EQ(UserListImage.size(), 4u + 3 * kUserListEntrySize);
    EXPECT_FALSE(std::filesystem::exists(dir.file("pc1.bin")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("POP3/pc3.bin")));
}

TEST_F(ServerFolderTest, UserValueWithoutSeparatorHasNoHost) {
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + Group(1, "User_1=pc1\n", 1)));
    EXPECT_EQ(Start(), (Lines{"Start!", "This user or hostname already exist! -> c1 ()",
                              "Initialization -> with errors!"}));
    EXPECT_EQ(DBTable[0]->users[0]->host, "");
    EXPECT_EQ(DBTable[0]->users[0]->name, "c1");
}

TEST_F(ServerFolderTest, UserStepFailureIsASettingsError) {
    FaultInjectionEnv env;
    env.failOn(FileOp::Open, "pc1.bin", 1, kForever);
    ScopedEnv scoped(env);
    WriteIni(Ini("[DataBases]\nCount=1\nAlias1=A\n" + Group(1, "User_1=pc1::anna\n", 1)));
    EXPECT_EQ(Start(), (Lines{"Start!", "Incorrect Initialization -> Error in settings."}));
}

// ---- Settings check
// --------------------------------------------------------------------------------

// The check logs what a start would log and says whether the start would be clean; it creates
// nothing in the folder (no mail folder, inbox, debug.log, nor a missing Server.ini).
TEST_F(ServerFolderTest, CheckJudgesTheSettingsAndLeavesTheFolderAsItWas) {
    struct Case {
        const char* name;
        std::string ini;  // empty: no Server.ini
        bool clean;
        std::string reported;  // a line of the check's log
    };
    const std::string users = "User_1=127.0.0.2::Anna\nUser_2=127.0.0.3::Boris\n";
    const std::vector<Case> cases = {
        {"good", Ini("[DataBases]\nCount=1\nAlias1=A\n" + Group(1, users, 2), "DEBUG=1\n"), true,
         "Initialization -> Ok!"},
        {"duplicate host",
         Ini("[DataBases]\nCount=2\nAlias1=A\nAlias2=B\n" + Group(1, users, 2) +
             Group(2, "User_1=127.0.0.3::Clara\n", 1)),
         false, "This user or hostname already exist! -> Clara (127.0.0.3)"},
        {"port out of range", Ini("[DataBases]\nCount=0\n", "", "65530"), false,
         "Incorrect Initialization -> Error in settings."},
        {"bad group", Ini("[DataBases]\nCount=2\nAlias1=A\n" + Group(1, users, 2)), false,
         "Incorrect parameters of database: "},
        {"no Server.ini", "", false, "Missing file Server.ini -> " + dir.file("Server.ini")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetServerState();
        Config.appDir = dir.path();
        std::filesystem::remove(dir.file("Server.ini"));
        if (!c.ini.empty()) WriteIni(c.ini);
        InstalledLog log;
        EXPECT_EQ(CheckSettings(), c.clean);
        EXPECT_TRUE(log.contains(c.reported));
        const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()),
                                           std::filesystem::directory_iterator());
        EXPECT_EQ(entries, c.ini.empty() ? 0 : 1);
    }
}

// ---- Language at first start
// ----------------------------------------------------------------------

TEST_F(ServerFolderTest, LicenceDecidesOnlyWithAllOf255Bytes) {
    const std::string word = "\xC4\xCE\xC3\xCE\xC2\xCE\xD0";
    std::string licence(254, ' ');
    licence.replace(0, word.size(), word);
    dir.writeFile("License.txt", licence);
    EXPECT_EQ(LanguageFromLicence(dir.file("License.txt")), std::nullopt);
    EXPECT_EQ(ChooseLanguage(), 0) << "without a display the dialog answers English";

    licence = std::string(300, ' ');
    licence.replace(250, word.size(), word);
    dir.writeFile("License.txt", licence);
    EXPECT_EQ(ChooseLanguage(), 0) << "the word does not fit into the first 255 bytes";

    licence = std::string(255, ' ');
    licence.replace(248, word.size(), word);
    dir.writeFile("License.txt", licence);
    EXPECT_EQ(ChooseLanguage(), 1);

    std::filesystem::remove(dir.file("License.txt"));
    EXPECT_EQ(LanguageFromLicence(dir.file("License.txt")), std::nullopt);
}

// ---- Log window
// -----------------------------------------------------------------------------------

class LogWindowTest : public FreshProgramFolder {
  protected:

    static QString NumberedLines(int count) {
        QStringList lines;
        for (int i = 0; i < count; ++i) lines << QString::number(i);
        return lines.join('\n');
    }

    FakeClock clock;  // noon
    ScopedClock scopedClock{clock};
};

TEST_F(LogWindowTest, FullMemoLosesItsTwentyOldestLines) {
    QPlainTextEdit memo;
    memo.setPlainText(NumberedLines(101));
    AddMemoLine(memo, "new");
    EXPECT_EQ(memo.document()->blockCount(), 82);
    EXPECT_EQ(memo.document()->firstBlock().text(), "new");
    EXPECT_EQ(memo.document()->lastBlock().text(), "80");

    memo.setPlainText(NumberedLines(100));
    AddMemoLine(memo, "new");
    EXPECT_EQ(memo.document()->blockCount(), 101);
    EXPECT_EQ(memo.document()->lastBlock().text(), "99");
}

TEST_F(LogWindowTest, FirstLineOfAnEmptyMemoLeavesNoEmptyLine) {
    QPlainTextEdit memo;
    AddMemoLine(memo, "one");
    AddMemoLine(memo, "two");
    EXPECT_EQ(memo.toPlainText(), "two\none");
}

TEST_F(LogWindowTest, MainWindowShowsTheLogNewestFirstWithTheTime) {
    TFormMVServer window;
    EXPECT_EQ(FormMVServer, &window);
    EXPECT_EQ(window.windowTitle(), "Merivo Server");
    EXPECT_EQ(window.size(), QSize(497, 301));
    EXPECT_EQ(window.Button1->text(), "Settings");
    EXPECT_EQ(window.Label1->text(), "Connections: 0");
    EXPECT_EQ(window.MemoErrSock->document()->blockCount(), 102);
    EXPECT_EQ(window.MemoErrSock->document()->findBlockByNumber(54).text(),
              "WSAECONNRESET           (WSABASEERR+54)");
    WriteLog("first");
    WriteLog("second\r\nline");
    EXPECT_EQ(window.Logs->toPlainText(), "12:00:00 second\nline\n12:00:00 first");
}

TEST_F(LogWindowTest, LinesFromOtherThreadsArriveInOrder) {
    TFormMVServer window;
    std::thread worker([] {
        for (int i = 0; i < 5; ++i) WriteLog("worker " + std::to_string(i));
    });
    worker.join();
    WriteLog("main");
    EXPECT_EQ(window.Logs->toPlainText(),
              "12:00:00 main\n12:00:00 worker 4\n12:00:00 worker 3\n12:00:00 worker 2\n"
              "12:00:00 worker 1\n12:00:00 worker 0");
}

TEST_F(LogWindowTest, ConnectionCountIsShownUntilTheWindowCloses) {
    TFormMVServer window;
    ASSERT_TRUE(OnConnectionCountChanged);
    OnConnectionCountChanged(3);
    EXPECT_EQ(window.Label1->text(), "Connections: 3");
    window.close();
    EXPECT_FALSE(OnConnectionCountChanged);
}

TEST_F(LogWindowTest, ClosedWindowDropsEveryLine) {
    TFormMVServer window;
    WriteLog("before");
    window.close();
    EXPECT_EQ(FormMVServer, nullptr);
    WriteLog("after");
    EXPECT_EQ(window.Logs->toPlainText(), "12:00:00 before");
}

TEST_F(LogWindowTest, RussianStartChangesTheCaptions) {
    TFormMVServer window;
    dir.writeFile("Server.ini", "[Options]\nLanguage=1\n[NetWork]\nPort=x\n");
    InitServer();
    EXPECT_EQ(window.Button1->text(), UiText(Msg(RussianCatalogue(), msgSettings)));
    EXPECT_EQ(window.Label1->text(), QString::fromUtf8("Соединения: 0"));
    EXPECT_TRUE(
        window.Logs->toPlainText().startsWith(UiText("12:00:00 " + Msg(msgInitSettingsError))));
}

TEST_F(LogWindowTest, SettingsButtonCallsTheOpenerThatTheProgramSet) {
    TFormMVServer window;
    QTest::mouseClick(window.Button1, Qt::LeftButton);  // no opener yet: nothing happens
    QWidget* opened = nullptr;
    SettingsDialogOpener = [&](QWidget* mainWindow) { opened = mainWindow; };
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    SettingsDialogOpener = nullptr;
    EXPECT_EQ(opened, &window);
}

TEST_F(LogWindowTest, PanelTextsFitThePanelInBothLanguages) {
    for (int language : {0, 1}) {
        SelectCatalogue(language);
        TFormMVServer window;
        window.ShowStartCaptions();
        window.ShowConnectionCount(12345);
        const QRect panel(0, 0, 97, window.height());
        EXPECT_TRUE(panel.contains(window.Button1->geometry())) << language;
        EXPECT_GE(window.Button1->width(), window.Button1->sizeHint().width()) << language;
        EXPECT_TRUE(panel.contains(window.Label1->geometry())) << language;
        EXPECT_GE(window.Label1->height(), window.Label1->heightForWidth(window.Label1->width()));
    }
}

TEST_F(LogWindowTest, TrayMenuShowHidesAndShowsTheWindowWithItsMark) {
    TFormMVServer window;
    SelectCatalogue(1);
    window.ShowTrayIcon();
    ASSERT_NE(window.TrayIcon, nullptr);
    EXPECT_EQ(window.TrayIcon->toolTip(), "Merivo Server");
    EXPECT_EQ(window.TrayIcon->contextMenu(), window.PMServer);
    EXPECT_EQ(window.Show1->text(), UiText(Msg(RussianCatalogue(), msgShow)));
    window.show();
    EXPECT_TRUE(window.Show1->isChecked());
    window.Show1->trigger();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.Show1->isChecked());
    WriteLog("hidden");
    EXPECT_TRUE(window.Logs->toPlainText().startsWith("12:00:00 hidden"));
    window.Show1->trigger();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.Show1->isChecked());
}

TEST_F(LogWindowTest, DebugLogIsAppendedWhileItExists) {
    dir.writeFile("debug.log", "old\r\n");
    {
        TFormMVServer window;
        WriteLog("not in debug mode");
        Config.debugMode = true;
        WriteLog("a");
        DebugLog("b");
    }  // a window that goes has had its lines written
    EXPECT_EQ(dir.readFile("debug.log"), "old\r\n12:00:00 a\r\n12:00:00 b\r\n");
    std::filesystem::remove(dir.file("debug.log"));
    {
        TFormMVServer window;
        WriteLog("lost");
        EXPECT_TRUE(window.Logs->toPlainText().startsWith("12:00:00 lost"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("debug.log")));
}

// The toolkit's messages wait for the settings, then go to debug.log in debug mode only.
TEST_F(LogWindowTest, ToolkitMessagesGoToDebugLogInDebugModeOnly) {
    dir.writeFile("debug.log", "");
    {
        ToolkitMessageRoute route;
        qWarning("before the settings");
        Config.debugMode = true;
        route.settingsRead();
        qWarning("in debug mode");
        Config.debugMode = false;
        qWarning("outside debug mode");
    }
    EXPECT_EQ(dir.readFile("debug.log"),
              "12:00:00 before the settings\r\n12:00:00 in debug mode\r\n");
}

// While the window's writer holds debug.log open, the toolkit's messages reach the file through
// that writer, in order with the log lines.
TEST_F(LogWindowTest, ToolkitMessagesReachDebugLogHeldOpenByTheWindowsWriter) {
    dir.writeFile("debug.log", "");
    ToolkitMessageRoute route;
    Config.debugMode = true;
    route.settingsRead();
    TFormMVServer window;
    WriteLog("line");
    window.WaitForLogOutput();  // the writer holds debug.log open from here on
    qWarning("toolkit");
    WriteLog("after");
    window.WaitForLogOutput();
    EXPECT_EQ(dir.readFile("debug.log"), "12:00:00 line\r\n12:00:00 toolkit\r\n12:00:00 after\r\n");
}

TEST_F(LogWindowTest, DebugLogWritesNothingOutsideDebugMode) {
    TFormMVServer window;
    dir.writeFile("debug.log", "");
    DebugLog("trace");
    EXPECT_EQ(window.Logs->toPlainText(), "");
    EXPECT_EQ(dir.readFile("debug.log"), "");
}

}  // namespace
}  // namespace merivo
