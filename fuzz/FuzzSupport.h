#pragma once
// What every harness shares: files in memory (the tests' MemoryEnv, so a hostile input never
// reaches the real file system and runs stay fast), a fixed clock, a small loaded database with three users whose
// packages are recorded, a reader of the harness's input, and the checks that end a run with a
// finding.
//
// The sandbox and the world are made once per process and put back into their first state before
// every run: the day records and reply areas are large, and allocating them afresh for every
// input would cost more than the run itself.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "platform/Clock.h"
#include "platform/Env.h"
#include "platform/Log.h"
#include "support/FakeClock.h"
#include "support/MemoryEnv.h"

namespace merivo::fuzz {

using Bytes = std::vector<std::uint8_t>;

// A finding: prints what was violated and aborts, so that the fuzzer keeps the input and the
// replay test fails on it.
[[noreturn]] void Fail(const std::string& what);
inline void Check(bool condition, const char* what) {
    if (!condition) Fail(what);
}

// 64-bit FNV-1a: packages are compared by it rather than kept.
std::uint64_t Checksum(const std::uint8_t* bytes, std::size_t size);

// Keeps the first lines of the log: a run may log without end.
class KeptLog : public LogSink {
  public:
    void append(const std::string& message) override;
    bool containsText(const std::string& text) const;  // some kept line contains it
    std::vector<std::string> lines;
};

// The process-wide state: AppDir "/app" and its mail folder in memory, the date fixed, every long
// wait shortened, the log kept.
class Sandbox {
  public:
    static Sandbox& Get();
    // Empty folders, the clock at its start, the server state reset, an empty log.
    void reset();

    // Checks the mail folder: every inbox holds whole entries, each naming a stored package that
    // exists; there are as many stored packages as entries, and no spill file is left.
    void checkMailFolder() const;

    MemoryEnv env;
    FakeClock clock;
    KeptLog log;

  private:
    Sandbox();

    ScopedEnv useEnv_;
    ScopedClock useClock_;
    double startNow_;
    std::uint32_t startTicks_;
};

// Puts a database record back as a settings reader makes it (alias "Diary", hours 8 to 18, 30
// days kept, 30 archived), with the data file given; its buffers are kept.
void ResetDatabase(TMyDBUser& db, const std::string& dataFile);

// One call of SendPackage.
struct SentPackage {
    TMyNameUser* user;
    int mode;
    std::size_t size;
    std::uint64_t checksum;
    std::int32_t code;  // the first word, 0 for a shorter package
};

// The sandbox with one database "Diary" whose data file holds five days around today, and the
// users alice (127.0.0.2, online), bob (127.0.0.3, online) and carol (127.0.0.4, not connected);
// SendPackage is recorded, a mail delivery is not started.
class World {
  public:
    static constexpr char kDataFile[] = "/app/diary.mvd";

    struct Options {
        bool dataFile = true;  // false: the database stores nothing
        bool archive = false;  // an (empty) archive file exists: no day before the first
        bool debug = false;    // debug mode
    };

    // The world in its first state, the database loaded as the start-up loads it.
    static World& Reset(Options options);

    Sandbox& sandbox;
    TMyDBUser& db() { return *DBTable[0]; }
    TMyNameUser& user(int i) { return *db().users[static_cast<std::size_t>(i)]; }

    // Checks what must hold after any input: packages go to users of the table with a known mode
    // and are neither empty nor larger than maxSize; the data file holds whole records whose days
    // rise strictly.
    void checkAnswers(std::size_t maxSize) const;
    void checkDataFile() const;

    std::vector<SentPackage> sent;

  private:
    World();
    void reset(Options options);

    Bytes firstDataFile_;
};

// Reads a harness's input front to back; past its end every read gives zeros or nothing.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte();
    std::uint16_t uint16();
    double float64();
    // Up to n bytes.
    Bytes take(std::size_t n);
    Bytes rest() { return take(left()); }
    std::size_t left() const { return size_ - at_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace merivo::fuzz
