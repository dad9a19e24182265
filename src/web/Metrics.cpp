#include "web/Metrics.h"

#include <array>
#include <charconv>
#include <set>

namespace merivo {

namespace {

// Statuses 100 to 599 are counted one by one; anything else (which the face never answers)
// is not counted.
constexpr int kLowestStatus = 100;
constexpr int kStatusRange = 500;
std::array<std::uint64_t, kStatusRange> StatusCounts{};

std::string Number(double value) {
    std::array<char, 400> text{};  // any double in fixed notation
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    return std::string(text.data(), result.ptr);
}

std::string Number(std::uint64_t value) {
    return std::to_string(value);
}

std::string Number(std::int64_t value) {
    return std::to_string(value);
}

// One metric family: its HELP and TYPE lines, then its samples.
class Family {
  public:
    Family(std::string& out, std::string_view name, std::string_view type, std::string_view help)
        : out_(out), name_(name) {
        out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    // A sample of the family; the suffix makes the histogram's _bucket, _sum and _count.
    void sample(const std::string& value, std::string_view label = {},
                std::string_view labelValue = {}, std::string_view suffix = {}) {
        out_.append(name_).append(suffix);
        if (!label.empty()) {
            out_.append("{").append(label).append("=\"");
            out_.append(EscapeLabelValue(labelValue)).append("\"}");
        }
        out_.append(" ").append(value).append("\n");
    }

  private:
    std::string& out_;
    std::string name_;
};

// Each group's label: its alias, and where an alias repeats, the alias and the group's number,
// so that no series appears twice.
std::vector<std::string> GroupLabels(const AdminSnapshot& snapshot) {
    std::set<std::string> used;
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < snapshot.groups.size(); ++i) {
        std::string label = snapshot.groups[i].alias;
        if (used.count(label) > 0) label += " #" + std::to_string(i + 1);
        while (used.count(label) > 0) label += "'";
        used.insert(label);
        labels.push_back(label);
    }
    return labels;
}

void RenderServer(std::string& out, const AdminSnapshot& s) {
    Family(out, "merivo_up", "gauge", "1 while the server answers.").sample("1");
    Family(out, "merivo_start_time_seconds", "gauge",
           "When the server started, in seconds since 1970-01-01 (UTC).")
        .sample(Number(s.startUnixSeconds));
    Family(out, "merivo_build_info", "gauge", "The server's version, as a label.")
        .sample("1", "version", s.version);
    Family(out, "merivo_connections", "gauge", "Connections the server has accepted, now.")
        .sample(Number(static_cast<std::int64_t>(s.connections)));
}

void RenderGroups(std::string& out, const AdminSnapshot& s) {
    const std::vector<std::string> labels = GroupLabels(s);
    auto perGroup = [&](std::string_view name, std::string_view type, std::string_view help,
                        auto value) {
        Family family(out, name, type, help);
        for (std::size_t i = 0; i < s.groups.size(); ++i) {
            family.sample(value(s.groups[i]), "group", labels[i]);
        }
    };
    perGroup("merivo_users_online", "gauge", "Users of the group online now.",
             [](const GroupFigures& g) { return Number(std::int64_t{g.usersOnline}); });
    perGroup("merivo_users_configured", "gauge", "Users of the group in the settings.",
             [](const GroupFigures& g) { return Number(std::int64_t{g.usersConfigured}); });
    perGroup("merivo_edits_stored_total", "counter",
             "Days of the group stored by edits, row IDs and day copies.",
             [](const GroupFigures& g) { return Number(g.editsStored); });
}

void RenderTraffic(std::string& out, const AdminSnapshot& s) {
    Family requests(out, "merivo_requests_total", "counter",
                    "Packages handled, by their first word (code).");
    for (const auto& [code, count] : s.packagesByCode) requests.sample(Number(count), "code", code);
    Family(out, "merivo_refusals_total", "counter", "Requests answered with code 7000 (not stored).")
        .sample(Number(s.refusals));
    Family(out, "merivo_mail_stored_total", "counter",
           "Relay packages stored in the mail folder, one per recipient.")
        .sample(Number(s.mailStored));
    Family(out, "merivo_direct_forwarded_total", "counter",
           "Relay packages forwarded at once, one per recipient.")
        .sample(Number(s.directForwarded));
    Family(out, "merivo_bytes_sent_total", "counter", "Bytes sent on the users' connections.")
        .sample(Number(s.bytesSent));
    Family(out, "merivo_send_processes", "gauge", "Send and mail processes running now.")
        .sample(Number(std::int64_t{s.sendProcesses}));
    Family(out, "merivo_queued_pieces", "gauge",
           "Pieces waiting in the online users' send queues now.")
        .sample(Number(s.queuedPieces));
    Family(out, "merivo_log_errors_total", "counter",
           "Log messages that report a failure or a warning.")
        .sample(Number(s.logFailures));
    Family http(out, "merivo_http_requests_total", "counter", "HTTP requests answered, by status.");
    for (const auto& [status, count] : s.httpStatuses) {
        http.sample(Number(count), "status", std::to_string(status));
    }
}

void RenderRequestTimes(std::string& out, const AdminSnapshot& s) {
    Family times(out, "merivo_request_seconds", "histogram",
                 "The main thread's time for one received package.");
    const DurationHistogram& h = s.packageTimes;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kRequestSecondsBounds.size(); ++i) {
        cumulative += h.buckets[i];
        times.sample(Number(cumulative), "le", Number(kRequestSecondsBounds[i]), "_bucket");
    }
    times.sample(Number(h.count), "le", "+Inf", "_bucket");
    times.sample(Number(static_cast<double>(h.totalNanoseconds) / 1e9), {}, {}, "_sum");
    times.sample(Number(h.count), {}, {}, "_count");
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\n':
                escaped += "\\n";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string RenderMetrics(const AdminSnapshot& snapshot) {
    std::string out;
    RenderServer(out, snapshot);
    RenderGroups(out, snapshot);
    RenderTraffic(out, snapshot);
    RenderRequestTimes(out, snapshot);
    return out;
}

void CountHttpStatus(int status) {
    if (status >= kLowestStatus && status < kLowestStatus + kStatusRange) {
        StatusCounts[static_cast<std::size_t>(status - kLowestStatus)] += 1;
    }
}

std::vector<std::pair<int, std::uint64_t>> HttpStatusCounts() {
    std::vector<std::pair<int, std::uint64_t>> counts;
    for (std::size_t i = 0; i < StatusCounts.size(); ++i) {
        if (StatusCounts[i] > 0) counts.emplace_back(kLowestStatus + static_cast<int>(i), StatusCounts[i]);
    }
    return counts;
}

void ResetHttpStatusCounts() {
    StatusCounts.fill(0);
}

}  // namespace merivo
