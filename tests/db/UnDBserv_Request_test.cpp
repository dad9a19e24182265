#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DatabaseServiceFixture.h"
#include "db/UnDBserv.h"
#include "platform/Config.h"
#include "platform/FileLock.h"

namespace merivo {
namespace {

constexpr std::int64_t kDay = 46000;

class Req {
  public:
    Req(std::int32_t code, std::int32_t subcode, std::int64_t day = kDay) {
        WriteInt32(bytes.data() + request::kCode, code);
        WriteInt32(bytes.data() + request::kSubcode, subcode);
        WriteDouble(bytes.data() + request::kDate, static_cast<double>(day) + 0.25);
    }
    Req& aux(std::int32_t v) { return put(request::kAux, v); }
    Req& source(std::int64_t day) {
        WriteDouble(bytes.data() + request::kSourceDate, static_cast<double>(day));
        return *this;
    }
    Req& days(std::uint16_t n) {
        WriteUInt16(bytes.data() + request::kDayCount, n);
        return *this;
    }
    Req& tag(std::uint8_t v) {
        bytes[request::kTag] = v;
        return *this;
    }
    Req& sections(std::initializer_list<int> which) {
        for (int s : which) bytes[request::kSectionFlags + s - 1] = 1;
        return *this;
    }
    Req& rowId(std::int32_t id, bool given = true) {
        bytes[request::kIdGiven] = given ? 1 : 0;
        return put(request::kRowId, id);
    }
    Req& time(const std::string& t) {
        WriteShortString(bytes.data() + request::kTime, 5, t);
        return *this;
    }
    Req& text(const std::string& t) {
        WriteShortString(bytes.data() + request::kText, 255, t);
        return *this;
    }
    Req& memo(const std::string& m) {
        std::memcpy(bytes.data() + request::kMemo, m.data(), m.size());
        return *this;
    }

    RequestBytes bytes{};

  private:
    Req& put(std::size_t offset, std::int32_t v) {
        WriteInt32(bytes.data() + offset, v);
        return *this;
    }
};

class RequestTest : public DatabaseServiceTest {
  protected:
    void Process(const Req& r, TMyNameUser* from = nullptr) {
        Process(r.bytes.data(), r.bytes.size(), from);
    }
    void Process(const std::uint8_t* bytes, std::size_t size, TMyNameUser* from = nullptr) {
        TMyNameUser& sender = from ? *from : *alice;
        ProcessRequest(sender, sender.host, bytes, size);
    }

    DayRecord DayAt(std::size_t index) const { return ReadDataFile().at(index); }
    DayRecord Stored(std::int64_t day) const {
        for (const DayRecord& record : ReadDataFile()) {
            if (DayOf(record.date()) == day) return record;
        }
        ADD_FAILURE() << "day " << day << " is not stored";
        return {};
    }

    // The single package sent with the mode; fails the test when there is not exactly one.
    SentPackage Only(int mode) const {
        const std::vector<SentPackage> packages = SentWithMode(mode);
        EXPECT_EQ(packages.size(), 1u) << "packages with mode " << mode;
        return packages.empty() ? SentPackage{} : packages.front();
    }

    std::string SlotBytes(const SentPackage& reply, int slot) const {
        const auto* begin = reply.bytes.data() + kRangeReplyHeaderSize + slot * kDayRecordSize;
        return std::string(reinterpret_cast<const char*>(begin), kDayRecordSize);
    }
    static std::string Bytes(const DayRecord& record) {
        return std::string(reinterpret_cast<const char*>(record.data()), kDayRecordSize);
    }
    DayRecord Empty(std::int64_t day) const {
        DayRecord record = DBTable[0]->EmptyDay;
        record.setDate(static_cast<double>(day));
        return record;
    }

