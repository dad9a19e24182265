// Loading a database: the correction, the archiving and the index over any data file and archive
// file, then a range read. Files are described compactly, so that the fuzzer works on dates and
// sizes rather than on 55,766-byte records.
//
// Input: a flags byte (bit 0: the archive file exists), the record limit and the archive limit
// (signed bytes), a 16-bit length of a partial record after the data file's last record, the
// number of archive records and of data-file records (bytes), then per record a signed byte of
// days from today, or 0x80 followed by the 8 bytes of any date; last, the date to read seven days
// from after loading. Every record's other bytes are made from its number, which it carries
// where an empty day has its marker, so that each can be followed and checked.
#include <algorithm>
#include <cstring>

#include "FuzzSupport.h"
#include "db/UnDBserv.h"
#include "db/UnSFile.h"
#include "platform/DateTime.h"

namespace {

using namespace merivo;
using namespace merivo::fuzz;

const char kDataPath[] = "/app/group.mvd";
const char kArchivePath[] = "/app/group.arc";
constexpr std::size_t kMaxArchiveRecords = 32;
constexpr std::size_t kMaxDataRecords = 64;
constexpr std::uint8_t kRawDate = 0x80;
// Days the correction may add: a run stays small whatever dates the records carry.
constexpr std::int64_t kMaxFilledDays = 400;

struct Record {
    std::int32_t number;  // 1, 2, ... in the order archive, data file
    double date;
};

DayRecord BytesOf(const Record& record) {
    DayRecord bytes;
    bytes.bytes.fill(static_cast<std::uint8_t>(record.number * 37));
    bytes.setDate(record.date);
    WriteInt32(bytes.data() + day::kMarker, record.number);
    return bytes;
}

void ReadRecords(Input& input, std::size_t count, std::vector<Record>& records) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t day = input.byte();
        const double date = day == kRawDate
                                ? input.float64()
                                : static_cast<double>(Today() + static_cast<std::int8_t>(day));
        records.push_back({static_cast<std::int32_t>(records.size()) + 1, date});
    }
}

// The days the correction would put into the gaps up to its horizon.
std::int64_t DaysToFill(const std::vector<Record>& data) {
    std::int64_t filled = 0;
    for (std::size_t i = 1; i < data.size(); ++i) {
        const std::int64_t day = DayOf(data[i].date);
        const std::int64_t previous = DayOf(data[i - 1].date);
        if (day == 0 || previous == 0 || day > Today() + kCorrectionHorizonDays) break;
        filled += std::max<std::int64_t>(0, day - previous - 1);
    }
    return filled;
}

void PutFile(MemoryEnv& env, const std::string& path, const Record* records, std::size_t count,
             std::size_t tail) {
    static Bytes bytes;  // kept from run to run: these files are megabytes
    bytes.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const DayRecord day = BytesOf(records[i]);
        bytes.insert(bytes.end(), day.bytes.begin(), day.bytes.end());
    }
    bytes.resize(bytes.size() + tail, 0x5A);
    env.put(path, bytes);
}

bool IsEmptyDay(const TMyDBUser& db, const std::uint8_t* record) {
    return std::memcmp(record + sizeof(double), db.EmptyDay.data() + sizeof(double),
                       kDayRecordSize - sizeof(double)) == 0;
}

// Records are moved whole and in order, and only the oldest fall out of the archive: what the
// two files hold after loading, less the empty days put into gaps, is the end of what they held
// before, byte for byte.
class KeptRecords {
  public:
    KeptRecords(const TMyDBUser& db, const std::vector<Record>& before)
        : db_(db), before_(before) {}

    void take(const Bytes* file) {
        if (!file) return;
        for (std::size_t at = 0; at + kDayRecordSize <= file->size(); at += kDayRecordSize) {
            const std::uint8_t* record = file->data() + at;
            const std::int32_t number = ReadInt32(record + day::kMarker);
            if (number == day::kEmptyDayMarker) {
                Check(IsEmptyDay(db_, record), "a filled gap is not a dated empty day");
                continue;
            }
            Check(number >= 1 && static_cast<std::size_t>(number) <= before_.size(),
                  "a record that was never stored");
            const DayRecord original = BytesOf(before_[static_cast<std::size_t>(number - 1)]);
            Check(std::memcmp(original.data(), record, kDayRecordSize) == 0,
                  "a record was changed");
            kept_.push_back(number);
        }
    }

