#pragma once
// Who may see the administrator's pages: the machine itself (127.0.0.1 and ::1, no other
// loopback address) and the addresses and host names of the setting [Web] Admin.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/NameLookup.h"

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

// The list with its host names resolved to addresses, each on a look-up thread of its own, at
// start and again every kAdminNamesRefreshMs: the main thread never waits for a name server. A
// name that has not resolved (yet) lets nobody in.
class AdminGate : public QObject {
    Q_OBJECT
  public:
    explicit AdminGate(AdminList admins, LookupFunction resolve, QObject* parent = nullptr);

    bool mayView(std::string_view peerAddress) const;

  private:
    void resolveNames();
    void collectAnswers();

    AdminList admins_;
    LookupFunction resolve_;
    std::vector<std::shared_ptr<NameLookup>> lookups_;  // one per name while they run
    std::vector<std::string> resolved_;                 // the names' addresses, normal form
    QElapsedTimer round_;
    QTimer refresh_;
    QTimer poll_;
};

constexpr int kAdminNamesRefreshMs = 300000;
constexpr int kAdminLookupPollMs = 50;
constexpr int kAdminLookupTimeoutMs = 3000;  // as long as identification waits for a name

}  // namespace merivo
