// Locating a day and reading runs of days into the reply area, with the index as a hint that may
// be stale, and the retry of a failed read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/UnDBserv_Request.h"
#include "db/UnDBserv_DayFiles.h"
#include "support/FaultInjectionEnv.h"

namespace merivo {
namespace {

constexpr std::int64_t kRecord = static_cast<std::int64_t>(kDayRecordSize);

class ReadTest : public DayFileTest {
  protected:
    // The day slot of the reply as bytes.
    std::string Slot(int slot) {
        const auto* at = db().RangeReply.data() + kRangeReplyHeaderSize + slot * kDayRecordSize;
        return std::string(reinterpret_cast<const char*>(at), kDayRecordSize);
    }

    void ExpectSlots(const std::vector<std::string>& expected) {
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_TRUE(Slot(static_cast<int>(k)) == expected[k]) << "slot " << k << " differs";
        }
    }

    // Where LocateDay leaves the data file, in records.
    std::int64_t Located(std::int64_t day) {
        File& file = KeptDataFile(db());
        LocateDay(db(), file, day);
        return file.position() / kRecord;
    }
};

TEST_F(ReadTest, AnswersStoredDaysAndDatedEmptyDaysInOrder) {
    WriteData({Day(5), Day(6), Day(9)});
    ReadDays(db(), 7, 7.75);
    ExpectSlots({Empty(7), Empty(8), Day(9), Empty(10), Empty(11), Empty(12), Empty(13)});
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ReadTest, RecordsReadInOneRunMoveToTheSlotOfTheirDay) {
    struct Case {
        std::vector<std::string> file;
        std::vector<std::string> slots;
    };
    const std::vector<Case> cases = {
        {{Day(5), Day(7), Day(8), Day(10)},
         {Day(5), Empty(6), Day(7), Day(8), Empty(9), Day(10), Empty(11)}},
        {{Day(5), Day(11)}, {Day(5), Empty(6), Empty(7), Empty(8), Empty(9), Empty(10), Day(11)}},
        // Out of order: the scan never steps back to a record it passed.
        {{Day(5), Day(4), Day(6)}, {Day(5), Empty(6), Empty(7)}},
    };
    for (const Case& c : cases) {
        WriteData(c.file);
        ReadDays(db(), static_cast<int>(c.slots.size()), 5);
        ExpectSlots(c.slots);
        const std::string buffer(reinterpret_cast<const char*>(db().DayBuffer.data()),
                                 kDayRecordSize);
        EXPECT_TRUE(buffer == c.slots.back()) << "the DayBuffer keeps the last day";
    }
}

TEST_F(ReadTest, StartsBeforeTheFirstStoredDay) {
    WriteData({Day(5), Day(6), Day(9)});
    ReadDays(db(), 3, 4);
    ExpectSlots({Empty(4), Day(5), Day(6)});
}

TEST_F(ReadTest, ReadsAtMostSevenDaysAndTouchesNoSlotForZero) {
    WriteData({Day(1), Day(2), Day(3), Day(4), Day(5), Day(6), Day(7), Day(8), Day(9)});
    ReadDays(db(), 9, 1);
    ExpectSlots({Day(1), Day(2), Day(3), Day(4), Day(5), Day(6), Day(7)});

    const std::vector<std::uint8_t> before = db().RangeReply;
    ReadDays(db(), 0, 1);
    ReadDays(db(), -4, 1);
    EXPECT_TRUE(db().RangeReply == before);
}

TEST_F(ReadTest, ADateThatIsNoNumberReadsAsTheNullDay) {
    WriteData({Day(5)});
    for (double date : {std::nan(""), std::numeric_limits<double>::infinity(), 1e300}) {
        ReadDays(db(), 2, date);
        ExpectSlots({Empty(0), Empty(1)});
    }
}

TEST_F(ReadTest, ATrailingPartialRecordIsNeverAnswered) {
    WriteData({Day(5)}, Day(6).substr(0, 100));
    ReadDays(db(), 2, 5);
    ExpectSlots({Day(5), Empty(6)});
}

TEST_F(ReadTest, LocatesTheFirstRecordNotBeforeTheDay) {
    WriteData({Day(5), Day(6), Day(9)});
    EXPECT_EQ(Located(1), 0);
    EXPECT_EQ(Located(6), 1);
    EXPECT_EQ(Located(7), 2);
    EXPECT_EQ(Located(10), 3);  // the end of the file
}

TEST_F(ReadTest, AStaleIndexIsOnlyAHint) {
    WriteData({Day(5), Day(9), Day(12)});
    ASSERT_FALSE(BuildIndex(db().dataFilePath, db().TmyDBIndex));

    // Days inserted since the load: the index offset of 9 now holds an earlier day...
    WriteData({Day(5), Day(7), Day(9), Day(12)});
    EXPECT_EQ(Located(9), 2);
    // ...or a later one, and the scan must start over.
    WriteData({Day(5), Day(10), Day(11), Day(12)});
    EXPECT_EQ(Located(9), 1);
    // The index may also point past the end of a file that shrank.
    WriteData({Day(5)});
    EXPECT_EQ(Located(12), 1);
    EXPECT_EQ(Located(5), 0);
}

TEST_F(ReadTest, RemembersTheLastLookupAsTheHint) {
    WriteData({Day(5), Day(9), Day(12)});
    ASSERT_FALSE(BuildIndex(db().dataFilePath, db().TmyDBIndex));
    Located(10);
    EXPECT_EQ(db().IndexHint.date, 10);
    EXPECT_EQ(db().IndexHint.offset, kRecord);
    Located(3);
    EXPECT_EQ(db().IndexHint.date, 3);
    EXPECT_EQ(db().IndexHint.offset, 0);
}

// ---- Failures ---------------------------------------------------------------------------------

class ReadFailureTest : public ReadTest {
  protected:
    ~ReadFailureTest() override { ReleaseDataFile(db()); }  // opened through `faults`

