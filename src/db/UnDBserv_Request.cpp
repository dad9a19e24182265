// The request processor: entry checks and the handling of every request code.
#include "db/UnDBserv_Request.h"

#include <algorithm>
#include <string>

#include "db/UnDBType_Buffers.h"
#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/MessageCatalog.h"
#include "db/ServerCounters.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "platform/Log.h"

namespace merivo {
namespace {

constexpr std::size_t kShift = 2;  // a package seen two bytes late
constexpr std::uint32_t kSlowEditMs = 1000;

// Send modes of SendPackage.
constexpr int kToDatabase = 1;
constexpr int kToSender = 2;
constexpr int kToOthers = 3;

std::int32_t Field(const RequestBytes& q, std::size_t offset) {
    return ReadInt32(q.data() + offset);
}

// One request on its way through the processor.
struct Request {
    TMyNameUser& sender;
    std::string host;  // lower case
    TMyDBUser& db;
    RequestBytes bytes{};

    std::int32_t code() const { return Field(bytes, request::kCode); }
    std::int32_t subcode() const { return Field(bytes, request::kSubcode); }
    std::int32_t aux() const { return Field(bytes, request::kAux); }
    double date() const { return ReadDouble(bytes.data() + request::kDate); }

    void sendTo(int mode, const std::uint8_t* payload, std::size_t size) {
        SendPackage(sender, payload, size, host, mode);
    }
    void sendTo(int mode) { sendTo(mode, bytes.data(), bytes.size()); }

