// Correction of a data file: every day missing between its first record and the correction
// horizon is filled with a dated empty day. Records are moved one at a time through a single
// buffer, so no file is ever held in memory.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "db/UnSFile.h"

namespace merivo {
namespace {

const char kCorrectionFailed[] = "Error correction of database.";
const char kFirstNullRecord[] = "Error correction of database.(First Null record) ";
const char kNullRecord[] = "Error correction of database.(Null record) ";

// Missing days before the record with number `record` (whose day is `day`).
struct Gap {
    std::int64_t record;
    std::int64_t day;
    std::int64_t missing;
};

// Walks records 1 to n-1 up to the correction horizon and notes every gap from oldestDay on.
// Returns the failure text when a null record is met.
std::string FindGaps(File& data, std::int64_t n, std::int64_t today, std::int64_t oldestDay,
                     std::vector<Gap>& gaps) {
    std::int64_t previous = DayAt(data, 0);
    if (previous == 0) return kFirstNullRecord;
    for (std::int64_t record = 1; record < n; ++record) {
        const std::int64_t day = DayAt(data, record);
        if (day == 0) return kNullRecord;
        if (day > today + kCorrectionHorizonDays) break;
        const std::int64_t firstMissing = std::max(previous + 1, oldestDay);
        if (day > firstMissing) gaps.push_back({record, day, day - firstMissing});
        previous = day;
    }
    return {};
}

// Rebuilds from the end of the file towards its start: the records from each gap up to the
// next one move by the days missing so far, and the freed slots get dated empty days. Records
// are moved by their numbers, never by their dates, so every record arrives unchanged whatever
// the dates after the horizon hold.
void FillGaps(File& data, std::int64_t n, const std::vector<Gap>& gaps, const DayRecord& emptyDay,
              DayRecord& buffer) {
    std::int64_t shift = 0;
    for (const Gap& gap : gaps) shift += gap.missing;
    std::int64_t blockEnd = n;
    for (auto gap = gaps.rbegin(); gap != gaps.rend(); ++gap) {
        MoveRecords(data, gap->record, blockEnd - gap->record, gap->record + shift, buffer);
        shift -= gap->missing;
        buffer = emptyDay;
        data.seek((gap->record + shift) * kRecord);
        for (std::int64_t k = gap->missing; k >= 1; --k) {
            buffer.setDate(static_cast<double>(gap->day - k));
            WriteRecord(data, buffer);
        }
        blockEnd = gap->record;
    }
}

}  // namespace

std::string CorrectDataFile(File& data, const DayRecord& emptyDay, std::int64_t today,
                            std::int64_t oldestDay, DayRecord& buffer) {
    try {
        const std::int64_t n = RecordCount(data);
        if (n < 2) return {};
        std::vector<Gap> gaps;
        const std::string nullRecord = FindGaps(data, n, today, oldestDay, gaps);
        if (!nullRecord.empty()) return nullRecord;
        FillGaps(data, n, gaps, emptyDay, buffer);
        return {};
    } catch (const std::exception&) {
        return kCorrectionFailed;
    }
}

}  // namespace merivo
