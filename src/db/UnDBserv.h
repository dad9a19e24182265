#pragma once
// The database service: bringing a database into use at start-up and the processing of requests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "db/UnSFile.h"

namespace merivo {

// Start-up of one database with a data file: take its lock, load and archive, log "OK! Data
// correction - " + alias, build the date index, report dates out of order, set firstDate, and
// keep the data file open (KeptDataFile). Throws
// when a step fails; the caller logs "Error in creating database index or correction:" + alias.
// A data file whose lock another process holds (another server, a restructure) is not loaded and
// not changed: that is logged ("Another process holds the data file. Group not loaded: " +
// alias) and the result is false.
bool StartDatabase(TMyDBUser& db);

// The date index of a database whose data file is in place, with the "Database Structure Error"
// report and firstDate, as at the end of its start-up. False when the dates do not rise strictly.
// Throws when the file cannot be read.
bool IndexDatabase(TMyDBUser& db);

// What StartDatabase would find, without changing any file or taking its lock: a data file
// locked by a process other than the server of the program folder logs "Another process holds
// the data file. Group not loaded: " + alias (the folder's own server lets it go at its restart);
// one that cannot be opened for reading and writing logs "Error in structure of Database:" +
// alias, dates out of order log the structure error; false after any of them. Throws when the
// file cannot be read through.
bool CheckDatabase(TMyDBUser& db);

// Takes the advisory lock on the database's data file that tells other processes a running server
// has it loaded (releasing the one held before).
void LockDataFile(TMyDBUser& db);

// Another process held the data file's lock when it was taken: the database is not in use, and
// every request that would read or write its data file is refused.
bool DataFileHeldElsewhere(const TMyDBUser& db);
// The data file may not be read or written now: another process holds it, or the structure
// dialog is rewriting it. Every request that would read or write it is refused.
bool DataFileUnavailable(const TMyDBUser& db);

// ---------------------------------------------------------------------------------------------
// Loading a database at start-up.

// Load and archive: repairs missing days in the data file, moves the past days beyond
// recordLimit into the archive (trimmed to archiveLimit) and sets insertBeforeFirstAllowed. Logs
// its own failures ("Error in structure of Database:" + alias) and does not throw.
void LoadAndArchive(TMyDBUser& db);

// The most past days a database keeps: recordLimit in the data file and archiveLimit in the
// archive.
std::int64_t KeptPastDays(const TMyDBUser& db);

// The oldest day the database keeps when it starts `today`: the past days before it go to the
// archive (beyond recordLimit) and out of it (beyond archiveLimit).
std::int64_t OldestKeptDay(const TMyDBUser& db, std::int64_t today);

// The archive file of a data file: its path with the extension replaced by ".arc".
std::string ArchivePath(const std::string& dataFilePath);
// The path with the extension of its file name replaced (added when it has none).
std::string ReplaceExtension(const std::string& path, const std::string& extension);

// ---------------------------------------------------------------------------------------------
// Requests.

// Handles one complete request package (first word not 4000) from `sender`. `size` is the number
// of bytes received; fields beyond it read as zero.
void ProcessRequest(TMyNameUser& sender, const std::string& host, const std::uint8_t* package,
                    std::size_t size);

}  // namespace merivo
