#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "platform/Config.h"
#include "platform/DateTime.h"

namespace merivo::fuzz {

void Fail(const std::string& what) {
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::abort();
}

std::uint64_t Checksum(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

// ---- MemoryEnv ---------------------------------------------------------------------------------

namespace {

constexpr std::size_t kSpareBuffers = 16;

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

[[noreturn]] void Refuse(const std::string& operation, const std::string& path,
                         const char* reason) {
    throw IoError(operation + " failed for " + path + ": " + reason);
}

}  // namespace

// A file of the MemoryEnv: the bytes stay shared with the Env, the claim ends with the file.
class MemoryEnv::MemoryEnvFile : public File {
  public:
    MemoryEnvFile(MemoryEnv& env, std::string path, std::shared_ptr<Bytes> bytes)
        : env_(env),
          path_(std::move(path)),
          bytes_(std::move(bytes)),
          file_(OpenMemoryFile(*bytes_)) {}
    ~MemoryEnvFile() override { env_.open_.erase(path_); }

    void read(void* buffer, std::size_t n) override { file_->read(buffer, n); }
    std::size_t readUpTo(void* buffer, std::size_t n) override {
        return file_->readUpTo(buffer, n);
    }
    void write(const void* buffer, std::size_t n) override { file_->write(buffer, n); }
    void seek(std::int64_t position) override { file_->seek(position); }
    std::int64_t position() const override { return file_->position(); }
    std::int64_t size() override { return file_->size(); }
    void truncate(std::int64_t size) override { file_->truncate(size); }
    void sync() override {}  // memory has no disk to reach

  private:
    MemoryEnv& env_;
    std::string path_;
    std::shared_ptr<Bytes> bytes_;
    std::unique_ptr<File> file_;
};

std::unique_ptr<File> MemoryEnv::openFile(const std::string& path, OpenMode mode) {
    auto found = files_.find(path);
    if (found == files_.end()) {
        if (mode != OpenMode::Create && mode != OpenMode::OpenOrCreate) {
            Refuse("open", path, "no such file");
        }
        if (!folderExists(ParentOf(path)) || folderExists(path)) {
            Refuse("open", path, "no such folder");
        }
        found = files_.emplace(path, newBuffer(0)).first;
    }
    if (!open_.insert(path).second) {
        throw FileInUseError("open failed for " + path + ": the file is in use");
    }
    if (mode == OpenMode::Create) found->second->clear();
    return std::make_unique<MemoryEnvFile>(*this, path, found->second);
}

bool MemoryEnv::fileExists(const std::string& path) {
    return files_.count(path) != 0;
}

bool MemoryEnv::folderExists(const std::string& path) {
    return path.empty() || folders_.count(path) != 0;
}

void MemoryEnv::createFolder(const std::string& path) {
    if (fileExists(path)) Refuse("create folder", path, "a file of that name exists");
    if (!folderExists(ParentOf(path))) Refuse("create folder", path, "no such folder");
    folders_.insert(path);
}

void MemoryEnv::renameFile(const std::string& from, const std::string& to) {
    auto found = files_.find(from);
    if (found == files_.end()) Refuse("rename", from, "no such file");
    if (open_.count(from) != 0) Refuse("rename", from, "the file is in use");
    if (fileExists(to) || folderExists(to)) Refuse("rename", to, "target exists");
    if (!folderExists(ParentOf(to))) Refuse("rename", to, "no such folder");
    files_.emplace(to, found->second);
    files_.erase(found);
}

void MemoryEnv::replaceFile(const std::string& from, const std::string& to) {
    auto found = files_.find(from);
    if (found == files_.end()) Refuse("replace", from, "no such file");
    if (open_.count(from) != 0 || open_.count(to) != 0) Refuse("replace", to, "the file is in use");
    if (folderExists(to)) Refuse("replace", to, "a folder of that name exists");
    if (!folderExists(ParentOf(to))) Refuse("replace", to, "no such folder");
    std::shared_ptr<Bytes> bytes = std::move(found->second);
    files_.erase(found);
    auto replaced = files_.find(to);
    if (replaced != files_.end())
        recycle(std::exchange(replaced->second, std::move(bytes)));
    else
        files_.emplace(to, std::move(bytes));
}

void MemoryEnv::deleteFile(const std::string& path) {
    auto found = files_.find(path);
    if (found == files_.end()) Refuse("delete", path, "no such file");
    if (open_.count(path) != 0) Refuse("delete", path, "the file is in use");
    recycle(std::move(found->second));
    files_.erase(found);
}

void MemoryEnv::clear() {
    for (auto& [path, bytes] : files_) recycle(std::move(bytes));
    files_.clear();
    folders_.clear();
}

void MemoryEnv::put(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    for (std::string folder = ParentOf(path); !folder.empty(); folder = ParentOf(folder)) {
        folders_.insert(folder);
    }
    auto found = files_.find(path);
    if (found == files_.end()) found = files_.emplace(path, newBuffer(size)).first;
    found->second->assign(bytes, bytes + size);
}

const Bytes* MemoryEnv::contents(const std::string& path) const {
    auto found = files_.find(path);
    return found == files_.end() ? nullptr : found->second.get();
}

std::vector<std::string> MemoryEnv::filesIn(const std::string& folder,
                                            const std::string& extension) const {
    std::vector<std::string> found;
    for (const auto& [path, bytes] : files_) {
        if (ParentOf(path) == folder && path.size() >= extension.size() &&
            path.compare(path.size() - extension.size(), extension.size(), extension) == 0) {
            found.push_back(path);
        }
    }
    return found;
}

std::vector<std::string> MemoryEnv::listFiles(const std::string& folder) {
    if (!folderExists(folder)) Refuse("list", folder, "no such folder");
    std::vector<std::string> names;
    for (const std::string& path : filesIn(folder, ""))
        names.push_back(path.substr(folder.size() + 1));
    return names;
}

// The spare buffer that holds `size` bytes with the least to spare, else the largest.
std::shared_ptr<Bytes> MemoryEnv::newBuffer(std::size_t size) {
    auto better = [size](const Bytes& candidate, const Bytes& best) {
        const bool fits = candidate.capacity() >= size;
        if (fits != (best.capacity() >= size)) return fits;
        return fits ? candidate.capacity() < best.capacity()
                    : candidate.capacity() > best.capacity();
    };
    auto best = spare_.begin();
    for (auto it = spare_.begin(); it != spare_.end(); ++it) {
        if (better(**it, **best)) best = it;
    }
    if (best == spare_.end()) return std::make_shared<Bytes>();
    std::shared_ptr<Bytes> buffer = std::move(*best);
    spare_.erase(best);
    return buffer;
}

// A buffer that no open file holds any more is kept for later files.
void MemoryEnv::recycle(std::shared_ptr<Bytes> buffer) {
    if (buffer.use_count() != 1 || spare_.size() >= kSpareBuffers) return;
    buffer->clear();
    spare_.push_back(std::move(buffer));
}

// ---- Sandbox ----------------------------------------------------------------------------------

namespace {
constexpr std::size_t kKeptLogLines = 200;
}

void KeptLog::append(const std::string& message) {
    if (lines.size() < kKeptLogLines) lines.push_back(message);
}

bool KeptLog::containsText(const std::string& text) const {
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

// Made once and never destroyed: the harness is all the process does.
Sandbox& Sandbox::Get() {
    static Sandbox* sandbox = new Sandbox();
    return *sandbox;
}

Sandbox::Sandbox()
    : useEnv_(env), useClock_(clock), startNow_(clock.now()), startTicks_(clock.tickCount()) {
    CurrentTimeouts() = Timeouts{20, 5, 5, 5};
    SetLogSink(&log);
}

void Sandbox::reset() {
    ResetServerState();
    env.clear();
    clock.setNow(startNow_);
    clock.setTickCount(startTicks_);
    log.lines.clear();
    Config.appDir = "/app";
    Config.pop3Dir = JoinPath(Config.appDir, "POP3");
    env.createFolder(Config.appDir);
    env.createFolder(Config.pop3Dir);
}

void Sandbox::checkMailFolder() const {
    std::size_t entries = 0;
    for (const std::string& inbox : env.filesIn(Config.pop3Dir, ".bin")) {
        const Bytes& bytes = *env.contents(inbox);
        Check(bytes.size() % kInboxEntrySize == 0, "an inbox holds a part of an entry");
        for (std::size_t at = 0; at < bytes.size(); at += kInboxEntrySize, ++entries) {
            const std::string stored = JoinPath(Config.pop3Dir, InboxEntryPackageFile(&bytes[at]));
            Check(env.contents(stored) != nullptr, "an inbox entry names no stored package");
        }
    }
    Check(env.filesIn(Config.pop3Dir, ".mvm").size() == entries,
          "stored packages and inbox entries differ in number");
    Check(env.filesIn(Config.pop3Dir, ".buf").empty(), "a spill file was left behind");
}

// ---- World ------------------------------------------------------------------------------------

void ResetDatabase(TMyDBUser& db, const std::string& dataFile) {
    db.alias = "Diary";
    db.dataFilePath = dataFile;
    db.recordLimit = 30;
    db.archiveLimit = 30;
    db.connectedUsers = 0;
    db.busy = false;
    db.insertBeforeFirstAllowed = false;
    db.firstDate = 0;
    InitTimeSlots(db.EmptyDay, 8, 18, 0);
    db.DayBuffer = db.EmptyDay;
    db.RangeReply.resize(kRangeReplySize);
    std::memset(db.RangeReply.data(), 0, db.RangeReply.size());
    db.IndexHint = {};
    db.TmyDBIndex.clear();
    db.readRetried = db.writeRetried = false;
    db.CopyRequest.fill(0);
    db.ChangeRecord.fill(0);
}

namespace {

// Two days past, today and two ahead: nothing to correct or archive when it is loaded.
constexpr int kFirstDayFromToday = -2;
constexpr int kStoredDays = 5;

struct UserSpec {
    const char* name;
    const char* host;
    bool online;
};
constexpr UserSpec kUsers[] = {
    {"alice", "127.0.0.2", true}, {"bob", "127.0.0.3", true}, {"carol", "127.0.0.4", false}};

}  // namespace

World& World::Reset(Options options) {
    static World* world = new World();  // never destroyed, like the sandbox
    world->reset(options);
    return *world;
}

World::World() : sandbox(Sandbox::Get()) {
    sandbox.reset();
    DayRecord emptyDay;
    InitTimeSlots(emptyDay, 8, 18, 0);
    for (int k = 0; k < kStoredDays; ++k) {
        DayRecord record = emptyDay;
        record.setDate(static_cast<double>(Today() + kFirstDayFromToday + k));
        record.setTitle("day " + std::to_string(k));
        firstDataFile_.insert(firstDataFile_.end(), record.bytes.begin(), record.bytes.end());
    }
    SendPackage = [this](TMyNameUser& user, const std::uint8_t* payload, std::size_t size,
                         const std::string&, int mode) {
        sent.push_back(
            {&user, mode, size, Checksum(payload, size), size >= 4 ? ReadInt32(payload) : 0});
    };
    StartMailDelivery = [](TMyNameUser&) {};
}

// The database and its users are kept from run to run and set back field by field; only the
// process-wide values are reset as a whole.
void World::reset(Options options) {
    std::unique_ptr<TMyDBUser> kept =
        DBTable.empty() ? std::make_unique<TMyDBUser>() : std::move(DBTable.front());
    sandbox.reset();
    Config.debugMode = options.debug;
    TMyDBUser& db = *kept;
    ResetDatabase(db, options.dataFile ? kDataFile : "");
    if (options.dataFile) {
        sandbox.env.put(kDataFile, firstDataFile_);
        if (options.archive) sandbox.env.put(ArchivePath(kDataFile), Bytes());
    }
    db.users.resize(std::size(kUsers));
    for (std::size_t i = 0; i < std::size(kUsers); ++i) {
        if (!db.users[i]) db.users[i] = std::make_unique<TMyNameUser>();
        TMyNameUser& user = *db.users[i];
        user.valid = true;
        user.online = kUsers[i].online;
        user.databaseNumber = 0;
        user.connectionHandle = -1;
        user.name = kUsers[i].name;
        user.host = kUsers[i].host;
        user.userListSlot = AppendUserListEntry(user.name, user.host);
        user.receive = TmyConnection();
        user.sendStopped = false;
        CreateEmptyFileIfMissing(InboxPath(user));
    }
    db.userCount = static_cast<std::int32_t>(db.users.size());
    DBTable.push_back(std::move(kept));
    if (options.dataFile) StartDatabase(db);
    sent.clear();
}

void World::checkAnswers(std::size_t maxSize) const {
    for (const SentPackage& p : sent) {
        bool known = false;
        ForEachUser([&](TMyNameUser& user) { known = known || &user == p.user; });
        Check(known, "a package was sent to no user of the table");
        Check(p.mode >= 1 && p.mode <= 4, "a package was sent with an unknown mode");
        Check(p.size > 0 && p.size <= maxSize, "a package is empty or too large");
    }
}

void World::checkDataFile() const {
    const Bytes* bytes = sandbox.env.contents(kDataFile);
    Check(bytes != nullptr, "the data file is gone");
    Check(bytes->size() % kDayRecordSize == 0, "the data file holds a part of a record");
    std::int64_t previous = 0;
    for (std::size_t at = 0; at < bytes->size(); at += kDayRecordSize) {
        const std::int64_t day = DayOf(ReadDouble(bytes->data() + at));
        Check(day != 0, "a record of day 0 was written");
        Check(at == 0 || day > previous, "the days of the data file no longer rise");
        previous = day;
    }
}

// ---- Input -------------------------------------------------------------------------------------

std::uint8_t Input::byte() {
    return at_ < size_ ? data_[at_++] : 0;
}

std::uint16_t Input::uint16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | byte() << 8);
}

double Input::float64() {
    std::uint8_t bytes[8];
    for (std::uint8_t& b : bytes) b = byte();
    return ReadDouble(bytes);
}

Bytes Input::take(std::size_t n) {
    n = std::min(n, left());
    Bytes bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
}

}  // namespace merivo::fuzz
