#include "db/UnDBBrow_Restructure.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>

#include "db/UnDBserv.h"
#include "db/UnSFile.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"

namespace merivo {
namespace {

constexpr std::int64_t kRecord = static_cast<std::int64_t>(kDayRecordSize);
// A run over records out of date order keeps every date: from day 10 to far past the to-day.
constexpr std::int64_t kCorrectionFromDay = 10;
constexpr std::int64_t kCorrectionExtraDays = 20000;

// The files of one restructure, all named after the data file.
struct WorkPaths {
    std::string data;
    std::string archive;
    std::string newArchive;  // the archive being written
    std::string newData;     // the data file being written; present until the data file is replaced
    std::string oldArchive;  // the old archive, set aside while the new files are put in place
};

WorkPaths PathsOf(const std::string& dataPath) {
    WorkPaths paths{dataPath, ArchivePath(dataPath), ReplaceExtension(dataPath, ".tmp"),
                    ReplaceExtension(dataPath, ".tm~"), ReplaceExtension(dataPath, ".ar~")};
    for (const std::string* other :
         {&paths.archive, &paths.newArchive, &paths.newData, &paths.oldArchive}) {
        if (*other == dataPath) {
            throw IoError("restructure refused for " + dataPath +
                          ": the data file has the name of one of its work files");
        }
    }
    return paths;
}

// A restructure that fails when the files it made must stay where they are.
class FilesStay : public IoError {
  public:
    using IoError::IoError;
};

// A restructure that fails after the old archive was set aside, and cannot put it back either:
// the work files stay for the next run to finish.
class SwapUndoFailed : public FilesStay {
  public:
    using FilesStay::FilesStay;
};

// The new files are in place but their names could not be synced: they stay, with the backup
// copy beside them, and the run reports the failure, since a power loss may still take them back.
class NamesNotSynced : public FilesStay {
  public:
    using FilesStay::FilesStay;
};

// The records of the archive followed by those of the data file, read in place: what one file
// holding the two files one after the other would hold, whole records only. A trailing partial
// record of the archive is left out, so that the data file's records stay aligned.
class CombinedRecords {
  public:
    explicit CombinedRecords(const WorkPaths& paths) {
        Env& env = CurrentEnv();
        if (env.fileExists(paths.archive)) {
            archive_ = env.openFile(paths.archive, OpenMode::Read);
            AppendDates(*archive_);
        }
        archiveCount_ = static_cast<std::int64_t>(dates_.size());
        data_ = env.openFile(paths.data, OpenMode::Read);
        AppendDates(*data_);
    }

    const std::vector<double>& dates() const { return dates_; }
    std::int64_t count() const { return static_cast<std::int64_t>(dates_.size()); }
    std::int64_t archiveCount() const { return archiveCount_; }
    std::int64_t dataCount() const { return count() - archiveCount_; }
    std::int64_t day(std::int64_t record) const {
        return DayOf(dates_[static_cast<std::size_t>(record)]);
    }

    // Appends `count` records from record number `first` on to `into`.
    void copy(std::int64_t first, std::int64_t count, File& into) {
        while (count > 0) {
            const bool inArchive = first < archiveCount_;
            File& from = inArchive ? *archive_ : *data_;
            const std::int64_t n = inArchive ? std::min(count, archiveCount_ - first) : count;
            from.seek((inArchive ? first : first - archiveCount_) * kRecord);
            into.copyFrom(from, n * kRecord);
            first += n;
            count -= n;
        }
    }

  private:
    void AppendDates(File& file) {
        const std::int64_t n = RecordCount(file);
        for (std::int64_t record = 0; record < n; ++record) {
            file.seek(record * kRecord);
            dates_.push_back(PeekDate(file));
        }
    }

    std::unique_ptr<File> archive_;
    std::unique_ptr<File> data_;
    std::vector<double> dates_;
    std::int64_t archiveCount_ = 0;
};

// The record kept for every day, days ascending: the last record of that day in combined order.
// Ordering the records by day and then by number puts each day's last record at the end of its
// run.
std::vector<std::int64_t> KeptRecords(const CombinedRecords& records) {
    std::vector<std::int64_t> order(static_cast<std::size_t>(records.count()));
    std::iota(order.begin(), order.end(), std::int64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return records.day(a) < records.day(b);
    });
    std::vector<std::int64_t> kept;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const bool lastOfDay =
            k + 1 == order.size() || records.day(order[k + 1]) != records.day(order[k]);
        if (lastOfDay) kept.push_back(order[k]);
    }
    return kept;
}

