// merivo-client: one user of a Merivo Server on the command line.
//
//   merivo-client [OPTIONS] COMMAND ARGUMENTS
//
// It connects from its own address (--as, a loopback address such as 127.0.0.2 on one machine),
// listens there at the server's port + 10 for the server's connection back, waits until the
// server has sent it the user list, runs one command and disconnects. Dates are YYYY-MM-DD; texts
// are read and printed in UTF-8 (the server keeps them in Windows-1251). Every error is one line
// on stderr: status 2 for bad arguments, 1 for everything else.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/MerivoClient.h"
#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"

namespace merivo {
namespace {

const char kUsage[] =
    "usage: merivo-client [--server ADDRESS] [--port PORT] [--as ADDRESS] [--name NAME]\n"
    "                     [--timeout MS] COMMAND ARGUMENTS\n"
    "  read DATE COUNT               print COUNT days (0 to 7) from DATE\n"
    "  title DATE TEXT               set the day's title\n"
    "  memo DATE TEXT                set the day's memo\n"
    "  row DATE ROW TIME TEXT        set schedule row ROW (0-69)\n"
    "  line DATE LIST LINE TEXT [insert]\n"
    "                                set line LINE (0-59) of list LIST (1 or 2), or insert it\n"
    "  rowid DATE ROW                ask for the ID of schedule row ROW\n"
    "  copy SOURCE-DATE DATE [SECTIONS]\n"
    "                                copy a day by sections, e.g. 135 (default 12345: all)\n"
    "  mail NAMES FILE               store FILE as mail for NAMES (separated by \",\")\n"
    "  direct NAMES FILE             send FILE at once to the connected NAMES\n"
    "  fetch FOLDER                  fetch this user's mail, saving the files in FOLDER\n"
    "  watch [SECONDS]               print every package received (until interrupted)\n"
    "defaults: --server 127.0.0.1 --port 6340 --as 127.0.0.2 --timeout 5000; --name is the\n"
    "originator written into mail and direct messages";

// A failure the user caused: printed with status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Any other failure: printed with status 1.
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr std::int32_t kAnswerCode = 2000;
constexpr std::int32_t kUndoCode = 3000;
constexpr std::int32_t kNotStoredCode = 7000;
constexpr std::int32_t kRowIdNoticeCode = 52;
constexpr std::int32_t kCopyCode = 50;
constexpr std::int32_t kServiceCode = 1000;
constexpr int kMaxDays = 7;
constexpr std::size_t kFileNameField = 256;  // body of a file message: name, then content
constexpr int kMailIdleMs = 1500;            // fetch ends when no mail came for this long

// ---- Arguments ------------------------------------------------------------------------------

long ParseNumber(const std::string& text, long lowest, long highest, const std::string& what) {
    std::size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < lowest || value > highest) {
        throw UsageError(what + " must be a whole number from " + std::to_string(lowest) + " to " +
                         std::to_string(highest) + ": " + text);
    }
    return value;
}

double ParseDate(const std::string& text) {
    const double date = ParseIsoDate(text);
    if (date == 0) throw UsageError("not a date of the calendar: " + text + " (YYYY-MM-DD)");
    return date;
}

// The server's texts are Windows-1251; a text too long for its field is refused, not cut.
std::string ServerText(const std::string& utf8, std::size_t capacity, const std::string& what) {
    std::string text = Utf8ToCp1251(utf8);
    if (text.size() > capacity) {
        throw UsageError(what + " is longer than " + std::to_string(capacity) + " characters");
    }
    return text;
}

struct Options {
    ClientOptions client;
    std::string name;
    int timeoutMs = 5000;
    std::vector<std::string> command;
};

Options ParseOptions(const std::vector<std::string>& args) {
    Options options;
    options.client.ownAddress = "127.0.0.2";
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; i += 2) {
        if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value");
        const std::string& value = args[i + 1];
        if (args[i] == "--server") {
            options.client.serverAddress = value;
        } else if (args[i] == "--port") {
            options.client.serverPort = static_cast<int>(ParseNumber(value, 1, 65525, "PORT"));
        } else if (args[i] == "--as") {
            options.client.ownAddress = value;
        } else if (args[i] == "--name") {
            options.name = Utf8ToCp1251(value);
        } else if (args[i] == "--timeout") {
            options.timeoutMs = static_cast<int>(ParseNumber(value, 1, 3600000, "MS"));
        } else {
            throw UsageError("unknown option " + args[i]);
        }
    }
    options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (options.command.empty()) throw UsageError(kUsage);
    return options;
}

