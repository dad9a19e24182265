#pragma once
// Who may see the administrator's pages: the machine itself (127.0.0.1 and ::1, no other
// loopback address) and the addresses and host names of the setting [Web] Admin.
#include <string>
#include <string_view>
#include <vector>

namespace merivo {

struct AdminList {
    std::vector<std::string> addresses;  // in their normal text form
    std::vector<std::string> names;      // host names, lower case
};

// The value of [Web] Admin: entries separated by commas, blanks around them ignored. An entry
// that reads as an IPv4 or IPv6 address is an address, any other a host name.
AdminList ParseAdminList(std::string_view value);

// Whether a peer with this address (as the socket reports it; an IPv4 address mapped into IPv6
// counts as the IPv4 address) may see the pages.
bool IsAdminAddress(const AdminList& admins, std::string_view peerAddress);
// Whether a peer whose address did not decide may see the pages by its reverse-resolved name.
bool IsAdminName(const AdminList& admins, std::string_view peerName);

}  // namespace merivo
