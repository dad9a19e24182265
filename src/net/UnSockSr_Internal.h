#pragma once
// What the sockets form keeps per connection; shared by the files of the form only.
#include <QSocketNotifier>
#include <memory>
#include <string>

#include "net/UnSockSr.h"
#include "platform/Socket.h"

namespace merivo {

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
    std::string target;                 // the host as a normalised address, or the name to resolve
    int fd = -1;                        // the descriptor the notifiers watch
    unsigned attempt = 0;               // connection attempts started
    QSocketNotifier* writer = nullptr;  // connect completion
    QSocketNotifier* reader = nullptr;  // closing, reset
};

}  // namespace merivo
