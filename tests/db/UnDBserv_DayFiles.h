#pragma once
// One database "G" with a data file in a temporary folder, a fake clock and a captured log, for
// the tests of loading and reading days. Test days are filled with bytes of their own, so a
// record can be recognised byte for byte wherever it ends up.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "db/UnDBserv.h"
#include "db/MessageCatalog.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "support/CapturedLog.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"

namespace merivo {

// A whole record dated `day` whose other bytes follow from day and variant.
inline std::string DayBytes(std::int64_t day, int variant = 0) {
    std::string bytes(kDayRecordSize, '\0');
    std::uint32_t state = static_cast<std::uint32_t>(day * 7919 + variant * 104729 + 1);
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    WriteDouble(reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<double>(day));
    return bytes;
}

class DayFileTest : public ::testing::Test {
  protected:
    DayFileTest() : useClock_(clock) {
        ResetServerState();
        SetLogSink(&log);
        Reset();
    }
    ~DayFileTest() override { SetLogSink(nullptr); }

    TMyDBUser& db() { return *db_; }

    // A fresh database record, no files, an empty log.
    void Reset() {
        db_ = std::make_unique<TMyDBUser>();
        db_->alias = "G";
        db_->dataFilePath = dir.file("group.mvd");
        db_->recordLimit = 1000;
        db_->archiveLimit = 1000;
        InitTimeSlots(db_->EmptyDay, 9, 20, 0);
        std::filesystem::remove(dir.file("group.mvd"));
        std::filesystem::remove(dir.file("group.arc"));
        log.clear();
    }

    void SetToday(std::int64_t day) { clock.setNow(static_cast<double>(day) + 0.5); }

    std::string Day(std::int64_t day) const { return DayBytes(day); }
    // A null record: date 0, other bytes its own.
    std::string NullDay(int variant) const { return DayBytes(0, variant); }
    // The database's empty day dated `day`.
    std::string Empty(std::int64_t day) const {
        DayRecord record = db_->EmptyDay;
        record.setDate(static_cast<double>(day));
        return std::string(reinterpret_cast<const char*>(record.data()), kDayRecordSize);
    }

    // The database opens its data file again: the test changed it behind its back.
    void WriteData(const std::vector<std::string>& records, const std::string& tail = "") {
        ReleaseDataFile(db());
        WriteRecords("group.mvd", records, tail);
    }
    void WriteArchive(const std::vector<std::string>& records) {
        WriteRecords("group.arc", records, "");
    }
    std::vector<std::string> ReadData() const { return ReadRecords("group.mvd"); }
    std::vector<std::string> ReadArchive() const { return ReadRecords("group.arc"); }

    void ExpectData(const std::vector<std::string>& expected) const {
        ExpectRecords("group.mvd", expected);
    }
    void ExpectArchive(const std::vector<std::string>& expected) const {
        ExpectRecords("group.arc", expected);
    }

    // Compares record by record, naming the first records that differ (not their 55,766 bytes).
    void ExpectRecords(const std::string& name, const std::vector<std::string>& expected) const {
        const std::string bytes = dir.readFile(name);
        ASSERT_EQ(bytes.size(), expected.size() * kDayRecordSize) << name;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_TRUE(bytes.compare(k * kDayRecordSize, kDayRecordSize, expected[k]) == 0)
                << name << ": record " << k << " differs";
        }
    }

    TempDir dir;
    FakeClock clock;
    CapturedLog log;

  private:
    void WriteRecords(const std::string& name, const std::vector<std::string>& records,
                      const std::string& tail) {
        std::string bytes;
        for (const std::string& record : records) bytes += record;
        dir.writeFile(name, bytes + tail);
    }
    std::vector<std::string> ReadRecords(const std::string& name) const {
        const std::string bytes = dir.readFile(name);
        std::vector<std::string> records;
        for (std::size_t at = 0; at + kDayRecordSize <= bytes.size(); at += kDayRecordSize) {
            records.push_back(bytes.substr(at, kDayRecordSize));
        }
        return records;
    }

    ScopedClock useClock_;
    std::unique_ptr<TMyDBUser> db_;
};

}  // namespace merivo