    // The undo record sent back to alice.
    SentPackage Undo() const {
        SentPackage undo = Only(2);
        EXPECT_EQ(undo.word(request::kCode), 3000);
        EXPECT_EQ(undo.bytes.size(), kRequestPackageSize);
        return undo;
    }
    static std::string UndoText(const SentPackage& undo) {
        return ReadShortString(undo.bytes.data() + request::kText, 255);
    }
};

// ---- Range reads --------------------------------------------------------------------------

TEST_F(RequestTest, RangeReadOfSevenDaysIsByteExact) {
    WriteDataFile({kDay, kDay + 1, kDay + 3});
    Process(Req(1000, 3).days(7));
    const SentPackage reply = Only(2);
    ASSERT_EQ(reply.bytes.size(), 390386u);
    EXPECT_EQ(reply.user, "alice");
    EXPECT_EQ(reply.word(0), 2000);
    EXPECT_EQ(reply.word(4), 1);
    EXPECT_EQ(reply.word(8), 0);
    EXPECT_EQ(ReadDouble(reply.bytes.data() + 12), kDay + 0.25);
    EXPECT_EQ(reply.word(20), 7);
    EXPECT_EQ(SlotBytes(reply, 0), Bytes(StoredDay(kDay)));
    EXPECT_EQ(SlotBytes(reply, 1), Bytes(StoredDay(kDay + 1)));
    EXPECT_EQ(SlotBytes(reply, 2), Bytes(Empty(kDay + 2)));
    EXPECT_EQ(SlotBytes(reply, 3), Bytes(StoredDay(kDay + 3)));
    for (int slot = 4; slot < 7; ++slot)
        EXPECT_EQ(SlotBytes(reply, slot), Bytes(Empty(kDay + slot)));
}

TEST_F(RequestTest, RangeReadOfZeroAndNineDays) {
    WriteDataFile({kDay});
    Process(Req(1000, 3).days(0));
    Process(Req(1000, 3).days(9));
    const std::vector<SentPackage> replies = SentWithMode(2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].bytes.size(), 24u);
    EXPECT_EQ(replies[0].word(20), 0);
    EXPECT_EQ(replies[1].bytes.size(), 390386u);
    EXPECT_EQ(replies[1].word(20), 7);
}

TEST_F(RequestTest, RangeReadBeforeTheFirstStoredDayAnswersEmptyDays) {
    WriteDataFile({kDay + 2, kDay + 3});
    Process(Req(1000, 3).days(4));
    const SentPackage reply = Only(2);
    EXPECT_EQ(SlotBytes(reply, 0), Bytes(Empty(kDay)));
    EXPECT_EQ(SlotBytes(reply, 1), Bytes(Empty(kDay + 1)));
    EXPECT_EQ(SlotBytes(reply, 2), Bytes(StoredDay(kDay + 2)));
    EXPECT_EQ(SlotBytes(reply, 3), Bytes(StoredDay(kDay + 3)));
}

TEST_F(RequestTest, RangeReadWithoutDataFileIsLoggedAndNotAnswered) {
    Process(Req(1000, 3).days(1));
    EXPECT_TRUE(sent.empty());
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().back().rfind("Database for Diary. ", 0), 0u);
}

// ---- Entry checks -------------------------------------------------------------------------

// The reply area still holds the days of an earlier read; a read that fails twice is refused
// rather than answered with those.
TEST_F(RequestTest, RangeReadFailingTwiceIsRefusedWith7000) {
    WriteDataFile({kDay, kDay + 1, kDay + 2});
    Process(Req(1000, 3).days(3));
    sent.clear();
    env.failOn(FileOp::Read, "diary.mvd", 1, kForever);
    Process(Req(1000, 3, kDay + 100).days(3));
    EXPECT_TRUE(log.contains("Error occurred while reading the file: " + db().dataFilePath));
    const SentPackage answer = Only(2);
    EXPECT_EQ(answer.word(request::kCode), 7000);
    EXPECT_EQ(answer.word(request::kAux), 1000);
    EXPECT_EQ(answer.bytes.size(), kRequestPackageSize);
}

TEST_F(RequestTest, PackageShiftedByTwoBytesIsCorrected) {
    WriteDataFile({kDay});
    const Req r = Req(1000, 3).days(1);
    std::vector<std::uint8_t> shifted(2, 0);
    shifted.insert(shifted.end(), r.bytes.begin(), r.bytes.end() - 2);
    Process(shifted.data(), shifted.size());
    EXPECT_TRUE(log.contains("Incorrect values in received data. Values are corrected!"));
    const SentPackage reply = Only(2);
    EXPECT_EQ(reply.word(0), 2000);
    EXPECT_EQ(SlotBytes(reply, 0), Bytes(StoredDay(kDay)));
}

TEST_F(RequestTest, PackageOutOfRangeEvenWhenShiftedIsDroppedAndStopsTheSender) {
    std::vector<std::uint8_t> bad(kRequestPackageSize, 0xFF);
    Process(bad.data(), bad.size());
    EXPECT_TRUE(log.contains("Incorrect values in received data."));
    EXPECT_TRUE(alice->sendStopped);
    EXPECT_TRUE(sent.empty());

    alice->sendStopped = false;
    const std::uint8_t one = 0;
    Process(&one, 1);
    EXPECT_TRUE(alice->sendStopped);

    alice->sendStopped = false;
    Process(nullptr, 0);
    EXPECT_TRUE(alice->sendStopped);
}

TEST_F(RequestTest, ShortRequestReadsZerosForTheMissingFields) {
    WriteDataFile({kDay});
    const Req r = Req(1000, 3).days(5);
    Process(r.bytes.data(), 12);  // code and subcode only: date 0, day count 0
    const SentPackage reply = Only(2);
    EXPECT_EQ(reply.bytes.size(), 24u);
    EXPECT_EQ(ReadDouble(reply.bytes.data() + 12), 0.0);
}

TEST_F(RequestTest, DebugModeLogsTheRequestLineAndTheTraces) {
    WriteDataFile({kDay});
    Config.debugMode = true;
    Process(Req(1000, 3).days(2).source(kDay - 3).time("9.00").text("x"));
    Config.debugMode = false;
    EXPECT_TRUE(log.contains("1000,3,0,46000,45997,2,9.00:x"));
    EXPECT_TRUE(log.contains("Reguest On 2 Days"));
    EXPECT_TRUE(log.contains("Reguest  CountSend OK ->111556"));
    EXPECT_TRUE(log.contains("Reguest End Network sender OK"));
}

TEST_F(RequestTest, NetworkSettingsErrorIsLoggedWithTheLowerCasedHost) {
    TMyNameUser& dave = AddUser("dave", "pc-dave", true);
    ProcessRequest(dave, "PC-Dave", Req(5000, 0).bytes.data(), kRequestPackageSize);
    EXPECT_TRUE(log.contains("Error in network settings on computer pc-dave"));
    EXPECT_TRUE(sent.empty());
}

