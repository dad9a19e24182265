// merivo_soak: the built server under load for a set time, checked against a model.
//
//   merivo_soak [MINUTES | SECONDSs] [USERS] [PAUSE]   defaults: 30 minutes, 20 users, 500 ms
//
// The server runs as a process of its own in a fresh folder with one group and USERS users, each
// a client on its own loopback address doing edits of every kind, day copies, row IDs, checked
// reads, mail and direct messages on days that it alone owns, pausing PAUSE ms on average
// between two actions as a person would. At the end the data file must equal
// the model of every acknowledged edit, every accepted mail must have been delivered or be in the
// mail folder, every direct message must have arrived, and the server's memory, threads and
// descriptors must be back where they were before the users came. Prints its figures every
// minute; ends with status 0 when everything held, 1 otherwise.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/UnDBType_Packages.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "support/DiaryUser.h"
#include "support/ServerPort.h"
#include "support/SpawnedServer.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

using SteadyClock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int kDaysPerUser = 3;
constexpr int kFirstDayAhead = 5;  // the days lie ahead of today, so no restart archives them
constexpr int kStartTimeoutMs = 30000;
constexpr int kConnectTimeoutMs = 30000;
constexpr int kSettleSeconds = 30;
constexpr int kMailIdleMs = 3000;
constexpr long kRssAllowanceKb = 32 * 1024;

