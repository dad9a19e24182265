// Loading a database at start-up: archiving, and the messages and flags the load leaves. Every
// record is compared byte for byte: a day is filled with bytes of its own, so a record that was
// moved must arrive unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db/UnDBserv.h"
#include "db/UnDBserv_DayFiles.h"
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

// A day long before the others (an old file, a server that ran for months) no longer makes the
// start fill every day in between only to archive and drop them: it writes about what it keeps.
TEST_F(LoadFailureTest, AStartWritesNoDayItWouldDropAgain) {
    SetToday(1000);
    db().recordLimit = 3;
    db().archiveLimit = 2;
    WriteData({Day(100), Day(998), Day(1000)});
    StartDatabase(db());
    ExpectArchive({Empty(995), Empty(996)});
    ExpectData({Empty(997), Day(998), Empty(999), Day(1000)});
    EXPECT_LT(faults.calls(FileOp::Write), 30);
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

TEST_F(LoadFailureTest, AnIndexThatCannotBeBuiltThrowsToTheCaller) {
    WriteData({Day(100)});
    faults.failOn(FileOp::Open, "group.mvd", 2, 1);  // the load opens it first
    EXPECT_THROW(StartDatabase(db()), IoError);
}

}  // namespace
}  // namespace merivo
