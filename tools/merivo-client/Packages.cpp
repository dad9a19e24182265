#include "Packages.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "platform/CodePage.h"
#include "platform/DateTime.h"

namespace merivo::cli {

std::int32_t Word(const Package& p, std::size_t offset) {
    return p.size() >= offset + 4 ? ReadInt32(p.data() + offset) : 0;
}

std::string Utf8(const std::string& cp1251) {
    return Cp1251ToUtf8(cp1251);
}

std::optional<RelayView> ReadRelay(const Package& p) {
    if (p.size() < kRelayHeaderSize) return std::nullopt;
    RelayView relay;
    relay.direct = p[relay::kDeliveryKind] == 10 || p[relay::kDeliveryKind] == 11;
    relay.originator = ReadShortString(p.data() + relay::kOriginator, 255);
    relay.recipients = ReadShortString(p.data() + relay::kRecipients, 255);
    if (relay.recipients == kLongAddressMarker) {
        const std::int32_t length = Word(p, kRelayHeaderSize);
        if (length < 0 || kRelayHeaderSize + 4 + static_cast<std::size_t>(length) > p.size()) {
            return std::nullopt;
        }
        const auto* list = reinterpret_cast<const char*>(p.data() + kRelayHeaderSize + 4);
        relay.recipients = std::string(list, strnlen(list, static_cast<std::size_t>(length)));
        relay.bodyOffset = kRelayHeaderSize + 4 + static_cast<std::size_t>(length);
    }
    return relay;
}

std::optional<CarriedFile> ReadCarriedFile(const Package& p, const RelayView& relay) {
    if (p.size() < relay.bodyOffset + kFileNameField) return std::nullopt;
    CarriedFile file;
    file.name = ReadShortString(p.data() + relay.bodyOffset, 255);
    file.content.assign(p.begin() + static_cast<std::ptrdiff_t>(relay.bodyOffset + kFileNameField),
                        p.end());
    return file;
}

namespace {

std::string DayText(double date) {
    return DayOf(date) == 0 ? "(no date)" : FormatIsoDate(date);
}

struct RequestView {
    const Package& p;

