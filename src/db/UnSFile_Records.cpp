// The file primitives of a loaded database: whole records, moving records, locating a day and
// reading a run of days into the reply area.
#include <algorithm>
#include <array>
#include <cstring>

#include "db/MessageCatalog.h"
#include "db/UnSFile.h"
#include "platform/DateTime.h"
#include "platform/Log.h"

namespace merivo {
namespace {

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

// Where a run of days lands: day slot 0 of the reply.
std::uint8_t* FirstSlot(TMyDBUser& db) {
    if (db.RangeReply.size() < kRangeReplySize) db.RangeReply.resize(kRangeReplySize);
    return db.RangeReply.data() + kRangeReplyHeaderSize;
}

std::uint8_t* Slot(std::uint8_t* first, int slot) {
    return first + static_cast<std::size_t>(slot) * kDayRecordSize;
}

// The records of the run were read into slots 0 to read - 1. A slot keeps the next record read
// when that record is of the slot's day, and gets the empty day dated with its day otherwise
// (a day missing from the file); so a record only ever moves to a later slot, and filling the
// slots from the last one down never overwrites a record still to be placed.
void PlaceRecords(TMyDBUser& db, std::uint8_t* first, int read, int n, std::int64_t day) {
    std::array<int, kMaxRangeDays> source{};
    int next = 0;
    for (int slot = 0; slot < n; ++slot) {
        const bool stored = next < read && DayOf(ReadDouble(Slot(first, next))) == day + slot;
        source[static_cast<std::size_t>(slot)] = stored ? next++ : -1;
    }
    for (int slot = n - 1; slot >= 0; --slot) {
        const int from = source[static_cast<std::size_t>(slot)];
        if (from == slot) continue;
        if (from >= 0) {
            std::memmove(Slot(first, slot), Slot(first, from), kDayRecordSize);
        } else {
            std::memcpy(Slot(first, slot), db.EmptyDay.data(), kDayRecordSize);
            WriteDouble(Slot(first, slot) + day::kDate, static_cast<double>(day + slot));
        }
    }
}

// Reads the run from the record the index gives for the day, when that record is of the day (as
// it is unless days were inserted before it since the load): the number of records read, or -1
// when the day is to be located.
int ReadRunAtIndex(TMyDBUser& db, File& file, int n, std::int64_t day, std::uint8_t* first) {
    const std::int64_t offset = IndexOffsetFor(db, day);
    const std::int64_t end = RecordCount(file) * kRecord;
    if (n <= 0 || offset < 0 || offset % kRecord != 0 || offset >= end) return -1;
    const int read = static_cast<int>(std::min<std::int64_t>(n, (end - offset) / kRecord));
    file.seek(offset);
    file.read(first, static_cast<std::size_t>(read) * kDayRecordSize);
    return DayOf(ReadDouble(first)) == day ? read : -1;
}

// The records from the day on are read with one positioned read straight into the reply.
void FillRangeSlots(TMyDBUser& db, File& file, int n, std::int64_t day) {
    std::uint8_t* first = FirstSlot(db);
    int read = ReadRunAtIndex(db, file, n, day, first);
    if (read < 0) {
        const std::int64_t end = LocateDay(db, file, day);
        read = static_cast<int>(std::min<std::int64_t>(n, (end - file.position()) / kRecord));
        if (read > 0) file.read(first, static_cast<std::size_t>(read) * kDayRecordSize);
    }
    PlaceRecords(db, first, read, n, day);
    // The DayBuffer ends up holding the last day of the run, as when the days passed through it.
    if (n > 0) std::memcpy(db.DayBuffer.data(), Slot(first, n - 1), kDayRecordSize);
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

std::int64_t DayAt(File& file, std::int64_t record) {
    file.seek(record * kRecord);
    return PeekDay(file);
}

void ReadRecord(File& file, DayRecord& record) {
    file.read(record.data(), kDayRecordSize);
}

void WriteRecord(File& file, const DayRecord& record) {
    file.write(record.data(), kDayRecordSize);
}

void MoveRecords(File& file, std::int64_t from, std::int64_t count, std::int64_t to,
                 DayRecord& buffer, std::int64_t* moved) {
    if (count <= 0 || from == to) return;
    // Towards the end the last record goes first, towards the start the first one.
    const bool towardsEnd = to > from;
    for (std::int64_t k = moved ? *moved : 0; k < count; ++k) {
        const std::int64_t i = towardsEnd ? count - 1 - k : k;
        file.seek((from + i) * kRecord);
        ReadRecord(file, buffer);
        file.seek((to + i) * kRecord);
        WriteRecord(file, buffer);
        if (moved) ++*moved;
    }
}

std::int64_t LocateDay(TMyDBUser& db, File& file, std::int64_t day) {
    const std::int64_t end = RecordCount(file) * kRecord;
    std::int64_t position = ScanStart(file, IndexOffsetFor(db, day), end, day);
    for (; position < end; position += kRecord) {
        file.seek(position);
        if (PeekDay(file) >= day) break;
    }
    file.seek(position);
    return end;
}

bool ReadDays(TMyDBUser& db, int n, double date) {
    n = std::clamp(n, 0, kMaxRangeDays);
    const std::int64_t day = DayOf(date);
    bool retrying = false;
    for (;;) {
        try {
            KeptDataFile(db);
        } catch (const std::exception&) {
            if (retrying) db.readRetried = false;  // the retry is over
            throw;
        }
        try {
            UseDataFile(db, [&](File& file) { FillRangeSlots(db, file, n, day); });
            db.readRetried = false;
            return true;
        } catch (const std::exception&) {
            if (db.readRetried) {
                db.readRetried = false;
                WriteLog(Msg(msgReadFileError) + db.dataFilePath);
                return false;
            }
            WriteLog(Msg(msgRereadFile) + db.dataFilePath);
            db.readRetried = true;
            retrying = true;
        }
    }
}

}  // namespace merivo