// ---- Reading packages -----------------------------------------------------------------------

std::int32_t Word(const std::vector<std::uint8_t>& p, std::size_t offset) {
    return p.size() >= offset + 4 ? ReadInt32(p.data() + offset) : 0;
}

std::string Utf8(const std::string& cp1251) {
    return Cp1251ToUtf8(cp1251);
}

std::string DayText(double date) {
    return DayOf(date) == 0 ? "(no date)" : FormatIsoDate(date);
}

struct RequestView {
    const std::vector<std::uint8_t>& p;

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

struct RelayView {
    std::string recipients;
    std::string originator;
    std::size_t bodyOffset = kRelayHeaderSize;
    bool direct = false;
};

// The header of a relay package; nullopt when the package is too short for it.
std::optional<RelayView> ReadRelay(const std::vector<std::uint8_t>& p) {
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

// The file carried by a relay package sent by this tool: its name and its content.
struct CarriedFile {
    std::string name;
    std::vector<std::uint8_t> content;
};

std::optional<CarriedFile> ReadCarriedFile(const std::vector<std::uint8_t>& p,
                                           const RelayView& relay) {
    if (p.size() < relay.bodyOffset + kFileNameField) return std::nullopt;
    CarriedFile file;
    file.name = ReadShortString(p.data() + relay.bodyOffset, 255);
    file.content.assign(p.begin() + static_cast<std::ptrdiff_t>(relay.bodyOffset + kFileNameField),
                        p.end());
    return file;
}

std::string DescribeUserList(const std::vector<std::uint8_t>& p) {
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

std::string DescribeUserNotice(const std::vector<std::uint8_t>& p) {
    if (p.size() < 8 + kUserListEntrySize) return "user notice (short)";
    const std::uint8_t* entry = p.data() + 8;
    return "user " + Utf8(ReadShortString(entry + 4, 50)) + " (" + ReadShortString(entry + 55, 30) +
           ") " + (ReadInt32(entry) != 0 ? "is online" : "went offline");
}

std::string DescribeDays(const std::vector<std::uint8_t>& p) {
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

std::string DescribeRequestAnswer(const std::vector<std::uint8_t>& p) {
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

std::string DescribeRelay(const std::vector<std::uint8_t>& p) {
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

// One line for any package the server sends.
std::string DescribePackage(const std::vector<std::uint8_t>& p) {
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

// ---- The session ---------------------------------------------------------------------------

// The code of an answer and, for the answers with code 2000, its subcode.
struct AnswerKind {
    std::int32_t code;
    std::int32_t subcode = -1;  // any

    bool matches(const std::vector<std::uint8_t>& p) const {
        return Word(p, 0) == code && (subcode == -1 || Word(p, 4) == subcode);
    }
};
constexpr AnswerKind kDaysRead{kAnswerCode, 1};
constexpr AnswerKind kDaysCopied{kAnswerCode, 2};
constexpr AnswerKind kRowIdGiven{kAnswerCode, 4};
constexpr AnswerKind kUndone{kUndoCode};
constexpr AnswerKind kNotStored{kNotStoredCode};

using Package = std::vector<std::uint8_t>;

// A connected user: waits for the server's user list before any request, so that the server
// counts it as online and its answers are not dropped.
class Session {
  public:
    explicit Session(const Options& options)
        : client_(options.client), timeoutMs_(options.timeoutMs) {
        client_.connect(timeoutMs_);
        if (!waitFor([](const Package& p) { return Word(p, 0) == kUserListCode; })) {
            throw CommandError("the server did not send the user list within " +
                               std::to_string(timeoutMs_) + " ms");
        }
    }

    void send(const Package& payload) { client_.sendPackage(payload); }

    // The first package that matches within the time-out; others are skipped.
    template <class Match>
    std::optional<Package> waitFor(Match match) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            std::optional<Package> p = client_.receivePackage(static_cast<int>(left.count()));
            if (!p) return std::nullopt;
            if (match(*p)) return p;
        }
    }

    // Sends a request and waits for the first package of one of the kinds it is answered with.
    Package answer(const Package& request, const std::vector<AnswerKind>& kinds) {
        send(request);
        std::optional<Package> p = waitFor([&](const Package& q) {
            for (const AnswerKind& kind : kinds) {
                if (kind.matches(q)) return true;
            }
            return false;
        });
        if (!p) throw CommandError("no answer within " + std::to_string(timeoutMs_) + " ms");
        return *p;
    }

    MerivoClient& client() { return client_; }

  private:
    MerivoClient client_;
    int timeoutMs_;
};

// ---- Commands -------------------------------------------------------------------------------
// Each command checks and converts its arguments first and gives back the work to do once
// connected, so that a bad argument is reported without touching the server.

using Work = std::function<void(Session&)>;
using Args = std::vector<std::string>;

void Expect(const Args& args, std::size_t lowest, std::size_t highest) {
    if (args.size() - 1 < lowest || args.size() - 1 > highest) {
        throw UsageError(args[0] + ": wrong number of arguments\n" + kUsage);
    }
}

// A request that the server answers with a package of that kind or 7000; the answer is printed,
// and a 7000 answer fails the command.
Work Ask(Package request, AnswerKind kind, std::string refusal) {
    return [=](Session& session) {
        const Package reply = session.answer(request, {kind, kNotStored});
        std::cout << DescribePackage(reply) << "\n";
        if (Word(reply, 0) == kNotStoredCode) throw CommandError(refusal);
    };
}

Work Edit(const Package& edit) {
    return Ask(edit, kUndone, "the server did not store the edit");
}

Work ReadCommand(const Args& args) {
    const double date = ParseDate(args[1]);
    const auto count = static_cast<std::uint16_t>(ParseNumber(args[2], 0, kMaxDays, "COUNT"));
    return [=](Session& session) {
        const Package reply =
            session.answer(BuildRequest(kServiceCode, 3, date, count), {kDaysRead});
        const std::size_t days = (reply.size() - kRangeReplyHeaderSize) / kDayRecordSize;
        for (std::size_t i = 0; i < days; ++i) {
            PrintDay(reply.data() + kRangeReplyHeaderSize + i * kDayRecordSize);
        }
    };
}

Work TitleCommand(const Args& args) {
    Package edit = BuildRequest(2, 0, ParseDate(args[1]));
    WriteShortString(&edit[request::kText], 255, ServerText(args[2], 255, "TEXT"));
    return Edit(edit);
}

Work MemoCommand(const Args& args) {
    Package edit = BuildRequest(3, 0, ParseDate(args[1]));
    const std::string memo = ServerText(args[2], day::kMemoEditSize - 1, "TEXT");
    std::memcpy(&edit[request::kMemo], memo.data(), memo.size());  // a zero byte follows
    return Edit(edit);
}

Work RowCommand(const Args& args) {
    const auto row = static_cast<std::int32_t>(ParseNumber(args[2], 0, kScheduleRows - 1, "ROW"));
    Package edit = BuildRequest(4, row, ParseDate(args[1]));
    WriteShortString(&edit[request::kTime], 5, ServerText(args[3], 5, "TIME"));
    WriteShortString(&edit[request::kText], 255, ServerText(args[4], 255, "TEXT"));
    return Edit(edit);
}

Work LineCommand(const Args& args) {
    const long list = ParseNumber(args[2], 1, 2, "LIST");
    const auto line = static_cast<std::int32_t>(ParseNumber(args[3], 0, kListLines - 1, "LINE"));
    const bool insert = args.size() == 6;
    if (insert && args[5] != "insert") throw UsageError("expected \"insert\": " + args[5]);
    Package edit = BuildRequest(list == 1 ? 6 : 7, line, ParseDate(args[1]));
    WriteShortString(&edit[request::kTime], 5, insert ? "1" : "");
    WriteShortString(&edit[request::kText], 255, ServerText(args[4], 255, "TEXT"));
    return Edit(edit);
}

Work RowIdCommand(const Args& args) {
    const auto row = static_cast<std::int32_t>(ParseNumber(args[2], 0, kScheduleRows - 1, "ROW"));
    Package ask = BuildRequest(kServiceCode, 6, ParseDate(args[1]));
    WriteInt32(&ask[request::kAux], row);
    return Ask(ask, kRowIdGiven, "the server gave no ID");
}

Work CopyCommand(const Args& args) {
    const double source = ParseDate(args[1]);
    Package copy = BuildRequest(kCopyCode, 0, ParseDate(args[2]));
    WriteDouble(&copy[request::kSourceDate], source);
    const std::string sections = args.size() == 4 ? args[3] : "12345";
    for (char s : sections) {
        if (s < '1' || s > '5') throw UsageError("SECTIONS are digits 1 to 5: " + sections);
        copy[request::kSectionFlags + static_cast<std::size_t>(s - '1')] = 1;
    }
    return Ask(copy, kDaysCopied, "the server did not copy the day");
}

Package FileBody(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    Package body(kFileNameField, 0);
    const std::string name = Utf8ToCp1251(std::filesystem::path(path).filename().string());
    WriteShortString(body.data(), 255, name);
    body.insert(body.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return body;
}

Work RelayCommand(const Args& args, const std::string& originator, bool direct) {
    const std::string names = Utf8ToCp1251(args[1]);
    if (names.empty()) throw UsageError("NAMES is empty");
    const Package relay = BuildRelayPackage(names, originator, FileBody(args[2]), direct);
    const std::string done = (direct ? "sent to " : "mailed to ") + args[1];
    return [=](Session& session) {
        session.send(relay);
        // The server does not answer relay packages. It handles a user's packages in order, so
        // the answer to an empty read that follows shows that the relay package was handled (a
        // group without a data file does not answer reads: then it stays unconfirmed).
        session.send(BuildRequest(kServiceCode, 3, 0, 0));
        const bool confirmed =
            session.waitFor([](const Package& p) { return kDaysRead.matches(p); }).has_value();
        std::cout << done << (confirmed ? "" : " (not confirmed)") << "\n";
    };
}

// A name of our own in FOLDER: the carried file's name without any folder, made unique.
std::filesystem::path SavePath(const std::filesystem::path& folder, const std::string& name,
                               int number) {
    std::string base = std::filesystem::path(Utf8(name)).filename().string();
    if (base.empty() || base == "." || base == "..") base = "mail-" + std::to_string(number);
    std::filesystem::path path = folder / base;
    for (int k = 1; std::filesystem::exists(path); ++k) {
        path = folder / (base + "." + std::to_string(k));
    }
    return path;
}

void SaveMail(const std::filesystem::path& folder, const Package& p, int number) {
    const std::optional<RelayView> relay = ReadRelay(p);
    const std::optional<CarriedFile> file = relay ? ReadCarriedFile(p, *relay) : std::nullopt;
    const std::filesystem::path path = SavePath(folder, file ? file->name : "", number);
    const Package& content = file ? file->content : p;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) throw CommandError("cannot write " + path.string());
    std::cout << "saved " << path.string() << " (" << content.size() << " bytes) from \""
              << (relay ? Utf8(relay->originator) : "") << "\"" << std::endl;
}

Work FetchCommand(const Args& args) {
    const std::filesystem::path folder(args[1]);
    if (!std::filesystem::is_directory(folder)) throw UsageError("not a folder: " + args[1]);
    return [=](Session& session) {
        session.send(BuildRequest(kServiceCode, 5, 0));
        int fetched = 0;
        while (std::optional<Package> p = session.client().receivePackage(kMailIdleMs)) {
            if (Word(*p, 0) == kRelayCode) SaveMail(folder, *p, ++fetched);
        }
        std::cout << fetched << (fetched == 1 ? " mail" : " mails") << " fetched\n";
    };
}

Work WatchCommand(const Args& args) {
    const long seconds = args.size() == 2 ? ParseNumber(args[1], 1, 31536000, "SECONDS") : 0;
    return [=](Session& session) {
        using SteadyClock = std::chrono::steady_clock;
        const auto end = SteadyClock::now() + std::chrono::seconds(seconds);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
            if (seconds != 0 && left.count() <= 0) return;
            const int waitMs = seconds == 0 ? 1000 : static_cast<int>(left.count());
            if (std::optional<Package> p = session.client().receivePackage(waitMs)) {
                std::cout << DescribePackage(*p) << std::endl;
            }
        }
    };
}

Work MailCommand(const Args& args, const Options& options) {
    return RelayCommand(args, options.name, false);
}
Work DirectCommand(const Args& args, const Options& options) {
    return RelayCommand(args, options.name, true);
}

// Commands that need only their arguments.
template <Work (*Prepare)(const Args&)>
Work WithArgs(const Args& args, const Options&) {
    return Prepare(args);
}

struct CommandSpec {
    const char* name;
    std::size_t lowest, highest;  // number of arguments
    Work (*prepare)(const Args&, const Options&);
};

constexpr CommandSpec kCommands[] = {
    {"read", 2, 2, WithArgs<ReadCommand>},   {"title", 2, 2, WithArgs<TitleCommand>},
    {"memo", 2, 2, WithArgs<MemoCommand>},   {"row", 4, 4, WithArgs<RowCommand>},
    {"line", 4, 5, WithArgs<LineCommand>},   {"rowid", 2, 2, WithArgs<RowIdCommand>},
    {"copy", 2, 3, WithArgs<CopyCommand>},   {"mail", 2, 2, MailCommand},
    {"direct", 2, 2, DirectCommand},         {"fetch", 1, 1, WithArgs<FetchCommand>},
    {"watch", 0, 1, WithArgs<WatchCommand>},
};

Work PrepareCommand(const Options& options) {
    const Args& args = options.command;
    for (const CommandSpec& command : kCommands) {
        if (args[0] != command.name) continue;
        Expect(args, command.lowest, command.highest);
        return command.prepare(args, options);
    }
    throw UsageError("unknown command " + args[0] + "\n" + kUsage);
}

std::string ExplainClientError(const ClientError& error, const Options& options) {
    const std::string server =
        options.client.serverAddress + ":" + std::to_string(options.client.serverPort);
    switch (error.kind()) {
        case ClientError::Kind::Refused:
            return "the server at " + server + " refused the connection (is it running?)";
        case ClientError::Kind::Timeout:
            return "timed out: " + std::string(error.what()) + " (is " + options.client.ownAddress +
                   " a user of the server?)";
        case ClientError::Kind::Closed:
            return "the server closed the connection: " + std::string(error.what());
        default:
            return error.what();
    }
}

int Run(const std::vector<std::string>& args) {
    Options options;
    try {
        options = ParseOptions(args);
        const Work work = PrepareCommand(options);
        Session session(options);
        work(session);
        return 0;
    } catch (const UsageError& error) {
        std::cerr << "merivo-client: " << error.what() << "\n";
        return 2;
    } catch (const ClientError& error) {
        std::cerr << "merivo-client: " << ExplainClientError(error, options) << "\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "merivo-client: " << error.what() << "\n";
        return 1;
    }
}

}  // namespace
}  // namespace merivo

int main(int argc, char** argv) {
    return merivo::Run(std::vector<std::string>(argv + 1, argv + argc));
}
