// The date index of a data file: the date and offset of every whole record.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "db/UnSFile.h"
#include "platform/DateTime.h"

namespace merivo {

bool BuildIndex(const std::string& dataFilePath, std::vector<TmyDBIndexEntry>& index) {
    std::unique_ptr<File> data = CurrentEnv().openFile(dataFilePath, OpenMode::Read);
    const std::int64_t n = RecordCount(*data);
    // Index offsets are 32-bit: a file whose last record lies beyond them cannot be indexed.
    if (n > 0 && (n - 1) * kRecord > std::numeric_limits<std::int32_t>::max()) {
        throw IoError("Data file too large for the date index: " + dataFilePath);
    }
    index.assign(static_cast<std::size_t>(n), {});
    bool outOfOrder = false;
    std::int64_t previous = 0;
    for (std::int64_t record = 0; record < n; ++record) {
        data->seek(record * kRecord);
        const double date = PeekDate(*data);
        index[static_cast<std::size_t>(record)] = {date,
                                                   static_cast<std::int32_t>(record * kRecord)};
        if (previous >= DayOf(date)) outOfOrder = true;
        previous = DayOf(date);
    }
    return outOfOrder;
}

}  // namespace merivo