TEST_F(RequestTest, MailRequestStartsTheSendersDeliveryAndOtherSubcodesAreIgnored) {
    Process(Req(1000, 5));
    Process(Req(1000, 9));
    EXPECT_EQ(mailStarted, std::vector<std::string>{"alice"});
    EXPECT_TRUE(sent.empty());
}

// While another process holds the data file (the group was not loaded) or the structure dialog
// rewrites it, every request that would read or write the file is refused with 7000 without
// opening it; mail is still delivered.
TEST_F(RequestTest, DataRequestsOfAGroupWhoseFileIsUnavailableAreRefused) {
    WriteDataFile({kDay});
    const std::string before = dir.readFile("diary.mvd");
    for (const bool heldElsewhere : {true, false}) {
        SCOPED_TRACE(heldElsewhere ? "held by another process" : "being restructured");
        std::optional<FileLock> otherServer;
        if (heldElsewhere) otherServer.emplace(db().dataFilePath, false);
        LockDataFile(db());
        db().restructuring = !heldElsewhere;
        const int opens = env.calls(FileOp::Open);
        for (const Req& request : {Req(1000, 3).days(7), Req(1000, 6).aux(0),
                                   Req(50, 0).source(kDay).sections({1}), Req(2, 0).text("lost")}) {
            sent.clear();
            Process(request);
            const SentPackage answer = Only(2);
            EXPECT_EQ(answer.word(request::kCode), 7000);
            EXPECT_EQ(answer.word(request::kAux), ReadInt32(request.bytes.data()));
            EXPECT_EQ(sent.size(), 1u);
        }
        EXPECT_EQ(env.calls(FileOp::Open), opens);
        EXPECT_EQ(dir.readFile("diary.mvd"), before);
        mailStarted.clear();
        Process(Req(1000, 5));
        EXPECT_EQ(mailStarted, std::vector<std::string>{"alice"});
    }
}

// ---- Edits: where the day goes ------------------------------------------------------------

TEST_F(RequestTest, TitleEditIsStoredForwardedAndAnsweredWithItsUndo) {
    WriteDataFile({kDay - 1, kDay, kDay + 1});
    Process(Req(2, 0).text("Planning").tag(9));
    EXPECT_EQ(Stored(kDay).title(), "Planning");
    EXPECT_EQ(StoredDays(), (std::vector<std::int64_t>{kDay - 1, kDay, kDay + 1}));

    const SentPackage forward = Only(3);
    EXPECT_EQ(forward.host, "127.0.0.2");
    EXPECT_EQ(forward.word(0), 2);
    EXPECT_EQ(ReadShortString(forward.bytes.data() + request::kText, 255), "Planning");

    const SentPackage undo = Undo();
    EXPECT_EQ(undo.word(request::kSubcode), 0);
    EXPECT_EQ(undo.word(request::kAux), 2);
    EXPECT_EQ(ReadDouble(undo.bytes.data() + request::kDate), kDay + 0.25);
    EXPECT_EQ(undo.bytes[request::kTag], 9);
    EXPECT_EQ(UndoText(undo), "day 46000");
}

TEST_F(RequestTest, EditAfterTheLastDayIsAppendedDirectly) {
    WriteDataFile({kDay - 5});
    Process(Req(2, 0, kDay).text("later"));
    EXPECT_EQ(StoredDays(), (std::vector<std::int64_t>{kDay - 5, kDay}));
    EXPECT_EQ(Bytes(DayAt(1)), [&] {
        DayRecord expected = Empty(kDay);
        expected.setTitle("later");
        return Bytes(expected);
    }());
}

TEST_F(RequestTest, EditInAGapInsertsTheDayAtItsPlace) {
    WriteDataFile({kDay - 2, kDay + 2, kDay + 3});
    Process(Req(2, 0).text("gap"));
    EXPECT_EQ(StoredDays(), (std::vector<std::int64_t>{kDay - 2, kDay, kDay + 2, kDay + 3}));
    EXPECT_EQ(Stored(kDay + 3).title(), "day 46003");
}

TEST_F(RequestTest, EditBeforeTheFirstDayIsRefusedUnlessAllowed) {
    WriteDataFile({kDay + 1});
    Process(Req(2, 0).text("early"));
    EXPECT_EQ(StoredDays(), std::vector<std::int64_t>{kDay + 1});
    EXPECT_TRUE(log.contains("Unable to insert data at the beginning of filled database - Diary"));
    const SentPackage answer = Only(2);
    EXPECT_EQ(answer.word(0), 7000);
    EXPECT_EQ(answer.word(request::kAux), 2);
    EXPECT_TRUE(SentWithMode(3).empty());

    sent.clear();
    db().insertBeforeFirstAllowed = true;
    Process(Req(2, 0).text("early"));
    EXPECT_EQ(StoredDays(), (std::vector<std::int64_t>{kDay, kDay + 1}));
    EXPECT_EQ(Undo().word(request::kAux), 2);
}