// Appends records to one file, each run of consecutive records in one copy: records already in
// order are copied file to file, not record by record.
class RunAppender {
  public:
    RunAppender(CombinedRecords& records, File& into) : records_(records), into_(into) {}

    void append(std::int64_t record) {
        ++appended_;
        if (count_ > 0 && record == first_ + count_) {
            ++count_;
            return;
        }
        flush();
        first_ = record;
        count_ = 1;
    }

    // Copies what is still held back; returns the number of records appended.
    std::int64_t flush() {
        records_.copy(first_, count_, into_);
        count_ = 0;
        return appended_;
    }

  private:
    CombinedRecords& records_;
    File& into_;
    std::int64_t first_ = 0;
    std::int64_t count_ = 0;
    std::int64_t appended_ = 0;
};

// The two passes over the kept records, in day order: the archive pass, then the data pass from
// where it stopped.
class Passes {
  public:
    Passes(CombinedRecords& records, std::vector<std::int64_t> kept, const TRestructurePlan& plan)
        : records_(records), kept_(std::move(kept)) {
        from_ = DayOf(plan.FromDate);
        to_ = DayOf(plan.ToDate);
        split_ = DayOf(plan.SplitDate);
        capacity_ = std::max(plan.ArchiveCapacity, 0);
        budget_ = std::max(plan.DataBudget, 0);
        if (disorder()) {
            from_ = kCorrectionFromDay;
            to_ += kCorrectionExtraDays;
        }
        lastWritten_ = from_ - 2;
    }

    // The kept records do not follow the files' order.
    bool disorder() const { return !std::is_sorted(kept_.begin(), kept_.end()); }

    // Reads at most the archive capacity of records, skipped ones included, and writes those
    // from the from-day up to the day before the split; the first record of the split day or
    // later is carried over to the data file. Returns the number of records written.
    std::int64_t archivePass(File& archive) {
        RunAppender appender(records_, archive);
        for (std::int32_t reads = 0; reads < capacity_ && next_ < kept_.size(); ++reads) {
            const std::int64_t record = kept_[next_++];
            const std::int64_t day = records_.day(record);
            if (day <= lastWritten_) continue;
            lastWritten_ = day;
            if (day < from_) continue;
            if (day >= split_) {
                carried_ = record;
                break;
            }
            appender.append(record);
        }
        return appender.flush();
    }

    // Writes the carried record and the following ones, at most the data budget of them, up to
    // and including the first record of the to-day or later. Returns the number written.
    std::int64_t dataPass(File& data) {
        RunAppender appender(records_, data);
        std::int32_t budget = budget_;
        if (carried_) {
            appender.append(*carried_);
            --budget;
            if (records_.day(*carried_) >= to_) return appender.flush();
        }
        for (; budget > 0 && next_ < kept_.size(); --budget) {
            const std::int64_t record = kept_[next_++];
            const std::int64_t day = records_.day(record);
            if (day <= lastWritten_) continue;
            lastWritten_ = day;
            appender.append(record);
            if (day >= to_) break;
        }
        return appender.flush();
    }

  private:
    CombinedRecords& records_;
    std::vector<std::int64_t> kept_;
    std::int64_t from_, to_, split_, lastWritten_;
    std::int32_t capacity_, budget_;
    std::size_t next_ = 0;
    std::optional<std::int64_t> carried_;
};

void RemoveQuietly(const std::string& path) {
    try {
        if (CurrentEnv().fileExists(path)) CurrentEnv().deleteFile(path);
    } catch (const std::exception&) {
        // A work file that stays behind is removed by the next restructure.
    }
}

// A copy made twice in one minute must not overwrite the first one, the only copy of the files
// as they were before that minute's first run.
std::string FreeCopyPath(const std::string& dataPath) {
    const std::string path = BackupCopyPath(dataPath, CurrentClock().now());
    std::string free = path;
    for (int n = 2; CurrentEnv().fileExists(free); ++n) free = path + " (" + std::to_string(n) + ")";
    return free;
}

