// The built server killed with SIGKILL at random moments while users edit: after every restart
// each edit answered before the kill is in the data file, an edit that was under way is there
// whole or not at all, and the file loads without complaint (a new day's record that the kill
// left twice while the later records made room is kept once).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "support/DiaryUser.h"
#include "support/ServerPort.h"
#include "support/SpawnedServer.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

constexpr int kUsers = 3;
constexpr int kDaysEach = 4;
constexpr int kKills = 5;
constexpr int kStartTimeoutMs = 30000;
constexpr int kConnectTimeoutMs = 30000;

// The day's record in the data file; the empty day when the file has none.
DayRecord DayInFile(const std::string& dataFile, std::int64_t day) {
    std::ifstream in(dataFile, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    for (std::size_t at = 0; at + kDayRecordSize <= bytes.size(); at += kDayRecordSize) {
        if (DayOf(ReadDouble(reinterpret_cast<const std::uint8_t*>(bytes.data() + at))) != day) {
            continue;
        }
        DayRecord record;
        std::memcpy(record.data(), bytes.data() + at, kDayRecordSize);
        return record;
    }
    return SoakEmptyDay(day);
}

// A start that logged an error of any kind (a correction, a structure error) is not clean.
void ExpectCleanStart(const std::vector<std::string>& messages) {
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Initialization -> Ok!");
    for (const std::string& message : messages) {
        EXPECT_EQ(message.find("rror"), std::string::npos) << message;
    }
}

// The users change their days until the server is killed after `lifeMs`.
void ChangeUntilKilled(DiaryUsers& users, SpawnedServer& server, int lifeMs) {
    std::vector<std::thread> threads;
    for (auto& user : users) {
        threads.emplace_back([u = user.get()] {
            try {
                for (;;) u->randomChange();
            } catch (const ClientError&) {
                // The server went away.
            } catch (const std::exception& e) {
                ADD_FAILURE() << u->name() << ": " << e.what();
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(lifeMs));
    server.kill();
    for (std::thread& thread : threads) thread.join();
}

// An edit that was under way when the server died is in the file whole or not at all.
void SettleUnansweredChanges(DiaryUsers& users, const std::string& dataFile) {
    for (auto& user : users) {
        if (!user->pending()) continue;
        const DiaryUser::Pending pending = *user->pending();
        const DayRecord found = DayInFile(dataFile, pending.day);
        const bool whole = found.bytes == user->modelDay(pending.day).bytes ||
                           found.bytes == pending.changed.bytes || !pending.known;
        EXPECT_TRUE(whole) << "day " << pending.day << " of " << user->name()
                           << " holds part of a change";
        user->settlePending(found);
    }
}

TEST(ServerKill, AnsweredEditsSurviveKillsAtRandomMoments) {
    TempDir dir;
    const std::string dataFile = dir.file("diary.mvd");
    std::ofstream(dataFile).close();
    const int port = PickServerPort();
    SpawnedServer server(dir.path(), SoakSettings(port, dataFile, kUsers));
    const std::uint32_t seed = std::random_device()();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    DiaryUsers users =
        MakeDiaryUsers(port, kUsers, kDaysEach, DayOf(SystemClock().now()) + 5, seed);

    for (int kill = 0; kill <= kKills; ++kill) {
        SCOPED_TRACE("start " + std::to_string(kill + 1));
        ASSERT_TRUE(server.start(kStartTimeoutMs));
        ExpectCleanStart(server.messages());
        // The file as the start leaves it: a record that a move cut short left twice is kept once.
        EXPECT_EQ(CompareWithModels(dataFile, users), std::vector<std::string>());
        for (auto& user : users) {
            user->connect(kConnectTimeoutMs);
            user->checkAllDays();
        }
        if (kill == kKills) break;
        ChangeUntilKilled(users, server, std::uniform_int_distribution<int>(50, 500)(random));
        SettleUnansweredChanges(users, dataFile);
    }
    for (auto& user : users) user->disconnect();
    EXPECT_EQ(server.stop(kStartTimeoutMs), 0);
}

}  // namespace
}  // namespace merivo
