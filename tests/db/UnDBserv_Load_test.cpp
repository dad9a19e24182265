// Loading a database at start-up: archiving, and the messages and flags the load leaves. Every
// record is compared byte for byte: a day is filled with bytes of its own, so a record that was
// moved must arrive unchanged.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "db/UnDBserv.h"
#include "db/UnDBserv_DayFiles.h"
#include "platform/Config.h"
#include "platform/FileLock.h"
#include "platform/SingleInstance.h"
#include "support/FaultInjectionEnv.h"

namespace merivo {
namespace {

class LoadTest : public DayFileTest {};

// ---- Archiving --------------------------------------------------------------------------------

// Days first .. first + count - 1, each with bytes of its own.
std::vector<std::string> Days(std::int64_t first, int count, int variant = 0) {
    std::vector<std::string> days;
    for (int k = 0; k < count; ++k) days.push_back(DayBytes(first + k, variant));
    return days;
}

std::vector<std::string> Slice(const std::vector<std::string>& days, int from, int to) {
    return {days.begin() + from, days.begin() + to};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(LoadTest, MovesTheOldestPastDaysBeyondTheLimitToANewArchive) {
    SetToday(1040);
    const std::vector<std::string> days = Days(1000, 43);  // 40 past, 3 from today on
    WriteData(days);
    db().recordLimit = 30;
    db().archiveLimit = 100;
    StartDatabase(db());
    ExpectArchive(Slice(days, 0, 10));
    ExpectData(Slice(days, 10, 43));
    EXPECT_FALSE(db().insertBeforeFirstAllowed);
    EXPECT_EQ(db().firstDate, 1010);
    EXPECT_EQ(db().TmyDBIndex.size(), 33u);
    EXPECT_FALSE(db().busy);
}

TEST_F(LoadTest, TrimsTheArchiveToItsLimitDroppingTheOldest) {
    SetToday(1040);
    const std::vector<std::string> days = Days(1000, 43);
    const std::vector<std::string> archived = Days(500, 95, 1);
    WriteData(days);
    WriteArchive(archived);
    db().recordLimit = 30;
    db().archiveLimit = 100;
    StartDatabase(db());
    ExpectArchive(Join(Slice(archived, 5, 95), Slice(days, 0, 10)));
    ExpectData(Slice(days, 10, 43));
}

TEST_F(LoadTest, AnArchiveLimitOfZeroLeavesAnEmptyArchive) {
    SetToday(1040);
    const std::vector<std::string> days = Days(1000, 43);
    WriteData(days);
    db().recordLimit = 30;
    db().archiveLimit = 0;
    StartDatabase(db());
    ExpectArchive({});
    ExpectData(Slice(days, 10, 43));
    EXPECT_TRUE(db().insertBeforeFirstAllowed);  // the archive did not exist and stays empty
    EXPECT_EQ(db().firstDate, 0);
}

TEST_F(LoadTest, NeverArchivesTodayOrLaterEvenWithANegativeLimit) {
    SetToday(1005);
    const std::vector<std::string> days = Days(1000, 10);
    WriteData(days);
    db().recordLimit = -3;
    StartDatabase(db());
    ExpectArchive(Slice(days, 0, 5));
    ExpectData(Slice(days, 5, 10));
}

TEST_F(LoadTest, InsertBeforeFirstIsAllowedOnlyForSmallFilesWithoutArchive) {
    struct Case {
        int records;
        bool archiveExists;
        bool allowed;
    };
    for (const Case c : {Case{60, false, true}, Case{61, false, false}, Case{5, true, false}}) {
        SCOPED_TRACE(testing::Message() << c.records << " records, archive " << c.archiveExists);
        Reset();
        SetToday(900);
        WriteData(Days(1000, c.records));
        if (c.archiveExists) WriteArchive({});
        StartDatabase(db());
        EXPECT_EQ(db().insertBeforeFirstAllowed, c.allowed);
        EXPECT_EQ(db().firstDate, c.allowed ? 0 : 1000);
    }
}

TEST_F(LoadTest, DoesNothingWhileBusy) {
    SetToday(102);
    WriteData({Day(100), Day(104)});
    db().busy = true;
    LoadAndArchive(db());
    ExpectData({Day(100), Day(104)});
    EXPECT_TRUE(db().busy);
}

// Another server or a restructure holds the data file (here through a second open file
// description): the start neither loads nor changes it, and a check beside it says so, unless the
// holder is the server of the program folder, whose files its restart lets go.
TEST_F(LoadTest, ADataFileAnotherProcessHoldsIsNeitherLoadedNorChanged) {
    const std::string held = "Another process holds the data file. Group not loaded: G";
    Config.appDir = dir.path();
    SetToday(1040);
    db().recordLimit = 1;
    const std::vector<std::string> days = {Day(1000), Day(1003), Day(1040)};
    WriteData(days);
    {
        FileLock otherServer(db().dataFilePath, false);
        ASSERT_TRUE(otherServer.acquired());
        EXPECT_FALSE(StartDatabase(db()));
        EXPECT_TRUE(DataFileHeldElsewhere(db()));
        ExpectData(days);
        EXPECT_FALSE(std::filesystem::exists(dir.file("group.arc")));
        EXPECT_TRUE(db().TmyDBIndex.empty());
        EXPECT_FALSE(CheckDatabase(db()));
        EXPECT_EQ(log.lines(), (std::vector<std::string>{held, held}));
    }
    log.clear();
    SingleInstanceGuard folderServer(dir.path());
    FileLock folderServersLock(db().dataFilePath, false);
    EXPECT_TRUE(CheckDatabase(db()));
    EXPECT_TRUE(log.lines().empty());
}

TEST(ArchivePathTest, ReplacesTheExtensionOfTheFileName) {
    EXPECT_EQ(ArchivePath("/data/group.mvd"), "/data/group.arc");
    EXPECT_EQ(ArchivePath("/data/v1.2/group"), "/data/v1.2/group.arc");
    EXPECT_EQ(ArchivePath("C:\\data\\group.x.mvd"), "C:\\data\\group.x.arc");
}

// ---- Failures ---------------------------------------------------------------------------------

class LoadFailureTest : public LoadTest {
  protected:
    FaultInjectionEnv faults;
    ScopedEnv useFaults{faults};
};

std::vector<std::string> Records(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const std::vector<std::string>& part : parts) all = Join(std::move(all), part);
    return all;
}

// A day long before the others (an old file, a server that ran for months, a date typed as 1900)
// must not make the start fill every day in between only to archive and drop them: the files end
// exactly as with every day filled, and no more past days are filled than the group keeps.
TEST_F(LoadFailureTest, AStartFillsOnlyTheDaysItKeepsAndEndsAsAFullFillWould) {
    const std::int64_t t = 50000;  // today
    const auto empties = [this](std::int64_t first, std::int64_t last) {
        std::vector<std::string> days;
        for (std::int64_t day = first; day <= last; ++day) days.push_back(Empty(day));
        return days;
    };
    struct Case {
        const char* what;
        int count, countArc;
        std::optional<std::vector<std::string>> archive;  // none: no archive file
        std::vector<std::string> data;
        std::optional<std::vector<std::string>> expectedArchive;
        std::vector<std::string> expectedData;
    };
    const std::vector<Case> cases = {
        {"a far past day, no archive kept", 7, 0, {}, {Day(t - 900), Day(t - 3)},
         std::vector<std::string>{}, Records({empties(t - 9, t - 4), {Day(t - 3)}})},
        {"a far past day, an archive kept", 7, 10, {}, {Day(t - 900), Day(t - 10)},
         empties(t - 26, t - 17), Records({empties(t - 16, t - 11), {Day(t - 10)}})},
        {"a day of 1900 before a current file", 7, 30, {}, Records({{Day(2)}, Days(t - 3, 5)}),
         empties(t - 37, t - 8), Records({empties(t - 7, t - 4), Days(t - 3, 5)})},
        {"a gap across today", 7, 0, {}, {Day(t - 900), Day(t - 3), Day(t + 5)},
         std::vector<std::string>{},
         Records({empties(t - 7, t - 4), {Day(t - 3)}, empties(t - 2, t + 4), {Day(t + 5)}})},
        {"an archive of older days that the filled days push out", 7, 10, Days(t - 60, 10, 1),
         {Day(t - 900), Day(t - 10)}, empties(t - 26, t - 17),
         Records({empties(t - 16, t - 11), {Day(t - 10)}})},
        {"an archive of older days that keeps some of them", 7, 15, Days(t - 60, 10, 1),
         Records({{Day(t - 40)}, Days(t - 30, 6)}),
         Records({Days(t - 56, 6, 1), {Day(t - 40)}, empties(t - 39, t - 32)}),
         Records({empties(t - 31, t - 31), Days(t - 30, 6)})},
        {"days out of order", 2, 0, {}, {Day(t - 900), Day(t - 3), Day(t - 5)},
         std::vector<std::string>{}, {Day(t - 3), Day(t - 5)}},
        {"nothing to do", 7, 30, Days(t - 40, 5, 1), Days(t - 7, 10), Days(t - 40, 5, 1),
         Days(t - 7, 10)},
        {"nothing to do, no archive", 7, 30, {}, Days(t - 5, 10), {}, Days(t - 5, 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        SetToday(t);
        db().recordLimit = c.count;
        db().archiveLimit = c.countArc;
        WriteData(c.data);
        if (c.archive) WriteArchive(*c.archive);
        const int writesBefore = faults.calls(FileOp::Write) + faults.calls(FileOp::Truncate);
        const auto started = std::chrono::steady_clock::now();

        StartDatabase(db());

        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
        ExpectData(c.expectedData);
        EXPECT_EQ(std::filesystem::exists(dir.file("group.arc")), c.expectedArchive.has_value());
        if (c.expectedArchive) ExpectArchive(*c.expectedArchive);
        // Each record is written at most once in each of the correction, the archiving and the
        // trim of the archive; a fill of every missing day would write hundreds more.
        const int writes =
            faults.calls(FileOp::Write) + faults.calls(FileOp::Truncate) - writesBefore;
        const std::size_t archived = c.archive ? c.archive->size() : 0;
        EXPECT_LE(writes, 4 * static_cast<int>(c.data.size() + archived + c.count + c.countArc));
        if (c.expectedData == c.data && c.expectedArchive == c.archive) {
            EXPECT_EQ(writes, 0);
        }
    }
}

TEST_F(LoadFailureTest, DataFileThatCannotBeOpenedIsReportedAndTheStartGoesOn) {
    SetToday(102);
    WriteData({Day(100), Day(104)});
    faults.failOn(FileOp::Open, "group.mvd", 1, 1);
    StartDatabase(db());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error in structure of Database:G",
                                                     "OK! Data correction - G"}));
    EXPECT_FALSE(db().insertBeforeFirstAllowed);
    EXPECT_FALSE(db().busy);
    EXPECT_EQ(db().TmyDBIndex.size(), 2u);
    EXPECT_EQ(db().firstDate, 100);
}

TEST_F(LoadFailureTest, ACorrectionFailureIsReportedAndArchivingStillRuns) {
    SetToday(300);
    db().recordLimit = 0;
    WriteData({Day(100), Day(104)});
    faults.failOn(FileOp::Write, "group.mvd", 1, 1);
    LoadAndArchive(db());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"G -> Error correction of database."}));
    EXPECT_GE(ReadArchive().size(), 2u);
}

