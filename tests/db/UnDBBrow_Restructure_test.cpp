#include "db/UnDBBrow_Restructure.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "db/UnDBserv_DayFiles.h"
#include "platform/DateTime.h"
#include "platform/FileLock.h"
#include "support/FaultInjectionEnv.h"

namespace merivo {
namespace {

constexpr std::int64_t kDay0 = 45000;

// Record k of a test: dated kDay0 + k, its other bytes those of the variant.
std::string R(std::int64_t k, int variant = 0) {
    return DayBytes(kDay0 + k, variant);
}

std::vector<std::string> Rs(std::initializer_list<std::int64_t> ks) {
    std::vector<std::string> records;
    for (std::int64_t k : ks) records.push_back(R(k));
    return records;
}

class RestructureTest : public DayFileTest {
  protected:
    std::string DataPath() const { return dir.file("group.mvd"); }

    // Moves the slider to position (the opening position when negative), sets the pickers as
    // the slider leaves them unless given, and applies.
    TRestructureResult RunAt(std::int64_t position, std::int32_t capacity, bool copy = false,
                             std::optional<std::int64_t> toK = std::nullopt) {
        const TDBStructure structure = ReadDBStructure(DataPath());
        if (position < 0) position = structure.openingPosition();
        const TPickerDates pickers = PickerDatesAt(structure, position, capacity);
        const double to = toK ? static_cast<double>(kDay0 + *toK) : pickers.ToDate;
        return Restructure(DataPath(), PlanRestructure(structure, position, pickers.FromDate, to,
                                                       capacity, copy));
    }

