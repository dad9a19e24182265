// Reading days and editing them: every edit is answered with its undo record, or refused.
#include <cstring>
#include <iostream>

#include "Commands.h"
#include "db/UnDBType_Packages.h"

namespace merivo::cli {

namespace {

constexpr int kMaxDays = 7;

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

std::int32_t RowNumber(const std::string& text) {
    return static_cast<std::int32_t>(ParseNumber(text, 0, kScheduleRows - 1, "ROW"));
}

}  // namespace

Work ReadCommand(const Args& args, const Options&) {
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

Work TitleCommand(const Args& args, const Options&) {
    Package edit = BuildRequest(2, 0, ParseDate(args[1]));
    WriteShortString(&edit[request::kText], 255, ServerText(args[2], 255, "TEXT"));
    return Edit(edit);
}

Work MemoCommand(const Args& args, const Options&) {
    Package edit = BuildRequest(3, 0, ParseDate(args[1]));
    const std::string memo = ServerText(args[2], day::kMemoEditSize - 1, "TEXT");
    std::memcpy(&edit[request::kMemo], memo.data(), memo.size());  // a zero byte follows
    return Edit(edit);
}

Work RowCommand(const Args& args, const Options&) {
    const std::int32_t row = RowNumber(args[2]);
    Package edit = BuildRequest(4, row, ParseDate(args[1]));
    WriteShortString(&edit[request::kTime], 5, ServerText(args[3], 5, "TIME"));
    WriteShortString(&edit[request::kText], 255, ServerText(args[4], 255, "TEXT"));
    return Edit(edit);
}

Work LineCommand(const Args& args, const Options&) {
    const long list = ParseNumber(args[2], 1, 2, "LIST");
    const auto line = static_cast<std::int32_t>(ParseNumber(args[3], 0, kListLines - 1, "LINE"));
    const bool insert = args.size() == 6;
    if (insert && args[5] != "insert") throw UsageError("expected \"insert\": " + args[5]);
    Package edit = BuildRequest(list == 1 ? 6 : 7, line, ParseDate(args[1]));
    WriteShortString(&edit[request::kTime], 5, insert ? "1" : "");
    WriteShortString(&edit[request::kText], 255, ServerText(args[4], 255, "TEXT"));
    return Edit(edit);
}

Work RowIdCommand(const Args& args, const Options&) {
    const std::int32_t row = RowNumber(args[2]);
    Package ask = BuildRequest(kServiceCode, 6, ParseDate(args[1]));
    WriteInt32(&ask[request::kAux], row);
    return Ask(ask, kRowIdGiven, "the server gave no ID");
}

Work CopyCommand(const Args& args, const Options&) {
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

}  // namespace merivo::cli
