#pragma once
// The settings of the HTTP face: section "Web" (Port, Address, Days Back) and section
// "Web Feeds" (a group's alias = the key that opens its feed from anywhere).
#include <string>
#include <vector>

namespace merivo {

class IniFile;

struct WebFeed {
    int group = 0;    // index into DBTable
    std::string key;  // as written in Server.ini
};

struct WebSettings {
    int port = 0;                     // 0: no HTTP face
    std::string address = "0.0.0.0";  // where it listens
    int daysBack = 30;                // the calendars begin this many days before today
    std::vector<WebFeed> feeds;
    std::string admins;  // [Web] Admin: who besides the machine itself sees the status pages
    // Not in Server.ini: a connection that neither sends nor takes anything for this long is
    // closed (tests shorten it).
    int idleCloseMs = 30000;
};

// Feed keys are secrets handed out to calendar programs; shorter ones could be guessed.
constexpr std::size_t kMinFeedKeyLength = 16;
// The longest look back the calendars offer (ten years).
constexpr int kMaxDaysBack = 3650;

// Reads both sections. `aliases` are the groups' aliases in DBTable order; `protocolPort` is the
// "NetWork" port, whose users are reached at protocolPort + 10. Every fault is appended to
// `errors` as one line for the log, and its key is left at its default (a bad port: no HTTP face;
// a bad feed: that feed is not served).
WebSettings ReadWebSettings(const IniFile& ini, const std::vector<std::string>& aliases,
                            int protocolPort, std::vector<std::string>& errors);

}  // namespace merivo
