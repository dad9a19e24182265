#pragma once
// End to end with an in-process server: one group "Diary" with users user1..userN (127.0.0.2,
// ...) and a data file of chosen days, clients of the client library, and waiting for packages
// while the server's event loop runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/MerivoClient.h"
#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "platform/DateTime.h"
#include "support/ServerFixture.h"
#include "support/TempDir.h"

namespace merivo {

using Bytes = std::vector<std::uint8_t>;
using Match = std::function<bool(const Bytes&)>;

inline std::int32_t WordAt(const Bytes& p, std::size_t offset) {
    return p.size() >= offset + 4 ? ReadInt32(p.data() + offset) : 0;
}

// Packages with that code (and subcode, unless -1).
inline Match Code(std::int32_t code, std::int32_t subcode = -1) {
    return [=](const Bytes& p) {
        return WordAt(p, 0) == code && (subcode == -1 || WordAt(p, 4) == subcode);
    };
}

// The day the diaries of these tests start on: ahead of today, so that loading archives nothing.
inline std::int64_t FirstTestDay() {
    return Today() + 10;
}

// The empty day of the fixture's groups (hours 9 to 20, step 0), dated.
inline DayRecord EmptyDayOf(std::int64_t day) {
    DayRecord record;
    InitTimeSlots(record, 9, 20, 0);
    record.setDate(static_cast<double>(day));
    return record;
}

inline DayRecord TitledDay(std::int64_t day) {
    DayRecord record = EmptyDayOf(day);
    record.setTitle("day " + std::to_string(day));
    return record;
}

inline std::string RecordBytes(const DayRecord& record) {
    return std::string(reinterpret_cast<const char*>(record.data()), kDayRecordSize);
}

class EndToEndTest : public ::testing::Test {
  protected:
    // Starts a server whose group has `users` users and a data file holding the titled `days`.
    void StartServer(int users, const std::vector<std::int64_t>& days, bool withArchive = false) {
        std::string bytes;
        for (std::int64_t day : days) bytes += RecordBytes(TitledDay(day));
        files.writeFile("diary.mvd", bytes);
        if (withArchive) files.writeFile("diary.arc", "");
        FixtureOptions options = ServerFixture::OneGroup(users);
        options.groups[0].alias = "Diary";
        options.groups[0].dataFile = DataFilePath();
        server = std::make_unique<ServerFixture>(options);
        ASSERT_TRUE(server->listening());
    }

    // Connects user i and reads the packages of its arrival (user list and notices).
    MerivoClient& Connect(int i) {
        std::unique_ptr<MerivoClient> client = server->connectUser(i);
        EXPECT_NE(client, nullptr);
        if (!client) throw std::runtime_error("user did not come online");
        clients.push_back(std::move(client));
        Settle();
        return *clients.back();
    }

    std::string DataFilePath() const { return files.file("diary.mvd"); }

    // The first package matching within the time-out; the ones before it are dropped.
    std::optional<Bytes> Await(MerivoClient& client, const Match& match, int timeoutMs = 5000) {
        std::optional<Bytes> found;
        server->pumpUntil(
            [&] {
                while (std::optional<Bytes> p = client.receivePackage(0)) {
                    if (match(*p)) {
                        found = std::move(p);
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

    // Runs the server for a while and drops what every client received.
    void Settle(int ms = 150) {
        server->pump(ms);
        for (auto& client : clients) {
            while (client->receivePackage(0)) {
            }
        }
    }

    // True when no package matching arrives at the client within ms.
    bool Quiet(MerivoClient& client, const Match& match, int ms = 300) {
        return !Await(client, match, ms).has_value();
    }

    std::vector<DayRecord> StoredDays() const {
        const std::string bytes = files.readFile("diary.mvd");
        std::vector<DayRecord> records(bytes.size() / kDayRecordSize);
        for (std::size_t i = 0; i < records.size(); ++i) {
            std::memcpy(records[i].data(), bytes.data() + i * kDayRecordSize, kDayRecordSize);
        }
        return records;
    }

    TempDir files;
    std::unique_ptr<ServerFixture> server;
    std::vector<std::unique_ptr<MerivoClient>> clients;
};

}  // namespace merivo
