#pragma once
// Inside the request processor: storing a day, the edit operations and the day copy by sections.
#include <cstdint>

#include "db/UnDBType.h"

namespace merivo {

// Request codes.
constexpr std::int32_t kCopyDayCode = 50;
constexpr std::int32_t kRowIdNoticeCode = 52;
constexpr std::int32_t kServiceCode = 1000;
constexpr std::int32_t kNetworkErrorCode = 5000;
constexpr std::int32_t kAnswerCode = 2000;
constexpr std::int32_t kUndoCode = 3000;
constexpr std::int32_t kNotStoredCode = 7000;
constexpr std::int32_t kMaxRequestCode = 16384;

// Service subcodes (code 1000) and the subcodes of the answers with code 2000.
constexpr std::int32_t kReadRangeSubcode = 3;
constexpr std::int32_t kMailSubcode = 5;
constexpr std::int32_t kRowIdSubcode = 6;
constexpr std::int32_t kRangeAnswerSubcode = 1;
constexpr std::int32_t kCopyAnswerSubcode = 2;
constexpr std::int32_t kRowIdAnswerSubcode = 4;

// Edit operations.
constexpr std::int32_t kEditTitle = 2;
constexpr std::int32_t kEditMemo = 3;
constexpr std::int32_t kEditRow = 4;
constexpr std::int32_t kEditLine1 = 6;
constexpr std::int32_t kEditLine2 = 7;
constexpr std::int32_t kDeleteLine1 = 16;
constexpr std::int32_t kDeleteLine2 = 17;
constexpr std::int32_t kRestoreLine1 = 26;
constexpr std::int32_t kRestoreLine2 = 27;
constexpr std::int32_t kInsertRow = 40;
constexpr std::int32_t kDeleteRow = 41;
constexpr std::int32_t kAppendRow = 42;
constexpr std::int32_t kMakeRowId = 51;

// How storing a day ended.
enum class StoreResult {
    Stored,
    Refused,  // the day lies before the first stored day and may not be inserted there
    Failed,   // the file operation failed twice
};

// False when the operation names a schedule row outside 0-69 or a list line outside 0-59.
bool EditTargetInRange(std::int32_t code, std::int32_t row);

// Applies edit operation `code` on row or line `row` with request q to db.DayBuffer, keeping the
// old values in db.ChangeRecord. The row must be in range.
void ApplyEdit(TMyDBUser& db, std::int32_t code, std::int32_t row, const RequestBytes& q);

// Editing a day: brings the day of q's date into db.DayBuffer (the stored record, or a new one
// put in its place), applies the operation and writes it back. A day of 0 is logged as
// "Incorrect Date in received data." and counts as stored, with nothing written.
StoreResult EditDay(TMyDBUser& db, std::int32_t code, std::int32_t row, const RequestBytes& q);

// Day copy, first half: reads the source day of db.CopyRequest into db.DayBuffer (the stored
// record, else the empty day). False when the file could not be read.
bool ReadSourceDay(TMyDBUser& db, std::int64_t sourceDay);
// Day copy, second half: writes `source` as day `day`, replacing the sections that
// db.CopyRequest flags.
StoreResult WriteDayBySections(TMyDBUser& db, std::int64_t day, const DayRecord& source);

}  // namespace merivo
