// Bringing a database into use at start-up: the correction of missing days, archiving the oldest
// past days and the date index. Records are moved one at a time through the database's
// DayBuffer, so no file is ever held in memory.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "db/UnDBserv.h"
#include "db/MessageCatalog.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/SingleInstance.h"

namespace merivo {
namespace {

// Records from the start whose day is before today.
std::int64_t CountPastDays(File& data, std::int64_t today) {
    const std::int64_t n = RecordCount(data);
    std::int64_t past = 0;
    while (past < n && DayAt(data, past) < today) ++past;
    return past;
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
// archiveLimit records of the archive, and cuts the m days off the start of the data file. The
// archive (and the name of a new one) is on the disk before the data file lets the days go, so a
// power loss at any moment loses no day.
void ArchiveOldestDays(TMyDBUser& db, File& data, const std::string& archivePath, std::int64_t m) {
    const bool newArchive = !CurrentEnv().fileExists(archivePath);
    std::unique_ptr<File> archive =
        CurrentEnv().openFile(archivePath, newArchive ? OpenMode::Create : OpenMode::ReadWrite);
    std::int64_t count = RecordCount(*archive);
    AppendRecords(data, m, *archive, count, db.DayBuffer);
    count += m;
    const std::int64_t limit = std::max<std::int64_t>(db.archiveLimit, 0);
    if (count > limit) {
        MoveRecords(*archive, count - limit, limit, 0, db.DayBuffer);
        count = limit;
    }
    archive->truncate(count * kRecord);
    archive->sync();
    if (newArchive) CurrentEnv().syncFolder(FolderOf(archivePath));
    if (count > 0) db.insertBeforeFirstAllowed = false;
    archive.reset();

    const std::int64_t n = RecordCount(data);
    MoveRecords(data, m, n - m, 0, db.DayBuffer);
    data.truncate((n - m) * kRecord);
    data.sync();
}

// For a check, which takes no lock: a process holds the file's lock, and it is not the server of
// the program folder, which lets its files go when it is restarted.
bool HeldByAnotherProgram(const std::string& path) {
    const std::vector<long> folderServer = LockHolders(InstanceLockPath(Config.appDir));
    const std::vector<long> holders = LockHolders(path);
    return std::any_of(holders.begin(), holders.end(), [&](long holder) {
        return std::find(folderServer.begin(), folderServer.end(), holder) == folderServer.end();
    });
}

void CorrectAndArchive(TMyDBUser& db, File& data) {
    if (DropRepeatedRecords(data, db.DayBuffer) > 0) {
        data.sync();
        WriteLog(Txt(txtRepeatedDayRemoved) + db.alias);
    }
    const std::int64_t today = Today();
    const ErrorText failure =
        CorrectDataFile(data, db.EmptyDay, today, KeptPastDays(db), db.DayBuffer);
    if (failure) WriteLog(db.alias + " -> " + *failure);

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

std::int64_t KeptPastDays(const TMyDBUser& db) {
    return std::max<std::int64_t>(db.recordLimit, 0) + std::max<std::int64_t>(db.archiveLimit, 0);
}

std::int64_t OldestKeptDay(const TMyDBUser& db, std::int64_t today) {
    return today - KeptPastDays(db);
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

void LockDataFile(TMyDBUser& db) {
    // The old lock goes first: even this process could not lock the file a second time.
    db.dataFileLock.reset();
    db.dataFileLock = std::make_shared<FileLock>(db.dataFilePath, false);
}

bool DataFileHeldElsewhere(const TMyDBUser& db) {
    return db.dataFileLock && db.dataFileLock->heldElsewhere();
}

bool DataFileUnavailable(const TMyDBUser& db) {
    return db.restructuring || DataFileHeldElsewhere(db);
}

bool StartDatabase(TMyDBUser& db) {
    ReleaseDataFile(db);  // a database started again loads its file afresh
    LockDataFile(db);
    if (DataFileHeldElsewhere(db)) {
        WriteLog(Txt(txtDataFileHeldElsewhere) + db.alias);
        return false;
    }
    LoadAndArchive(db);
    WriteLog(Msg(msgDataCorrectionOk) + db.alias);
    IndexDatabase(db);
    KeepDataFileOpen(db);
    return true;
}

bool IndexDatabase(TMyDBUser& db) {
    ++db.changeCount;
    const bool outOfOrder = BuildIndex(db.dataFilePath, db.TmyDBIndex);
    if (outOfOrder) WriteLog(Msg(msgStructureError) + " -> " + db.alias);
    if (!db.insertBeforeFirstAllowed && !db.TmyDBIndex.empty()) {
        db.firstDate = db.TmyDBIndex.front().date;
    }
    return !outOfOrder;
}

bool CheckDatabase(TMyDBUser& db) {
    if (HeldByAnotherProgram(db.dataFilePath)) {
        WriteLog(Txt(txtDataFileHeldElsewhere) + db.alias);
        return false;
    }
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
