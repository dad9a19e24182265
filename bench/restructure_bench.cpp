// Times a restructure with its backup copy against copying both files with cp, and against the
// same restructure without its folder sync, in the same run, and prints the ratios.
//
// The archive holds 2,000 days and the data file 3,000 records (about 280 MB together); the last
// 100 archive days are in the data file again and every 10th data-file day is there twice. The
// slider stands 1,000 records into the data file with an archive capacity of 2,500, so the run
// drops the oldest 500 records, removes the duplicates and moves the split.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "SkippedSyncEnv.h"
#include "db/UnDBBrow_Restructure.h"
#include "db/UnDBType.h"
#include "db/UnDBserv.h"
#include "db/UnSFile.h"
#include "platform/Env.h"

namespace merivo {
namespace {

constexpr int kArchiveDays = 2000;
constexpr int kDataRecords = 3000;
constexpr int kOverlapDays = 100;
constexpr int kTwiceEvery = 10;
constexpr std::int64_t kFirstDay = 40000;
constexpr std::int32_t kArchiveCapacity = 2500;
constexpr int kSplitIntoData = 1000;
constexpr int kRounds = 5;

void WriteDays(const std::string& path, const std::vector<std::int64_t>& days) {
    auto record = std::make_unique<DayRecord>();
    InitTimeSlots(*record, 9, 20, 0);
    std::unique_ptr<File> file = PosixEnv().openFile(path, OpenMode::Create);
    for (std::size_t k = 0; k < days.size(); ++k) {
        record->setDate(static_cast<double>(days[k]));
        record->setTitle("record " + std::to_string(k));
        WriteRecord(*file, *record);
    }
}

void BuildSources(const std::string& archive, const std::string& data) {
    std::vector<std::int64_t> archiveDays, dataDays;
    for (int k = 0; k < kArchiveDays; ++k) archiveDays.push_back(kFirstDay + k);
    std::int64_t day = kFirstDay + kArchiveDays - kOverlapDays;
    while (static_cast<int>(dataDays.size()) < kDataRecords) {
        dataDays.push_back(day);
        if (dataDays.size() % kTwiceEvery == 0) dataDays.push_back(day);
        ++day;
    }
    dataDays.resize(kDataRecords);
    WriteDays(archive, archiveDays);
    WriteDays(data, dataDays);
}

void Shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

int Run() {
    const std::string folder = "/tmp/merivo-restructure-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    const std::string sourceArchive = folder + "/source.arc";
    const std::string sourceData = folder + "/source.mvd";
    const std::string data = folder + "/group.mvd";
    const std::string archive = ArchivePath(data);
    BuildSources(sourceArchive, sourceData);
    const double megabytes =
        static_cast<double>(std::filesystem::file_size(sourceArchive) +
                            std::filesystem::file_size(sourceData)) / 1e6;

    SkippedSyncEnv noFolderSync(false, true);
    TRestructureResult result;
    // A restructure of fresh copies of the sources, in the current Env; its seconds.
    const auto restructure = [&] {
        Shell("cp " + Quoted(sourceArchive) + " " + Quoted(archive) + " && cp " +
              Quoted(sourceData) + " " + Quoted(data));
        const TDBStructure structure = ReadDBStructure(data);
        const std::int64_t position = structure.archiveCount + kSplitIntoData;
        const TPickerDates pickers = PickerDatesAt(structure, position, kArchiveCapacity);
        const TRestructurePlan plan = PlanRestructure(structure, position, pickers.FromDate,
                                                      pickers.ToDate, kArchiveCapacity, true);
        const double seconds = Seconds([&] { result = Restructure(data, plan); });
        std::filesystem::remove(result.copyPath);
        return seconds;
    };
    std::vector<double> runs, unsyncedRuns, copies, ratios, syncRatios;
    for (int round = 1; round <= kRounds; ++round) {
        double unsynced = 0;
        {
            ScopedEnv scoped(noFolderSync);
            unsynced = restructure();
        }
        const double run = restructure();
        const double copy = Seconds([&] {
            Shell("cp " + Quoted(sourceArchive) + " " + Quoted(folder + "/copy.arc") + " && cp " +
                  Quoted(sourceData) + " " + Quoted(folder + "/copy.mvd"));
        });
        std::printf("round %d: restructure %.3f s, without folder sync %.3f s, cp of both files "
                    "%.3f s; ratios %.3f to no folder sync, %.2f to cp\n",
                    round, run, unsynced, copy, run / unsynced, run / copy);
        runs.push_back(run);
        unsyncedRuns.push_back(unsynced);
        copies.push_back(copy);
        ratios.push_back(run / copy);
        syncRatios.push_back(run / unsynced);
    }
    std::printf("archive %d + data file %d records (%.0f MB) -> archive %lld + data file %lld "
                "records, with a backup copy\n",
                kArchiveDays, kDataRecords, megabytes,
                static_cast<long long>(result.archiveAfter),
                static_cast<long long>(result.dataAfter));
    std::printf("median: restructure %.3f s, without folder sync %.3f s (ratio %.3f), cp %.3f s, "
                "ratio %.2f (target: 3 or less)\n",
                Median(runs), Median(unsyncedRuns), Median(syncRatios), Median(copies),
                Median(ratios));
    std::filesystem::remove_all(folder);
    return 0;
}

}  // namespace
}  // namespace merivo

int main() {
    return merivo::Run();
}
