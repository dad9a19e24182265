#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "net/UserTransport.h"
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
        TransportOf(user).receive = TmyConnection();
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