// A day the next start would archive and drop at once is refused rather than stored and lost;
// so is a date long before the first stored day, which that start would fill up to.
TEST_F(RequestTest, DaysOlderThanTheGroupKeepsAreRefused) {
    WriteDataFile({kDay});
    db().insertBeforeFirstAllowed = true;
    const std::int64_t oldest = Today() - 365;  // recordLimit 365, archiveLimit 0
    const std::int64_t yearOne = -693593;
    for (const Req& request : {Req(2, 0, oldest - 1).text("lost"), Req(2, 0, yearOne).text("lost"),
                               Req(50, 0, oldest - 1).source(kDay).sections({1}),
                               Req(1000, 6, oldest - 1).aux(0)}) {
        sent.clear();
        Process(request);
        const std::vector<SentPackage> answers = SentWithMode(2);
        ASSERT_EQ(answers.size(), 1u);
        const SentPackage& answer = answers.front();
        EXPECT_EQ(answer.word(request::kCode), 7000);
        EXPECT_EQ(answer.word(request::kAux), ReadInt32(request.bytes.data()));
    }
    EXPECT_TRUE(log.contains("Incorrect Date in received data."));
    EXPECT_EQ(StoredDays(), std::vector<std::int64_t>{kDay});
    Process(Req(2, 0, oldest).text("kept"));
    EXPECT_EQ(StoredDays(), (std::vector<std::int64_t>{oldest, kDay}));
}

TEST_F(RequestTest, EditOfDayZeroWritesNothing) {
    WriteDataFile({kDay});
    Process(Req(2, 0, 0).text("x"));
    EXPECT_TRUE(log.contains("Incorrect Date in received data."));
    EXPECT_EQ(StoredDays(), std::vector<std::int64_t>{kDay});
}

TEST_F(RequestTest, UnknownOperationStillCreatesTheDay) {
    WriteDataFile({kDay - 1});
    Process(Req(99, 0));
    EXPECT_EQ(Bytes(Stored(kDay)), Bytes(Empty(kDay)));
    EXPECT_EQ(Undo().word(request::kAux), 99);
}

TEST_F(RequestTest, WithoutDataFileAnEditIsOnlyAnsweredWithItsUndo) {
    db().dataFilePath.clear();
    Process(Req(2, 0).text("nowhere"));
    EXPECT_TRUE(SentWithMode(3).empty());
    EXPECT_EQ(Undo().word(request::kAux), 2);
}

// ---- Edits: the operations ----------------------------------------------------------------

TEST_F(RequestTest, MemoEditReplacesTheFirst2047Bytes) {
    DayRecord day = StoredDay(kDay);
    std::memset(day.data() + day::kMemo, 'o', day::kMemoSize);
    dir.writeFile("diary.mvd", Bytes(day));
    Process(Req(3, 0).memo(std::string(2048, 'n')));
    const DayRecord stored = Stored(kDay);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored.data() + day::kMemo), 2048),
              std::string(2047, 'n') + "o");
    const SentPackage undo = Undo();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(undo.bytes.data() + request::kMemo), 2047),
              std::string(2047, 'o'));
}

TEST_F(RequestTest, RowEditStoresTimeTextAndAGivenId) {
    DayRecord day = StoredDay(kDay);
    day.setScheduleTime(5, "9.00");
    day.setScheduleText(5, "old");
    day.setRowId(5, 77);
    dir.writeFile("diary.mvd", Bytes(day));
    Process(Req(4, 5).time("9.30").text("new").rowId(1234));
    const DayRecord stored = Stored(kDay);
    EXPECT_EQ(stored.scheduleTime(5), "9.30");
    EXPECT_EQ(stored.scheduleText(5), "new");
    EXPECT_EQ(stored.rowId(5), 1234);
    const SentPackage undo = Undo();
    EXPECT_EQ(ReadShortString(undo.bytes.data() + request::kTime, 5), "9.00");
    EXPECT_EQ(UndoText(undo), "old");
    EXPECT_EQ(undo.word(request::kRowId), 77);
    EXPECT_EQ(undo.bytes[request::kIdGiven], 1);

    sent.clear();
    Process(Req(4, 5).text("again").rowId(999, false));
    EXPECT_EQ(Stored(kDay).rowId(5), 1234);
}

TEST_F(RequestTest, ScheduleInsertMovesRowsDownAndIsUndoneByDelete) {
    DayRecord day = StoredDay(kDay);
    for (int row = 0; row < 3; ++row) {
        day.setScheduleText(row, "row " + std::to_string(row));
        day.setRowId(row, row + 1);
    }
    dir.writeFile("diary.mvd", Bytes(day));
    Process(Req(40, 1).time("10.15").text("inserted").rowId(50, false).tag(3));
    const DayRecord stored = Stored(kDay);
    EXPECT_EQ(stored.scheduleText(0), "row 0");
    EXPECT_EQ(stored.scheduleText(1), "inserted");
    EXPECT_EQ(stored.scheduleTime(1), "10.15");
    EXPECT_EQ(stored.rowId(1), 50);
    EXPECT_EQ(stored.scheduleText(2), "row 1");
    EXPECT_EQ(stored.scheduleTime(2), "");  // the " 9.00" label of row 2 moved to row 3
    EXPECT_EQ(stored.scheduleTime(3), " 9.00");
    EXPECT_EQ(stored.rowId(3), 3);
    EXPECT_EQ(Only(3).word(0), 40);
    const SentPackage undo = Undo();
    EXPECT_EQ(undo.word(request::kAux), 41);
    EXPECT_EQ(UndoText(undo), "");
    EXPECT_EQ(undo.bytes[request::kTag], 3);
}

