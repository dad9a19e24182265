#pragma once
// What the sockets form keeps per connection; shared by the files of the form only.
#include <QSocketNotifier>
#include <cstdint>
#include <memory>
#include <string>

#include "net/UnSockSr.h"
#include "platform/NameLookup.h"
#include "platform/Socket.h"

namespace merivo {

// Resolving users' host names may go a little beyond that: the connect timer resolves one name
// at a time, and a flood of unknown peers must not keep it from resolving.
constexpr int kMaxHostLookups = kMaxPeerLookups + 8;

// An accepted connection and its read notifier.
struct TFormSocksServer::Accepted {
    std::shared_ptr<TcpSocket> socket;
    QSocketNotifier* reader = nullptr;
    // A read event that ended with bytes left waits until something changes (see Stall).
    bool stalled = false;
    int stalledPending = 0;
    bool stalledOwned = false;
};

// A user's outgoing connection and the notifiers of its current descriptor.
struct TFormSocksServer::Outgoing {
    std::shared_ptr<TcpSocket> socket;
    std::string target;  // the host as a normalised address, or the name to resolve
    bool targetIsAddress = false;
    std::string address;  // where the attempts go: the target or the address it resolved to
    std::shared_ptr<NameLookup> resolving;  // the target's name being resolved
    std::uint32_t resolveStarted = 0;       // the clock when resolving began
    int fd = -1;                            // the descriptor the notifiers watch
    unsigned attempt = 0;                   // connection attempts started
    QSocketNotifier* writer = nullptr;      // connect completion
    QSocketNotifier* reader = nullptr;      // closing, reset
};

}  // namespace merivo
