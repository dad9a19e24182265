#include "web/AdminAccess.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

#include "platform/CodePage.h"

namespace merivo {

namespace {

constexpr std::string_view kMappedPrefix = "::ffff:";

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The normal text form of an IPv4 or IPv6 address (an IPv4 address mapped into IPv6 as IPv4);
// nothing when the text is no address.
std::optional<std::string> NormalAddress(std::string_view text) {
    std::string address(text);
    if (address.size() > kMappedPrefix.size() &&
        LowerAscii(address.substr(0, kMappedPrefix.size())) == kMappedPrefix &&
        address.find('.') != std::string::npos) {
        address.erase(0, kMappedPrefix.size());
    }
    char normal[INET6_ADDRSTRLEN] = {};
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return inet_ntop(AF_INET, &v4, normal, sizeof normal);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        return inet_ntop(AF_INET6, &v6, normal, sizeof normal);
    }
    return std::nullopt;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

AdminList ParseAdminList(std::string_view value) {
    AdminList admins;
    while (!value.empty()) {
        const auto comma = value.find(',');
        const std::string_view entry = Trim(value.substr(0, comma));
        value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
        if (entry.empty()) continue;
        if (const auto address = NormalAddress(entry)) {
            admins.addresses.push_back(*address);
        } else {
            admins.names.push_back(LowerAscii(std::string(entry)));
        }
    }
    return admins;
}

bool IsAdminAddress(const AdminList& admins, std::string_view peerAddress) {
    const auto address = NormalAddress(peerAddress);
    if (!address) return false;
    return *address == "127.0.0.1" || *address == "::1" || Contains(admins.addresses, *address);
}

bool IsAdminName(const AdminList& admins, std::string_view peerName) {
    return !peerName.empty() && Contains(admins.names, LowerAscii(std::string(peerName)));
}

}  // namespace merivo