    std::set<std::string> FilesInDir() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    void ExpectOnlyTheTwoFiles() const {
        EXPECT_EQ(FilesInDir(), (std::set<std::string>{"group.arc", "group.mvd"}));
    }
};

TEST_F(RestructureTest, OpeningReadsTheDatesOfWholeRecords) {
    WriteArchive(Rs({0, 1}));
    WriteData(Rs({2, 3, 4}), "partial");
    TDBStructure s = ReadDBStructure(DataPath());
    EXPECT_EQ(s.archiveCount, 2);
    EXPECT_EQ(s.dataCount, 3);
    EXPECT_EQ(s.DateList, (std::vector<double>{45000, 45001, 45002, 45003, 45004}));
    EXPECT_EQ(s.FirstArchiveDate, 45000);
    EXPECT_EQ(s.FirstDataDate, 45002);
    EXPECT_EQ(s.LastDataDate, 45004);
    EXPECT_EQ(s.openingPosition(), 2);

    WriteData({});  // no data record: the data dates are the last archive date
    s = ReadDBStructure(DataPath());
    EXPECT_EQ(s.FirstDataDate, 45001);
    EXPECT_EQ(s.LastDataDate, 45001);
    EXPECT_EQ(s.openingPosition(), 1);

    std::filesystem::remove(dir.file("group.arc"));  // no archive: it starts at the data file
    WriteData(Rs({2, 3}));
    s = ReadDBStructure(DataPath());
    EXPECT_EQ(s.archiveCount, 0);
    EXPECT_EQ(s.FirstArchiveDate, 45002);
}

TEST_F(RestructureTest, SliderPickersAndSplit) {
    TDBStructure s;
    s.DateList = {45000, 45001, 45002, 45003, 45004, 45005};
    s.archiveCount = 3;
    s.dataCount = 3;
    s.FirstArchiveDate = 45000;
    s.LastDataDate = 45005;
    const TPickerDates below = PickerDatesAt(s, 1, 2);
    EXPECT_EQ(below.FromDate, 45000);
    EXPECT_FALSE(below.fromLimited);
    EXPECT_EQ(below.ToDate, 45005);
    const TPickerDates at = PickerDatesAt(s, 4, 2);
    EXPECT_EQ(at.FromDate, 45002);
    EXPECT_TRUE(at.fromLimited);
    EXPECT_EQ(PickerDatesAt(s, 4, -5).FromDate, 45004);  // a negative capacity counts as 0

    EXPECT_EQ(PlanRestructure(s, 3, 45000.7, 45005, 2, true).SplitDate, 45003);
    EXPECT_EQ(PlanRestructure(s, 3, 45000.7, 45005, 2, true).FromDate, 45000);
    EXPECT_EQ(PlanRestructure(s, 1, 45002, 45005, 2, true).SplitDate, 45002);  // not before from
    EXPECT_EQ(PlanRestructure(s, 5, 45000, 45004, 2, true).SplitDate, 45003);  // before the to-day
}

struct Scenario {
    const char* name;
    std::vector<std::string> archive, data;
    std::int64_t position;  // -1: the opening position
    std::int32_t capacity;
    std::optional<std::int64_t> toK;
    std::vector<std::string> archiveAfter, dataAfter;
    bool disorder;
};

TEST_F(RestructureTest, Scenarios) {
    const std::vector<Scenario> scenarios = {
        {"in order, slider at its opening position", Rs({0, 1, 2}), Rs({3, 4, 5}), -1, 10, {},
         Rs({0, 1, 2}), Rs({3, 4, 5}), false},
        {"same day in both files: the data file's wins", Rs({0, 1, 2}), {R(2, 1), R(3), R(4)}, 3,
         10, {}, Rs({0, 1}), {R(2, 1), R(3), R(4)}, false},
        {"same day twice in one file: the later wins", Rs({0, 1}), {R(2), R(2, 1), R(3)}, 2, 10,
         {}, Rs({0, 1}), {R(2, 1), R(3)}, false},
        {"out of order: sorted, nothing dropped for its date", Rs({0, 1, 5}), Rs({2, 3, 4}), 3, 10,
         {}, Rs({0, 1}), Rs({2, 3, 4, 5}), true},
        {"slider between C and 2C", Rs({0, 1, 2, 3}), Rs({4, 5, 6, 7, 8, 9}), 5, 3, {}, Rs({2}),
         Rs({3, 4, 5, 6, 7, 8, 9}), false},
        {"slider beyond 2C", Rs({0, 1, 2, 3}), Rs({4, 5, 6, 7, 8, 9}), 6, 2, {}, {},
         Rs({3, 4, 5, 6, 7, 8, 9}), false},
        {"capacity 0", Rs({0, 1, 2}), Rs({3, 4, 5, 6}), 3, 0, {}, {}, Rs({2, 3, 4, 5, 6}), false},
        {"records after the to-day, no archive before", {}, Rs({0, 1, 2, 3, 4, 5}), 0, 10, 3, {},
         Rs({0, 1, 2, 3}), false},
        {"the carried record is after the to-day", {}, Rs({0, 1, 5, 6}), 2, 10, 3, Rs({0, 1}),
         Rs({5}), false},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        Reset();
        if (!s.archive.empty()) WriteArchive(s.archive);
        WriteData(s.data);
        const TRestructureResult result = RunAt(s.position, s.capacity, false, s.toK);
        ExpectArchive(s.archiveAfter);
        ExpectData(s.dataAfter);
        EXPECT_EQ(result.disorder, s.disorder);
        EXPECT_EQ(result.archiveBefore, static_cast<std::int64_t>(s.archive.size()));
        EXPECT_EQ(result.dataBefore, static_cast<std::int64_t>(s.data.size()));
        EXPECT_EQ(result.archiveAfter, static_cast<std::int64_t>(s.archiveAfter.size()));
        EXPECT_EQ(result.dataAfter, static_cast<std::int64_t>(s.dataAfter.size()));
        EXPECT_TRUE(result.copyPath.empty());
        ExpectOnlyTheTwoFiles();
    }
}

TEST_F(RestructureTest, APartialArchiveRecordDoesNotShiftTheDataRecords) {
    dir.writeFile("group.arc", R(0) + R(1) + "partial");
    WriteData(Rs({2, 3}));
    RunAt(-1, 10);
    ExpectArchive(Rs({0, 1}));
    ExpectData(Rs({2, 3}));
}

TEST_F(RestructureTest, BackupCopyHoldsAllOldRecordsAndNeverOverwritesAnother) {
    clock.setNow(EncodeDate(2026, 12, 6) + (9 * 60 + 5) / 1440.0);
    WriteArchive(Rs({0, 1}));
    WriteData({R(2), R(1, 1)});
    const TRestructureResult first = RunAt(2, 10, true);
    EXPECT_EQ(first.copyPath, DataPath() + "_Copy_06-12-26 - 9-05");
    const std::string oldRecords = R(0) + R(1) + R(2) + R(1, 1);
    EXPECT_TRUE(dir.readFile("group.mvd_Copy_06-12-26 - 9-05") == oldRecords);
    const TRestructureResult second = RunAt(1, 10, true);
    EXPECT_EQ(second.copyPath, DataPath() + "_Copy_06-12-26 - 9-05 (2)");
    EXPECT_TRUE(dir.readFile("group.mvd_Copy_06-12-26 - 9-05") == oldRecords);
    EXPECT_EQ(BackupCopyPath("/data/team.mvd", EncodeDate(2026, 1, 2) + 23.5 / 24),
              "/data/team.mvd_Copy_02-01-26 - 23-30");
}

// Every step that touches a file, made to fail once.
TEST_F(RestructureTest, AFailureAtAnyStepLeavesBothFilesAsTheyWere) {
    struct Step {
        FileOp op;
        const char* pathPart;
        int nth;
    };
    const std::vector<Step> steps = {
        {FileOp::Open, "group.arc", 1},     {FileOp::Read, "group.mvd", 2},
        {FileOp::Open, "_Copy_", 1},        {FileOp::Write, "_Copy_", 1},
        {FileOp::Sync, "_Copy_", 1},        {FileOp::Open, "group.tmp", 1},
        {FileOp::Write, "group.tmp", 1},    {FileOp::Sync, "group.tmp", 1},
        {FileOp::Write, "group.tm~", 1},    {FileOp::Sync, "group.tm~", 1},
        {FileOp::Rename, "group.arc ->", 1}, {FileOp::Replace, "group.tmp ->", 1},
        {FileOp::Replace, "group.tm~ ->", 1},
    };
    const std::string archive = R(0) + R(1) + R(2);
    const std::string data = R(3) + R(2, 1) + R(4) + "partial";
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(FileOpName(step.op)) + " " + step.pathPart);
        dir.writeFile("group.arc", archive);
        dir.writeFile("group.mvd", data);
        FaultInjectionEnv env;
        env.failOn(step.op, step.pathPart, step.nth);
        {
            ScopedEnv use(env);
            EXPECT_THROW(RunAt(1, 10, true), IoError);
        }
        EXPECT_EQ(env.injectedFailures(), 1);
        EXPECT_TRUE(dir.readFile("group.arc") == archive);
        EXPECT_TRUE(dir.readFile("group.mvd") == data);
        ExpectOnlyTheTwoFiles();
    }
}

