#include "admin/unSerSet_Settings.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "db/UnDBType.h"
#include "host/UnServer.h"
#include "net/UnSockSr.h"
#include "platform/Config.h"
#include "platform/Env.h"
#include "platform/IniFile.h"

namespace merivo {

namespace {

// A value that stops the reading of the settings.
class BadValue : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

int WholeNumber(const IniSection& section, const std::string& key) {
    const std::optional<int> number = ParseWholeNumber(section.value(key));
    if (!number) throw BadValue(key);
    return *number;
}

int CountOf(const IniSection& section, const std::string& key, int most) {
    const int count = WholeNumber(section, key);
    if (count < 0 || count > most) throw BadValue(key);
    return count;
}

// The language index: 0 when the value is no number, at most 1.
int LanguageIndex(const IniFile& ini) {
    const std::optional<int> value = ParseWholeNumber(ini.readString("Options", "Language"));
    return value ? std::clamp(*value, 0, 1) : 0;
}

constexpr const char* kNewGroupCount = "100";
constexpr const char* kNewGroupCountArc = "0";
constexpr const char* kNewGroupTimeBegin = "9";
constexpr const char* kNewGroupTimeEnd = "20";
// Hours are saved as their first two characters.
constexpr std::size_t kHourChars = 2;

const char* Flag(bool on) {
    return on ? "1" : "0";
}

bool HasName(const std::vector<UserValue>& users, const std::string& name) {
    return std::any_of(users.begin(), users.end(),
                       [&](const UserValue& user) { return user.name == name; });
}

bool HasHost(const std::vector<UserValue>& users, const std::string& host) {
    return std::any_of(users.begin(), users.end(),
                       [&](const UserValue& user) { return user.host == host; });
}

}  // namespace

void ServerSettings::CreateIfMissing(const std::string& iniPath) {
    if (CurrentEnv().fileExists(iniPath)) return;
    IniFile ini(iniPath);
    ini.deferWrites();
    WriteDefaultIni(ini);
    ini.commit();
}

bool ServerSettings::Load(const IniFile& ini) {
    language = LanguageIndex(ini);
    // A Server.ini written later by this run's dialog gets the same language.
    Config.firstStartLanguage = language;
    try {
        LoadNetwork(ini);
        const IniSection databases = ini.readSection("DataBases");
        const int count = CountOf(databases, "Count", kMaxGroups);
        groupsAtOpening_ = count;
        for (int k = 1; k <= count; ++k) groupNames.push_back(databases.value(AliasKey(k)));
        groups.resize(groupNames.size());
        for (int k = 1; k <= count; ++k) LoadGroup(ini, k);
    } catch (const BadValue&) {
        return false;
    }
    return true;
}

void ServerSettings::LoadNetwork(const IniFile& ini) {
    const IniSection network = ini.readSection("NetWork");
    port = network.value("Port");
    const std::optional<int> direct = ParseWholeNumber(network.value("DirectSend"));
    const std::optional<int> noDelay = ParseWholeNumber(network.value("TCPNoDelay"));
    directSend = !direct || !noDelay || *direct == 1;
    tcpNoDelay = !direct || !noDelay || *noDelay == 1;
    if (noDelay) Config.tcpNoDelay = *noDelay == 1;
}

void ServerSettings::LoadGroup(const IniFile& ini, int k) {
    const IniSection section = ini.readSection(GroupSection(k));
    TMyDBAlias& group = groups[static_cast<std::size_t>(k - 1)];
    group.Name = section.value("Name");
    group.Count = section.value("Count");
    group.CountArc = section.value("CountArc");
    group.TimeBegin = section.value("Time Begin");
    group.TimeEnd = section.value("Time End");
    group.Step = WholeNumber(section, "Step");
    group.ArchiveLink = WholeNumber(section, "Archive Link") != 0;
    group.IniUserCount = CountOf(section, "UserCount", kMaxUsersPerGroup);
    sectionUsersAtOpening_.push_back(group.IniUserCount);
    for (int i = 1; i <= group.IniUserCount; ++i) {
        group.Users.push_back(SplitUserValue(section.value(UserKey(i))));
    }
}

void ServerSettings::Save(const std::string& iniPath) const {
    IniFile ini(iniPath);
    ini.deferWrites();
    ini.writeString("Options", "Language", std::to_string(language));
    ini.writeString("NetWork", "Port", port);
    ini.writeString("NetWork", "DirectSend", Flag(directSend));
    ini.writeString("NetWork", "TCPNoDelay", Flag(tcpNoDelay));
    const int count = static_cast<int>(groups.size());
    ini.writeString("DataBases", "Count", std::to_string(count));
    for (int k = 1; k <= count; ++k) {
        ini.writeString("DataBases", AliasKey(k), groupNames[static_cast<std::size_t>(k - 1)]);
    }
    for (int k = 1; k <= count; ++k) SaveGroup(ini, k);
    for (int k = count + 1; k <= groupsAtOpening_; ++k) {
        ini.deleteKey("DataBases", AliasKey(k));
        ini.eraseSection(GroupSection(k));
    }
    ini.commit();
}

void ServerSettings::SaveGroup(IniFile& ini, int k) const {
    const TMyDBAlias& group = groups[static_cast<std::size_t>(k - 1)];
    const std::string section = GroupSection(k);
    ini.writeString(section, "Name", group.Name);
    ini.writeString(section, "Count", group.Count);
    ini.writeString(section, "CountArc", group.CountArc);
    ini.writeString(section, "Time Begin", group.TimeBegin.substr(0, kHourChars));
    ini.writeString(section, "Time End", group.TimeEnd.substr(0, kHourChars));
    ini.writeString(section, "Step", std::to_string(group.Step));
    ini.writeString(section, "Archive Link", Flag(group.ArchiveLink));
    // The empty row that stands for a group without users is no user.
    const bool placeholderOnly = group.Users.size() == 1 && group.Users[0].name.empty();
    const int userCount = placeholderOnly ? 0 : static_cast<int>(group.Users.size());
    ini.writeString(section, "UserCount", std::to_string(userCount));
    for (int i = 1; i <= userCount; ++i) {
        ini.writeString(section, UserKey(i),
                        JoinUserValue(group.Users[static_cast<std::size_t>(i - 1)]));
    }
    int usersBefore = group.IniUserCount;
    if (k <= static_cast<int>(sectionUsersAtOpening_.size())) {
        usersBefore =
            std::max(usersBefore, sectionUsersAtOpening_[static_cast<std::size_t>(k - 1)]);
    }
    for (int i = userCount + 1; i <= usersBefore; ++i) ini.deleteKey(section, UserKey(i));
}

int ServerSettings::AddGroup(const std::string& name) {
    groupNames.push_back(name);
    TMyDBAlias group;
    group.Count = kNewGroupCount;
    group.CountArc = kNewGroupCountArc;
    group.TimeBegin = kNewGroupTimeBegin;
    group.TimeEnd = kNewGroupTimeEnd;
    groups.push_back(std::move(group));
    return static_cast<int>(groups.size()) - 1;
}

int ServerSettings::RemoveGroup(int g) {
    groups.erase(groups.begin() + g);
    groupNames.erase(groupNames.begin() + g);
    if (groups.empty()) return -1;
    if (groups.size() == 1 || g == 0) return 0;
    return g - 1;
}

NewUserCheck ServerSettings::CheckNewUser(int g, const std::vector<UserValue>& gridRows,
                                          const UserValue& user) const {
    auto inUse = [&](auto&& has, const std::string& text) {
        for (std::size_t other = 0; other < groups.size(); ++other) {
            if (static_cast<int>(other) != g && has(groups[other].Users, text)) return true;
        }
        return has(gridRows, text);
    };
    if (inUse(HasName, user.name)) return NewUserCheck::UserExists;
    if (inUse(HasHost, user.host)) return NewUserCheck::HostExists;
    return NewUserCheck::Accepted;
}

std::string NormalHost(const std::string& host) {
    std::string normal;
    return IsDottedAddress(host, &normal) ? normal : host;
}

std::string DataFileName(const std::string& chosen) {
    constexpr std::size_t kDotFromEnd = 4;
    const bool hasExtension =
        chosen.size() >= kDotFromEnd && chosen[chosen.size() - kDotFromEnd] == '.';
    return hasExtension ? chosen : chosen + ".mvd";
}

}  // namespace merivo