// Creates the file at path, has `write` fill it and flushes it to the disk.
void CreateSynced(const std::string& path, const std::function<void(File&)>& write) {
    std::unique_ptr<File> file = CurrentEnv().openFile(path, OpenMode::Create);
    write(*file);
    file->sync();
}

// Writes the backup copy (when asked for) and the new archive and data file beside the old ones.
// Every file it creates is named in `made` before it is created.
void WriteNewFiles(const WorkPaths& paths, const TRestructurePlan& plan,
                   const RestructureProgress& progress, TRestructureResult& result,
                   std::vector<std::string>& made) {
    CombinedRecords records(paths);
    result.archiveBefore = records.archiveCount();
    result.dataBefore = records.dataCount();
    if (plan.makeCopy) {
        progress(RestructureStep::BackupCopy);
        result.copyPath = FreeCopyPath(paths.data);
        made.push_back(result.copyPath);
        CreateSynced(result.copyPath,
                     [&](File& copy) { records.copy(0, records.count(), copy); });
    }
    Passes passes(records, KeptRecords(records), plan);
    result.disorder = passes.disorder();
    progress(RestructureStep::Archive);
    made.push_back(paths.newArchive);
    CreateSynced(paths.newArchive, [&](File& archive) {
        result.archiveAfter = passes.archivePass(archive);
    });
    progress(RestructureStep::DataFile);
    made.push_back(paths.newData);
    CreateSynced(paths.newData, [&](File& data) { result.dataAfter = passes.dataPass(data); });
}

// Undoes the first steps of a swap that failed: the old archive goes back to its place, or the
// new archive is removed when there was none.
void PutOldArchiveBack(const WorkPaths& paths, bool hadArchive, const std::exception& failure) {
    Env& env = CurrentEnv();
    try {
        if (hadArchive) {
            env.replaceFile(paths.oldArchive, paths.archive);
        } else if (env.fileExists(paths.archive)) {
            env.deleteFile(paths.archive);
        }
    } catch (const std::exception& undo) {
        throw SwapUndoFailed(std::string(failure.what()) + "; undoing it failed too (" +
                             undo.what() + "): the old archive is kept as " + paths.oldArchive +
                             " and the next restructure puts it back");
    }
}

// The new files take the places of the old ones. The old archive is set aside first so that it
// can go back when the data file cannot be replaced; once the data file is replaced the run is
// complete.
void PutInPlace(const WorkPaths& paths) {
    Env& env = CurrentEnv();
    const bool hadArchive = env.fileExists(paths.archive);
    if (hadArchive) env.renameFile(paths.archive, paths.oldArchive);
    try {
        env.replaceFile(paths.newArchive, paths.archive);
        env.replaceFile(paths.newData, paths.data);
    } catch (const std::exception& failure) {
        PutOldArchiveBack(paths, hadArchive, failure);
        throw;
    }
    // The run is done once its names outlive a power loss.
    try {
        env.syncFolder(FolderOf(paths.data));
    } catch (const IoError& failure) {
        throw NamesNotSynced(failure.what());
    }
    RemoveQuietly(paths.oldArchive);
}

// A set-aside old archive is left by a run that was interrupted while putting its files in place.
// While the new data file still waits beside the old one, the data file was not replaced and the
// old archive belongs with it; otherwise the run was complete and the old archive is no longer
// needed.
void FinishInterruptedRun(const WorkPaths& paths) {
    Env& env = CurrentEnv();
    if (env.fileExists(paths.oldArchive)) {
        if (env.fileExists(paths.newData)) {
            env.replaceFile(paths.oldArchive, paths.archive);
        } else {
            env.deleteFile(paths.oldArchive);
        }
    }
    for (const std::string* work : {&paths.newArchive, &paths.newData}) {
        if (env.fileExists(*work)) env.deleteFile(*work);
    }
}

std::string DigitsAt(const std::string& stamp, std::size_t at) {
    return stamp.substr(at, 2);
}

}  // namespace