    FaultInjectionEnv faults;
    ScopedEnv useFaults{faults};
};

// The data file stays open from the start on, and its size is what the server wrote to it.
TEST_F(ReadFailureTest, AWeekFromAnIndexedDayIsOneReadOfTheKeptFile) {
    SetToday(5);
    WriteData({Day(5), Day(6), Day(7), Day(8), Day(9), Day(10), Day(11), Day(12)});
    ASSERT_TRUE(StartDatabase(db()));
    const int opens = faults.calls(FileOp::Open);
    const int sizes = faults.calls(FileOp::Size);
    const int reads = faults.calls(FileOp::Read);
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(ReadDays(db(), 7, 6));
    EXPECT_EQ(faults.calls(FileOp::Read) - reads, 3);
    EXPECT_EQ(faults.calls(FileOp::Open), opens);
    EXPECT_EQ(faults.calls(FileOp::Size), sizes);
    ExpectSlots({Day(6), Day(7), Day(8), Day(9), Day(10), Day(11), Day(12)});

    RequestBytes title{};
    WriteDouble(title.data() + request::kDate, 13);
    WriteShortString(title.data() + request::kText, day::kTextCapacity, "new");
    ASSERT_EQ(EditDay(db(), 2, 0, title), StoreResult::Stored);  // appended after day 12
    ASSERT_TRUE(ReadDays(db(), 2, 12));
    DayRecord appended = db().EmptyDay;
    appended.setDate(13);
    appended.setTitle("new");
    ExpectSlots(
        {Day(12), std::string(reinterpret_cast<const char*>(appended.data()), kDayRecordSize)});
    EXPECT_EQ(faults.calls(FileOp::Size), sizes);
}

TEST_F(ReadFailureTest, AReadFailingOnceIsDoneAgainOnTheReopenedFileWithoutAWarning) {
    WriteData({Day(5), Day(6), Day(9)});
    faults.failOn(FileOp::Read, "group.mvd", 1, 1);
    EXPECT_TRUE(ReadDays(db(), 7, 7));
    EXPECT_TRUE(log.lines().empty());
    ExpectSlots({Empty(7), Empty(8), Day(9), Empty(10), Empty(11), Empty(12), Empty(13)});
    EXPECT_EQ(faults.calls(FileOp::Open), 2);
}

TEST_F(ReadFailureTest, AReadFailingOnTheReopenedFileTooIsRetriedOnce) {
    WriteData({Day(5), Day(6), Day(9)});
    faults.failOn(FileOp::Read, "group.mvd", 1, 2);
    EXPECT_TRUE(ReadDays(db(), 7, 7));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Warning! Reread the file: " + db().dataFilePath}));
    ExpectSlots({Empty(7), Empty(8), Day(9), Empty(10), Empty(11), Empty(12), Empty(13)});
    EXPECT_FALSE(db().readRetried);
}

TEST_F(ReadFailureTest, ASecondFailureIsLoggedAndFinal) {
    WriteData({Day(5)});
    faults.failOn(FileOp::Read, "group.mvd", 1, kForever);
    EXPECT_FALSE(ReadDays(db(), 2, 5));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Warning! Reread the file: " + db().dataFilePath,
                               "Error occurred while reading the file: " + db().dataFilePath}));
    EXPECT_FALSE(db().readRetried);
    EXPECT_EQ(faults.calls(FileOp::Open), 4);  // each attempt reopens once
}

TEST_F(ReadFailureTest, AFailureLeftPendingByAnotherRequestIsFinalAtOnce) {
    WriteData({Day(5)});
    db().readRetried = true;
    faults.failOn(FileOp::Read, "group.mvd", 1, 2);
    EXPECT_FALSE(ReadDays(db(), 1, 5));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error occurred while reading the file: " +
                                                     db().dataFilePath}));
    EXPECT_FALSE(db().readRetried);
}

TEST_F(ReadFailureTest, AFileThatCannotBeOpenedIsReportedToTheCaller) {
    WriteData({Day(5)});
    faults.failOn(FileOp::Open, "group.mvd", 1, 1);
    EXPECT_THROW(ReadDays(db(), 1, 5), IoError);
    EXPECT_TRUE(log.lines().empty());

    // Also when the reopen of the retry fails; the retry is then over.
    faults.failOn(FileOp::Read, "group.mvd", 1, 2);
    faults.failOn(FileOp::Open, "group.mvd", 3, 1);
    EXPECT_THROW(ReadDays(db(), 1, 5), IoError);
    EXPECT_FALSE(db().readRetried);
}

}  // namespace
}  // namespace merivo
