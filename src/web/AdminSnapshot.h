#pragma once
// The state of the running server as the administrator's pages show it: taken on the main thread
// in one pass, then rendered by pure functions (the status page, the metrics). Texts are UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/ServerCounters.h"

namespace merivo {

struct GroupFigures {
    std::string alias;
    std::string dataFile;            // empty: the group stores nothing
    std::int64_t records = 0;        // days in the data file
    std::int64_t archiveRecords = -1;  // days in the archive; -1 when there is none
    std::int64_t firstDay = 0;       // days since 30 December 1899; 0 when there is none
    std::int64_t lastDay = 0;
    int usersOnline = 0;
    int usersConfigured = 0;
    std::uint64_t editsStored = 0;
    // Filled by the HTTP face: the group's calendar tag and its feed's address (may be empty).
    std::string ctag;
    std::string feedUrl;
};

struct UserFigures {
    std::string name;
    std::string host;
    std::string group;
    bool online = false;
    double onlineSince = 0;  // local time
    int queuedPieces = 0;
    int sendProcesses = 0;
    bool stopped = false;
    std::int64_t mailWaiting = 0;  // entries in the inbox file
};

// Per page, users beyond this many are only counted: the page stays small however many there are.
constexpr std::size_t kShownUsers = 1000;

struct AdminSnapshot {
    int language = 0;  // 1 Russian, else English
    std::string version;
    std::string settingsFile;
    std::string programFolder;
    std::string webAddress;  // where the HTTP face listens
    double startTime = 0;    // local time
    double startUnixSeconds = 0;
    double now = 0;          // local time
    int connections = 0;     // accepted connections
    std::vector<GroupFigures> groups;
    std::vector<UserFigures> users;  // the first kShownUsers in table order (page only)
    std::size_t usersNotShown = 0;
    std::vector<std::string> recentLog;  // oldest first (page only)

    // Counted figures (metrics only).
    std::vector<std::pair<std::string, std::uint64_t>> packagesByCode;  // the codes seen
    DurationHistogram packageTimes;
    std::uint64_t refusals = 0;
    std::uint64_t mailStored = 0;
    std::uint64_t directForwarded = 0;
    std::uint64_t bytesSent = 0;
    int sendProcesses = 0;
    std::int64_t queuedPieces = 0;
    std::uint64_t logFailures = 0;
    std::vector<std::pair<int, std::uint64_t>> httpStatuses;  // the statuses answered
};

enum class SnapshotFor { Page, Metrics };

// Takes the state of the groups, users, counters and log. Main thread. The HTTP face's own
// figures (version, address, ctags, feeds, statuses) are the caller's to add.
AdminSnapshot TakeAdminSnapshot(SnapshotFor use);

}  // namespace merivo
