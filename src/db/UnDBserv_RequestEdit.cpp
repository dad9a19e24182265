// Storing a day: the edit operations on a day and the day copy by sections, with their retry.
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/UnDBserv_Request.h"
#include "db/MessageCatalog.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Log.h"

namespace merivo {
namespace {

constexpr int kRewriteDelayMs = 10;
constexpr std::size_t kTimeFieldSize = day::kTimeCapacity + 1;
constexpr std::size_t kTextFieldSize = day::kTextCapacity + 1;

// ---- Edit operations -------------------------------------------------------------------------

bool IsScheduleOperation(std::int32_t code) {
    return code == kEditRow || code == kInsertRow || code == kDeleteRow || code == kMakeRowId;
}

int ListOf(std::int32_t code) {
    switch (code) {
        case kEditLine1:
        case kDeleteLine1:
        case kRestoreLine1:
            return 1;
        case kEditLine2:
        case kDeleteLine2:
        case kRestoreLine2:
            return 2;
        default:
            return 0;
    }
}

std::string RequestTime(const RequestBytes& q) {
    return ReadShortString(q.data() + request::kTime, day::kTimeCapacity);
}
std::string RequestText(const RequestBytes& q) {
    return ReadShortString(q.data() + request::kText, day::kTextCapacity);
}

// Copies schedule row `from` (time, text and ID) onto row `to`.
void CopyRow(DayRecord& day, int from, int to) {
    std::memcpy(day.scheduleTimeField(to), day.scheduleTimeField(from), kTimeFieldSize);
    std::memcpy(day.scheduleTextField(to), day.scheduleTextField(from), kTextFieldSize);
    day.setRowId(to, day.rowId(from));
}

void SetRow(DayRecord& day, int row, std::string_view time, std::string_view text,
            std::int32_t id) {
    day.setScheduleTime(row, time);
    day.setScheduleText(row, text);
    day.setRowId(row, id);
}

// Opens a gap at `row`: rows row to 68 move one down, row 69 is lost.
void ShiftRowsDown(DayRecord& day, int row) {
    for (int r = kScheduleRows - 2; r >= row; --r) CopyRow(day, r, r + 1);
}

// Closes the gap at `row`: rows row+1 to 69 move one up, row 69 becomes empty.
void ShiftRowsUp(DayRecord& day, int row) {
    for (int r = row; r < kScheduleRows - 1; ++r) CopyRow(day, r + 1, r);
    SetRow(day, kScheduleRows - 1, "", "", 0);
}

void ShiftLinesDown(DayRecord& day, int list, int line) {
    std::uint8_t* first = day.listLineField(list, line);
    std::memmove(first + kTextFieldSize, first, (kListLines - 1 - line) * kTextFieldSize);
}

void ShiftLinesUp(DayRecord& day, int list, int line) {
    std::uint8_t* first = day.listLineField(list, line);
    std::memmove(first, first + kTextFieldSize, (kListLines - 1 - line) * kTextFieldSize);
    day.setListLine(list, kListLines - 1, "");
}

void EditTitle(DayRecord& day, RequestBytes& change, const RequestBytes& q) {
    WriteShortString(change.data() + request::kText, day::kTextCapacity, day.title());
    day.setTitle(RequestText(q));
}

void EditMemo(DayRecord& day, RequestBytes& change, const RequestBytes& q) {
    std::memcpy(change.data() + request::kMemo, day.data() + day::kMemo, day::kMemoEditSize);
    std::memcpy(day.data() + day::kMemo, q.data() + request::kMemo, day::kMemoEditSize);
}

void EditRow(DayRecord& day, int row, RequestBytes& change, const RequestBytes& q) {
    WriteShortString(change.data() + request::kTime, day::kTimeCapacity, day.scheduleTime(row));
    WriteShortString(change.data() + request::kText, day::kTextCapacity, day.scheduleText(row));
    WriteDouble(change.data() + request::kDate, day.date());
    WriteInt32(change.data() + request::kRowId, day.rowId(row));
    change[request::kIdGiven] = q[request::kIdGiven];
    day.setScheduleTime(row, RequestTime(q));
    day.setScheduleText(row, RequestText(q));
    if (q[request::kIdGiven] != 0) day.setRowId(row, ReadInt32(q.data() + request::kRowId));
}

void EditLine(DayRecord& day, int list, int line, RequestBytes& change, const RequestBytes& q) {
    const std::string time = RequestTime(q);
    WriteShortString(change.data() + request::kTime, day::kTimeCapacity, time);
    WriteShortString(change.data() + request::kText, day::kTextCapacity, day.listLine(list, line));
    if (time == "1") ShiftLinesDown(day, list, line);
    day.setListLine(list, line, RequestText(q));
}

void DeleteLine(DayRecord& day, int list, int line, RequestBytes& change) {
    WriteShortString(change.data() + request::kText, day::kTextCapacity, day.listLine(list, line));
    ShiftLinesUp(day, list, line);
}

// The undo of a deleted line: the text comes from the last edit record of the database.
void RestoreLine(DayRecord& day, int list, int line, const RequestBytes& change) {
    ShiftLinesDown(day, list, line);
    day.setListLine(list, line,
                    ReadShortString(change.data() + request::kText, day::kTextCapacity));
}

void InsertRow(DayRecord& day, int row, const RequestBytes& q) {
    const int last = kScheduleRows - 1;
    if (!day.scheduleTime(last).empty() || !day.scheduleText(last).empty()) return;
    ShiftRowsDown(day, row);
    SetRow(day, row, RequestTime(q), RequestText(q), ReadInt32(q.data() + request::kRowId));
}

void MakeRowId(DayRecord& day, int row) {
    if (day.rowId(row) != 0) return;
    const std::uint16_t counter = static_cast<std::uint16_t>(day.idCounter() + 1);
    day.setIdCounter(counter);
    const auto low = static_cast<std::uint32_t>(DayOf(day.date())) & 0xFFFFu;
    day.setRowId(row, static_cast<std::int32_t>((std::uint32_t{counter} << 16) | low));
}

// ---- Storing a day ---------------------------------------------------------------------------

// Where the store of a day stands between its attempts. A retry finishes what the failed attempt
// began instead of doing it again: records moved twice to make room would leave a copy of a day
// behind, and a change applied twice (an inserted row, a deleted line) would shift the day twice.
struct StoreProgress {
    std::int64_t position = -1;   // where the day's record goes; -1 until it is known
    bool newDay = false;          // the day is not stored yet
    std::int64_t roomFrom = 0;    // the records from here on move one record towards the end
    std::int64_t roomCount = 0;   // how many move (0: the new day goes after the last record)
    std::int64_t moved = 0;       // of those, moved so far
    std::int64_t sizeBefore = 0;  // the file's size before the new day came
    bool changed = false;         // db.DayBuffer holds the changed day, ready to be written
};

// Finds where `day` goes: its stored record (read into db.DayBuffer), the place of the first
// later record, or the end. False when the day would go before the first stored day and that is
// not allowed.
bool PlaceDay(TMyDBUser& db, File& file, std::int64_t day, StoreProgress& progress) {
    LocateDay(db, file, day);
    const std::int64_t position = file.position();
    const bool recordThere = WholeRecordAtPosition(file);
    if (recordThere && PeekDay(file) == day) {
        ReadRecord(file, db.DayBuffer);
        progress.position = position;
        return true;
    }
    if (recordThere && position == 0 && !db.insertBeforeFirstAllowed) {
        WriteLog(Msg(msgInsertAtBeginning) + db.alias);
        return false;
    }
    progress.newDay = true;
    progress.sizeBefore = file.size();
    if (recordThere) {
        progress.roomFrom = position / kRecord;
        progress.roomCount = RecordCount(file) - progress.roomFrom;
    }
    progress.position = position;
    return true;
}

// A new day: the later records make room for it, and it starts as the dated empty day.
void PrepareNewDay(TMyDBUser& db, File& file, std::int64_t day, StoreProgress& progress) {
    MoveRecords(file, progress.roomFrom, progress.roomCount, progress.roomFrom + 1, db.DayBuffer,
                &progress.moved);
    db.DayBuffer = db.EmptyDay;
    db.DayBuffer.setDate(static_cast<double>(day));
}

// One attempt at storing a day: bring it into the buffer, change it, write it back, going on
// from where an earlier attempt stopped. The day is on the disk before it counts as stored,
// since the users are told so at once.
StoreResult StoreDayIn(TMyDBUser& db, File& file, std::int64_t day,
                       const std::function<void(DayRecord&)>& change, StoreProgress& progress) {
    if (progress.position < 0 && !PlaceDay(db, file, day, progress)) {
        return StoreResult::Refused;
    }
    if (!progress.changed) {
        if (progress.newDay) PrepareNewDay(db, file, day, progress);
        change(db.DayBuffer);
        progress.changed = true;
    }
    file.seek(progress.position);
    WriteRecord(file, db.DayBuffer);
    file.sync();
    return StoreResult::Stored;
}

StoreResult StoreDayOnce(TMyDBUser& db, std::int64_t day,
                         const std::function<void(DayRecord&)>& change, StoreProgress& progress) {
    StoreResult result = StoreResult::Stored;
    UseDataFile(db, [&](File& file) { result = StoreDayIn(db, file, day, change, progress); });
    return result;
}

// After the store of a new day failed for good, the file goes back to what it was: the records
// that made room return, and nothing of the day the users are told was not stored stays. When
// this fails too, a day may be there twice, which the next start reports as dates out of order.
void TakeBackNewDay(TMyDBUser& db, const StoreProgress& progress) {
    if (!progress.newDay) return;
    // One attempt only: moving the records back a second time would move some twice.
    try {
        File& file = KeptDataFile(db);
        const std::int64_t firstMoved = progress.roomFrom + progress.roomCount - progress.moved;
        MoveRecords(file, firstMoved + 1, progress.moved, firstMoved, db.DayBuffer);
        file.truncate(progress.sizeBefore);
        file.sync();
    } catch (const std::exception& error) {
        ReleaseDataFile(db);  // its size may no longer be what the file holds
        DebugLog(std::string("New day not taken back: ") + error.what());
    }
}

enum class RetryStyle { Immediate, AfterWarning };

// Stores a day, retrying once after a failure; the second failure is final. writeRetried marks
// the running retry and is clear again when the request is done, whatever the outcome.
StoreResult StoreDay(TMyDBUser& db, std::int64_t day, const std::function<void(DayRecord&)>& change,
                     RetryStyle style) {
    // A day the next start archives and drops at once would be lost although the users were
    // told it is stored; and one long before the first stored day would make that start fill
    // every day in between.
    if (day < OldestKeptDay(db, Today())) {
        WriteLog(Msg(msgIncorrectDate));
        return StoreResult::Refused;
    }
    ++db.changeCount;
    StoreProgress progress;
    for (;;) {
        try {
            const StoreResult result = StoreDayOnce(db, day, change, progress);
            db.writeRetried = false;
            return result;
        } catch (const std::exception&) {
            if (db.writeRetried) {
                db.writeRetried = false;
                WriteLog(Msg(msgWriteFileError) + db.dataFilePath);
                TakeBackNewDay(db, progress);
                return StoreResult::Failed;
            }
            if (style == RetryStyle::AfterWarning) {
                CurrentClock().sleepMs(kRewriteDelayMs);
                WriteLog(Msg(msgRewriteFile) + db.dataFilePath);
            }
            db.writeRetried = true;
        }
    }
}

struct Section {
    std::size_t offset;
    std::size_t size;
};

// The five sections of a day a copy may replace: title, memo, schedule, list 1, list 2.
constexpr Section kSections[] = {
    {day::kTitle, kTextFieldSize},
    {day::kMemo, day::kMemoSize},
    {day::kScheduleTimes, day::kRowBlocks - day::kScheduleTimes},
    {day::kList1, day::kList2 - day::kList1},
    {day::kList2, day::kTail - day::kList2},
};
constexpr std::size_t kScheduleSection = 2;

void ReplaceSections(DayRecord& target, const DayRecord& source, const std::uint8_t* flags) {
    for (std::size_t s = 0; s < std::size(kSections); ++s) {
        if (flags[s] == 0) continue;
        std::memcpy(target.data() + kSections[s].offset, source.data() + kSections[s].offset,
                    kSections[s].size);
        if (s == kScheduleSection) {
            for (int row = 0; row < kScheduleRows; ++row) target.setRowId(row, 0);
        }
    }
}

}  // namespace

bool EditTargetInRange(std::int32_t code, std::int32_t row) {
    if (IsScheduleOperation(code)) return row >= 0 && row < kScheduleRows;
    if (ListOf(code) != 0) return row >= 0 && row < kListLines;
    return true;
}

void ApplyEdit(TMyDBUser& db, std::int32_t code, std::int32_t row, const RequestBytes& q) {
    DayRecord& day = db.DayBuffer;
    RequestBytes& change = db.ChangeRecord;
    const int list = ListOf(code);
    switch (code) {
        case kEditTitle:
            return EditTitle(day, change, q);
        case kEditMemo:
            return EditMemo(day, change, q);
        case kEditRow:
            return EditRow(day, row, change, q);
        case kEditLine1:
        case kEditLine2:
            return EditLine(day, list, row, change, q);
        case kDeleteLine1:
        case kDeleteLine2:
            return DeleteLine(day, list, row, change);
        case kRestoreLine1:
        case kRestoreLine2:
            return RestoreLine(day, list, row, change);
        case kInsertRow:
            return InsertRow(day, row, q);
        case kDeleteRow:
            return ShiftRowsUp(day, row);
        case kMakeRowId:
            return MakeRowId(day, row);
        default:
            return;  // the day is still written, and so created when it was missing
    }
}

StoreResult EditDay(TMyDBUser& db, std::int32_t code, std::int32_t row, const RequestBytes& q) {
    const std::int64_t day = DayOf(ReadDouble(q.data() + request::kDate));
    if (day == 0) {
        WriteLog(Msg(msgIncorrectDate));
        return StoreResult::Stored;
    }
    return StoreDay(
        db, day, [&](DayRecord&) { ApplyEdit(db, code, row, q); }, RetryStyle::AfterWarning);
}

bool ReadSourceDay(TMyDBUser& db, std::int64_t sourceDay) {
    try {
        UseDataFile(db, [&](File& file) {
            LocateDay(db, file, sourceDay);
            if (WholeRecordAtPosition(file) && PeekDay(file) == sourceDay) {
                ReadRecord(file, db.DayBuffer);
            } else {
                db.DayBuffer = db.EmptyDay;
            }
        });
        db.readRetried = false;
        return true;
    } catch (const std::exception&) {
        // There is no second attempt here: the flag only makes the next failure the logged one.
        if (db.readRetried) WriteLog(Msg(msgReadFileError) + db.dataFilePath);
        db.readRetried = !db.readRetried;
        return false;
    }
}

StoreResult WriteDayBySections(TMyDBUser& db, std::int64_t day, const DayRecord& source) {
    const std::uint8_t* flags = db.CopyRequest.data() + request::kSectionFlags;
    return StoreDay(
        db, day, [&](DayRecord& target) { ReplaceSections(target, source, flags); },
        RetryStyle::Immediate);
}

}  // namespace merivo