TEST_F(RestructureTest, AFailedUndoKeepsTheOldArchiveForTheNextRunToPutBack) {
    WriteArchive(Rs({0, 1, 2}));
    WriteData(Rs({3, 4}));
    FaultInjectionEnv env;
    env.failOn(FileOp::Replace, "group.tm~ ->");
    env.failOn(FileOp::Replace, "group.ar~ ->");
    {
        ScopedEnv use(env);
        try {
            RunAt(1, 10);
            ADD_FAILURE() << "no failure";
        } catch (const IoError& error) {
            EXPECT_NE(std::string(error.what()).find("kept as " + dir.file("group.ar~")),
                      std::string::npos)
                << error.what();
        }
    }
    EXPECT_TRUE(dir.readFile("group.ar~") == R(0) + R(1) + R(2));
    RunAt(3, 10);  // puts the old archive back first, then runs on the old files
    ExpectArchive(Rs({0, 1, 2}));
    ExpectData(Rs({3, 4}));
    ExpectOnlyTheTwoFiles();
}

// A run that returned outlives a power loss right after it: its names are on the disk too. One
// whose names cannot be synced says so and keeps its new files and the backup copy.
TEST_F(RestructureTest, ACompleteRunOutlivesAPowerLossAndOneNotMadeDurableSaysSo) {
    for (const bool folderSyncFails : {false, true}) {
        SCOPED_TRACE(folderSyncFails ? "folder sync fails" : "power loss after the run");
        for (const std::string& name : FilesInDir()) std::filesystem::remove(dir.file(name));
        WriteArchive(Rs({0, 1, 2}));
        WriteData(Rs({3, 4}));
        FaultInjectionEnv env;
        env.trackUnsyncedData();
        if (folderSyncFails) env.failOn(FileOp::SyncFolder);
        {
            ScopedEnv use(env);
            if (folderSyncFails) {
                EXPECT_THROW(RunAt(1, 10, true), IoError);
            } else {
                RunAt(1, 10);
                env.dropUnsyncedData();
            }
        }
        ExpectArchive(Rs({0}));
        ExpectData(Rs({1, 2, 3, 4}));
        // The backup copy stays, and so does the set-aside old archive, for the next run.
        EXPECT_EQ(FilesInDir().size(), folderSyncFails ? 4u : 2u);
    }
}

