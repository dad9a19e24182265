#include "db/UnDBType.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "db/UnDBType_Packages.h"
#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"
#include "support/CapturedLog.h"
#include "support/FakeClock.h"
#include "support/FaultInjectionEnv.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

std::string Bytes(const std::uint8_t* at, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(at), n);
}

// ---- Short strings and integers ---------------------------------------------------------------

TEST(ShortStringTest, WritesLengthAndTextCutToCapacity) {
    std::uint8_t field[7] = {9, 9, 9, 9, 9, 9, 9};
    WriteShortString(field, 5, "abcdefgh");
    EXPECT_EQ(Bytes(field, 7), std::string("\x05"
                                           "abcde\x09",
                                           7));
    WriteShortString(field, 5, "xy");
    EXPECT_EQ(field[0], 2);
    EXPECT_EQ(ReadShortString(field, 5), "xy");
}

TEST(ShortStringTest, DamagedLengthByteNeverLeavesTheField) {
    std::uint8_t field[7] = {200, 'a', 'b', 'c', 'd', 'e', 'Z'};
    EXPECT_EQ(ReadShortString(field, 5), "abcde");
}

TEST(LittleEndianTest, IntegersAndDoublesAreLittleEndianAtAnyAddress) {
    std::uint8_t buffer[11] = {};
    WriteInt32(buffer + 1, -2);
    EXPECT_EQ(Bytes(buffer + 1, 4), std::string("\xFE\xFF\xFF\xFF", 4));
    EXPECT_EQ(ReadInt32(buffer + 1), -2);
    WriteUInt16(buffer + 3, 0x1234);
    EXPECT_EQ(buffer[3], 0x34);
    EXPECT_EQ(buffer[4], 0x12);
    WriteDouble(buffer + 3, 1.0);  // 0x3FF0000000000000
    EXPECT_EQ(Bytes(buffer + 3, 8), std::string("\0\0\0\0\0\0\xF0\x3F", 8));
    EXPECT_EQ(ReadDouble(buffer + 3), 1.0);
}

// ---- DayRecord --------------------------------------------------------------------------------

TEST(DayRecordTest, EveryFieldSitsAtItsOffset) {
    auto record = std::make_unique<DayRecord>();
    const std::uint8_t* b = record->data();
    record->setDate(46000.0);
    EXPECT_EQ(ReadDouble(b + 0), 46000.0);
    record->setTitle("T");
    EXPECT_EQ(Bytes(b + 12, 2), "\x01T");
    record->setScheduleTime(3, "10.00");
    EXPECT_EQ(Bytes(b + 2316 + 18, 6),
              "\x05"
              "10.00");
    record->setScheduleText(69, "last");
    EXPECT_EQ(Bytes(b + 2736 + 256 * 69, 5), "\x04last");
    record->setRowId(2, 0x01020304);
    EXPECT_EQ(Bytes(b + 20656 + 61 * 2 + 10, 4), "\x04\x03\x02\x01");
    record->setIdCounter(0xABCD);
    EXPECT_EQ(Bytes(b + 20664, 2), "\xCD\xAB");
    record->setListLine(1, 59, "L1");
    EXPECT_EQ(Bytes(b + 24926 + 256 * 59, 3), "\x02L1");
    record->setListLine(2, 0, "L2");
    EXPECT_EQ(Bytes(b + 40286, 3), "\x02L2");
    EXPECT_EQ(record->listLine(2, 0), "L2");
    EXPECT_EQ(record->rowId(2), 0x01020304);
    EXPECT_EQ(record->idCounter(), 0xABCD);
    // Row 69 text ends where the row blocks begin; list 2 line 59 ends where the tail begins.
    EXPECT_EQ(2736u + 256 * 70, day::kRowBlocks);
    EXPECT_EQ(40286u + 256 * 60, day::kTail);
    EXPECT_EQ(day::kTail + day::kTailSize, kDayRecordSize);
}

TEST(DayRecordTest, TextsAreCutToTheirCapacity) {
    auto record = std::make_unique<DayRecord>();
    record->setTitle(std::string(300, 'x'));
    EXPECT_EQ(record->title().size(), 255u);
    EXPECT_EQ(record->data()[12 + 256], 0) << "the memo block is not touched";
    record->setScheduleTime(0, "123456");
    EXPECT_EQ(record->scheduleTime(0), "12345");
}

std::vector<std::string> Labels(const DayRecord& day) {
    std::vector<std::string> labels;
    for (int row = 0; row < kScheduleRows; ++row) {
        const std::string label = day.scheduleTime(row);
        if (row % 2 == 1) {
            EXPECT_EQ(label, "") << "odd row " << row;
        } else if (!label.empty()) {
            labels.push_back(label);
        }
    }
    return labels;
}

