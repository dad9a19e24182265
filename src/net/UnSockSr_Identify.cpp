// Identification of accepted connections: which user a peer is, by its address or by the name a
// reverse look-up gives it. Peers are identified by a few threads that take the accepted
// connections in turn, so that a flood of connections cannot start a thread each.
#include <algorithm>

#include "db/MessageCatalog.h"
#include "net/UnSockSr.h"
#include "net/UnSockSr_Internal.h"
#include "net/UnSockSr_Receive.h"
#include "platform/Clock.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Thread.h"

namespace merivo {

LookupFunction PeerNameLookup = ReverseLookup;

namespace {

// A peer is mostly known by its address at once; an identifier waits only for a reverse
// look-up. This many in parallel keep a burst of users known by name moving, while a flood of
// connections waits in the queue instead of holding a thread each.
constexpr int kMaxIdentificationThreads = 16;

// How often a waiting identifier looks whether its look-up has answered.
constexpr int kLookupPollMs = 10;

// A peer that matches no user may keep its connection (whatever it sends is refused), but each
// open connection holds a descriptor that users need. A workgroup has a few misconfigured
// clients at a time; more than this is a flood, and the oldest connections are closed first.
constexpr std::size_t kMaxUnknownConnections = 64;

}  // namespace

void TFormSocksServer::ServerSocket1ClientConnect(const std::shared_ptr<TcpSocket>& socket) {
    DebugLog("Server_ClientConnect");
    std::erase_if(identifiers_, [](const auto& thread) { return thread->finished(); });
    try {
        if (!QueueIdentification(socket)) {
            DisconnectAccepted(*socket);
            return;
        }
    } catch (...) {
        WriteLog("Error CreateProccess for new connect");
    }
    DebugLog("Server_ClientConnect");
    SetNoDelay(*socket);
}

// False when no identifier runs and none can be started: nobody would take the connection.
bool TFormSocksServer::QueueIdentification(const std::shared_ptr<TcpSocket>& socket) {
    MutexLock guard(identifyLock_);
    identifyQueue_.push_back({socket, socket->handle()});
    if (identifyWorkers_ >= kMaxIdentificationThreads) return true;
    auto thread = Thread::Start([this](Thread& self) {
        IdentifyQueued(self);
        return 0u;
    });
    if (thread) {
        ++identifyWorkers_;
        identifiers_.push_back(thread);
        return true;
    }
    if (identifyWorkers_ > 0) return true;
    identifyQueue_.pop_back();
    return false;
}

// An identifier: takes the queued connections one by one and ends when none is left.
void TFormSocksServer::IdentifyQueued(Thread& self) {
    for (;;) {
        Identification next;
        {
            MutexLock guard(identifyLock_);
            if (identifyQueue_.empty() || self.terminateRequested()) {
                --identifyWorkers_;
                return;
            }
            next = std::move(identifyQueue_.front());
            identifyQueue_.pop_front();
        }
        IdentifyPeer(self, next.socket, next.handle);
    }
}

void TFormSocksServer::IdentifyPeer(Thread& self, const std::shared_ptr<TcpSocket>& socket,
                                    int handle) {
    try {
        DebugLog("BeginProcess->OnConnect Client");
        const std::uint32_t started = CurrentClock().tickCount();
        const std::string address = socket->peerAddress();
        std::optional<std::string> name;
        TMyNameUser* user = FindUserByHost(address);
        if (!user) {
            name = LookUpPeerName(self, *socket, handle, address);
            // The form may be going: once it has asked this thread to stop, neither the form
            // nor the user table may still exist.
            if (self.terminateRequested()) return;
            if (name) user = FindUserByHost(*name);
        }
        if (!user) {
            WriteLog(Msg(msgIllegalUserFrom) + address + " " + name.value_or("") +
                     Msg(msgIllegalUserTail));
            RunOnMainThread([this, socket, handle] { KeepUnknown(socket, handle); });
            DebugLog("EndProcess->OnConnect Client");
            return;
        }
        RunOnMainThread([this, user, socket, handle] { QueueConnectBack(*user, *socket, handle); });
        DebugLog("ServerConnect User " + std::to_string(handle) + " RemoteFunction->" +
                 std::to_string(CurrentClock().tickCount() - started));
    } catch (...) {
        WriteLog("Error of Server->OnConnect Client");
    }
    DebugLog("EndProcess->OnConnect Client");
}

// The peer's name; none when the look-up finds none or does not answer within the time-out, when
// too many look-ups are running already, or when the connection closes meanwhile (nobody is left
// to identify).
std::optional<std::string> TFormSocksServer::LookUpPeerName(Thread& self,
                                                            const TcpSocket& socket, int handle,
                                                            const std::string& address) {
    std::shared_ptr<NameLookup> lookup;
    if (socket.handle() == handle)
        lookup = NameLookup::Start(PeerNameLookup, address, kMaxPeerLookups);
    const std::uint32_t started = CurrentClock().tickCount();
    while (lookup && !lookup->done()) {
        const bool givenUp = CurrentClock().tickCount() - started >= kNameLookupTimeoutMs ||
                             socket.handle() != handle;
        if (givenUp || !self.sleep(kLookupPollMs)) return std::nullopt;
    }
    return lookup ? lookup->answer() : std::nullopt;
}

// Main thread. The identified connection becomes the user's, and the user waits for the next
// tick of the connect timer (once, however often it was identified meanwhile). A connection
// that closed before this is left alone.
void TFormSocksServer::QueueConnectBack(TMyNameUser& user, const TcpSocket& socket, int handle) {
    if (socket.handle() != handle) return;
    AdoptConnection(user, handle);
    MutexLock guard(ThreadTableLock());
    if (std::find(PendingConnects.begin(), PendingConnects.end(), &user) == PendingConnects.end())
        PendingConnects.push_back(&user);
    if (!TimerConnect.isActive()) TimerConnect.start();
}

// The identified connection becomes the user's; a package half-received on an earlier one is
// forgotten, so its rest is not taken from the new stream.
void TFormSocksServer::AdoptConnection(TMyNameUser& user, int handle) {
    if (user.connectionHandle != handle) ResetReceiveState(TransportOf(user).receive);
    user.connectionHandle = handle;
}

// Main thread: a connection of no user stays open, but only the newest few do.
void TFormSocksServer::KeepUnknown(const std::shared_ptr<TcpSocket>& socket, int handle) {
    if (socket->handle() != handle) return;
    std::erase_if(unknown_, [](const auto& kept) { return kept->handle() == -1; });
    unknown_.push_back(socket);
    while (unknown_.size() > kMaxUnknownConnections) {
        std::shared_ptr<TcpSocket> oldest = unknown_.front();
        unknown_.pop_front();
        DisconnectAccepted(*oldest);
    }
}

}  // namespace merivo
