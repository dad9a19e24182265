#include "web/AdminAccess.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

#include "platform/CodePage.h"

namespace merivo {

namespace {

constexpr std::string_view kMappedPrefix = "::ffff:";
constexpr int kMaxAdminLookups = 64;

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

AdminGate::AdminGate(AdminList admins, LookupFunction resolve, QObject* parent)
    : QObject(parent), admins_(std::move(admins)), resolve_(std::move(resolve)) {
    connect(&refresh_, &QTimer::timeout, this, &AdminGate::resolveNames);
    connect(&poll_, &QTimer::timeout, this, &AdminGate::collectAnswers);
    if (admins_.names.empty()) return;
    refresh_.start(kAdminNamesRefreshMs);
    resolveNames();
}

bool AdminGate::mayView(std::string_view peerAddress) const {
    if (IsAdminAddress(admins_, peerAddress)) return true;
    const auto address = NormalAddress(peerAddress);
    return address && Contains(resolved_, *address);
}

void AdminGate::resolveNames() {
    if (!lookups_.empty()) return;  // the last round has not answered yet
    for (const std::string& name : admins_.names) {
        lookups_.push_back(NameLookup::Start(resolve_, name, kMaxAdminLookups));
    }
    round_.start();
    poll_.start(kAdminLookupPollMs);
}

// Once every look-up of the round has answered or the round is overdue, the addresses found
// replace the last round's.
void AdminGate::collectAnswers() {
    const bool overdue = round_.elapsed() > kAdminLookupTimeoutMs;
    std::vector<std::string> addresses;
    for (const auto& lookup : lookups_) {
        if (!lookup) continue;  // no thread could be had for it
        if (!lookup->done()) {
            if (overdue) continue;
            return;
        }
        const std::optional<std::string> answer = lookup->answer();
        if (const auto address = answer ? NormalAddress(*answer) : std::nullopt) {
            addresses.push_back(*address);
        }
    }
    lookups_.clear();
    poll_.stop();
    resolved_ = std::move(addresses);
}

}  // namespace merivo