TEST(InitTimeSlotsTest, OneHourStepFromNineToTwenty) {
    auto day = std::make_unique<DayRecord>();
    InitTimeSlots(*day, 9, 20, 0);
    const std::vector<std::string> labels = Labels(*day);
    ASSERT_EQ(labels.size(), 12u);
    EXPECT_EQ(labels.front(), " 9.00");
    EXPECT_EQ(labels[1], "10.00");
    EXPECT_EQ(labels.back(), "20.00");
    EXPECT_EQ(ReadInt32(day->data() + 8), 200000033);
}

TEST(InitTimeSlotsTest, TwoHourStepPassesTheEnd) {
    auto day = std::make_unique<DayRecord>();
    InitTimeSlots(*day, 9, 20, 1);
    EXPECT_EQ(Labels(*day), (std::vector<std::string>{" 9.00", "11.00", "13.00", "15.00", "17.00",
                                                      "19.00", "21.00"}));
}

TEST(InitTimeSlotsTest, AtMostThirtyFiveLabels) {
    auto day = std::make_unique<DayRecord>();
    InitTimeSlots(*day, 0, 100, 0);
    const std::vector<std::string> labels = Labels(*day);
    ASSERT_EQ(labels.size(), 35u);
    EXPECT_EQ(labels.front(), " 0.00");
    EXPECT_EQ(labels.back(), "34.00");
    EXPECT_EQ(day->scheduleTime(68), "34.00");
}

TEST(InitTimeSlotsTest, BeginAtOrAfterEndGivesOneLabel) {
    auto day = std::make_unique<DayRecord>();
    InitTimeSlots(*day, 20, 9, 0);
    EXPECT_EQ(Labels(*day), std::vector<std::string>{"20.00"});
}

TEST(InitTimeSlotsTest, EmptiesWhatWasThereBefore) {
    auto day = std::make_unique<DayRecord>();
    day->setTitle("old");
    day->data()[1036] = 7;  // the last of the five texts of title and memo
    day->setScheduleTime(1, "x");
    day->setScheduleText(5, "old");
    day->setRowId(69, 42);
    day->setIdCounter(9);
    day->setListLine(1, 0, "a");
    day->setListLine(2, 59, "b");
    InitTimeSlots(*day, 8, 8, 0);
    EXPECT_EQ(day->title(), "");
    EXPECT_EQ(day->data()[1036], 0);
    EXPECT_EQ(day->scheduleTime(0), " 8.00");
    EXPECT_EQ(day->scheduleTime(1), "");
    EXPECT_EQ(day->scheduleText(5), "");
    EXPECT_EQ(day->rowId(69), 0);
    EXPECT_EQ(day->idCounter(), 0);
    EXPECT_EQ(day->listLine(1, 0), "");
    EXPECT_EQ(day->listLine(2, 59), "");
}

TEST(InitTimeSlotsTest, ExtremeSettingsStayInsideTheRecord) {
    auto day = std::make_unique<DayRecord>();
    InitTimeSlots(*day, 2147483600, 2147483647, 2147483647);
    EXPECT_EQ(Labels(*day).size(), 2u);
    InitTimeSlots(*day, -5, 100, -1);  // never advances: 35 equal labels, then it stops
    EXPECT_EQ(Labels(*day).size(), 35u);
    EXPECT_EQ(day->scheduleTime(68), "-5.00");
}

// ---- Users and lookups ------------------------------------------------------------------------

class SharedStateTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetServerState(); }
    void TearDown() override { ResetServerState(); }

    TMyNameUser& AddUser(int db, const std::string& name, const std::string& host,
                         bool valid = true) {
        while (static_cast<int>(DBTable.size()) <= db)
            DBTable.push_back(std::make_unique<TMyDBUser>());
        auto user = std::make_unique<TMyNameUser>();
        user->name = name;
        user->host = host;
        user->valid = valid;
        user->databaseNumber = db;
        DBTable[db]->users.push_back(std::move(user));
        return *DBTable[db]->users.back();
    }
};

TEST_F(SharedStateTest, LookupsReturnTheFirstValidUserInTableOrder) {
    AddUser(0, "anna", "pc1", false);
    TMyNameUser& first = AddUser(0, "boris", "pc2");
    TMyNameUser& second = AddUser(1, "anna", "pc2");
    IndexUsers();
    EXPECT_EQ(FindUserByName("anna"), &second) << "the invalid anna is skipped";
    EXPECT_EQ(FindUserByName("Anna"), nullptr) << "names compare exactly";
    EXPECT_EQ(FindUserByHost("PC2"), &first) << "hosts compare lower-cased";
    EXPECT_EQ(FindUserByHost("pc1"), nullptr);
    second.connectionHandle = 17;
    EXPECT_EQ(FindUserByConnection(17), &second);
    EXPECT_EQ(FindUserByConnection(-1), nullptr) << "-1 is no connection, not a user";
}