TEST_F(RestructureTest, LeftoversOfACompleteRunAreRemoved) {
    WriteArchive(Rs({0}));
    WriteData(Rs({1, 2}));
    dir.writeFile("group.ar~", R(7));  // the old archive of a run that was complete
    dir.writeFile("group.tmp", "half an archive");
    RunAt(-1, 10);
    ExpectArchive(Rs({0}));
    ExpectData(Rs({1, 2}));
    ExpectOnlyTheTwoFiles();
}

TEST_F(RestructureTest, RecordsBeyondTwoGibibytesAreReached) {
    const std::int64_t records = 40000;  // 2.2 GB, nearly all of it a hole in the file
    {
        std::ofstream file(DataPath(), std::ios::binary);
        file << R(0);
        file.seekp((records - 1) * static_cast<std::int64_t>(kDayRecordSize));
        file << R(1);
    }
    const TRestructureResult result = RunAt(-1, 0);
    EXPECT_TRUE(result.disorder);  // the holes read as null records, which sort first
    ExpectData(Rs({0, 1}));
}

TEST_F(RestructureTest, ReloadGivesTheServerTheNewFileAndItsLock) {
    SetToday(kDay0 + 10);
    WriteData(Rs({0, 1, 2, 3, 4, 5}));
    StartDatabase(db());
    EXPECT_TRUE(FileLock(DataPath(), false).heldElsewhere());
    ReleaseDataFile(db());  // as the structure dialog does before it restructures
    RunAt(3, 10);
    EXPECT_TRUE(FileLock(DataPath(), false).acquired());  // the lock stayed with the old file
    ReloadAfterRestructure(db());
    EXPECT_TRUE(FileLock(DataPath(), false).heldElsewhere());
    ASSERT_EQ(db().TmyDBIndex.size(), 3u);
    EXPECT_EQ(db().TmyDBIndex[0].date, kDay0 + 3);
    EXPECT_EQ(db().firstDate, kDay0 + 3);
    EXPECT_FALSE(db().insertBeforeFirstAllowed);
    ReadDays(db(), 1, static_cast<double>(kDay0 + 4));
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(db().RangeReply.data()) +
                                kRangeReplyHeaderSize,
                            kDayRecordSize) == R(4));
}

}  // namespace
}  // namespace merivo
