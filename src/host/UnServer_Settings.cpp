#include "host/UnServer_Settings.h"

namespace merivo {

namespace {
constexpr const char* kUserSeparator = "::";
}

std::string GroupSection(int k) {
    return "DataBase - " + std::to_string(k);
}

std::string AliasKey(int k) {
    return "Alias" + std::to_string(k);
}

std::string UserKey(int i) {
    return "User_" + std::to_string(i);
}

UserValue SplitUserValue(const std::string& value) {
    const std::size_t separator = value.find(kUserSeparator);
    if (separator == std::string::npos) return {"", value.empty() ? "" : value.substr(1)};
    return {value.substr(0, separator), value.substr(separator + 2)};
}

std::string JoinUserValue(const UserValue& user) {
    return user.host + kUserSeparator + user.name;
}

}  // namespace merivo