std::int64_t TDBStructure::openingPosition() const {
    return std::min(archiveCount, std::max<std::int64_t>(total() - 1, 0));
}

TDBStructure ReadDBStructure(const std::string& dataPath) {
    const WorkPaths paths = PathsOf(dataPath);
    FinishInterruptedRun(paths);
    const CombinedRecords records(paths);
    TDBStructure structure;
    structure.DateList = records.dates();
    structure.archiveCount = records.archiveCount();
    structure.dataCount = records.dataCount();
    if (structure.total() == 0) return structure;
    const double lastDate = structure.DateList.back();
    const double firstData = structure.dataCount > 0
                                 ? structure.DateList[static_cast<std::size_t>(records.archiveCount())]
                                 : lastDate;
    structure.FirstDataDate = firstData;
    structure.LastDataDate = lastDate;
    structure.FirstArchiveDate = structure.archiveCount > 0 ? structure.DateList.front() : firstData;
    return structure;
}

TPickerDates PickerDatesAt(const TDBStructure& structure, std::int64_t position,
                           std::int32_t archiveCapacity) {
    const std::int64_t capacity = std::max(archiveCapacity, 0);
    TPickerDates dates;
    dates.ToDate = structure.LastDataDate;
    dates.fromLimited = position >= capacity;
    dates.FromDate = dates.fromLimited
                         ? structure.DateList[static_cast<std::size_t>(position - capacity)]
                         : structure.FirstArchiveDate;
    return dates;
}

TRestructurePlan PlanRestructure(const TDBStructure& structure, std::int64_t position,
                                 double fromDate, double toDate, std::int32_t archiveCapacity,
                                 bool makeCopy) {
    TRestructurePlan plan;
    plan.FromDate = static_cast<double>(DayOf(fromDate));
    plan.ToDate = static_cast<double>(DayOf(toDate));
    plan.SplitDate = structure.DateList[static_cast<std::size_t>(position)];
    if (plan.SplitDate < plan.FromDate) plan.SplitDate = plan.FromDate;
    if (plan.SplitDate >= plan.ToDate) plan.SplitDate = plan.ToDate - 1;
    plan.ArchiveCapacity = archiveCapacity;
    plan.makeCopy = makeCopy;
    return plan;
}

TRestructureResult Restructure(const std::string& dataPath, const TRestructurePlan& plan,
                               const RestructureProgress& progress) {
    const RestructureProgress tell = progress ? progress : [](RestructureStep) {};
    const WorkPaths paths = PathsOf(dataPath);
    FinishInterruptedRun(paths);
    TRestructureResult result;
    std::vector<std::string> made;
    try {
        WriteNewFiles(paths, plan, tell, result, made);
        tell(RestructureStep::PutInPlace);
        PutInPlace(paths);
    } catch (const FilesStay&) {
        throw;
    } catch (...) {
        for (const std::string& path : made) RemoveQuietly(path);
        throw;
    }
    return result;
}

std::string BackupCopyPath(const std::string& dataPath, double now) {
    const std::string stamp = FormatStamp(now);  // yymmddhhnnss
    return dataPath + "_Copy_" + DigitsAt(stamp, 4) + "-" + DigitsAt(stamp, 2) + "-" +
           DigitsAt(stamp, 0) + " - " + std::to_string(std::stoi(DigitsAt(stamp, 6))) + "-" +
           DigitsAt(stamp, 8);
}

TMessageText CorrectionOnlyWarning(int language) {
    if (language == 1) {
        return {Utf8ToCp1251("Произведена только коррекция последовательности записей. "
                             "Повторите Restructure."),
                Utf8ToCp1251("Внимание!")};
    }
    return {"The correction of sequence of records is made only. You need repeat Restructure.",
            "Warning!"};
}

void ReloadAfterRestructure(TMyDBUser& db) {
    // A restructure always leaves an archive file, and a database with an archive file never
    // takes a day before its first one.
    db.insertBeforeFirstAllowed = false;
    db.firstDate = 0;
    db.IndexHint = {};
    ReleaseDataFile(db);  // the old file, should it still be open
    LockDataFile(db);
    IndexDatabase(db);
    KeepDataFileOpen(db);
}

}  // namespace merivo
