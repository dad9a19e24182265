// Requests end to end: clients of the client library read, edit and copy days of one diary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EndToEndSupport.h"

namespace merivo {
namespace {

class RequestsEndToEnd : public EndToEndTest {
  protected:
    std::int64_t first = FirstTestDay();

    static Bytes Edit(std::int32_t code, std::int32_t row, std::int64_t day,
                      const std::string& time, const std::string& text) {
        Bytes edit = BuildRequest(code, row, static_cast<double>(day));
        WriteShortString(&edit[request::kTime], 5, time);
        WriteShortString(&edit[request::kText], 255, text);
        return edit;
    }

    static std::string Slot(const Bytes& reply, int slot) {
        const auto* begin = reply.data() + kRangeReplyHeaderSize + slot * kDayRecordSize;
        return std::string(reinterpret_cast<const char*>(begin), kDayRecordSize);
    }
    static std::string Text(const Bytes& p) {
        return ReadShortString(p.data() + request::kText, 255);
    }
};

TEST_F(RequestsEndToEnd, RangeReadsAreAnsweredByteForByte) {
    StartServer(2, {first + 1, first + 2, first + 4});
    MerivoClient& user1 = Connect(1);

    user1.sendPackage(BuildRequest(1000, 3, static_cast<double>(first), 7));
    std::optional<Bytes> week = Await(user1, Code(2000, 1));
    ASSERT_TRUE(week);
    ASSERT_EQ(week->size(), 390386u);
    EXPECT_EQ(WordAt(*week, 20), 7);
    EXPECT_EQ(ReadDouble(week->data() + 12), static_cast<double>(first));
    EXPECT_EQ(Slot(*week, 0), RecordBytes(EmptyDayOf(first)));  // before the first stored day
    EXPECT_EQ(Slot(*week, 1), RecordBytes(TitledDay(first + 1)));
    EXPECT_EQ(Slot(*week, 2), RecordBytes(TitledDay(first + 2)));
    EXPECT_EQ(Slot(*week, 3), RecordBytes(EmptyDayOf(first + 3)));
    EXPECT_EQ(Slot(*week, 4), RecordBytes(TitledDay(first + 4)));
    EXPECT_EQ(Slot(*week, 6), RecordBytes(EmptyDayOf(first + 6)));

    user1.sendPackage(BuildRequest(1000, 3, static_cast<double>(first), 0));
    std::optional<Bytes> none = Await(user1, Code(2000, 1));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->size(), 24u);

    user1.sendPackage(BuildRequest(1000, 3, static_cast<double>(first + 1), 9));
    std::optional<Bytes> capped = Await(user1, Code(2000, 1));
    ASSERT_TRUE(capped);
    EXPECT_EQ(capped->size(), 390386u);
    EXPECT_EQ(Slot(*capped, 0), RecordBytes(TitledDay(first + 1)));
}

TEST_F(RequestsEndToEnd, PackageTwoBytesLateIsReadAsCode1000) {
    StartServer(1, {first});
    MerivoClient& user1 = Connect(1);
    const Bytes read = BuildRequest(1000, 3, static_cast<double>(first), 1);
    Bytes shifted{0, 0};
    shifted.insert(shifted.end(), read.begin(), read.end() - 2);
    user1.sendPackage(shifted);
    std::optional<Bytes> reply = Await(user1, Code(2000, 1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Slot(*reply, 0), RecordBytes(TitledDay(first)));
    EXPECT_TRUE(server->logContains("Incorrect values in received data. Values are corrected!"));
}

TEST_F(RequestsEndToEnd, TitleEditIsForwardedAtOnceAndAnsweredWithItsUndo) {
    StartServer(3, {first, first + 1});
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);
    MerivoClient& user3 = Connect(3);

    Bytes edit = Edit(2, 0, first + 1, "", "Planning");
    edit[request::kTag] = 5;
    user1.sendPackage(edit);
    for (MerivoClient* other : {&user2, &user3}) {
        std::optional<Bytes> forward = Await(*other, Code(2));
        ASSERT_TRUE(forward);
        EXPECT_EQ(*forward, edit);
    }
    std::optional<Bytes> undo = Await(user1, Code(3000));
    ASSERT_TRUE(undo);
    EXPECT_EQ(WordAt(*undo, request::kAux), 2);
    EXPECT_EQ(Text(*undo), "day " + std::to_string(first + 1));
    EXPECT_EQ((*undo)[request::kTag], 5);
    EXPECT_TRUE(Quiet(user1, Code(2)));
    EXPECT_EQ(StoredDays().at(1).title(), "Planning");
}

TEST_F(RequestsEndToEnd, EditAfterTheLastDayIsAppendedAndBeforeTheFirstIsRefused) {
    StartServer(2, {first, first + 1}, /*withArchive=*/true);
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);