TEST_F(RequestTest, ScheduleInsertWhenRow69IsTakenChangesNothing) {
    DayRecord day = StoredDay(kDay);
    day.setScheduleText(69, "last");
    dir.writeFile("diary.mvd", Bytes(day));
    Process(Req(40, 0).text("no room"));
    EXPECT_EQ(Bytes(Stored(kDay)), Bytes(day));
    EXPECT_EQ(Only(3).word(0), 40);
    EXPECT_EQ(Undo().word(request::kAux), 41);
}

TEST_F(RequestTest, ScheduleDeleteMovesRowsUpAndItsUndoCarriesTheRowId) {
    DayRecord day = StoredDay(kDay);
    day.setScheduleText(1, "gone");
    day.setScheduleText(2, "stays");
    day.setRowId(2, 22);
    day.setScheduleText(69, "last");
    dir.writeFile("diary.mvd", Bytes(day));
    Process(Req(41, 1).rowId(11));
    const DayRecord stored = Stored(kDay);
    EXPECT_EQ(stored.scheduleText(1), "stays");
    EXPECT_EQ(stored.rowId(1), 22);
    EXPECT_EQ(stored.scheduleText(68), "last");
    EXPECT_EQ(stored.scheduleText(69), "");
    EXPECT_EQ(stored.rowId(69), 0);
    const SentPackage undo = Undo();
    EXPECT_EQ(undo.word(request::kAux), 40);
    EXPECT_EQ(undo.word(request::kRowId), 11);
    EXPECT_EQ(undo.bytes[request::kIdGiven], 1);
}

TEST_F(RequestTest, AppendIsUndoneByDelete) {
    WriteDataFile({kDay});
    Process(Req(42, 7).time("1").text("t"));
    const SentPackage undo = Undo();
    EXPECT_EQ(undo.word(request::kAux), 41);
    EXPECT_EQ(ReadShortString(undo.bytes.data() + request::kTime, 5), "");
}

TEST_F(RequestTest, ListLineEditInsertsWithOneAndOverwritesOtherwise) {
    DayRecord day = StoredDay(kDay);
    day.setListLine(2, 0, "first");
    day.setListLine(2, 1, "second");
    day.setListLine(2, 59, "lost");
    dir.writeFile("diary.mvd", Bytes(day));

    Process(Req(7, 1).time("1").text("new"));
    DayRecord stored = Stored(kDay);
    EXPECT_EQ(stored.listLine(2, 0), "first");
    EXPECT_EQ(stored.listLine(2, 1), "new");
    EXPECT_EQ(stored.listLine(2, 2), "second");
    EXPECT_EQ(stored.listLine(2, 59), "");
    SentPackage undo = Undo();
    EXPECT_EQ(ReadShortString(undo.bytes.data() + request::kTime, 5), "1");
    EXPECT_EQ(UndoText(undo), "second");

    sent.clear();
    Process(Req(7, 0).text("replaced"));
    stored = Stored(kDay);
    EXPECT_EQ(stored.listLine(2, 0), "replaced");
    EXPECT_EQ(stored.listLine(2, 1), "new");
    EXPECT_EQ(UndoText(Undo()), "first");
    EXPECT_EQ(stored.listLine(1, 0), "");
}

TEST_F(RequestTest, ListLineDeleteAndItsRestore) {
    DayRecord day = StoredDay(kDay);
    day.setListLine(1, 3, "three");
    day.setListLine(1, 4, "four");
    day.setListLine(1, 59, "end");
    dir.writeFile("diary.mvd", Bytes(day));

    Process(Req(16, 3));
    DayRecord stored = Stored(kDay);
    EXPECT_EQ(stored.listLine(1, 3), "four");
    EXPECT_EQ(stored.listLine(1, 58), "end");
    EXPECT_EQ(stored.listLine(1, 59), "");
    EXPECT_EQ(UndoText(Undo()), "three");

    // The restore takes its text from the database's last edit record.
    Process(Req(26, 3));
    stored = Stored(kDay);
    EXPECT_EQ(stored.listLine(1, 3), "three");
    EXPECT_EQ(stored.listLine(1, 4), "four");
    EXPECT_EQ(stored.listLine(1, 59), "end");
}

TEST_F(RequestTest, RowOrLineOutsideTheDayChangesNothing) {
    WriteDataFile({kDay});
    const std::string before = dir.readFile("diary.mvd");
    for (const Req& r : {Req(4, 70), Req(40, -1), Req(41, 70), Req(6, 60), Req(17, -5), Req(27, 60),
                         Req(1000, 6).aux(70)}) {
        sent.clear();
        Process(r);
        const SentPackage answer = Only(2);
        EXPECT_EQ(answer.word(0), 7000);
        EXPECT_EQ(answer.word(request::kAux), r.bytes[0] | (r.bytes[1] << 8));
        EXPECT_TRUE(SentWithMode(3).empty());
    }
    EXPECT_EQ(dir.readFile("diary.mvd"), before);
    EXPECT_TRUE(log.contains("Incorrect values in received data."));
}

// ---- Row IDs --------------------------------------------------------------------------------

