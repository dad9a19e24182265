// Bringing a database into use at start-up: repairing missing days, archiving the oldest past
// days and building the date index. Records are moved one at a time through the database's
// DayBuffer, so no file is ever held in memory.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "db/UnDBserv.h"
#include "db/MessageCatalog.h"
#include "platform/DateTime.h"
#include "platform/FileLock.h"
#include "platform/Log.h"

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

std::int64_t DayAt(File& file, std::int64_t record) {
    file.seek(record * kRecord);
    return PeekDay(file);
}

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

// Records from the start whose day is before today.
std::int64_t CountPastDays(File& data, std::int64_t today) {
    const std::int64_t n = RecordCount(data);
    std::int64_t past = 0;
    while (past < n && DayAt(data, past) < today) ++past;
    return past;
}

std::unique_ptr<File> OpenOrCreate(const std::string& path) {
    const OpenMode mode = CurrentEnv().fileExists(path) ? OpenMode::ReadWrite : OpenMode::Create;
    return CurrentEnv().openFile(path, mode);
}

// Copies `count` records from the start of `from` to record number `to` of `into`.
void AppendRecords(File& from, std::int64_t count, File& into, std::int64_t to, DayRecord& buffer) {
    for (std::int64_t k = 0; k < count; ++k) {
        from.seek(k * kRecord);
        ReadRecord(from, buffer);
        into.seek((to + k) * kRecord);
        WriteRecord(into, buffer);
    }
}

// Moves the m oldest days of the data file to the end of the archive, keeps the newest
// archiveLimit records of the archive, and cuts the m days off the start of the data file.
void ArchiveOldestDays(TMyDBUser& db, File& data, const std::string& archivePath, std::int64_t m) {
    std::unique_ptr<File> archive = OpenOrCreate(archivePath);
    std::int64_t count = RecordCount(*archive);
    AppendRecords(data, m, *archive, count, db.DayBuffer);
    count += m;
    const std::int64_t limit = std::max<std::int64_t>(db.archiveLimit, 0);
    if (count > limit) {
        MoveRecords(*archive, count - limit, limit, 0, db.DayBuffer);
        count = limit;
    }
    archive->truncate(count * kRecord);
    if (count > 0) db.insertBeforeFirstAllowed = false;
    archive.reset();

    const std::int64_t n = RecordCount(data);
    MoveRecords(data, m, n - m, 0, db.DayBuffer);
    data.truncate((n - m) * kRecord);
}

void CorrectAndArchive(TMyDBUser& db, File& data) {
    const std::int64_t today = Today();
    const std::string message =
        CorrectDataFile(data, db.EmptyDay, today, OldestKeptDay(db, today), db.DayBuffer);
    if (!message.empty()) WriteLog(db.alias + " -> " + message);

    const std::int64_t past = CountPastDays(data, today);
    const std::string archivePath = ArchivePath(db.dataFilePath);
    if (CurrentEnv().fileExists(archivePath)) db.insertBeforeFirstAllowed = false;
    const std::int64_t excess = past - std::max<std::int64_t>(db.recordLimit, 0);
    if (excess > 0) ArchiveOldestDays(db, data, archivePath, excess);
    if (data.size() > kInsertBeforeFirstMaxSize) db.insertBeforeFirstAllowed = false;
}

}  // namespace

std::string ReplaceExtension(const std::string& path, const std::string& extension) {
    const std::size_t nameStart = path.find_last_of("/\\") + 1;  // npos + 1 == 0
    const std::size_t dot = path.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot >= nameStart;
    return (hasExtension ? path.substr(0, dot) : path) + extension;
}

std::string ArchivePath(const std::string& dataFilePath) {
    return ReplaceExtension(dataFilePath, ".arc");
}

std::int64_t OldestKeptDay(const TMyDBUser& db, std::int64_t today) {
    return today - std::max<std::int64_t>(db.recordLimit, 0) -
           std::max<std::int64_t>(db.archiveLimit, 0);
}

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

void LoadAndArchive(TMyDBUser& db) {
    if (db.busy) return;
    db.busy = true;
    db.insertBeforeFirstAllowed = true;
    try {
        std::unique_ptr<File> data = CurrentEnv().openFile(db.dataFilePath, OpenMode::ReadWrite);
        CorrectAndArchive(db, *data);
    } catch (const std::exception&) {
        WriteLog(Msg(msgDatabaseStructure) + db.alias);
        db.insertBeforeFirstAllowed = false;
    }
    db.busy = false;
}

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

void LockDataFile(TMyDBUser& db) {
    // The old lock goes first: even this process could not lock the file a second time.
    db.dataFileLock.reset();
    db.dataFileLock = std::make_shared<FileLock>(db.dataFilePath, false);
}

void StartDatabase(TMyDBUser& db) {
    LockDataFile(db);
    LoadAndArchive(db);
    WriteLog(Msg(msgDataCorrectionOk) + db.alias);
    IndexDatabase(db);
}

bool IndexDatabase(TMyDBUser& db) {
    const bool outOfOrder = BuildIndex(db.dataFilePath, db.TmyDBIndex);
    if (outOfOrder) WriteLog(Msg(msgStructureError) + " -> " + db.alias);
    if (!db.insertBeforeFirstAllowed && !db.TmyDBIndex.empty()) {
        db.firstDate = db.TmyDBIndex.front().date;
    }
    return !outOfOrder;
}

bool CheckDatabase(TMyDBUser& db) {
    try {
        // Opened as the load opens it, so that a file the server may not write is found now;
        // opening changes nothing.
        CurrentEnv().openFile(db.dataFilePath, OpenMode::ReadWrite);
    } catch (const std::exception&) {
        WriteLog(Msg(msgDatabaseStructure) + db.alias);
        return false;
    }
    return IndexDatabase(db);
}

}  // namespace merivo