    void check() const {
        const std::size_t dropped = before_.size() - std::min(before_.size(), kept_.size());
        for (std::size_t i = 0; i < kept_.size(); ++i) {
            Check(kept_[i] == static_cast<std::int32_t>(dropped + i + 1),
                  "records were lost, repeated or reordered");
        }
    }

  private:
    const TMyDBUser& db_;
    const std::vector<Record>& before_;
    std::vector<std::int32_t> kept_;
};

// After a correction that reported nothing, no day from the oldest day the group keeps on is
// missing between the first record and the last one within the horizon. Older days are not
// filled: in order they are archived away, out of order they would be filled for nothing.
void CheckNoGaps(const Bytes& data, std::int64_t oldestKeptDay) {
    std::int64_t previous = 0;
    for (std::size_t at = 0; at + kDayRecordSize <= data.size(); at += kDayRecordSize) {
        const std::int64_t day = DayOf(ReadDouble(data.data() + at));
        if (day > Today() + kCorrectionHorizonDays) break;
        Check(at == 0 || day <= std::max(previous + 1, oldestKeptDay),
              "a gap was left in the data file");
        previous = day;
    }
}

// Slot i of a range read holds day d + i, stored or empty (a null record counts as day 0, like
// a date outside the calendar).
void CheckRangeRead(TMyDBUser& db, double date) {
    ReadDays(db, kMaxRangeDays, date);
    const std::int64_t day = DayOf(date);
    for (int i = 0; i < kMaxRangeDays; ++i) {
        const std::size_t at = kRangeReplyHeaderSize + static_cast<std::size_t>(i) * kDayRecordSize;
        Check(DayOf(ReadDouble(db.RangeReply.data() + at)) == DayOf(static_cast<double>(day + i)),
              "a range read answered another day");
    }
}

TMyDBUser& FreshDatabase(std::int8_t recordLimit, std::int8_t archiveLimit) {
    static TMyDBUser* db = new TMyDBUser();  // kept from run to run, like the sandbox
    ResetDatabase(*db, kDataPath);
    db->recordLimit = recordLimit;
    db->archiveLimit = archiveLimit;
    return *db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Sandbox& sandbox = Sandbox::Get();
    sandbox.reset();
    Input input(data, size);
    const bool withArchive = (input.byte() & 1) != 0;
    const auto recordLimit = static_cast<std::int8_t>(input.byte());
    const auto archiveLimit = static_cast<std::int8_t>(input.byte());
    const std::size_t tail = input.uint16() % kDayRecordSize;
    const std::size_t archiveCount = input.byte() % (kMaxArchiveRecords + 1);
    const std::size_t dataCount = input.byte() % (kMaxDataRecords + 1);
    std::vector<Record> records;  // the archive's, then the data file's
    ReadRecords(input, withArchive ? archiveCount : 0, records);
    const std::size_t firstData = records.size();
    ReadRecords(input, dataCount, records);
    const double readDate = input.float64();
    if (DaysToFill({records.begin() + static_cast<std::ptrdiff_t>(firstData), records.end()}) >
        kMaxFilledDays) {
        return 0;
    }
    PutFile(sandbox.env, kDataPath, records.data() + firstData, dataCount, tail);
    if (withArchive) PutFile(sandbox.env, kArchivePath, records.data(), firstData, 0);

    TMyDBUser& db = FreshDatabase(recordLimit, archiveLimit);
    try {
        StartDatabase(db);
    } catch (const std::exception&) {
        // Reported by the caller at start-up; the files must still be whole.
    }
    KeptRecords kept(db, records);
    kept.take(sandbox.env.contents(kArchivePath));
    kept.take(sandbox.env.contents(kDataPath));
    kept.check();
    if (!sandbox.log.containsText("Error correction of database.")) {
        CheckNoGaps(*sandbox.env.contents(kDataPath), OldestKeptDay(db, Today()));
    }
    CheckRangeRead(db, readDate);
    return 0;
}
