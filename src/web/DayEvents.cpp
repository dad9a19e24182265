#include "web/DayEvents.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <algorithm>
#include <cctype>
#include <optional>
#include <set>

#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/IniFile.h"

namespace merivo {

namespace {

constexpr int kMinutesPerDay = 24 * 60;
// Labels beyond a day's last hour (a group may run to 34.00) belong to the next morning.
constexpr int kMaxLabelHours = 99;

// UTF-8 without the control characters that neither iCalendar nor XML may carry; line ends
// become "\n".
std::string Readable(std::string_view cp1251) {
    std::string utf8 = Cp1251ToUtf8(cp1251);
    std::string result;
    result.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c == '\r') {
            result += '\n';
            if (i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
        } else if (c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 0x20) {
            if (c != 0x7F) result += c;
        }
    }
    return result;
}

std::string Trimmed(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    auto begin = std::find_if_not(text.begin(), text.end(), blank);
    auto end = std::find_if_not(text.rbegin(), std::make_reverse_iterator(begin), blank).base();
    return std::string(begin, end);
}

// The memo block holds text ended by a zero byte.
std::string MemoOf(const DayRecord& day) {
    const auto* memo = reinterpret_cast<const char*>(day.data() + day::kMemo);
    std::size_t length = 0;
    while (length < day::kMemoSize && memo[length] != 0) ++length;
    return Trimmed(Readable(std::string_view(memo, length)));
}

std::string FirstLine(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = Trimmed(text.substr(start, end - start));
        if (!line.empty()) return line;
        start = end + 1;
    }
    return "";
}

std::vector<std::string> ListLines(const DayRecord& day) {
    std::vector<std::string> lines;
    for (int list = 1; list <= 2; ++list) {
        for (int line = 0; line < kListLines; ++line) {
            std::string text = Trimmed(Readable(day.listLine(list, line)));
            if (!text.empty()) lines.push_back(std::move(text));
        }
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts) {
        if (part.empty()) continue;
        if (!joined.empty()) joined += '\n';
        joined += part;
    }
    return joined;
}

std::string DateText(std::int64_t day) {
    return QDate(1899, 12, 30).addDays(day).toString(QStringLiteral("yyyyMMdd")).toStdString();
}

std::optional<DayEvent> AllDayEvent(const DayRecord& day, std::int64_t dayNumber,
                                    const std::string& uidTail) {
    const std::string title = Trimmed(Readable(day.title()));
    const std::string memo = MemoOf(day);
    std::vector<std::string> lines = ListLines(day);
    if (title.empty() && memo.empty() && lines.empty()) return std::nullopt;
    DayEvent event;
    event.allDay = true;
    event.day = dayNumber;
    event.uid = DateText(dayNumber) + "-day" + uidTail;
    event.summary = !title.empty() ? title : !memo.empty() ? FirstLine(memo) : lines.front();
    lines.insert(lines.begin(), memo);
    event.description = Joined(lines);
    return event;
}

// Every row's start in minutes after midnight: its own label, else the nearest label above it
// plus half a label interval per row; rows above the first label start at it. Empty when the
// schedule has no label at all.
std::vector<int> RowStarts(const DayRecord& day, int labelMinutes) {
    std::vector<int> starts(kScheduleRows, -1);
    int label = -1;
    int labelRow = 0;
    for (int row = 0; row < kScheduleRows; ++row) {
        const int own = LabelMinutes(day.scheduleTime(row));
        if (own >= 0) {
            label = own;
            labelRow = row;
        }
        if (label >= 0) starts[static_cast<std::size_t>(row)] = label + (row - labelRow) * labelMinutes / 2;
    }
    const auto first = std::find_if(starts.begin(), starts.end(), [](int s) { return s >= 0; });
    if (first == starts.end()) return {};
    std::fill(starts.begin(), first, *first);
    return starts;
}

std::int64_t LocalToUtc(std::int64_t dayNumber, int minutes) {
    const QDate date = QDate(1899, 12, 30).addDays(dayNumber + minutes / kMinutesPerDay);
    const QTime time((minutes % kMinutesPerDay) / 60, minutes % 60);
    return QDateTime(date, time, Qt::LocalTime).toSecsSinceEpoch();
}

// A row's UID follows its ID, so that it stays when rows move; rows without an ID (or with an
// ID another row of the day has already) are known by their number.
std::string RowUid(const DayRecord& day, int row, std::set<std::int32_t>& usedIds,
                   std::int64_t dayNumber, const std::string& uidTail) {
    const std::int32_t id = day.rowId(row);
    if (id != 0 && usedIds.insert(id).second) {
        return DateText(dayNumber) + "-id" + QString::number(static_cast<std::uint32_t>(id), 16)
                                                  .toStdString() + uidTail;
    }
    return DateText(dayNumber) + "-row" + std::to_string(row) + uidTail;
}

}  // namespace

int LabelMinutes(const std::string& text) {
    std::size_t at = text.find_first_not_of(' ');
    if (at == std::string::npos) return -1;
    int hours = 0;
    int digits = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, ++digits)
        hours = hours * 10 + (text[at] - '0');
    if (digits == 0 || digits > 2 || hours > kMaxLabelHours) return -1;
    if (at == text.size()) return hours * 60;
    if ((text[at] != '.' && text[at] != ':') || text.size() != at + 3) return -1;
    const char tens = text[at + 1];
    const char ones = text[at + 2];
    if (!std::isdigit(static_cast<unsigned char>(tens)) ||
        !std::isdigit(static_cast<unsigned char>(ones)))
        return -1;
    const int minutes = (tens - '0') * 10 + (ones - '0');
    return minutes < 60 ? hours * 60 + minutes : -1;
}

DayEventRules RulesOf(const TMyDBUser& db) {
    const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(db.alias),
                                                       QCryptographicHash::Sha1);
    const int step = std::clamp(ParseWholeNumber(db.step).value_or(0), 0, 2);
    return {"-" + digest.toHex().left(12).toStdString(), (step + 1) * 60, &db.EmptyDay};
}

std::vector<DayEvent> DayEvents(const DayRecord& day, const DayEventRules& rules) {
    std::vector<DayEvent> events;
    const std::int64_t dayNumber = DayOf(day.date());
    if (dayNumber <= 0) return events;
    if (auto allDay = AllDayEvent(day, dayNumber, rules.groupTag)) events.push_back(*allDay);
    std::vector<int> starts = RowStarts(day, rules.labelMinutes);
    if (starts.empty() && rules.emptyDay) starts = RowStarts(*rules.emptyDay, rules.labelMinutes);
    if (starts.empty()) starts.assign(kScheduleRows, 0);
    std::set<std::int32_t> usedIds;
    for (int row = 0; row < kScheduleRows; ++row) {
        const std::string text = Trimmed(Readable(day.scheduleText(row)));
        if (text.empty()) continue;
        DayEvent event;
        event.uid = RowUid(day, row, usedIds, dayNumber, rules.groupTag);
        event.summary = text;
        event.day = dayNumber;
        const int start = starts[static_cast<std::size_t>(row)];
        event.startUtc = LocalToUtc(dayNumber, start);
        event.endUtc = LocalToUtc(dayNumber, start + rules.labelMinutes / 2);
        events.push_back(std::move(event));
    }
    return events;
}

}  // namespace merivo
