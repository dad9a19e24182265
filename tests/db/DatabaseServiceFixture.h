#pragma once
// A database service without a network: one database "Diary" with three users in a temporary
// application folder, SendPackage and StartMailDelivery replaced by recorders, the log captured
// and the clock fake.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "db/UnDBserv_Relay.h"
#include "db/UnSFile.h"
#include "db/MessageCatalog.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "platform/Env.h"
#include "platform/Log.h"
#include "support/CapturedLog.h"
#include "support/FakeClock.h"
#include "support/FaultInjectionEnv.h"
#include "support/TempDir.h"

namespace merivo {

struct SentPackage {
    std::string user;  // name of the user SendPackage was called with
    std::vector<std::uint8_t> bytes;
    std::string host;
    int mode;

    std::int32_t word(std::size_t offset) const { return ReadInt32(bytes.data() + offset); }
};

// A relay package: the header with its delivery kind, recipients and originator, then the payload.
inline std::vector<std::uint8_t> RelayPackage(const std::string& recipients,
                                              std::uint8_t kind = 0,
                                              const std::string& originator = "alice",
                                              const std::string& payload = "hello") {
    std::vector<std::uint8_t> bytes(kRelayHeaderSize, 0);
    WriteInt32(bytes.data(), kRelayCode);
    bytes[relay::kDeliveryKind] = kind;
    WriteShortString(bytes.data() + relay::kRecipients, 255, recipients);
    WriteShortString(bytes.data() + relay::kOriginator, 255, originator);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

class DatabaseServiceTest : public ::testing::Test {
  protected:
    DatabaseServiceTest() : scopedEnv(env), scopedClock(clock) {
        ResetServerState();
        SelectCatalogue(0);
        Config.appDir = dir.path();
        Config.pop3Dir = JoinPath(dir.path(), "POP3");
        PosixEnv().createFolder(Config.pop3Dir);
        auto db = std::make_unique<TMyDBUser>();
        db->alias = "Diary";
        db->dataFilePath = dir.file("diary.mvd");
        db->recordLimit = 365;  // a year of past days; the test days lie within it
        InitTimeSlots(db->EmptyDay, 8, 18, 0);
        DBTable.push_back(std::move(db));
        alice = &AddUser("alice", "127.0.0.2", true);
        bob = &AddUser("bob", "127.0.0.3", true);
        carol = &AddUser("carol", "127.0.0.4", false);
        SendPackage = [this](TMyNameUser& user, const std::uint8_t* payload, std::size_t size,
                             const std::string& host, int mode) {
            sent.push_back(
                {user.name, std::vector<std::uint8_t>(payload, payload + size), host, mode});
        };
        StartMailDelivery = [this](TMyNameUser& user) { mailStarted.push_back(user.name); };
        SetLogSink(&log);
    }

    ~DatabaseServiceTest() override {
        SetLogSink(nullptr);
        SendPackage = nullptr;
        StartMailDelivery = nullptr;
        ResetServerState();
    }

    TMyDBUser& db() { return *DBTable[0]; }

    TMyNameUser& AddUser(const std::string& name, const std::string& host, bool online) {
        auto user = std::make_unique<TMyNameUser>();
        user->valid = true;
        user->online = online;
        user->databaseNumber = 0;
        user->name = name;
        user->host = host;
        CreateEmptyFileIfMissing(InboxPath(*user));
        TMyNameUser& added = *user;
        db().users.push_back(std::move(user));
        db().userCount = static_cast<std::int32_t>(db().users.size());
        IndexUsers();
        return added;
    }

    // A day as stored by a client: the empty day dated `day` with a title naming it.
    DayRecord StoredDay(std::int64_t day) const {
        DayRecord record = DBTable[0]->EmptyDay;
        record.setDate(static_cast<double>(day));
        record.setTitle("day " + std::to_string(day));
        return record;
    }

    void WriteDataFile(const std::vector<std::int64_t>& days) {
        std::string bytes;
        for (std::int64_t day : days) {
            const DayRecord record = StoredDay(day);
            bytes.append(reinterpret_cast<const char*>(record.data()), kDayRecordSize);
        }
        ReleaseDataFile(db());  // the database opens it again: it changed behind its back
        dir.writeFile("diary.mvd", bytes);
    }

    std::vector<DayRecord> ReadDataFile() const {
        const std::string bytes = dir.readFile("diary.mvd");
        std::vector<DayRecord> records(bytes.size() / kDayRecordSize);
        for (std::size_t i = 0; i < records.size(); ++i) {
            std::memcpy(records[i].data(), bytes.data() + i * kDayRecordSize, kDayRecordSize);
        }
        return records;
    }

    std::vector<std::int64_t> StoredDays() const {
        std::vector<std::int64_t> days;
        for (const DayRecord& record : ReadDataFile()) days.push_back(DayOf(record.date()));
        return days;
    }

    // A package as the receive path leaves a large one: written unsynced to a spill file in the
    // mail folder, which stays open for the parser.
    std::unique_ptr<File> SpillFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
        std::unique_ptr<File> spill = env.openFile(path, OpenMode::Create);
        spill->write(bytes.data(), bytes.size());
        return spill;
    }

    // The package files that a user's inbox entries name, in order.
    std::vector<std::string> InboxFiles(const TMyNameUser& user) const {
        const std::string inbox = dir.readFile("POP3/" + user.host + ".bin");
        EXPECT_EQ(inbox.size() % kInboxEntrySize, 0u);
        std::vector<std::string> files;
        for (std::size_t at = 0; at + kInboxEntrySize <= inbox.size(); at += kInboxEntrySize) {
            files.push_back(
                InboxEntryPackageFile(reinterpret_cast<const std::uint8_t*>(inbox.data() + at)));
        }
        return files;
    }

    std::vector<SentPackage> SentWithMode(int mode) const {
        std::vector<SentPackage> result;
        for (const SentPackage& p : sent) {
            if (p.mode == mode) result.push_back(p);
        }
        return result;
    }

    TempDir dir;
    FaultInjectionEnv env;
    ScopedEnv scopedEnv;
    FakeClock clock;
    ScopedClock scopedClock;
    CapturedLog log;
    std::vector<SentPackage> sent;
    std::vector<std::string> mailStarted;
    TMyNameUser* alice = nullptr;
    TMyNameUser* bob = nullptr;
    TMyNameUser* carol = nullptr;
};

}  // namespace merivo