TEST_F(SharedStateTest, OutgoingLookupMatchesTheSocketHandle) {
    TMyNameUser& user = AddUser(0, "anna", "pc1");
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    user.outgoing = std::make_shared<TcpSocket>(fd);
    AddUser(0, "boris", "pc2").outgoing = std::make_shared<TcpSocket>();  // closed: handle -1
    EXPECT_EQ(FindUserByOutgoing(fd), &user);
    EXPECT_EQ(FindUserByOutgoing(-1), nullptr) << "a socket without handle belongs to nobody";
}

TEST_F(SharedStateTest, ResetRestoresTheInitialValues) {
    Config.port = 1;
    Config.reconnect = 9;
    Config.directSend = false;
    Config.debugMode = true;
    AddUser(0, "anna", "pc1");
    AppendUserListEntry("anna", "pc1");
    ResetServerState();
    EXPECT_EQ(Config.port, 6340);
    EXPECT_EQ(Config.userPort, 6350);
    EXPECT_EQ(Config.reconnect, 3);
    EXPECT_TRUE(Config.directSend);
    EXPECT_TRUE(Config.tcpNoDelay);
    EXPECT_FALSE(Config.debugMode);
    EXPECT_TRUE(DBTable.empty());
    EXPECT_EQ(UserListImage.size(), 4u);
}

TEST(LowerAsciiTest, OnlyLettersAToZChange) {
    EXPECT_EQ(LowerAscii("PC-One\xC4Z"), "pc-one\xC4z");
}

// ---- Files held elsewhere ----------------------------------------------------------------------

class OpenRetryTest : public ::testing::Test {
  protected:
    void SetUp() override { CurrentTimeouts().fileOpenRetryMs = 50; }
    void TearDown() override { CurrentTimeouts() = Timeouts{}; }
    TempDir dir;
    FakeClock clock;
    ScopedClock scopedClock{clock};
    InstalledLog log;
};

TEST_F(OpenRetryTest, GivesUpAfterTheTimeoutWithAMessage) {
    const std::string path = dir.file("held.bin");
    dir.writeFile("held.bin", "x");
    auto holder = CurrentEnv().openFile(path, OpenMode::ReadWrite);
    EXPECT_EQ(OpenFileRetrying(path, OpenMode::Read), nullptr);
    EXPECT_GE(clock.sleptMs(), 50);
    EXPECT_EQ(clock.sleptMs() % 5, 0) << "retries every 5 ms";
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "Error occurred while opening the file: " + path + ".");
}

TEST_F(OpenRetryTest, OpensOnceTheOtherHolderCloses) {
    dir.writeFile("inbox.bin", "abc");
    auto file = OpenFileRetrying(dir.file("inbox.bin"), OpenMode::Read);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size(), 3);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(OpenRetryTest, LockedOpenKeepsTheThreadTableLockOnlyOnSuccess) {
    dir.writeFile("inbox.bin", "");
    auto tryLockElsewhere = [] {
        bool locked = false;
        std::thread([&] {
            locked = ThreadTableLock().try_lock();
            if (locked) ThreadTableLock().unlock();
        }).join();
        return locked;
    };
    auto file = OpenFileRetryingLocked(dir.file("inbox.bin"), OpenMode::ReadWrite);
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(tryLockElsewhere());
    file.reset();
    ThreadTableLock().unlock();
    auto holder = CurrentEnv().openFile(dir.file("inbox.bin"), OpenMode::Read);
    EXPECT_EQ(OpenFileRetryingLocked(dir.file("inbox.bin"), OpenMode::Read), nullptr);
    EXPECT_TRUE(tryLockElsewhere()) << "a give-up returns without the lock";
}

