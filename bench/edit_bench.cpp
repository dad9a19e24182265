// How many title edits per second the request processor stores in a data file of one year of
// days, with each edit flushed to disk before it is answered, next to the same edits without the
// flush (a file whose sync does nothing), measured alternately in the same run.
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

// A file whose sync returns at once: the edit path as it was before edits were flushed.
class NoSyncFile : public File {
  public:
    explicit NoSyncFile(std::unique_ptr<File> base) : base_(std::move(base)) {}
    void read(void* buffer, std::size_t n) override { base_->read(buffer, n); }
    std::size_t readUpTo(void* buffer, std::size_t n) override {
        return base_->readUpTo(buffer, n);
    }
    void write(const void* buffer, std::size_t n) override { base_->write(buffer, n); }
    void seek(std::int64_t position) override { base_->seek(position); }
    std::int64_t position() const override { return base_->position(); }
    std::int64_t size() override { return base_->size(); }
    void truncate(std::int64_t size) override { base_->truncate(size); }
    void sync() override {}

  private:
    std::unique_ptr<File> base_;
};

class NoSyncEnv : public Env {
  public:
    std::unique_ptr<File> openFile(const std::string& path, OpenMode mode) override {
        return std::make_unique<NoSyncFile>(PosixEnv().openFile(path, mode));
    }
    bool fileExists(const std::string& path) override { return PosixEnv().fileExists(path); }
    bool folderExists(const std::string& path) override { return PosixEnv().folderExists(path); }
    void createFolder(const std::string& path) override { PosixEnv().createFolder(path); }
    void renameFile(const std::string& from, const std::string& to) override {
        PosixEnv().renameFile(from, to);
    }
    void replaceFile(const std::string& from, const std::string& to) override {
        PosixEnv().replaceFile(from, to);
    }
    void deleteFile(const std::string& path) override { PosixEnv().deleteFile(path); }
    std::vector<std::string> listFiles(const std::string& folder) override {
        return PosixEnv().listFiles(folder);
    }
};

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
    NoSyncEnv noSync;
    std::vector<double> plain, flushed, ratios;
    for (int round = 1; round <= kRounds; ++round) {
        double without = 0;
        {
            ScopedEnv scoped(noSync);
            without = EditsPerSecond(editor, seconds);
        }
        const double with = EditsPerSecond(editor, seconds);
        std::printf("round %d: without flush %.0f edits/s, with flush %.0f edits/s, ratio %.3f\n",
                    round, without, with, with / without);
        plain.push_back(without);
        flushed.push_back(with);
        ratios.push_back(with / without);
    }
    std::printf("median: without flush %.0f edits/s, with flush %.0f edits/s, ratio %.3f\n",
                Median(plain), Median(flushed), Median(ratios));
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
