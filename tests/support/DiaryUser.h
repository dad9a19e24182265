#pragma once
// A user of a running server for the soak and kill tests. It edits, copies, numbers and reads the
// days it alone owns, so that it can keep an exact model of them: every edit the server
// acknowledges is applied to the model, and every day read back, copied or found in the data
// file must equal its model byte for byte. It also sends mail and direct messages to other users
// and keeps what it receives.
//
//   Ledger ledger;
//   DiaryUser user(1, port, {day, day + 20}, seed);
//   user.connect(10000);
//   user.randomAction({"user2", "user3"}, ledger);
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/MerivoClient.h"
#include "db/UnDBType.h"

namespace merivo {

// What the model and the server disagree on.
class ModelMismatch : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The relay packages that the server accepted, shared by all users.
class Ledger {
  public:
    struct Entry {
        std::string recipient;
        std::string id;
    };
    void addMail(Entry entry);
    void addDirect(Entry entry);
    std::vector<Entry> mails() const;
    std::vector<Entry> directs() const;

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> mails_, directs_;
};

// The relay packages of the soak: the body begins with "<id>;". The id of a package, "" when it
// is none of them.
std::string RelayId(const std::vector<std::uint8_t>& package);

// The empty day of the groups these users work in (hours 9 to 20, one hour apart), dated.
DayRecord SoakEmptyDay(std::int64_t day);

// The [DataBase] and user lines of a group "Soak" with the data file and users user1..userN on
// 127.0.0.2, ...; Count keeps every past day in the data file.
std::string SoakSettings(int port, const std::string& dataFile, int users);

struct DiaryStats {
    long edits = 0, refused = 0, copies = 0, rowIds = 0, reads = 0;
    long mails = 0, directs = 0, fetches = 0;
};

class DiaryUser {
  public:
    // User number `number` (1-based: user1 on 127.0.0.2), owning `days`.
    DiaryUser(int number, int port, std::vector<std::int64_t> days, std::uint32_t seed);
    ~DiaryUser();
    DiaryUser(const DiaryUser&) = delete;
    DiaryUser& operator=(const DiaryUser&) = delete;

    const std::string& name() const { return name_; }
    // Connects and waits for the user list; throws ClientError when the server does not answer.
    // From then on a thread of its own takes every package as it arrives, as a client program
    // does, so that the server never waits for this user to read.
    void connect(int timeoutMs);
    void disconnect();

    // One action at random: mostly an edit of any kind, else a copy, a row ID, a read that is
    // checked, a mail or a direct message to one of `others`, or asking for its mail. Throws
    // ModelMismatch when the server disagrees with the model, ClientError when it went away.
    void randomAction(const std::vector<std::string>& others, Ledger& ledger);
    // One change at random: an edit of any kind, a copy or a row ID.
    void randomChange();
    // Reads every day it owns and checks it against the model.
    void checkAllDays();
    // Asks for its mail and takes packages until none came for idleMs.
    void collectMail(int idleMs);

    // The model: the days written so far (a missing day is the empty day).
    const std::map<std::int64_t, DayRecord>& model() const { return model_; }
    DayRecord modelDay(std::int64_t day) const;
    const std::vector<std::int64_t>& days() const { return days_; }
    // The day an edit or copy was sent for whose answer never came, and that day as the change
    // would have left it: after a crash either may be stored.
    struct Pending {
        std::int64_t day;
        DayRecord changed;
        bool known;  // false: the change depends on what the server kept (a restore)
    };
    const std::optional<Pending>& pending() const { return pending_; }
    // Takes the day as found after a crash into the model when it is the pending change (or the
    // change was not known); the caller has checked that it is the model's or the pending one.
    void settlePending(const DayRecord& found);

    const DiaryStats& stats() const { return stats_; }
    const std::multiset<std::string>& mailsReceived() const { return mails_; }
    const std::multiset<std::string>& directsReceived() const { return directs_; }

  private:
    using Bytes = std::vector<std::uint8_t>;

    DayRecord edited(const DayRecord& day, const Bytes& edit, const Bytes& answer);
    std::int64_t anyDay();
    std::string randomText(std::size_t most);
    Bytes request(std::int32_t code, std::int32_t subcode, std::int64_t day);
    void readPackages();
    // The next package that arrived within timeoutMs; throws ClientError once the connection is
    // gone and every package that came before was taken.
    std::optional<Bytes> nextPackage(int timeoutMs);
    template <class Match>
    Bytes waitFor(Match match);
    void note(const Bytes& package);

    void edit();
    void copy();
    void rowId();
    void read(std::int64_t day, int count);
    void relay(const std::vector<std::string>& others, Ledger& ledger, bool direct);
    void confirmHandled();

    std::string name_;
    ClientOptions options_;
    std::vector<std::int64_t> days_;
    std::mt19937 random_;
    std::unique_ptr<TMyDBUser> scratch_;  // where the model's edits are applied
    std::unique_ptr<MerivoClient> client_;
    std::thread reader_;
    std::mutex arrivedLock_;
    std::condition_variable arrivedChanged_;
    std::deque<Bytes> arrived_;                 // under arrivedLock_
    std::optional<ClientError> readerStopped_;  // under arrivedLock_
    bool stopReading_ = false;                  // under arrivedLock_
    std::uint8_t tag_ = 0;
    int relays_ = 0;
    std::map<std::int64_t, DayRecord> model_;
    std::optional<Pending> pending_;
    DiaryStats stats_;
    std::multiset<std::string> mails_, directs_;
};

using DiaryUsers = std::vector<std::unique_ptr<DiaryUser>>;

// Users user1..userN with daysEach days each from firstDay + 1 on, interleaved, so that their
// edits put days between each other's.
DiaryUsers MakeDiaryUsers(int port, int count, int daysEach, std::int64_t firstDay,
                          std::uint32_t seed);

// The whole records of the data file against the users' models, one line per difference: every
// day in the file is some user's and equals its model (a day the model lacks, the empty day),
// every day of a model is in the file, and the days rise.
std::vector<std::string> CompareWithModels(const std::string& dataFile, const DiaryUsers& users);

}  // namespace merivo