TEST_F(RequestTest, RowIdIsMadeOnceAndAnsweredToAll) {
    DayRecord day = StoredDay(kDay);
    day.setIdCounter(0xFFFF);
    dir.writeFile("diary.mvd", Bytes(day));
    Process(Req(1000, 6).aux(4));
    const std::int32_t expected = static_cast<std::int32_t>(kDay & 0xFFFF);  // counter wrapped to 0
    EXPECT_EQ(Stored(kDay).rowId(4), expected);
    EXPECT_EQ(Stored(kDay).idCounter(), 0);
    SentPackage answer = Only(2);
    EXPECT_EQ(answer.word(0), 2000);
    EXPECT_EQ(answer.word(4), 4);
    EXPECT_EQ(answer.word(request::kRowId), expected);
    SentPackage notice = Only(3);
    EXPECT_EQ(notice.word(0), 52);
    EXPECT_EQ(notice.word(4), 4);
    EXPECT_EQ(notice.word(request::kRowId), expected);

    sent.clear();
    Process(Req(1000, 6).aux(4));
    EXPECT_EQ(Stored(kDay).idCounter(), 0);
    EXPECT_EQ(Only(2).word(request::kRowId), expected);

    sent.clear();
    Process(Req(1000, 6).aux(5));
    EXPECT_EQ(Only(2).word(request::kRowId), (1 << 16) | expected);
}

TEST_F(RequestTest, RowIdForDayZeroIsRefusedAndNeverCarriesAnotherDaysId) {
    DayRecord day = StoredDay(kDay);
    day.setRowId(4, 777);
    dir.writeFile("diary.mvd", Bytes(day));
    Process(Req(1000, 6).aux(4));  // the day buffer now holds kDay
    sent.clear();

    Process(Req(1000, 6, 0).aux(4));
    EXPECT_TRUE(log.contains("Incorrect Date in received data."));
    SentPackage answer = Only(2);
    EXPECT_EQ(answer.word(0), 7000);
    EXPECT_EQ(answer.word(request::kAux), 1000);
    EXPECT_NE(answer.word(request::kRowId), 777);
    EXPECT_TRUE(SentWithMode(3).empty()) << "no row ID announced to the others";
    EXPECT_EQ(Bytes(Stored(kDay)), Bytes(day));
}

// ---- Day copy -------------------------------------------------------------------------------

TEST_F(RequestTest, DayCopyReplacesTheFlaggedSectionsAndAnswersAll) {
    DayRecord source = StoredDay(kDay - 1);
    source.setTitle("template");
    source.setScheduleText(3, "meeting");
    source.setRowId(3, 33);
    source.setListLine(1, 0, "from template");
    DayRecord target = StoredDay(kDay);
    target.setListLine(1, 0, "kept");
    target.setListLine(2, 0, "target's own");
    target.setRowId(10, 1010);
    target.setIdCounter(7);
    dir.writeFile("diary.mvd", Bytes(source) + Bytes(target));

    Process(Req(50, 0).source(kDay - 1).sections({1, 3}));
    const DayRecord stored = Stored(kDay);
    EXPECT_EQ(stored.title(), "template");
    EXPECT_EQ(stored.scheduleText(3), "meeting");
    EXPECT_EQ(stored.rowId(3), 0);
    EXPECT_EQ(stored.rowId(10), 0);
    EXPECT_EQ(stored.idCounter(), 7);
    EXPECT_EQ(stored.listLine(1, 0), "kept");
    EXPECT_EQ(stored.listLine(2, 0), "target's own");
    EXPECT_EQ(stored.date(), static_cast<double>(kDay));

    const SentPackage answer = Only(1);
    ASSERT_EQ(answer.bytes.size(), 390386u);
    EXPECT_EQ(answer.word(0), 2000);
    EXPECT_EQ(answer.word(4), 2);
    EXPECT_EQ(answer.word(20), 7);
    EXPECT_EQ(SlotBytes(answer, 0), Bytes(stored));
    EXPECT_FALSE(db().busy);
}

TEST_F(RequestTest, DayCopyOntoANewDayFromAMissingSource) {
    WriteDataFile({kDay - 3});
    Process(Req(50, 0).source(kDay + 30).sections({1, 2, 3, 4, 5}));
    EXPECT_EQ(StoredDays(), (std::vector<std::int64_t>{kDay - 3, kDay}));
    EXPECT_EQ(Bytes(Stored(kDay)), Bytes(Empty(kDay)));
}

TEST_F(RequestTest, DayCopyBeforeTheFirstDayIsRefusedAndDayZeroIsRejected) {
    WriteDataFile({kDay + 1});
    Process(Req(50, 0).source(kDay + 1).sections({1}));
    SentPackage answer = Only(2);
    EXPECT_EQ(answer.word(0), 7000);
    EXPECT_EQ(answer.word(request::kAux), 50);
    EXPECT_TRUE(SentWithMode(1).empty());

    sent.clear();
    Process(Req(50, 0, 0).source(kDay + 1).sections({1}));
    EXPECT_TRUE(log.contains("Incorrect Date in received data."));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(StoredDays(), std::vector<std::int64_t>{kDay + 1});
    EXPECT_FALSE(db().busy);
}

// ---- Write failures -------------------------------------------------------------------------