    // The 7000 answer: the request back to its sender, its code in aux.
    void answerNotStored() {
        WriteInt32(bytes.data() + request::kAux, code());
        WriteInt32(bytes.data() + request::kCode, kNotStoredCode);
        sendTo(kToSender);
        Counters.refusals += 1;
    }
};

bool CodeInRange(std::int32_t code, std::int32_t lowest) {
    return code >= lowest && code <= kMaxRequestCode;
}

// Fills the request from the received bytes; fields beyond what was received stay zero. A code
// out of range means the package arrived two bytes late: it is read from byte 2 on. False when
// the package cannot be used.
bool TakePackage(Request& r, const std::uint8_t* package, std::size_t size) {
    std::copy_n(package, std::min(size, kRequestPackageSize), r.bytes.begin());
    if (CodeInRange(r.code(), 1)) return true;
    r.bytes.fill(0);
    if (size >= kShift) {
        std::copy_n(package + kShift, std::min(size - kShift, kRequestPackageSize - kShift),
                    r.bytes.begin());
    }
    if (size < kShift || !CodeInRange(r.code(), 0)) {
        WriteLog(Msg(msgIncorrectValues));
        r.sender.sendStopped = true;
        return false;
    }
    WriteLog(Msg(msgIncorrectValues) + " " + Msg(msgValuesCorrected));
    return true;
}

void LogRequestLine(const Request& r) {
    if (!Config.debugMode) return;
    const RequestBytes& q = r.bytes;
    DebugLog(std::to_string(r.code()) + "," + std::to_string(r.subcode()) + "," +
             std::to_string(r.aux()) + "," + std::to_string(DayOf(r.date())) + "," +
             std::to_string(DayOf(ReadDouble(q.data() + request::kSourceDate))) + "," +
             std::to_string(ReadUInt16(q.data() + request::kDayCount)) + "," +
             ReadShortString(q.data() + request::kTime, day::kTimeCapacity) + ":" +
             ReadShortString(q.data() + request::kText, day::kTextCapacity));
}

void ResetChangeRecord(Request& r) {
    std::uint8_t* change = r.db.ChangeRecord.data();
    WriteInt32(change + request::kCode, r.code());
    WriteInt32(change + request::kSubcode, r.subcode());
    WriteDouble(change + request::kDate, 0);
    WriteInt32(change + request::kRowId, 0);
    change[request::kIdGiven] = 0;
}

void WriteRangeHeader(TMyDBUser& db, std::int32_t subcode, double date, int days) {
    std::uint8_t* reply = db.RangeReply.data();
    WriteInt32(reply, kAnswerCode);
    WriteInt32(reply + 4, subcode);
    WriteInt32(reply + 8, 0);
    WriteDouble(reply + 12, date);
    WriteInt32(reply + 20, days);
}

std::size_t RangeReplySize(int days) {
    return kRangeReplyHeaderSize + static_cast<std::size_t>(days) * kDayRecordSize;
}

// Sends the first `size` bytes of the reply area without copying them: the area's buffer leaves
// with the package, and a kept buffer takes its place with the same header (a day copy answers
// with the day count of the last range read).
void SendRangeReply(Request& r, int mode, std::size_t size) {
    SharedBuffer reply = KeptBuffer(kRangeReplySize);
    reply->swap(r.db.RangeReply);
    std::copy_n(reply->begin(), kRangeReplyHeaderSize, r.db.RangeReply.begin());
    SendSharedPackage(r.sender, std::move(reply), size, r.host, mode);
}

// ---- 1000/3: a run of days -------------------------------------------------------------------

void ReadRange(Request& r) {
    const int requested = ReadUInt16(r.bytes.data() + request::kDayCount);
    DebugLog("Reguest On " + std::to_string(requested) + " Days");
    const int days = std::min(requested, kMaxRangeDays);
    try {
        // Days that could not be read are never answered: the reply area holds anything.
        if (!ReadDays(r.db, days, r.date())) {
            r.answerNotStored();
            return;
        }
    } catch (const IoError& e) {
        WriteLog("Database for " + r.db.alias + ". " + e.what());
        return;
    }
    DebugLog("Reguest  DBRead OK");
    WriteRangeHeader(r.db, kRangeAnswerSubcode, r.date(), days);
    DebugLog("Reguest  Structure Create OK");
    const std::size_t size = RangeReplySize(days);
    DebugLog("Reguest  CountSend OK ->" + std::to_string(size));
    DebugLog("Reguest  End Former OK");
    SendRangeReply(r, kToSender, size);
    DebugLog("Reguest End Network sender OK");
}

// ---- 1000/6: an ID for a schedule row --------------------------------------------------------

void GiveRowId(Request& r) {
    DebugLog("Reguest ID Event");
    const std::int32_t row = r.aux();
    if (!EditTargetInRange(kMakeRowId, row)) {
        WriteLog(Msg(msgIncorrectValues));
        r.answerNotStored();
        return;
    }
    // Day 0 is no day: the day buffer still holds another request's day, whose ID must not go out.
    if (DayOf(r.date()) == 0) {
        WriteLog(Msg(msgIncorrectDate));
        r.answerNotStored();
        return;
    }
    if (EditDay(r.db, kMakeRowId, row, r.bytes) != StoreResult::Stored) {
        r.answerNotStored();
        return;
    }
    r.db.editsStored += 1;
    WriteInt32(r.bytes.data() + request::kRowId, r.db.DayBuffer.rowId(row));
    WriteInt32(r.bytes.data() + request::kCode, kAnswerCode);
    WriteInt32(r.bytes.data() + request::kSubcode, kRowIdAnswerSubcode);
    r.sendTo(kToSender);
    WriteInt32(r.bytes.data() + request::kCode, kRowIdNoticeCode);
    WriteInt32(r.bytes.data() + request::kSubcode, row);
    r.sendTo(kToOthers);
}

void HandleService(Request& r) {
    switch (r.subcode()) {
        case kReadRangeSubcode:
            return ReadRange(r);
        case kMailSubcode:
            DebugLog("Reguest Get Mail");
            return StartMailDelivery(r.sender);
        case kRowIdSubcode:
            return GiveRowId(r);
        default:
            return;
    }
}

// ---- 50: a day copied onto another, by sections ----------------------------------------------

// Steps of the copy that run while the database is busy.
void CopyDayWhileBusy(Request& r) {
    TMyDBUser& db = r.db;
    DebugLog("Copy of Shablon(Templates)");
    db.CopyRequest = r.bytes;
    const std::int64_t target = DayOf(r.date());
    if (target == 0) {
        WriteLog(Msg(msgIncorrectDate));
        return;
    }
    const double sourceDate = ReadDouble(r.bytes.data() + request::kSourceDate);
    if (ReadSourceDay(db, DayOf(sourceDate))) {
        db.DayBuffer.setDate(static_cast<double>(target));
        const DayRecord source = db.DayBuffer;
        if (WriteDayBySections(db, target, source) != StoreResult::Stored) {
            r.answerNotStored();
            return;
        }
        db.editsStored += 1;
    }
    if (!ReadDays(db, kMaxRangeDays, r.date())) return;  // days not read are shown to no one
    WriteRangeHeader(db, kCopyAnswerSubcode, r.date(), kMaxRangeDays);
    SendRangeReply(r, kToDatabase, RangeReplySize(kMaxRangeDays));
}

void CopyDay(Request& r) {
    r.db.busy = true;
    try {
        CopyDayWhileBusy(r);
    } catch (const std::exception&) {
        WriteLog(Msg(msgRequestError) + r.host + " (Copy Data)");
    }
    r.db.busy = false;
}

// ---- Edits -----------------------------------------------------------------------------------

// Stores the edit and forwards it to the database's other users. False when it was not stored;
// the sender then has its 7000 answer.
bool StoreAndForwardEdit(Request& r) {
    const std::uint32_t start = CurrentClock().tickCount();
    const StoreResult result = EditDay(r.db, r.code(), r.subcode(), r.bytes);
    const std::uint32_t elapsed = CurrentClock().tickCount() - start;
    if (result != StoreResult::Stored) {
        DebugLog("Send Message about Write Error");
        r.answerNotStored();
        return false;
    }
    r.db.editsStored += 1;
    r.sendTo(kToOthers);
    if (elapsed > kSlowEditMs) {
        WriteLog("Warning! Database processing - time:" + std::to_string(elapsed));
    }
    return true;
}

// Turns the change record of an insert, delete or append into the operation that undoes it.
void MakeUndoOperation(Request& r) {
    std::uint8_t* change = r.db.ChangeRecord.data();
    auto clearTimeAndText = [change] {
        WriteShortString(change + request::kTime, day::kTimeCapacity, "");
        WriteShortString(change + request::kText, day::kTextCapacity, "");
    };
    switch (r.code()) {
        case kInsertRow:
            WriteInt32(change + request::kCode, kDeleteRow);
            clearTimeAndText();
            DebugLog("Insert");
            break;
        case kDeleteRow:
            WriteInt32(change + request::kCode, kInsertRow);
            WriteInt32(change + request::kRowId, Field(r.bytes, request::kRowId));
            change[request::kIdGiven] = r.bytes[request::kIdGiven];
            DebugLog("Delete");
            break;
        case kAppendRow:
            WriteInt32(change + request::kCode, kDeleteRow);
            clearTimeAndText();
            DebugLog("Append");
            break;
        default:
            break;
    }
}

void SendChangeRecord(Request& r) {
    std::uint8_t* change = r.db.ChangeRecord.data();
    WriteInt32(change + request::kAux, ReadInt32(change + request::kCode));
    WriteInt32(change + request::kCode, kUndoCode);
    WriteDouble(change + request::kDate, r.date());
    change[request::kTag] = r.bytes[request::kTag];
    r.sendTo(kToSender, change, kRequestPackageSize);
}

void Edit(Request& r) {
    if (!EditTargetInRange(r.code(), r.subcode())) {
        WriteLog(Msg(msgIncorrectValues));
        r.answerNotStored();
        return;
    }
    if (!r.db.dataFilePath.empty() && !StoreAndForwardEdit(r)) return;
    MakeUndoOperation(r);
    SendChangeRecord(r);
}

// Requests that read or write the data file.
bool UsesDataFile(const Request& r) {
    if (r.code() != kServiceCode) return true;
    return r.subcode() == kReadRangeSubcode || r.subcode() == kRowIdSubcode;
}

void Dispatch(Request& r) {
    // Another process or the structure dialog may be rewriting the file: nothing here may read
    // or change it.
    if (UsesDataFile(r) && DataFileUnavailable(r.db)) return r.answerNotStored();
    switch (r.code()) {
        case kServiceCode:
            return HandleService(r);
        case kCopyDayCode:
            return CopyDay(r);
        default:
            return Edit(r);
    }
}

}  // namespace

void ProcessRequest(TMyNameUser& sender, const std::string& host, const std::uint8_t* package,
                    std::size_t size) {
    const std::string lowerHost = LowerAscii(host);
    if (sender.databaseNumber < 0 ||
        static_cast<std::size_t>(sender.databaseNumber) >= DBTable.size()) {
        return;
    }
    Request r{sender, lowerHost, *DBTable[static_cast<std::size_t>(sender.databaseNumber)]};
    if (!TakePackage(r, package, size)) return;
    LogRequestLine(r);
    if (r.code() == kNetworkErrorCode) {
        WriteLog(Msg(msgNetworkSettingsError) + lowerHost);
        return;
    }
    ResetChangeRecord(r);
    try {
        Dispatch(r);
    } catch (const std::exception& e) {
        WriteLog(Msg(msgRequestError) + lowerHost);
        WriteLog(e.what());
    }
}

}  // namespace merivo
