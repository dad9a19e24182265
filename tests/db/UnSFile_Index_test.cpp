// The date index of a data file: the date and offset of every whole record.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "db/UnDBserv_DayFiles.h"
#include "db/UnSFile.h"

namespace merivo {
namespace {

class IndexTest : public DayFileTest {};

TEST_F(IndexTest, IndexHoldsEveryWholeRecordsDateAndOffset) {
    WriteData({Day(100), Day(101), Day(102)}, "partial");
    EXPECT_FALSE(BuildIndex(db().dataFilePath, db().TmyDBIndex));
    ASSERT_EQ(db().TmyDBIndex.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(db().TmyDBIndex[k].date, 100 + k);
        EXPECT_EQ(db().TmyDBIndex[k].offset, k * static_cast<std::int32_t>(kDayRecordSize));
    }
}

TEST_F(IndexTest, IndexReportsDatesThatDoNotRiseStrictly) {
    for (const auto& records :
         {std::vector<std::string>{Day(100), Day(100)},
          std::vector<std::string>{Day(101), Day(100)}, std::vector<std::string>{NullDay(1)}}) {
        WriteData(records);
        EXPECT_TRUE(BuildIndex(db().dataFilePath, db().TmyDBIndex));
    }
}

TEST_F(IndexTest, AFileBeyondThe32BitIndexOffsetsIsNotIndexed) {
    const std::int64_t records = std::numeric_limits<std::int32_t>::max() / kDayRecordSize + 2;
    WriteData({});
    std::filesystem::resize_file(db().dataFilePath, records * kDayRecordSize);  // sparse
    EXPECT_THROW(BuildIndex(db().dataFilePath, db().TmyDBIndex), IoError);

    std::filesystem::resize_file(db().dataFilePath, (records - 1) * kDayRecordSize);
    EXPECT_TRUE(BuildIndex(db().dataFilePath, db().TmyDBIndex));  // null dates
    EXPECT_EQ(db().TmyDBIndex.back().offset, (records - 2) * kDayRecordSize);
}

}  // namespace
}  // namespace merivo