// A write that fails is done again on the reopened file; when that fails too, the retry with its
// warning follows.
TEST_F(RequestTest, WriteFailingOnceOrTwiceIsStored) {
    for (const int failures : {1, 2}) {
        SCOPED_TRACE(failures);
        WriteDataFile({kDay});
        log.clear();
        sent.clear();
        env.clearFaults();
        env.failOn(FileOp::Write, "diary.mvd", 1, failures);
        Process(Req(2, 0).text("retried"));
        EXPECT_EQ(log.contains("Warning! Rewrite the file: " + db().dataFilePath), failures == 2);
        EXPECT_EQ(Stored(kDay).title(), "retried");
        EXPECT_EQ(Only(3).word(0), 2);
        EXPECT_EQ(Undo().word(request::kAux), 2);
        EXPECT_FALSE(db().writeRetried);
    }
}

TEST_F(RequestTest, WriteFailingForGoodIsAnsweredWith7000AndNotForwarded) {
    WriteDataFile({kDay});
    env.failOn(FileOp::Write, "diary.mvd", 1, kForever);
    Process(Req(2, 0).text("lost"));
    EXPECT_TRUE(log.contains("Error occurred while writing to file: " + db().dataFilePath));
    EXPECT_EQ(Stored(kDay).title(), "day 46000");
    const SentPackage answer = Only(2);
    EXPECT_EQ(answer.word(0), 7000);
    EXPECT_EQ(answer.word(request::kAux), 2);
    EXPECT_TRUE(SentWithMode(3).empty());
    EXPECT_FALSE(db().writeRetried);

    // The next request starts with a fresh retry.
    env.clearFaults();
    env.failOn(FileOp::Write, "diary.mvd");
    sent.clear();
    Process(Req(2, 0).text("stored"));
    EXPECT_EQ(Stored(kDay).title(), "stored");
}

TEST_F(RequestTest, EditWhoseFlushFailsForGoodIsAnsweredWith7000AndNotForwarded) {
    WriteDataFile({kDay});
    env.failOn(FileOp::Sync, "diary.mvd", 1, kForever);
    Process(Req(2, 0).text("not on the disk"));
    EXPECT_TRUE(log.contains("Error occurred while writing to file: " + db().dataFilePath));
    EXPECT_EQ(Only(2).word(0), 7000);
    EXPECT_TRUE(SentWithMode(3).empty());
}

// What the users are told is stored is on the disk: an inserted edit (which moves a record), a
// day copy and a mail outlive a power loss right after their answers and its announcement. The
// mail is a large package that the receive path spilled: bob's package is a copy of the spill
// file, carol's is the spill file itself, renamed.
TEST_F(RequestTest, WhatUsersAreToldIsStoredSurvivesAPowerLoss) {
    WriteDataFile({kDay - 2, kDay + 2});
    env.trackUnsyncedData();
    Process(Req(2, 0).text("kept"));
    Process(Req(50, 0, kDay + 2).source(kDay).sections({1}));
    ASSERT_EQ(sent.size(), 3u);  // forward and undo of the edit, the copy's days to all
    const std::vector<std::uint8_t> mail =
        RelayPackage("bob,carol", 0, "alice", std::string(600000, 'm'));
    const std::string spillPath = JoinPath(Config.pop3Dir, "127.0.0.21234.buf");
    std::unique_ptr<File> spill = SpillFile(spillPath, mail);
    HandleRelayPackage(*alice, spill, spillPath);
    ASSERT_EQ(sent.size(), 4u);  // bob is told of his mail; carol is offline
    ReleaseDataFile(db());  // the power goes, and with it the server
    env.dropUnsyncedData();
    EXPECT_EQ(StoredDays(), (std::vector<std::int64_t>{kDay - 2, kDay, kDay + 2}));
    EXPECT_EQ(Stored(kDay).title(), "kept");
    EXPECT_EQ(Stored(kDay + 2).title(), "kept");
    for (const TMyNameUser* user : {bob, carol}) {
        const std::vector<std::string> files = InboxFiles(*user);
        ASSERT_EQ(files.size(), 1u) << user->name;
        ASSERT_TRUE(PosixEnv().fileExists(JoinPath(Config.pop3Dir, files[0]))) << user->name;
        EXPECT_TRUE(dir.readFile("POP3/" + files[0]) == std::string(mail.begin(), mail.end()));
    }
}

// A new day between two stored ones moves the later records first. A retry goes on where the
// failed attempt stopped, and a store that fails for good moves them back: no day is ever there
// twice. The edit and the day copy store the same way.
TEST_F(RequestTest, FailedInsertIsFinishedOrTakenBackWithoutCopiesOfADay) {
    const std::vector<std::int64_t> two{kDay - 2, kDay + 2}, three{kDay - 2, kDay + 2, kDay + 4};
    struct Case {
        std::vector<std::int64_t> days;
        // Of the writes from the second on (the last move or the day itself): the first attempt,
        // its reopened file, the retry and its reopened file fail one write each.
        int failures;
        bool stored;
    };
    const Case cases[] = {{two, 1, true}, {three, 3, true}, {two, 4, false}, {three, 4, false}};
    for (const Case& c : cases) {
        for (const Req& request :
             {Req(2, 0).text("new"), Req(50, 0).source(kDay - 2).sections({1})}) {
            SCOPED_TRACE(testing::Message()
                         << c.days.size() << " days, " << c.failures << " failures, code "
                         << ReadInt32(request.bytes.data()));
            WriteDataFile(c.days);
            sent.clear();
            env.clearFaults();
            env.failOn(FileOp::Write, "diary.mvd", 2, c.failures);
            Process(request);
            std::vector<std::int64_t> expected = c.days;
            if (c.stored) expected.insert(expected.begin() + 1, kDay);
            EXPECT_EQ(StoredDays(), expected);
            const bool refused = !SentWithMode(2).empty() && SentWithMode(2).back().word(0) == 7000;
            EXPECT_EQ(refused, !c.stored);
        }
    }
}