    user1.sendPackage(Edit(2, 0, first + 30, "", "later"));
    ASSERT_TRUE(Await(user1, Code(3000)));
    std::vector<DayRecord> days = StoredDays();
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(DayOf(days[2].date()), first + 30);
    EXPECT_EQ(days[2].title(), "later");
    Settle();

    user1.sendPackage(Edit(2, 0, first - 1, "", "earlier"));
    std::optional<Bytes> refused = Await(user1, Code(7000));
    ASSERT_TRUE(refused);
    EXPECT_EQ(WordAt(*refused, request::kAux), 2);
    EXPECT_TRUE(Quiet(user2, Code(2)));
    EXPECT_EQ(StoredDays().size(), 3u);
    EXPECT_TRUE(
        server->logContains("Unable to insert data at the beginning of filled database - Diary"));
}

TEST_F(RequestsEndToEnd, ScheduleAndListOperationsAreForwardedWithTheirUndo) {
    StartServer(2, {first});
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);
    struct Step {
        Bytes edit;
        std::int32_t undoOperation;
        std::string undoText;
    };
    const std::vector<Step> steps = {
        {Edit(4, 69, first, "19.00", "last row"), 4, ""},
        {Edit(40, 3, first, "", "no room"), 41, ""},  // row 69 is taken: nothing moves
        {Edit(41, 69, first, "", ""), 40, ""},        // row 69 emptied again
        {Edit(40, 3, first, "10.30", "inserted"), 41, ""},
        {Edit(6, 0, first, "", "first line"), 6, ""},
        {Edit(6, 0, first, "1", "new first line"), 6, "first line"},
    };
    for (const Step& step : steps) {
        user1.sendPackage(step.edit);
        std::optional<Bytes> forward = Await(user2, Code(WordAt(step.edit, 0)));
        ASSERT_TRUE(forward) << "operation " << WordAt(step.edit, 0);
        EXPECT_EQ(*forward, step.edit);
        std::optional<Bytes> undo = Await(user1, Code(3000));
        ASSERT_TRUE(undo);
        EXPECT_EQ(WordAt(*undo, request::kAux), step.undoOperation);
        EXPECT_EQ(Text(*undo), step.undoText);
    }
    const DayRecord day = StoredDays().at(0);
    EXPECT_EQ(day.scheduleText(3), "inserted");
    EXPECT_EQ(day.scheduleTime(5), "11.00");  // the label of row 4 moved one down
    EXPECT_EQ(day.scheduleText(69), "");
    EXPECT_EQ(day.listLine(1, 0), "new first line");
    EXPECT_EQ(day.listLine(1, 1), "first line");
}

TEST_F(RequestsEndToEnd, RowIdIsGivenToTheAskerAndAnnouncedToTheOthers) {
    StartServer(2, {first});
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);
    Bytes ask = BuildRequest(1000, 6, static_cast<double>(first));
    WriteInt32(&ask[request::kAux], 7);

    user1.sendPackage(ask);
    std::optional<Bytes> given = Await(user1, Code(2000, 4));
    ASSERT_TRUE(given);
    const std::int32_t id = WordAt(*given, request::kRowId);
    EXPECT_EQ(id, (1 << 16) | static_cast<std::int32_t>(first & 0xFFFF));
    std::optional<Bytes> notice = Await(user2, Code(52));
    ASSERT_TRUE(notice);
    EXPECT_EQ(WordAt(*notice, 4), 7);
    EXPECT_EQ(WordAt(*notice, request::kRowId), id);

    user2.sendPackage(ask);  // an existing ID is kept
    std::optional<Bytes> again = Await(user2, Code(2000, 4));
    ASSERT_TRUE(again);
    EXPECT_EQ(WordAt(*again, request::kRowId), id);
    EXPECT_EQ(StoredDays().at(0).rowId(7), id);
}

TEST_F(RequestsEndToEnd, DayCopyIsAnsweredToEveryConnectedUser) {
    StartServer(3, {first, first + 1});
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);
    MerivoClient& user3 = Connect(3);
    Bytes copy = BuildRequest(50, 0, static_cast<double>(first + 1));
    WriteDouble(&copy[request::kSourceDate], static_cast<double>(first));
    copy[request::kSectionFlags] = 1;

    user1.sendPackage(copy);
    for (MerivoClient* user : {&user1, &user2, &user3}) {
        std::optional<Bytes> days = Await(*user, Code(2000, 2));
        ASSERT_TRUE(days);
        ASSERT_EQ(days->size(), 390386u);
        DayRecord expected = TitledDay(first + 1);
        expected.setTitle("day " + std::to_string(first));
        EXPECT_EQ(Slot(*days, 0), RecordBytes(expected));
    }
}

}  // namespace
}  // namespace merivo
