// Correction of missing days in a data file, on its own and as the load of a database runs it.
// Every record is compared byte for byte: a day is filled with bytes of its own, so a record that
// was moved must arrive unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/UnDBserv.h"
#include "db/UnDBserv_DayFiles.h"

namespace merivo {
namespace {

class CorrectionTest : public DayFileTest {};

TEST_F(CorrectionTest, FillsGapsWithDatedEmptyDaysAndMovesRecordsUnchanged) {
    SetToday(102);
    WriteData({Day(100), Day(101), Day(104)});
    StartDatabase(db());
    ExpectData({Day(100), Day(101), Empty(102), Empty(103), Day(104)});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"OK! Data correction - G"}));
}

TEST_F(CorrectionTest, FillsSeveralGapsEachByItsOwnShift) {
    SetToday(300);
    WriteData({Day(100), Day(103), Day(104), Day(106), Day(107)});
    StartDatabase(db());
    ExpectData(
        {Day(100), Empty(101), Empty(102), Day(103), Day(104), Empty(105), Day(106), Day(107)});
}

TEST_F(CorrectionTest, LeavesDaysBeyondTheHorizonUnchecked) {
    SetToday(200);
    WriteData({Day(100), Day(1000)});
    StartDatabase(db());
    ExpectData({Day(100), Day(1000)});
}

TEST_F(CorrectionTest, MovesRecordsBeyondTheHorizonWhateverTheirDates) {
    // After the horizon the walk stops, so nothing there is checked; the records after the gap,
    // even a null one, must still arrive unchanged one day further on.
    SetToday(100);
    WriteData({Day(100), Day(102), Day(5000), NullDay(1), Day(4000)});
    StartDatabase(db());
    ExpectData({Day(100), Empty(101), Day(102), Day(5000), NullDay(1), Day(4000)});
}

TEST_F(CorrectionTest, FillsGapsBeforeOutOfOrderRecordsWithoutLosingAny) {
    SetToday(300);
    WriteData({Day(100), Day(105), Day(103), Day(104)});
    StartDatabase(db());
    ExpectData(
        {Day(100), Empty(101), Empty(102), Empty(103), Empty(104), Day(105), Day(103), Day(104)});
    EXPECT_TRUE(log.contains("Database Structure Error. Correction required. See Settings -> G"));
}

TEST_F(CorrectionTest, NullRecordsStopTheCorrectionButNotTheArchiving) {
    struct Case {
        std::vector<std::string> records;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{NullDay(1), Day(100), Day(103)},
         "G -> Error correction of database.(First Null record) "},
        {{Day(100), Day(103), NullDay(2)}, "G -> Error correction of database.(Null record) "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Reset();
        SetToday(300);
        db().recordLimit = 1;
        WriteData(c.records);
        LoadAndArchive(db());
        ExpectData({c.records.back()});
        ExpectArchive({c.records[0], c.records[1]});
        EXPECT_EQ(log.lines(), (std::vector<std::string>{c.message}));
    }
}

// A process that ends while a new day makes room, or while it is taken back, leaves one record
// twice side by side: the start keeps it once. Records that differ, null ones included, stay.
TEST_F(CorrectionTest, ARecordLeftTwiceByAMoveCutShortIsKeptOnce) {
    const std::string repaired = "A day left twice by a write cut short is kept once: G";
    struct Case {
        const char* what;
        std::vector<std::string> records;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"in the middle", {Day(100), Day(101), Day(101), Day(102)}, {Day(100), Day(101), Day(102)}},
        {"at the end", {Day(100), Day(101), Day(101)}, {Day(100), Day(101)}},
        {"first and twice more", {Day(100), Day(100), Day(100)}, {Day(100)}},
        {"one day that differs", {Day(100), Day(101), DayBytes(101, 1)},
         {Day(100), Day(101), DayBytes(101, 1)}},
        {"null records", {Day(100), NullDay(1), NullDay(1)}, {Day(100), NullDay(1), NullDay(1)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        SetToday(90);
        WriteData(c.records);
        LoadAndArchive(db());
        ExpectData(c.expected);
        EXPECT_EQ(log.contains(repaired), c.records != c.expected);
    }
}

TEST_F(CorrectionTest, EmptyAndSingleRecordFilesAreNotCorrected) {
    WriteData({});
    StartDatabase(db());
    ExpectData({});
    EXPECT_TRUE(db().TmyDBIndex.empty());
    EXPECT_EQ(db().firstDate, 0);

    Reset();
    WriteData({Day(100)});
    StartDatabase(db());
    ExpectData({Day(100)});
}

TEST_F(CorrectionTest, ATrailingPartialRecordIsNeverReadAsARecord) {
    SetToday(102);
    WriteData({Day(100), Day(102)}, Day(101).substr(0, 1000));
    StartDatabase(db());
    ExpectData({Day(100), Empty(101), Day(102)});
    ASSERT_EQ(db().TmyDBIndex.size(), 3u);
}

}  // namespace
}  // namespace merivo
