#pragma once
// The database service: bringing a database into use at start-up, the file primitives of a loaded
// database, the processing of requests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/UnDBType.h"

namespace merivo {

// Start-up of one database with a data file: load and archive, log "OK! Data correction - " +
// alias, build the date index, report dates out of order, set firstDate. Throws when a step fails;
// the caller logs "Error in creating database index or correction:" + alias.
void StartDatabase(TMyDBUser& db);

// ---------------------------------------------------------------------------------------------
// Loading a database at start-up.

// Load and archive: repairs missing days in the data file, moves the past days beyond
// recordLimit into the archive (trimmed to archiveLimit) and sets insertBeforeFirstAllowed. Logs
// its own failures ("Error in structure of Database:" + alias) and does not throw.
void LoadAndArchive(TMyDBUser& db);

// Correction: fills every missing day between the first record and the last record dated within
// 700 days after `today` with a copy of `emptyDay`, moving the later records towards the end
// through `buffer`. Returns the failure text ("Error correction of database." and the null-record
// variants), empty when all went well or there was nothing to do.
std::string CorrectDataFile(File& data, const DayRecord& emptyDay, std::int64_t today,
                            DayRecord& buffer);

// Builds the date index of the data file. Returns true when the dates do not rise strictly.
// Throws IoError when the file cannot be read.
bool BuildIndex(const std::string& dataFilePath, std::vector<TmyDBIndexEntry>& index);

// The archive file of a data file: its path with the extension replaced by ".arc".
std::string ArchivePath(const std::string& dataFilePath);

// ---------------------------------------------------------------------------------------------
// File primitives of a loaded database. Positions are byte offsets; a record is only ever read
// when all of its 55,766 bytes are in the file (a shorter tail is never a record). All throw
// IoError when the file operation fails.

constexpr std::int64_t kCorrectionHorizonDays = 700;
constexpr std::int64_t kInsertBeforeFirstMaxSize = 60 * static_cast<std::int64_t>(kDayRecordSize);

// Number of whole records in the file.
std::int64_t RecordCount(File& file);
// True when a whole record starts at the file's position.
bool WholeRecordAtPosition(File& file);
// The date of the record at the file's position; the position is left where it was.
double PeekDate(File& file);
// DayOf the date at the file's position; the position is left where it was.
std::int64_t PeekDay(File& file);
// Reads / writes one whole record at the file's position and moves past it.
void ReadRecord(File& file, DayRecord& record);
void WriteRecord(File& file, const DayRecord& record);
// Moves `count` records starting at record number `from` so that they start at record number `to`
// (record numbers, not bytes), through `buffer`, in the order that never overwrites a record not
// yet moved. The file grows when they are moved past its end.
void MoveRecords(File& file, std::int64_t from, std::int64_t count, std::int64_t to,
                 DayRecord& buffer);

// Locate day: leaves `file` positioned at the first whole record whose day is not before `day`,
// or at the end of the whole records when there is none. Uses and updates db.IndexHint; the
// index is only a starting hint, the file is scanned.
void LocateDay(TMyDBUser& db, File& file, std::int64_t day);

// Read days: fills the first min(n, 7) day slots of db.RangeReply (n < 0 counts as 0) with the
// days from DayOf(date) on, stored records where they exist and dated copies of EmptyDay
// elsewhere, each through db.DayBuffer. The header of the RangeReply is not touched.
// Throws IoError (its text is the message for the caller) when the data file cannot be opened.
// A failure after opening is retried once ("Warning! Reread the file: " + path, readRetried set);
// a failure of the retry logs "Error occurred while reading the file: " + path, clears
// readRetried and returns normally with the slots as they are.
void ReadDays(TMyDBUser& db, int n, double date);

// ---------------------------------------------------------------------------------------------
// Requests.

// Handles one complete request package (first word not 4000) from `sender`. `size` is the number
// of bytes received; fields beyond it read as zero.
void ProcessRequest(TMyNameUser& sender, const std::string& host, const std::uint8_t* package,
                    std::size_t size);

}  // namespace merivo
