#pragma once
// The names of Server.ini and the form of its user values, shared by the start-up reading and
// the settings dialog.
#include <string>

namespace merivo {

constexpr const char* kSettingsFileName = "Server.ini";

// Counts beyond these are typing errors, not settings: honouring them would exhaust the memory
// or keep the reader busy for hours.
constexpr int kMaxGroups = 1000;
constexpr int kMaxUsersPerGroup = 10000;

// The section of group k (1-based): "DataBase - " + k.
std::string GroupSection(int k);
// The key of group k's name in section "DataBases": "Alias" + k.
std::string AliasKey(int k);
// The key of user i (1-based) in its group's section: "User_" + i.
std::string UserKey(int i);

// A user value: host, "::", user name; both as stored.
struct UserValue {
    std::string host;
    std::string name;
};

// Split at the first "::"; without "::" the host is empty and the name is the value less its
// first character, as the settings have always been read.
UserValue SplitUserValue(const std::string& value);
std::string JoinUserValue(const UserValue& user);

}  // namespace merivo