// Only a file held elsewhere is worth waiting for: a deleted inbox file is made again, empty,
// and any other failure gives up at once, so that the main thread never stands still for it.
TEST_F(OpenRetryTest, OnlyAFileHeldElsewhereIsWaitedFor) {
    CurrentTimeouts().fileOpenRetryMs = Timeouts{}.fileOpenRetryMs;
    const std::string path = dir.file("inbox.bin");
    FaultInjectionEnv env;
    ScopedEnv scoped(env);
    for (bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "locked" : "unlocked");
        log.clear();
        dir.writeFile("inbox.bin", "");
        std::filesystem::remove(path);
        auto recreated = locked ? OpenFileRetryingLocked(path, OpenMode::ReadWrite)
                                : OpenFileRetrying(path, OpenMode::Read);
        ASSERT_NE(recreated, nullptr);
        EXPECT_EQ(recreated->size(), 0);
        recreated.reset();
        if (locked) ThreadTableLock().unlock();

        env.failOn(FileOp::Open, "inbox.bin");
        EXPECT_EQ(locked ? OpenFileRetryingLocked(path, OpenMode::ReadWrite)
                         : OpenFileRetrying(path, OpenMode::Read),
                  nullptr);
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"Error occurred while opening the file: " + path + "."});
        EXPECT_EQ(clock.sleptMs(), 0);
        EXPECT_TRUE(std::filesystem::exists(path));
    }
}

TEST_F(SharedStateTest, InboxPathIsTheHostInTheMailFolder) {
    Config.pop3Dir = "/srv/POP3";
    TMyNameUser& user = AddUser(0, "anna", "pc-one");
    EXPECT_EQ(InboxPath(user), "/srv/POP3/pc-one.bin");
}

// ---- User list, notices, inbox entries --------------------------------------------------------

TEST(UserListTest, ImageIsTheCodeThenOneEntryPerUser) {
    ResetUserListImage();
    EXPECT_EQ(Bytes(UserListImage.data(), 4), std::string("\x88\x13\0\0", 4));
    EXPECT_EQ(AppendUserListEntry("anna", "pc1"), 4);
    EXPECT_EQ(AppendUserListEntry(std::string(60, 'n'), std::string(40, 'h')), 90);
    ASSERT_EQ(UserListImage.size(), 4u + 2 * 86);
    std::string first(86, '\0');
    first.replace(4, 5,
                  "\x04"
                  "anna");
    first.replace(55, 4,
                  "\x03"
                  "pc1");
    EXPECT_EQ(Bytes(UserListImage.data() + 4, 86), first);
    EXPECT_EQ(UserListImage[90 + 4], 50) << "names are cut to 50";
    EXPECT_EQ(UserListImage[90 + 55], 30) << "hosts are cut to 30";
    ResetUserListImage();
}

TEST(UserListTest, OnlineFlagAndNotice) {
    ResetUserListImage();
    TMyNameUser user;
    user.userListSlot = AppendUserListEntry("anna", "pc1");
    SetUserListOnline(user, true);
    EXPECT_EQ(ReadInt32(UserListImage.data() + 4), 1);
    const std::vector<std::uint8_t> notice = BuildUserListNotice(user);
    ASSERT_EQ(notice.size(), 94u);
    EXPECT_EQ(ReadInt32(notice.data()), 2000);
    EXPECT_EQ(ReadInt32(notice.data() + 4), 3);
    EXPECT_EQ(Bytes(notice.data() + 8, 86), Bytes(UserListImage.data() + 4, 86));
    SetUserListOnline(user, false);
    EXPECT_EQ(ReadInt32(UserListImage.data() + 4), 0);
    EXPECT_EQ(BuildMailWaitingNotice(), (std::vector<std::uint8_t>{0x70, 0x17, 0, 0}));
    ResetUserListImage();
}

TEST(UserListTest, SlotOutsideTheImageIsNeverTouched) {
    ResetUserListImage();
    TMyNameUser user;
    user.userListSlot = 4;  // no entry there yet
    SetUserListOnline(user, true);
    EXPECT_EQ(UserListImage.size(), 4u);
    EXPECT_EQ(Bytes(BuildUserListNotice(user).data() + 8, 86), std::string(86, '\0'));
}

TEST(InboxEntryTest, BytesOfAnEntry) {
    const std::vector<std::uint8_t> entry = BuildInboxEntry("anna", "pc1", "0123260115120000.mvm");
    ASSERT_EQ(entry.size(), 249u);
    std::string expected(249, '\0');
    expected[0] = 1;
    expected.replace(8, 5,
                     "\x04"
                     "anna");
    expected.replace(59, 4,
                     "\x03"
                     "pc1");
    expected.replace(90, 21,
                     "\x14"
                     "0123260115120000.mvm");
    EXPECT_EQ(Bytes(entry.data(), entry.size()), expected);
    EXPECT_EQ(InboxEntryPackageFile(entry.data()), "0123260115120000.mvm");
    const std::vector<std::uint8_t> cut =
        BuildInboxEntry(std::string(51, 'n'), std::string(31, 'h'), std::string(31, 'f'));
    EXPECT_EQ(cut[8], 50);
    EXPECT_EQ(cut[59], 30);
    EXPECT_EQ(InboxEntryPackageFile(cut.data()), std::string(30, 'f'));
}

}  // namespace
}  // namespace merivo