TEST_F(RequestTest, InsertThatCannotBeTakenBackIsTraced) {
    Config.debugMode = true;
    WriteDataFile({kDay - 2, kDay + 2});
    env.failOn(FileOp::Write, "diary.mvd", 2, kForever);
    Process(Req(2, 0).text("new"));
    EXPECT_EQ(Only(2).word(0), 7000);
    const std::vector<std::string> lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("New day not taken back: ", 0) == 0;
    }));
}

TEST_F(RequestTest, RetriedEditChangesTheDayOnce) {
    WriteDataFile({kDay});
    Process(Req(4, 0).time("09:00").text("first"));
    env.failOn(FileOp::Sync, "diary.mvd");  // written, then not flushed: the retry writes again
    Process(Req(40, 0).time("08:00").text("inserted"));
    const DayRecord day = Stored(kDay);
    EXPECT_EQ(day.scheduleText(0), "inserted");
    EXPECT_EQ(day.scheduleText(1), "first");
}

TEST_F(RequestTest, DayCopyWhoseWriteFailsForGoodIsAnsweredWith7000) {
    WriteDataFile({kDay - 1, kDay});
    env.failOn(FileOp::Write, "diary.mvd", 1, kForever);  // the source is read, not written
    Process(Req(50, 0).source(kDay - 1).sections({1}));
    EXPECT_TRUE(log.contains("Error occurred while writing to file: " + db().dataFilePath));
    EXPECT_EQ(Only(2).word(0), 7000);
    EXPECT_TRUE(SentWithMode(1).empty());
    EXPECT_FALSE(db().busy);
}

TEST_F(RequestTest, DayCopyWhoseDaysCannotBeReadAfterwardsShowsThemToNoOne) {
    WriteDataFile({kDay - 1, kDay});
    const Req copy = Req(50, 0).source(kDay - 1).sections({1});
    Process(copy);
    const int copyReads = env.calls(FileOp::Read);
    ASSERT_TRUE(ReadDays(db(), kMaxRangeDays, static_cast<double>(kDay)));
    const int answerReads = env.calls(FileOp::Read) - copyReads;
    sent.clear();
    env.failOn(FileOp::Read, "diary.mvd", copyReads - answerReads + 1, kForever);
    Process(copy);
    EXPECT_TRUE(log.contains("Error occurred while reading the file: " + db().dataFilePath));
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(db().busy);
}

TEST_F(RequestTest, DayCopyWhoseSourceCannotBeReadWritesNothing) {
    WriteDataFile({kDay - 1, kDay});
    const std::string before = dir.readFile("diary.mvd");
    env.failOn(FileOp::Read, "diary.mvd", 1, kForever);
    Process(Req(50, 0).source(kDay - 1).sections({1}));
    Process(Req(50, 0).source(kDay - 1).sections({1}));
    EXPECT_TRUE(log.contains("Error occurred while reading the file: " + db().dataFilePath));
    EXPECT_EQ(dir.readFile("diary.mvd"), before);
    EXPECT_FALSE(db().busy);
}

// ---- Other failures ------------------------------------------------------------------------

// A clock whose tick counter moves 1,500 ms between two readings.
class SlowTicks : public FakeClock {
  public:
    std::uint32_t tickCount() override {
        advanceMs(1500);
        return FakeClock::tickCount();
    }
};

TEST_F(RequestTest, SlowEditIsReported) {
    WriteDataFile({kDay});
    SlowTicks slow;
    ScopedClock scoped(slow);
    Process(Req(2, 0).text("slow"));
    EXPECT_TRUE(log.contains("Warning! Database processing - time:1500"));
    EXPECT_EQ(Only(3).word(0), 2);
}

TEST_F(RequestTest, FailureWhileAnsweringIsLoggedWithItsMessage) {
    WriteDataFile({kDay});
    SendPackage = [](TMyNameUser&, const std::uint8_t*, std::size_t, const std::string&, int) {
        throw std::runtime_error("queue broken");
    };
    Process(Req(1000, 3).days(1));
    EXPECT_TRUE(log.contains("Error processing of request from 127.0.0.2"));
    EXPECT_TRUE(log.contains("queue broken"));
}

TEST_F(RequestTest, DayCopyFailingAfterItsWriteIsLoggedAndReleasesTheDatabase) {
    WriteDataFile({kDay - 1, kDay});
    SendPackage = [](TMyNameUser&, const std::uint8_t*, std::size_t, const std::string&, int) {
        throw std::runtime_error("queue broken");  // the answer to everyone
    };
    Process(Req(50, 0).source(kDay - 1).sections({1}));
    EXPECT_TRUE(log.contains("Error processing of request from 127.0.0.2 (Copy Data)"));
    EXPECT_EQ(Stored(kDay).title(), "day 45999");
    EXPECT_FALSE(db().busy);
}

}  // namespace
}  // namespace merivo
