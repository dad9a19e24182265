// Times the start-up load of a database (correction, archiving, index) against a plain copy of
// the same data file, in the same run, and prints the ratio.
//
// The data file holds 3,650 days with a gap of 3 days after every 40th record; today lies so that
// most days are past and recordLimit keeps one year of them, so both the correction and the
// archive move nearly every record.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "db/UnDBType.h"
#include "db/UnDBserv.h"
#include "platform/Clock.h"
#include "platform/Env.h"

namespace merivo {
namespace {

constexpr int kDays = 3650;
constexpr int kGapEvery = 40;
constexpr int kGapDays = 3;
constexpr std::int64_t kFirstDay = 40000;
constexpr std::int64_t kToday = kFirstDay + 3300;
constexpr int kRounds = 5;

class FixedClock : public Clock {
  public:
    std::uint32_t tickCount() override { return 0; }
    double now() override { return static_cast<double>(kToday) + 0.5; }
    void sleepMs(int) override {}
};

void BuildDataFile(const std::string& path) {
    auto record = std::make_unique<DayRecord>();
    InitTimeSlots(*record, 9, 20, 0);
    std::unique_ptr<File> file = PosixEnv().openFile(path, OpenMode::Create);
    std::int64_t day = kFirstDay;
    for (int k = 0; k < kDays; ++k) {
        record->setDate(static_cast<double>(day));
        record->setTitle("day " + std::to_string(k));
        WriteRecord(*file, *record);
        day += (k % kGapEvery == kGapEvery - 1) ? 1 + kGapDays : 1;
    }
}

// A plain copy, one record-sized block at a time.
void CopyFile(const std::string& from, const std::string& to) {
    std::unique_ptr<File> source = PosixEnv().openFile(from, OpenMode::Read);
    std::unique_ptr<File> target = PosixEnv().openFile(to, OpenMode::Create);
    auto buffer = std::make_unique<DayRecord>();
    while (std::size_t got = source->readUpTo(buffer->data(), kDayRecordSize)) {
        target->write(buffer->data(), got);
    }
}

std::unique_ptr<TMyDBUser> NewDatabase(const std::string& path) {
    auto db = std::make_unique<TMyDBUser>();
    db->alias = "Bench";
    db->dataFilePath = path;
    db->recordLimit = 365;
    db->archiveLimit = 1000;
    InitTimeSlots(db->EmptyDay, 9, 20, 0);
    return db;
}

int Run() {
    const std::string folder = "/tmp/merivo-db-load-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    const std::string source = folder + "/source.mvd";
    const std::string data = folder + "/group.mvd";
    BuildDataFile(source);

    FixedClock clock;
    ScopedClock useClock(clock);
    std::vector<double> loads, copies, ratios;
    std::unique_ptr<TMyDBUser> db;
    for (int round = 1; round <= kRounds; ++round) {
        CopyFile(source, data);
        std::filesystem::remove(ArchivePath(data));
        db = NewDatabase(data);
        const double load = Seconds([&] { StartDatabase(*db); });
        const double copy = Seconds([&] { CopyFile(source, folder + "/copy.mvd"); });
        std::printf("round %d: load %.3f s, copy %.3f s, ratio %.2f\n", round, load, copy,
                    load / copy);
        loads.push_back(load);
        copies.push_back(copy);
        ratios.push_back(load / copy);
    }
    std::printf(
        "data file %d records (%.1f MB) -> %zu records, archive %lld records\n", kDays,
        kDays * static_cast<double>(kDayRecordSize) / 1e6, db->TmyDBIndex.size(),
        static_cast<long long>(std::filesystem::file_size(ArchivePath(data)) / kDayRecordSize));
    std::printf("median: load %.3f s, copy %.3f s, ratio %.2f\n", Median(loads), Median(copies),
                Median(ratios));
    std::filesystem::remove_all(folder);
    return 0;
}

}  // namespace
}  // namespace merivo

int main() {
    return merivo::Run();
}
