// Correction of a data file: every day missing between its first record and the correction
// horizon is filled with a dated empty day, except the days that the archiving after it would
// drop again. Records are moved one at a time through a single buffer, so no file is ever held
// in memory.
#include <algorithm>
#include <cstdint>
#include <memory>
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

// Counts the days at the start of the corrected file that lie before today, as the archiving
// that follows the correction counts them: up to the first day of today or later.
class PastDayCounter {
  public:
    explicit PastDayCounter(std::int64_t today) : today_(today) {}

    // The next `count` days of the corrected file, rising one by one from `first`.
    void add(std::int64_t first, std::int64_t count) {
        if (stopped_) return;
        const std::int64_t past = std::clamp<std::int64_t>(today_ - first, 0, count);
        count_ += past;
        stopped_ = past < count;
    }
    std::int64_t count() const { return count_; }

  private:
    std::int64_t today_;
    std::int64_t count_ = 0;
    bool stopped_ = false;
};

// Walks records 1 to n-1 up to the correction horizon and notes every gap; counts the past days
// the file will start with once every gap is filled. Fails when a null record is met.
ErrorText FindGaps(File& data, std::int64_t n, std::int64_t today, std::vector<Gap>& gaps,
                     PastDayCounter& pastDays) {
    std::int64_t previous = DayAt(data, 0);
    if (previous == 0) return kFirstNullRecord;
    pastDays.add(previous, 1);
    for (std::int64_t record = 1; record < n; ++record) {
        const std::int64_t day = DayAt(data, record);
        if (day == 0) return kNullRecord;
        if (day > today + kCorrectionHorizonDays) break;
        if (day > previous + 1) {
            gaps.push_back({record, day, day - previous - 1});
            pastDays.add(previous + 1, day - previous - 1);
        }
        pastDays.add(day, 1);
        previous = day;
    }
    return std::nullopt;
}

// Leaves out of the gaps every day that the filled file would hold before its record number
// `first`: of a gap only its newest days are filled, and a gap wholly before `first` not at all.
void DropDaysBefore(std::vector<Gap>& gaps, std::int64_t first) {
    std::int64_t filledBefore = 0;
    for (Gap& gap : gaps) {
        const std::int64_t gapStart = gap.record + filledBefore;  // in the filled file
        filledBefore += gap.missing;
        gap.missing = std::clamp<std::int64_t>(gapStart + gap.missing - first, 0, gap.missing);
    }
    std::erase_if(gaps, [](const Gap& gap) { return gap.missing == 0; });
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

std::int64_t DropRepeatedRecords(File& data, DayRecord& buffer) {
    const auto previous = std::make_unique<DayRecord>();
    std::int64_t n = RecordCount(data);
    std::int64_t removed = 0;
    for (std::int64_t record = 1; record < n; ++record) {
        const std::int64_t day = DayAt(data, record);
        if (day == 0 || day != DayAt(data, record - 1)) continue;
        data.seek((record - 1) * kRecord);
        ReadRecord(data, *previous);
        ReadRecord(data, buffer);
        if (buffer.bytes != previous->bytes) continue;
        MoveRecords(data, record + 1, n - record - 1, record, buffer);
        data.truncate(--n * kRecord);
        ++removed;
        --record;
    }
    return removed;
}

ErrorText CorrectDataFile(File& data, const DayRecord& emptyDay, std::int64_t today,
                          std::int64_t keptPastDays, DayRecord& buffer) {
    try {
        const std::int64_t n = RecordCount(data);
        if (n < 2) return std::nullopt;
        std::vector<Gap> gaps;
        PastDayCounter pastDays(today);
        if (ErrorText nullRecord = FindGaps(data, n, today, gaps, pastDays)) return nullRecord;
        DropDaysBefore(gaps, pastDays.count() - std::max<std::int64_t>(keptPastDays, 0));
        FillGaps(data, n, gaps, emptyDay, buffer);
        return std::nullopt;
    } catch (const std::exception&) {
        return kCorrectionFailed;
    }
}

}  // namespace merivo