TEST_F(LoadFailureTest, AnArchivingFailureLosesNoDataDay) {
    for (FileOp op : {FileOp::Open, FileOp::Write, FileOp::Truncate}) {
        SCOPED_TRACE(FileOpName(op));
        Reset();
        faults.clearFaults();
        SetToday(1040);
        const std::vector<std::string> days = Days(1000, 43);
        WriteData(days);
        db().recordLimit = 30;
        faults.failOn(op, ".arc", 1, 1);
        LoadAndArchive(db());
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error in structure of Database:G"}));
        ExpectData(days);
        EXPECT_FALSE(db().insertBeforeFirstAllowed);
        EXPECT_FALSE(db().busy);
    }
}

// The power may go at any moment of the archiving: the archive and the name of a new one are on
// the disk before the data file lets its days go, and the start leaves both files on the disk.
TEST_F(LoadFailureTest, ArchivedDaysAreOnTheDiskBeforeTheDataFileLetsThemGo) {
    SetToday(1040);
    WriteData(Days(1000, 43));
    db().recordLimit = 30;
    db().archiveLimit = 100;
    bool archiveOnDisk = false;
    bool dataCutAfterIt = false;
    faults.beforeCall(FileOp::SyncFolder, "", [&] { archiveOnDisk = faults.calls(FileOp::Sync) > 0; });
    faults.beforeCall(FileOp::Truncate, "group.mvd", [&] { dataCutAfterIt = archiveOnDisk; });
    faults.trackUnsyncedData();
    LoadAndArchive(db());
    faults.dropUnsyncedData();
    EXPECT_TRUE(dataCutAfterIt);
    ExpectArchive(Days(1000, 10));
    ExpectData(Days(1010, 33));
}

TEST_F(LoadFailureTest, AnIndexThatCannotBeBuiltThrowsToTheCaller) {
    WriteData({Day(100)});
    faults.failOn(FileOp::Open, "group.mvd", 2, 1);  // the load opens it first
    EXPECT_THROW(StartDatabase(db()), IoError);
}

}  // namespace
}  // namespace merivo
