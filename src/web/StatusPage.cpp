#include "web/StatusPage.h"

#include <cmath>
#include <cstdio>

#include "db/MessageCatalog.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"

namespace merivo {

namespace {

constexpr const char* kNothing = "\u2014";  // an em dash where there is no value

constexpr std::string_view kStyle = R"(
*{box-sizing:border-box}
body{margin:0;font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:#1d2430;background:#f3f5f8}
header{background:#23405f;color:#fff;padding:.8rem 1rem}
header h1{margin:0;font-size:1.3rem}
header p{margin:.1rem 0 0;opacity:.85}
main{max-width:1200px;margin:0 auto;padding:.5rem 1rem 2rem}
h2{font-size:1.1rem;margin:1.4rem 0 .5rem}
.facts{display:grid;grid-template-columns:repeat(auto-fit,minmax(16rem,1fr));gap:.5rem;margin:1rem 0 0}
.facts div{background:#fff;border:1px solid #d8dee6;border-radius:6px;padding:.45rem .7rem}
dt{font-size:.8rem;color:#5a6675}
dd{margin:0;overflow-wrap:anywhere}
table{width:100%;border-collapse:collapse;background:#fff;border:1px solid #d8dee6}
th,td{padding:.4rem .6rem;text-align:left;border-bottom:1px solid #e4e8ee;vertical-align:top}
th{background:#e9eef4;font-size:.85rem;white-space:nowrap}
td{overflow-wrap:break-word}
td.p{overflow-wrap:anywhere;min-width:9rem}
.t{overflow-x:auto}
td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
td.d{white-space:nowrap}
.off{color:#7a8592}
.stop{color:#b3261e;font-weight:600}
pre{background:#fff;border:1px solid #d8dee6;padding:.6rem;white-space:pre-wrap;overflow-wrap:anywhere;font-size:.85rem;margin:0}
@media (max-width:1024px){
thead{display:none}
table,tbody,tr,td{display:block;border:0}
table{background:none}
tr{background:#fff;border:1px solid #d8dee6;border-radius:6px;margin:0 0 .6rem;padding:.3rem 0}
td{display:flex;justify-content:space-between;gap:1rem;padding:.2rem .7rem;border:0}
td.n{text-align:left}
td.p{min-width:0}
td::before{content:attr(data-label);color:#5a6675;font-size:.85rem;font-weight:400;flex:none}
td>*,td{min-width:0}
}
)";

class Page {
  public:
    explicit Page(int language) : language_(language) {}

    std::string text(InterfaceTextId id) const { return Cp1251ToUtf8(Txt(language_, id)); }
    int language() const { return language_; }

    Page& raw(std::string_view html) {
        out_.append(html);
        return *this;
    }
    Page& escaped(std::string_view text) {
        out_.append(EscapeHtml(text));
        return *this;
    }
    // One fact of the server: a caption and a value (escaped).
    void fact(InterfaceTextId caption, std::string_view value) {
        raw("<div><dt>").escaped(text(caption)).raw("</dt><dd>").escaped(value).raw("</dd></div>\n");
    }
    void headings(std::initializer_list<InterfaceTextId> captions) {
        raw("<div class=\"t\"><table><thead><tr>");
        for (const InterfaceTextId caption : captions) raw("<th>").escaped(text(caption)).raw("</th>");
        raw("</tr></thead><tbody>\n");
    }
    // A cell with its caption for the narrow layout; its value as given (already HTML).
    void cell(InterfaceTextId caption, std::string_view html, std::string_view cssClass = {}) {
        raw("<td");
        if (!cssClass.empty()) raw(" class=\"").raw(cssClass).raw("\"");
        raw(" data-label=\"").escaped(text(caption)).raw("\">").raw(html).raw("</td>");
    }
    // A text that may be empty; a path or address (cssClass "p") may break anywhere.
    void textCell(InterfaceTextId caption, std::string_view value, std::string_view cssClass = {}) {
        cell(caption, value.empty() ? std::string(kNothing) : EscapeHtml(value), cssClass);
    }
    void numberCell(InterfaceTextId caption, std::int64_t value) {
        cell(caption, std::to_string(value), "n");
    }
    std::string take() { return std::move(out_); }

  private:
    int language_;
    std::string out_;
};

std::string DateText(std::int64_t day) {
    return day == 0 ? std::string(kNothing) : FormatIsoDate(static_cast<double>(day));
}

std::string TimeText(double time) {
    return FormatIsoDate(time) + " " + FormatTimeOfDay(time);
}

std::string Link(std::string_view url) {
    if (url.empty()) return kNothing;
    const std::string escaped = EscapeHtml(url);
    return "<a href=\"" + escaped + "\">" + escaped + "</a>";
}

void Head(Page& page, const AdminSnapshot& s) {
    page.raw("<!DOCTYPE html>\n<html lang=\"").raw(s.language == 1 ? "ru" : "en").raw("\">\n");
    page.raw("<head>\n<meta charset=\"utf-8\">\n");
    page.raw("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
    page.raw("<meta http-equiv=\"refresh\" content=\"5\">\n");
    page.raw("<title>Merivo Server: ").escaped(page.text(txtStatusTitle)).raw("</title>\n");
    page.raw("<style>").raw(kStyle).raw("</style>\n</head>\n<body>\n");
    page.raw("<header><h1>Merivo Server</h1><p>").escaped(page.text(txtStatusTitle));
    page.raw("</p></header>\n<main>\n");
}

void Facts(Page& page, const AdminSnapshot& s) {
    page.raw("<dl class=\"facts\">\n");
    page.fact(txtVersion, s.version);
    page.fact(txtStarted, TimeText(s.startTime));
    page.fact(txtUptime, FormatUptime((s.now - s.startTime) * 86400, page.language()));
    page.fact(txtConnections, std::to_string(s.connections));
    page.fact(txtSettingsFile, s.settingsFile);
    page.fact(txtProgramFolder, s.programFolder);
    page.fact(txtWebAddress, s.webAddress.empty() ? std::string(kNothing) : s.webAddress);
    page.raw("</dl>\n");
}

void Groups(Page& page, const AdminSnapshot& s) {
    page.raw("<h2>").escaped(page.text(txtGroups)).raw("</h2>\n");
    page.headings({txtGroup, txtDataFile, txtRecords, txtArchiveRecords, txtFirstDay, txtLastDay,
                   txtUsersOnline, txtCtag, txtFeed});
    for (const GroupFigures& g : s.groups) {
        page.raw("<tr>");
        page.textCell(txtGroup, g.alias);
        page.textCell(txtDataFile, g.dataFile, "p");
        page.numberCell(txtRecords, g.records);
        if (g.archiveRecords < 0) {
            page.textCell(txtArchiveRecords, {});
        } else {
            page.numberCell(txtArchiveRecords, g.archiveRecords);
        }
        page.cell(txtFirstDay, DateText(g.firstDay), "d");
        page.cell(txtLastDay, DateText(g.lastDay), "d");
        page.cell(txtUsersOnline,
                  std::to_string(g.usersOnline) + " / " + std::to_string(g.usersConfigured), "n");
        page.textCell(txtCtag, g.ctag, "d");
        page.cell(txtFeed, Link(g.feedUrl), "p");
        page.raw("</tr>\n");
    }
    page.raw("</tbody></table></div>\n");
}

void UserRow(Page& page, const UserFigures& u) {
    page.raw(u.online ? "<tr>" : "<tr class=\"off\">");
    page.textCell(txtUserName, u.name);
    page.textCell(txtGroup, u.group);
    page.textCell(txtHost, u.host);
    page.cell(txtOnlineSince,
              EscapeHtml(u.online ? TimeText(u.onlineSince) : page.text(txtOffline)), "d");
    page.numberCell(txtQueuedPieces, u.queuedPieces);
    page.numberCell(txtSendProcesses, u.sendProcesses);
    if (u.stopped) {
        page.cell(txtStopped, EscapeHtml(page.text(txtYes)), "stop");
    } else {
        page.cell(txtStopped, kNothing);
    }
    page.numberCell(txtMailWaiting, u.mailWaiting);
    page.raw("</tr>\n");
}

void Users(Page& page, const AdminSnapshot& s) {
    page.raw("<h2>").escaped(page.text(txtUsers)).raw("</h2>\n");
    page.headings({txtUserName, txtGroup, txtHost, txtOnlineSince, txtQueuedPieces, txtSendProcesses,
                   txtStopped, txtMailWaiting});
    for (const UserFigures& user : s.users) UserRow(page, user);
    page.raw("</tbody></table></div>\n");
    if (s.usersNotShown > 0) {
        page.raw("<p>").escaped(page.text(txtUsersNotShown));
        page.raw(std::to_string(s.usersNotShown)).raw("</p>\n");
    }
}

// Newest line first, as in the main window.
void RecentLog(Page& page, const AdminSnapshot& s) {
    page.raw("<h2>").escaped(page.text(txtRecentLog)).raw("</h2>\n<pre>");
    if (s.recentLog.empty()) page.escaped(page.text(txtNone));
    for (auto line = s.recentLog.rbegin(); line != s.recentLog.rend(); ++line) {
        page.escaped(*line).raw("\n");
    }
    page.raw("</pre>\n");
}

}  // namespace

std::string EscapeHtml(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string FormatUptime(double seconds, int language) {
    const auto total = static_cast<std::int64_t>(std::max(0.0, std::floor(seconds)));
    const std::int64_t days = total / 86400;
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", static_cast<int>(total % 86400 / 3600),
                  static_cast<int>(total % 3600 / 60), static_cast<int>(total % 60));
    if (days == 0) return clock;
    return std::to_string(days) + " " + Cp1251ToUtf8(Txt(language, txtDays)) + " " + clock;
}

std::string RenderStatusPage(const AdminSnapshot& snapshot) {
    Page page(snapshot.language);
    Head(page, snapshot);
    Facts(page, snapshot);
    Groups(page, snapshot);
    Users(page, snapshot);
    RecentLog(page, snapshot);
    page.raw("</main>\n</body>\n</html>\n");
    return page.take();
}

}  // namespace merivo