// Everything that went wrong, reported at the end.
class Findings {
  public:
    void add(const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::printf("FAILED: %s\n", what.c_str());
        std::fflush(stdout);
        lines_.push_back(what);
    }
    bool empty() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_.empty();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Describe(const ProcessFigures& f) {
    return "RSS " + std::to_string(f.rssKb) + " kB, " + std::to_string(f.threads) + " threads, " +
           std::to_string(f.descriptors) + " descriptors";
}

DiaryStats Total(const DiaryUsers& users) {
    DiaryStats total;
    for (const auto& user : users) {
        const DiaryStats& s = user->stats();
        total.edits += s.edits;
        total.refused += s.refused;
        total.copies += s.copies;
        total.rowIds += s.rowIds;
        total.reads += s.reads;
        total.mails += s.mails;
        total.directs += s.directs;
        total.fetches += s.fetches;
    }
    return total;
}

void PrintProgress(long seconds, const DiaryUsers& users, pid_t server) {
    const DiaryStats t = Total(users);
    const auto figures = FiguresOf(server);
    std::printf(
        "%5lds: %ld edits (%ld refused), %ld copies, %ld row IDs, %ld reads, %ld mails, "
        "%ld direct, %ld fetches; server %s\n",
        seconds, t.edits, t.refused, t.copies, t.rowIds, t.reads, t.mails, t.directs, t.fetches,
        figures ? Describe(*figures).c_str() : "gone");
    std::fflush(stdout);
}

// The data file is whole records that equal the users' models.
void CheckDataFile(const std::string& path, const DiaryUsers& users, Findings& findings) {
    if (std::filesystem::file_size(path) % kDayRecordSize != 0) {
        findings.add("the data file holds a part of a record");
    }
    for (const std::string& difference : CompareWithModels(path, users)) findings.add(difference);
    std::printf("data file: %ju days checked against the models\n",
                static_cast<std::uintmax_t>(std::filesystem::file_size(path) / kDayRecordSize));
}

// Stored mail by recipient name: the ids of the packages each inbox names.
std::map<std::string, std::multiset<std::string>> StoredMail(const std::string& pop3,
                                                             const DiaryUsers& users) {
    std::map<std::string, std::multiset<std::string>> stored;
    for (std::size_t i = 0; i < users.size(); ++i) {
        const std::string host = "127.0.0." + std::to_string(i + 2);
        const Bytes inbox = ReadAll(pop3 + "/" + host + ".bin");
        for (std::size_t at = 0; at + kInboxEntrySize <= inbox.size(); at += kInboxEntrySize) {
            const std::string file = pop3 + "/" + InboxEntryPackageFile(&inbox[at]);
            stored[users[i]->name()].insert(RelayId(ReadAll(file)));
        }
    }
    return stored;
}

// Every accepted mail was delivered or is stored, exactly once; every direct message arrived
// exactly once.
void CheckRelays(const std::string& pop3, const Ledger& ledger, const DiaryUsers& users,
                 Findings& findings) {
    std::map<std::string, const DiaryUser*> byName;
    for (const auto& user : users) byName[user->name()] = user.get();
    auto stored = StoredMail(pop3, users);
    long delivered = 0, kept = 0;
    for (const Ledger::Entry& mail : ledger.mails()) {
        const std::size_t got = byName[mail.recipient]->mailsReceived().count(mail.id);
        const std::size_t waiting = stored[mail.recipient].count(mail.id);
        delivered += static_cast<long>(got);
        kept += static_cast<long>(waiting);
        if (got + waiting != 1) {
            findings.add("mail " + mail.id + " to " + mail.recipient + " was delivered " +
                         std::to_string(got) + " times and is stored " + std::to_string(waiting) +
                         " times");
        }
    }
    long arrived = 0;
    for (const Ledger::Entry& direct : ledger.directs()) {
        const std::size_t got = byName[direct.recipient]->directsReceived().count(direct.id);
        arrived += static_cast<long>(got);
        if (got != 1) {
            findings.add("direct message " + direct.id + " arrived " + std::to_string(got) +
                         " times at " + direct.recipient);
        }
    }
    std::printf(
        "mail: %zu accepted, %ld delivered, %ld in the mail folder; direct: %zu sent, "
        "%ld arrived\n",
        ledger.mails().size(), delivered, kept, ledger.directs().size(), arrived);
}

// Waits until the server holds no more threads and descriptors than before the users came.
ProcessFigures SettledFigures(pid_t server, const ProcessFigures& before) {
    ProcessFigures now = before;
    for (int second = 0; second < kSettleSeconds; ++second) {
        if (auto figures = FiguresOf(server)) now = *figures;
        if (now.threads <= before.threads && now.descriptors <= before.descriptors) break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return now;
}

int Run(int seconds, int userCount, int pauseMs) {
    TempDir dir;
    const std::string dataFile = dir.file("soak.mvd");
    std::ofstream(dataFile).close();
    const int port = PickServerPort();
    SpawnedServer server(dir.path(), SoakSettings(port, dataFile, userCount));
    if (!server.start(kStartTimeoutMs)) {
        std::printf("FAILED: the server did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const ProcessFigures before = FiguresOf(server.pid()).value_or(ProcessFigures{});
    std::printf("soak: %d users for %d s, %d ms between actions, on port %d; server before: %s\n",
                userCount, seconds, pauseMs, port, Describe(before).c_str());

    const std::int64_t firstDay = DayOf(SystemClock().now()) + kFirstDayAhead;
    const DiaryUsers users = MakeDiaryUsers(port, userCount, kDaysPerUser, firstDay, 1000);
    std::vector<std::string> names;
    for (const auto& user : users) names.push_back(user->name());

    Findings findings;
    Ledger ledger;
    // Everyone is online before anyone sends: a direct message reaches only those online.
    try {
        for (auto& user : users) user->connect(kConnectTimeoutMs);
    } catch (const std::exception& e) {
        std::printf("FAILED: a user could not connect: %s\n", e.what());
        return 1;
    }
    std::atomic<bool> stopping{false};
    const auto end = SteadyClock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (auto& user : users) {
        threads.emplace_back([&, u = user.get()] {
            std::vector<std::string> others;
            for (const std::string& name : names)
                if (name != u->name()) others.push_back(name);
            std::mt19937 random(static_cast<std::uint32_t>(others.size() + u->days().front()));
            std::uniform_int_distribution<int> pause(0, 2 * pauseMs);
            try {
                while (!stopping && SteadyClock::now() < end) {
                    u->randomAction(others, ledger);
                    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
                }
                u->checkAllDays();
                // Half the users fetch what is left, half leave it in the mail folder.
                if (u->days().front() % 2 == 0) u->collectMail(kMailIdleMs);
            } catch (const std::exception& e) {
                findings.add(u->name() + ": " + e.what());
                stopping = true;
            }
        });
    }
    const auto started = SteadyClock::now();
    while (!stopping && SteadyClock::now() < end) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - started).count();
        if (elapsed % 60 == 0) PrintProgress(elapsed, users, server.pid());
    }
    for (std::thread& thread : threads) thread.join();
    PrintProgress(
        std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - started).count(),
        users, server.pid());
    for (auto& user : users) user->disconnect();

    const ProcessFigures after = SettledFigures(server.pid(), before);
    std::printf("server after the users left: %s\n", Describe(after).c_str());
    if (after.threads > before.threads) findings.add("threads were left running");
    if (after.descriptors > before.descriptors) findings.add("descriptors were left open");
    if (after.rssKb > before.rssKb + kRssAllowanceKb) findings.add("memory was not given back");
    if (server.stop(kStartTimeoutMs) != 0) findings.add("the server did not end with status 0");
    if (!findings.empty()) {
        std::printf("the server's log:\n");
        for (const std::string& message : server.messages()) std::printf("  %s\n", message.c_str());
    }

    CheckDataFile(dataFile, users, findings);
    CheckRelays(dir.file("POP3"), ledger, users, findings);
    std::printf(findings.empty() ? "soak passed\n" : "soak FAILED\n");
    return findings.empty() ? 0 : 1;
}

}  // namespace
}  // namespace merivo

int main(int argc, char** argv) {
    const std::string time = argc > 1 ? argv[1] : "30";
    const int seconds = std::atoi(time.c_str()) * (time.back() == 's' ? 1 : 60);
    const int users = argc > 2 ? std::atoi(argv[2]) : 20;
    const int pauseMs = argc > 3 ? std::atoi(argv[3]) : 500;
    if (seconds < 0 || users < 2 || users > 200 || pauseMs < 0) {
        std::fprintf(stderr,
                     "usage: merivo_soak [MINUTES | SECONDSs] [USERS (2 to 200)] [PAUSE (ms)]\n");
        return 2;
    }
    return merivo::Run(seconds, users, pauseMs);
}
