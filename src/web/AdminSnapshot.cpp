#include "web/AdminSnapshot.h"

#include <filesystem>

#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "net/ProcessTable.h"
#include "net/UnSockSr.h"
#include "net/UserTransport.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "platform/Env.h"
#include "platform/Locks.h"
#include "platform/Log.h"

namespace merivo {

namespace {

// The size of a file without opening it (an open would claim the file from the send threads);
// -1 when there is none.
std::int64_t FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(size);
}

GroupFigures FiguresOf(const TMyDBUser& db) {
    GroupFigures group;
    group.alias = Cp1251ToUtf8(db.alias);
    group.dataFile = Cp1251ToUtf8(db.dataFilePath);
    group.editsStored = db.editsStored;
    if (!db.dataFilePath.empty()) {
        group.records = static_cast<std::int64_t>(db.TmyDBIndex.size());
        const std::int64_t archiveSize = FileSize(ArchivePath(db.dataFilePath));
        if (archiveSize >= 0) group.archiveRecords = archiveSize / kDayRecordSize;
    }
    if (!db.TmyDBIndex.empty()) {
        group.firstDay = DayOf(db.TmyDBIndex.front().date);
        group.lastDay = DayOf(db.TmyDBIndex.back().date);
    }
    for (const auto& user : db.users) {
        if (!user || !user->valid) continue;
        group.usersConfigured += 1;
        if (user->online) group.usersOnline += 1;
    }
    return group;
}

int QueuedPieces(const TMyNameUser& user) {
    return user.online ? user.sendIssued - user.sendFinished : 0;
}

int RunningProcesses(const TMyNameUser& user) {
    MutexLock lock(ThreadTableLock());
    int running = 0;
    for (const ThreadTableEntry& entry : TransportOf(user).threadTable) {
        if (entry.thread && !entry.thread->finished()) running += 1;
    }
    return running;
}

UserFigures FiguresOf(const TMyNameUser& user, const TMyDBUser& db) {
    UserFigures figures;
    figures.name = Cp1251ToUtf8(user.name);
    figures.host = Cp1251ToUtf8(user.host);
    figures.group = Cp1251ToUtf8(db.alias);
    figures.online = user.online;
    figures.onlineSince = user.onlineSince;
    figures.queuedPieces = QueuedPieces(user);
    figures.sendProcesses = RunningProcesses(user);
    figures.stopped = user.sendStopped;
    figures.mailWaiting = std::max<std::int64_t>(0, FileSize(InboxPath(user))) / kInboxEntrySize;
    return figures;
}

void TakeUsers(AdminSnapshot& snapshot) {
    for (const auto& db : DBTable) {
        for (const auto& user : db->users) {
            if (!user || !user->valid) continue;
            if (snapshot.users.size() < kShownUsers) {
                snapshot.users.push_back(FiguresOf(*user, *db));
            } else {
                snapshot.usersNotShown += 1;
            }
        }
    }
}

void TakeQueues(AdminSnapshot& snapshot) {
    ForEachUser([&snapshot](TMyNameUser& user) { snapshot.queuedPieces += QueuedPieces(user); });
    snapshot.sendProcesses = RunningSendThreads;
}

void TakeCounters(AdminSnapshot& snapshot) {
    for (std::size_t code = 0; code < kCountedCodes; ++code) {
        const std::uint64_t count = Counters.packagesByCode[code];
        if (count > 0) snapshot.packagesByCode.emplace_back(std::to_string(code), count);
    }
    if (Counters.packagesOtherCode > 0) {
        snapshot.packagesByCode.emplace_back("other", Counters.packagesOtherCode);
    }
    snapshot.packageTimes = Counters.packageTimes;
    snapshot.refusals = Counters.refusals;
    snapshot.mailStored = Counters.mailStored;
    snapshot.directForwarded = Counters.directForwarded;
    snapshot.bytesSent = Counters.bytesSent.load(std::memory_order_relaxed);
    snapshot.logFailures = LoggedFailures();
}

}  // namespace

AdminSnapshot TakeAdminSnapshot(SnapshotFor use) {
    AdminSnapshot snapshot;
    snapshot.language = Config.language;
    snapshot.settingsFile = Cp1251ToUtf8(JoinPath(Config.appDir, "Server.ini"));
    snapshot.programFolder = Cp1251ToUtf8(Config.appDir);
    snapshot.startTime = Counters.startTime;
    snapshot.startUnixSeconds = Counters.startUnixSeconds;
    snapshot.now = SystemClock().now();
    snapshot.connections =
        FormSocksServer ? static_cast<int>(FormSocksServer->AcceptedConnections().size()) : 0;
    for (const auto& db : DBTable) snapshot.groups.push_back(FiguresOf(*db));
    if (use == SnapshotFor::Page) {
        TakeUsers(snapshot);
        for (std::string line : RecentLogLines()) {
            std::erase(line, '\r');  // a message's own line breaks are CR LF
            snapshot.recentLog.push_back(Cp1251ToUtf8(line));
        }
    } else {
        TakeQueues(snapshot);
        TakeCounters(snapshot);
    }
    return snapshot;
}

}  // namespace merivo
