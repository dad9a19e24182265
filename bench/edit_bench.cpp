// How many title edits per second the request processor stores in a data file of one year of
// days, with every sync (each edit flushed to disk before it is answered), next to the same edits
// without the syncs of folders and without any sync, measured alternately in the same run.
//
//   edit_bench [seconds per measurement, default 3] [folder, default /tmp]
//
// The folder decides what a flush costs: give one on the disk the server's data lives on.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "SkippedSyncEnv.h"
#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/UnSFile.h"
#include "platform/DateTime.h"
#include "platform/Env.h"

namespace merivo {
namespace {

constexpr int kDays = 365;
constexpr int kRounds = 5;

// The stored days start today: an edit of a day older than the group keeps is refused.
const std::int64_t kFirstDay = Today();

void BuildDataFile(const TMyDBUser& db) {
    auto record = std::make_unique<DayRecord>(db.EmptyDay);
    std::unique_ptr<File> file = PosixEnv().openFile(db.dataFilePath, OpenMode::Create);
    for (int k = 0; k < kDays; ++k) {
        record->setDate(static_cast<double>(kFirstDay + k));
        WriteRecord(*file, *record);
    }
}

TMyNameUser& BuildDatabase(const std::string& dataFilePath) {
    auto db = std::make_unique<TMyDBUser>();
    db->alias = "Bench";
    db->dataFilePath = dataFilePath;
    InitTimeSlots(db->EmptyDay, 9, 20, 0);
    auto user = std::make_unique<TMyNameUser>();
    user->valid = true;
    user->online = true;
    user->name = "editor";
    user->host = "127.0.0.2";
    db->users.push_back(std::move(user));
    DBTable.push_back(std::move(db));
    BuildDataFile(*DBTable[0]);
    return *DBTable[0]->users[0];
}

// Edits titles of the stored days one after the other for `seconds`; edits per second.
double EditsPerSecond(TMyNameUser& editor, double seconds) {
    RequestBytes edit{};
    WriteInt32(edit.data() + request::kCode, 2);
    using SteadyClock = std::chrono::steady_clock;
    const auto start = SteadyClock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    long edits = 0;
    while (SteadyClock::now() < end) {
        WriteDouble(edit.data() + request::kDate, static_cast<double>(kFirstDay + edits % kDays));
        WriteShortString(edit.data() + request::kText, 255, "edit " + std::to_string(edits));
        ProcessRequest(editor, editor.host, edit.data(), edit.size());
        ++edits;
    }
    return edits / std::chrono::duration<double>(SteadyClock::now() - start).count();
}

int Run(double seconds, const std::string& parent) {
    const std::string folder = parent + "/merivo-edit-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    TMyNameUser& editor = BuildDatabase(folder + "/group.mvd");
    long answers = 0;
    long refused = 0;
    SendPackage = [&](TMyNameUser&, const std::uint8_t* payload, std::size_t size,
                      const std::string&, int) {
        ++answers;
        if (size >= 4 && ReadInt32(payload) == 7000) ++refused;
    };
    SkippedSyncEnv noSync(true, true);
    SkippedSyncEnv noFolderSync(false, true);
    const auto editsPerSecondIn = [&](Env& env) {
        ScopedEnv scoped(env);
        return EditsPerSecond(editor, seconds);
    };
    std::vector<double> plain, filesOnly, flushed, ratios, folderRatios;
    for (int round = 1; round <= kRounds; ++round) {
        const double without = editsPerSecondIn(noSync);
        const double withoutFolders = editsPerSecondIn(noFolderSync);
        const double with = EditsPerSecond(editor, seconds);
        std::printf("round %d: without flush %.0f edits/s, without folder syncs %.0f edits/s, "
                    "with every sync %.0f edits/s; ratios %.3f and %.3f\n",
                    round, without, withoutFolders, with, with / without, with / withoutFolders);
        plain.push_back(without);
        filesOnly.push_back(withoutFolders);
        flushed.push_back(with);
        ratios.push_back(with / without);
        folderRatios.push_back(with / withoutFolders);
    }
    std::printf("median: without flush %.0f edits/s, without folder syncs %.0f edits/s, with "
                "every sync %.0f edits/s; ratio to no flush %.3f, to no folder syncs %.3f\n",
                Median(plain), Median(filesOnly), Median(flushed), Median(ratios),
                Median(folderRatios));
    std::printf("(%ld answers and forwards queued, %ld of them refusals; data file %d records in %s)\n",
                answers, refused, kDays, folder.c_str());
    DBTable.clear();
    std::filesystem::remove_all(folder);
    return 0;
}

}  // namespace
}  // namespace merivo

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    return merivo::Run(seconds > 0 ? seconds : 3.0, folder);
}
