#pragma once
// The restructure of a database's two files, shared by the structure dialog and merivo-db: every
// record of the archive and the data file is put into date order with one record per day, the
// days outside a chosen range are dropped, the older days go to the archive and the rest to the
// data file, optionally after a backup copy of all records. The new files are written beside the
// old ones and put in their place only when both are complete.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/UnDBType.h"

namespace merivo {

// The most records the data pass handles.
constexpr std::int32_t kDefaultDataBudget = 2000000;

// The dates of both files as the dialog opens them: whole records only, the archive's first.
struct TDBStructure {
    std::vector<double> DateList;  // archive records, then data-file records, each in file order
    std::int64_t archiveCount = 0;
    std::int64_t dataCount = 0;
    double FirstArchiveDate = 0;
    double FirstDataDate = 0;
    double LastDataDate = 0;

    std::int64_t total() const { return archiveCount + dataCount; }
    // Where the slider stands at opening: on the first data-file record (on the last record when
    // the data file holds none).
    std::int64_t openingPosition() const;
};

// Reads the dates of the data file at dataPath and of its archive (a missing archive holds no
// records), after finishing a restructure that was interrupted while putting its files in place. Without a whole data-file record, the data file's first and last dates are those of
// the last archive record, so that a restructure started without touching the pickers drops none.
// Throws IoError when a file cannot be read.
TDBStructure ReadDBStructure(const std::string& dataPath);

// The pickers after the slider moved to position: the from-date keeps the whole archive part when
// the position lies within archiveCapacity records of the start; otherwise it lies
// archiveCapacity records before the position (fromLimited, shown in red). The to-date is the
// date of the last data-file record.
struct TPickerDates {
    double FromDate = 0;
    double ToDate = 0;
    bool fromLimited = false;
};
TPickerDates PickerDatesAt(const TDBStructure& structure, std::int64_t position,
                           std::int32_t archiveCapacity);

// What a restructure is asked to do. Dates are compared by their whole days.
struct TRestructurePlan {
    double SplitDate = 0;  // first day that goes to the data file
    double FromDate = 0;   // earliest day kept
    double ToDate = 0;     // the data file ends with the first record of this day or later
    std::int32_t ArchiveCapacity = 0;  // the most records the archive pass reads
    std::int32_t DataBudget = kDefaultDataBudget;
    bool makeCopy = true;
};

// Apply: the split is the date at the slider position, kept from the from-day to the day before
// the to-day.
TRestructurePlan PlanRestructure(const TDBStructure& structure, std::int64_t position,
                                 double fromDate, double toDate, std::int32_t archiveCapacity,
                                 bool makeCopy);

struct TRestructureResult {
    std::int64_t archiveBefore = 0;
    std::int64_t dataBefore = 0;
    std::int64_t archiveAfter = 0;
    std::int64_t dataAfter = 0;
    std::string copyPath;  // empty when no backup copy was made
    // The records were out of date order: they were only put into order (duplicates removed,
    // split and archive capacity applied), and nothing was dropped for its date.
    bool disorder = false;

    // The dialog asks for a second run when the data file got more than one record.
    bool repeatWanted() const { return disorder && dataAfter > 1; }
};

// The steps of a run, in their order; the backup copy only when one is asked for.
enum class RestructureStep { BackupCopy, Archive, DataFile, PutInPlace };
constexpr int kRestructureSteps = 4;
// Told each step as it begins, on the thread that runs the restructure.
using RestructureProgress = std::function<void(RestructureStep)>;

// Runs the restructure on the data file at dataPath and its archive. Throws IoError with the text
// of the failed file operation; the data file and the archive are then exactly as they were, and
// the work files and the backup copy of this run are removed.
TRestructureResult Restructure(const std::string& dataPath, const TRestructurePlan& plan,
                               const RestructureProgress& progress = {});

// The backup copy's name: the data file's path, "_Copy_" and the local time as
// "dd-mm-yy - h-nn".
std::string BackupCopyPath(const std::string& dataPath, double now);

// The message of a run that only corrected the order of the records, in Windows-1251:
// language 1 Russian, otherwise English.
struct TMessageText {
    std::string text;
    std::string caption;
};
TMessageText CorrectionOnlyWarning(int language);

// Makes the running server's view of a database whose files were restructured current again: the
// data file's lock, the date index, the first date and the kept data file, as at start-up. The
// kept data file must have been released (ReleaseDataFile) before the restructure began.
void ReloadAfterRestructure(TMyDBUser& db);

}  // namespace merivo
