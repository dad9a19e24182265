#pragma once
// Data-file access of a loaded database: whole records, moving records, locating a day, reading a
// run of days into the reply area, the date index and the correction of missing days.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "platform/ErrorText.h"

namespace merivo {

// File primitives of a loaded database. Positions are byte offsets; a record is only ever read
// when all of its 55,766 bytes are in the file (a shorter tail is never a record). All throw
// IoError when the file operation fails.

// The size of one record as a file offset.
constexpr std::int64_t kRecord = static_cast<std::int64_t>(kDayRecordSize);
constexpr std::int64_t kCorrectionHorizonDays = 700;
constexpr std::int64_t kInsertBeforeFirstMaxSize = 60 * kRecord;

// Number of whole records in the file.
std::int64_t RecordCount(File& file);
// True when a whole record starts at the file's position.
bool WholeRecordAtPosition(File& file);
// The date of the record at the file's position; the position is left where it was.
double PeekDate(File& file);
// DayOf the date at the file's position; the position is left where it was.
std::int64_t PeekDay(File& file);
// DayOf the date of record number `record`; the file is left positioned at that record.
std::int64_t DayAt(File& file, std::int64_t record);
// Reads / writes one whole record at the file's position and moves past it.
void ReadRecord(File& file, DayRecord& record);
void WriteRecord(File& file, const DayRecord& record);
// Moves `count` records starting at record number `from` so that they start at record number `to`
// (record numbers, not bytes), through `buffer`, in the order that never overwrites a record not
// yet moved. The file grows when they are moved past its end. `moved`, when given, counts the
// records moved so far: the move goes on after them and counts on, so that a move cut off by a
// failure can be finished later without moving a record twice.
void MoveRecords(File& file, std::int64_t from, std::int64_t count, std::int64_t to,
                 DayRecord& buffer, std::int64_t* moved = nullptr);

// ---- The kept data file ----------------------------------------------------------------------
// A loaded database keeps its data file open while the server runs: it is opened when the
// database is loaded, or at its first use after it was released. Its size is the one the server
// knows: taken when the file is opened and kept up to date by the writes made through it (the
// lock on the data file keeps every other writer out), so that no request asks the system.

// The database's data file, opened and kept when it is not open. Throws IoError when it cannot be
// opened.
File& KeptDataFile(TMyDBUser& db);
// Opens and keeps the data file now; a file that cannot be opened is left to the first request,
// which reports it.
void KeepDataFileOpen(TMyDBUser& db);
// Closes the kept data file, so that the file may be opened, replaced or restructured elsewhere
// in the process; the next use opens it again.
void ReleaseDataFile(TMyDBUser& db);
// Runs `use` on the kept data file. When it fails, the file is closed and opened again and `use`
// runs once more, so a descriptor that went bad is replaced before the caller's own retry; `use`
// must therefore be safe to run again after a failure. A failure of the second run is thrown.
void UseDataFile(TMyDBUser& db, const std::function<void(File&)>& use);

// Locate day: leaves `file` positioned at the first whole record whose day is not before `day`,
// or at the end of the whole records when there is none. Uses and updates db.IndexHint; the
// index is only a starting hint, the file is scanned. Returns the end of the whole records.
std::int64_t LocateDay(TMyDBUser& db, File& file, std::int64_t day);

// Read days: fills the first min(n, 7) day slots of db.RangeReply (n < 0 counts as 0) with the
// days from DayOf(date) on, stored records where they exist and dated copies of EmptyDay
// elsewhere; the DayBuffer is left holding the last of them. The stored records are read with one
// positioned read straight into the slots. The header of the RangeReply is not touched.
// Throws IoError (its text is the message for the caller) when the data file cannot be opened.
// A failure after opening is retried once ("Warning! Reread the file: " + path, readRetried set);
// a failure of the retry logs "Error occurred while reading the file: " + path, clears
// readRetried and returns false: the slots then hold no days that may be answered.
bool ReadDays(TMyDBUser& db, int n, double date);

// Builds the date index of the data file. Returns true when the dates do not rise strictly.
// Throws IoError when the file cannot be read.
bool BuildIndex(const std::string& dataFilePath, std::vector<TmyDBIndexEntry>& index);

// Making room for a new day moves the later records one place on, from the last one back, and
// taking it back moves them home again; a process that ends in the middle leaves one record twice,
// side by side and the same byte for byte. Removes every such second copy (nothing else is ever
// the same twice) and returns how many it removed.
std::int64_t DropRepeatedRecords(File& data, DayRecord& buffer);

// Correction: fills every missing day between the first record and the last record dated within
// 700 days after `today` with a copy of `emptyDay`, moving the later records towards the end
// through `buffer`; but of the days before today only the newest `keptPastDays` of the filled
// file are filled. The archiving that follows keeps no more past days than that (recordLimit in
// the data file, archiveLimit in the archive): whatever lies before them, filled or not, goes to
// the archive and is trimmed off again, so both files end as with every day filled, and a record
// from long ago does not make the start write years of empty days. Fails with the text to log
// ("Error correction of database." and the null-record variants).
ErrorText CorrectDataFile(File& data, const DayRecord& emptyDay, std::int64_t today,
                            std::int64_t keptPastDays, DayRecord& buffer);

}  // namespace merivo