    bool complete() const { return p.size() >= kRequestPackageSize; }
    std::int32_t code() const { return Word(p, request::kCode); }
    std::int32_t subcode() const { return Word(p, request::kSubcode); }
    std::int32_t aux() const { return Word(p, request::kAux); }
    std::int32_t rowId() const { return Word(p, request::kRowId); }
    std::string date() const { return DayText(ReadDouble(p.data() + request::kDate)); }
    std::string time() const { return Utf8(ReadShortString(p.data() + request::kTime, 5)); }
    std::string text() const { return Utf8(ReadShortString(p.data() + request::kText, 255)); }
};

// The memo block holds text ended by a zero byte.
std::string MemoText(const std::uint8_t* memo, std::size_t size) {
    std::size_t length = 0;
    while (length < size && memo[length] != 0) ++length;
    return std::string(reinterpret_cast<const char*>(memo), length);
}

std::string DescribeUserList(const Package& p) {
    std::string online;
    std::size_t users = 0;
    for (std::size_t at = 4; at + kUserListEntrySize <= p.size(); at += kUserListEntrySize) {
        ++users;
        if (Word(p, at) == 0) continue;
        online += (online.empty() ? " " : ", ") + Utf8(ReadShortString(p.data() + at + 4, 50));
    }
    return "user list: " + std::to_string(users) +
           " users, online:" + (online.empty() ? " none" : online);
}

std::string DescribeUserNotice(const Package& p) {
    if (p.size() < 8 + kUserListEntrySize) return "user notice (short)";
    const std::uint8_t* entry = p.data() + 8;
    return "user " + Utf8(ReadShortString(entry + 4, 50)) + " (" + ReadShortString(entry + 55, 30) +
           ") " + (ReadInt32(entry) != 0 ? "is online" : "went offline");
}

std::string DescribeDays(const Package& p) {
    const std::int32_t count = Word(p, 20);
    const std::size_t slots =
        (p.size() - std::min(p.size(), kRangeReplyHeaderSize)) / kDayRecordSize;
    std::string text = (Word(p, 4) == 2 ? "days after a copy onto " : "days from ") +
                       DayText(ReadDouble(p.data() + 12)) + ", " + std::to_string(slots) +
                       " days (count " + std::to_string(count) + ")";
    for (std::size_t i = 0; i < slots; ++i) {
        const std::uint8_t* record = p.data() + kRangeReplyHeaderSize + i * kDayRecordSize;
        const std::string title = ReadShortString(record + day::kTitle, 255);
        if (!title.empty()) text += "; " + DayText(ReadDouble(record)) + " \"" + Utf8(title) + "\"";
    }
    return text;
}

std::string DescribeEdit(const RequestView& q) {
    std::string text = "edit " + std::to_string(q.code()) + " of " + q.date() + " row/line " +
                       std::to_string(q.subcode());
    if (!q.time().empty()) text += " time \"" + q.time() + "\"";
    if (!q.text().empty()) text += " text \"" + q.text() + "\"";
    return text;
}

std::string DescribeRequestAnswer(const Package& p) {
    const RequestView q{p};
    if (!q.complete())
        return "package code " + std::to_string(q.code()) + ", " + std::to_string(p.size()) +
               " bytes";
    switch (q.code()) {
        case kUndoCode:
            return "undo record: operation " + std::to_string(q.aux()) + " on " + q.date() +
                   " row/line " + std::to_string(q.subcode()) + " time \"" + q.time() +
                   "\" text \"" + q.text() + "\" ID " + std::to_string(q.rowId());
        case kNotStoredCode:
            return "not stored: request " + std::to_string(q.aux()) + " for " + q.date();
        case kRowIdNoticeCode:
            return "row " + std::to_string(q.subcode()) + " of " + q.date() + " has ID " +
                   std::to_string(q.rowId());
        case kAnswerCode:
            return "row " + std::to_string(q.aux()) + " of " + q.date() + " has ID " +
                   std::to_string(q.rowId());
        case kCopyCode:
            return "day copied onto " + q.date();
        default:
            return DescribeEdit(q);
    }
}

std::string DescribeRelay(const Package& p) {
    const std::optional<RelayView> relay = ReadRelay(p);
    if (!relay) return "relay package (short), " + std::to_string(p.size()) + " bytes";
    std::string text = std::string(relay->direct ? "direct message" : "mail") + " from \"" +
                       Utf8(relay->originator) + "\" to \"" + Utf8(relay->recipients) + "\", " +
                       std::to_string(p.size()) + " bytes";
    if (auto file = ReadCarriedFile(p, *relay)) {
        text += ", file \"" + Utf8(file->name) + "\" (" + std::to_string(file->content.size()) +
                " bytes)";
    }
    return text;
}

}  // namespace

std::string DescribePackage(const Package& p) {
    const std::int32_t code = Word(p, 0);
    if (p.size() < 4) return "package of " + std::to_string(p.size()) + " bytes";
    if (code == kUserListCode) return DescribeUserList(p);
    if (code == kMailWaitingCode) return "mail is waiting";
    if (code == kRelayCode) return DescribeRelay(p);
    if (code == kAnswerCode && Word(p, 4) == kUserListNoticeSubcode) return DescribeUserNotice(p);
    if (code == kAnswerCode && (Word(p, 4) == 1 || Word(p, 4) == 2)) return DescribeDays(p);
    return DescribeRequestAnswer(p);
}

void PrintDay(const std::uint8_t* record) {
    std::cout << DayText(ReadDouble(record)) << "\n";
    std::cout << "  title: " << Utf8(ReadShortString(record + day::kTitle, 255)) << "\n";
    std::cout << "  memo: " << Utf8(MemoText(record + day::kMemo, day::kMemoSize)) << "\n";
    for (int row = 0; row < kScheduleRows; ++row) {
        const std::string time = ReadShortString(record + day::kScheduleTimes + row * 6, 5);
        const std::string text = ReadShortString(record + day::kScheduleTexts + row * 256, 255);
        const std::int32_t id =
            ReadInt32(record + day::kRowBlocks + row * day::kRowBlockSize + day::kRowIdInBlock);
        if (text.empty() && id == 0) continue;
        std::cout << "  row " << row << "\t" << Utf8(time) << "\t" << Utf8(text);
        if (id != 0) std::cout << "\tID " << id;
        std::cout << "\n";
    }
    for (int list = 1; list <= 2; ++list) {
        const std::size_t base = list == 1 ? day::kList1 : day::kList2;
        for (int line = 0; line < kListLines; ++line) {
            const std::string text = ReadShortString(record + base + line * 256, 255);
            if (!text.empty())
                std::cout << "  list " << list << " line " << line << "\t" << Utf8(text) << "\n";
        }
    }
}

}  // namespace merivo::cli
