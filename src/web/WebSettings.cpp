#include "web/WebSettings.h"

#include <QHostAddress>
#include <QString>

#include "platform/CodePage.h"
#include "platform/IniFile.h"

namespace merivo {

namespace {

constexpr int kMaxPort = 65535;
constexpr int kUserPortOffset = 10;

int ReadPort(const IniSection& web, int protocolPort, std::vector<std::string>& errors) {
    if (!web.has("Port")) return 0;
    const std::string text = web.value("Port");
    const std::optional<int> port = ParseWholeNumber(text);
    if (!port || *port < 0 || *port > kMaxPort) {
        errors.push_back("Web: Port must be a whole number from 0 to 65535 -> " + text);
        return 0;
    }
    if (*port != 0 && *port == protocolPort) {
        errors.push_back("Web: Port is the port of the clients -> " + text);
        return 0;
    }
    if (*port != 0 && *port == protocolPort + kUserPortOffset) {
        errors.push_back("Web: Port is the port of the users' back connections -> " + text);
        return 0;
    }
    return *port;
}

std::string ReadAddress(const IniSection& web, std::vector<std::string>& errors) {
    const std::string text = web.value("Address");
    if (text.empty()) return WebSettings{}.address;
    if (QHostAddress().setAddress(QString::fromStdString(text))) return text;
    errors.push_back("Web: Address is no IP address -> " + text);
    return WebSettings{}.address;
}

int ReadDaysBack(const IniSection& web, std::vector<std::string>& errors) {
    if (!web.has("Days Back")) return WebSettings{}.daysBack;
    const std::string text = web.value("Days Back");
    const std::optional<int> days = ParseWholeNumber(text);
    if (!days || *days < 0 || *days > kMaxDaysBack) {
        errors.push_back("Web: Days Back must be a whole number from 0 to " +
                         std::to_string(kMaxDaysBack) + " -> " + text);
        return WebSettings{}.daysBack;
    }
    return *days;
}

// The group an alias names, matched as keys are, without regard to case; -1 when none.
int GroupNamed(const std::string& alias, const std::vector<std::string>& aliases) {
    const std::string wanted = LowerAscii(alias);
    for (std::size_t k = 0; k < aliases.size(); ++k) {
        if (!aliases[k].empty() && LowerAscii(aliases[k]) == wanted) return static_cast<int>(k);
    }
    return -1;
}

std::vector<WebFeed> ReadFeeds(const IniSection& feeds, const std::vector<std::string>& aliases,
                               std::vector<std::string>& errors) {
    std::vector<WebFeed> result;
    for (const auto& [alias, key] : feeds.values()) {
        const int group = GroupNamed(alias, aliases);
        if (group < 0) {
            errors.push_back("Web Feeds: no group is called " + alias);
        } else if (key.size() < kMinFeedKeyLength) {
            // The key itself never reaches the log.
            errors.push_back("Web Feeds: the key of " + alias + " is shorter than " +
                             std::to_string(kMinFeedKeyLength) + " characters");
        } else {
            result.push_back({group, key});
        }
    }
    return result;
}

}  // namespace

WebSettings ReadWebSettings(const IniFile& ini, const std::vector<std::string>& aliases,
                            int protocolPort, std::vector<std::string>& errors) {
    const IniSection web = ini.readSection("Web");
    WebSettings settings;
    settings.port = ReadPort(web, protocolPort, errors);
    settings.address = ReadAddress(web, errors);
    settings.daysBack = ReadDaysBack(web, errors);
    settings.feeds = ReadFeeds(ini.readSection("Web Feeds"), aliases, errors);
    settings.admins = web.value("Admin");
    return settings;
}

}  // namespace merivo
