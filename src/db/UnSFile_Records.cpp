// The file primitives of a loaded database: whole records, moving records, locating a day and
// reading a run of days into the reply area.
#include "db/UnSFile.h"

#include <algorithm>
#include <cstring>

#include "db/MessageCatalog.h"
#include "platform/DateTime.h"
#include "platform/Log.h"

namespace merivo {
namespace {

constexpr std::int64_t kRecord = static_cast<std::int64_t>(kDayRecordSize);

// The index entry to start from: the last one not after `day`, remembered as the IndexHint.
std::int64_t IndexOffsetFor(TMyDBUser& db, std::int64_t day) {
    if (DayOf(db.IndexHint.date) == day) return db.IndexHint.offset;
    std::int32_t offset = 0;
    for (const TmyDBIndexEntry& entry : db.TmyDBIndex) {
        if (DayOf(entry.date) > day) break;
        offset = entry.offset;
    }
    db.IndexHint = {offset, static_cast<double>(day)};
    return offset;
}

// Where the scan for `day` starts. The index is not updated by later writes, so its offset may
// now hold a later day (then the scan starts over) or lie beyond the file.
std::int64_t ScanStart(File& file, std::int64_t offset, std::int64_t end, std::int64_t day) {
    if (offset <= 0 || offset % kRecord != 0 || offset >= end) return 0;
    file.seek(offset);
    return day < PeekDay(file) ? 0 : offset;
}

// Copies the day slot `slot` of the reply from the DayBuffer.
void StoreSlot(TMyDBUser& db, int slot) {
    const std::size_t at = kRangeReplyHeaderSize + static_cast<std::size_t>(slot) * kDayRecordSize;
    if (db.RangeReply.size() < at + kDayRecordSize) db.RangeReply.resize(kRangeReplySize);
    std::memcpy(db.RangeReply.data() + at, db.DayBuffer.data(), kDayRecordSize);
}

void FillRangeSlots(TMyDBUser& db, File& file, int n, std::int64_t day) {
    LocateDay(db, file, day);
    for (int slot = 0; slot < n; ++slot) {
        const std::int64_t slotDay = day + slot;
        if (WholeRecordAtPosition(file) && PeekDay(file) == slotDay) {
            ReadRecord(file, db.DayBuffer);
        } else {
            db.DayBuffer = db.EmptyDay;
            db.DayBuffer.setDate(static_cast<double>(slotDay));
        }
        StoreSlot(db, slot);
    }
}

}  // namespace

std::int64_t RecordCount(File& file) {
    return file.size() / kRecord;
}

bool WholeRecordAtPosition(File& file) {
    return file.position() + kRecord <= file.size();
}

double PeekDate(File& file) {
    const std::int64_t position = file.position();
    std::uint8_t bytes[sizeof(double)];
    file.read(bytes, sizeof bytes);
    file.seek(position);
    return ReadDouble(bytes);
}

std::int64_t PeekDay(File& file) {
    return DayOf(PeekDate(file));
}

void ReadRecord(File& file, DayRecord& record) {
    file.read(record.data(), kDayRecordSize);
}

void WriteRecord(File& file, const DayRecord& record) {
    file.write(record.data(), kDayRecordSize);
}

void MoveRecords(File& file, std::int64_t from, std::int64_t count, std::int64_t to,
                 DayRecord& buffer) {
    if (count <= 0 || from == to) return;
    // Towards the end the last record goes first, towards the start the first one.
    const bool towardsEnd = to > from;
    for (std::int64_t k = 0; k < count; ++k) {
        const std::int64_t i = towardsEnd ? count - 1 - k : k;
        file.seek((from + i) * kRecord);
        ReadRecord(file, buffer);
        file.seek((to + i) * kRecord);
        WriteRecord(file, buffer);
    }
}

void LocateDay(TMyDBUser& db, File& file, std::int64_t day) {
    const std::int64_t end = RecordCount(file) * kRecord;
    std::int64_t position = ScanStart(file, IndexOffsetFor(db, day), end, day);
    for (; position < end; position += kRecord) {
        file.seek(position);
        if (PeekDay(file) >= day) break;
    }
    file.seek(position);
}

void ReadDays(TMyDBUser& db, int n, double date) {
    n = std::clamp(n, 0, kMaxRangeDays);
    const std::int64_t day = DayOf(date);
    bool retrying = false;
    for (;;) {
        std::unique_ptr<File> file;
        try {
            file = CurrentEnv().openFile(db.dataFilePath, OpenMode::ReadWrite);
        } catch (const std::exception&) {
            if (retrying) db.readRetried = false;  // the retry is over
            throw;
        }
        try {
            FillRangeSlots(db, *file, n, day);
            file.reset();
            db.readRetried = false;
            return;
        } catch (const std::exception&) {
            file.reset();
            if (db.readRetried) {
                db.readRetried = false;
                WriteLog(Msg(msgReadFileError) + db.dataFilePath);
                return;
            }
            WriteLog(Msg(msgRereadFile) + db.dataFilePath);
            db.readRetried = true;
            retrying = true;
        }
    }
}

}  // namespace merivo
