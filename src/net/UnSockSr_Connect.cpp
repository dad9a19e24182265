// Outgoing connections: the connect timer, their events and the reconnect rules.
#include <QSocketNotifier>
#include <optional>

#include "db/MessageCatalog.h"
#include "net/UnSockSr.h"
#include "net/UnSockSr_Internal.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/IniFile.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

LookupFunction HostAddressLookup = ResolveHost;

void TFormSocksServer::CreateOutgoingConnection(TMyNameUser& user) {
    auto watch = std::make_unique<Outgoing>();
    watch->socket = std::make_shared<TcpSocket>();
    std::string address;
    watch->targetIsAddress = IsDottedAddress(user.host, &address);
    watch->target = watch->targetIsAddress ? address : user.host;
    Outgoing* raw = watch.get();
    // Runs on the thread that closes the connection, while the descriptor is still its own. On
    // another thread the descriptor is kept until the main thread has stopped watching it.
    watch->socket->setDisconnectHandler([this, raw] {
        const int handle = raw->socket->handle();
        TMyNameUser* owner = FindUserByOutgoing(handle);
        if (OnMainThread()) {
            OnOutgoingClosed(*raw, handle, owner);
            return true;
        }
        RunOnMainThread([this, raw, handle, owner] {
            // A new attempt may have replaced the closed descriptor meanwhile: the user still
            // goes offline for the old connection, but the new attempt is left to finish.
            if (raw->socket->handle() != handle) {
                UserDisconnected(owner, false, false);
                return;
            }
            OnOutgoingClosed(*raw, handle, owner);
            raw->socket->releaseDescriptor(handle);
        });
        return false;
    });
    user.outgoing = watch->socket;
    outgoing_.push_back(std::move(watch));
}

TFormSocksServer::Outgoing* TFormSocksServer::FindOutgoing(const TcpSocket& socket) {
    for (auto& watch : outgoing_)
        if (watch->socket.get() == &socket) return watch.get();
    return nullptr;
}

bool TFormSocksServer::OpenOutgoing(TMyNameUser& user, int* error) {
    Outgoing* watch = user.outgoing ? FindOutgoing(*user.outgoing) : nullptr;
    if (!watch) {
        *error = WSAENOTCONN;
        return false;
    }
    ForgetOutgoingNotifiers(*watch);
    if (!watch->socket->startConnect(watch->address, Config.userPort, "", error)) return false;
    ++watch->attempt;
    WatchOutgoing(*watch);
    return true;
}

void TFormSocksServer::WatchOutgoing(Outgoing& watch) {
    watch.fd = watch.socket->handle();
    watch.writer = new QSocketNotifier(watch.fd, QSocketNotifier::Write, this);
    connect(watch.writer, &QSocketNotifier::activated, this,
            [this, w = &watch] { OnOutgoingWritable(*w); });
}

void TFormSocksServer::ForgetOutgoingNotifiers(Outgoing& watch) {
    for (QSocketNotifier** notifier : {&watch.writer, &watch.reader}) {
        if (!*notifier) continue;
        (*notifier)->setEnabled(false);
        (*notifier)->deleteLater();
        *notifier = nullptr;
    }
    watch.fd = -1;
}

void TFormSocksServer::OnOutgoingWritable(Outgoing& watch) {
    TcpSocket& socket = *watch.socket;
    const int fd = watch.fd;
    ForgetOutgoingNotifiers(watch);
    if (fd < 0 || socket.handle() != fd) return;
    int code = socket.finishConnect();
    if (code == 0) {
        watch.fd = fd;
        watch.reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(watch.reader, &QSocketNotifier::activated, this,
                [this, w = &watch] { OnOutgoingReadable(*w); });
        ClientSocket1Connect(socket);
        return;
    }
    const unsigned attempt = watch.attempt;
    ClientSocket1Error(socket, code);
    if (watch.attempt == attempt) socket.close();  // no new attempt: release the failed one
}

// The server sends on this connection and reads nothing from it: whatever arrives is dropped;
// an end or a reset of the stream closes it.
void TFormSocksServer::OnOutgoingReadable(Outgoing& watch) {
    TcpSocket& socket = *watch.socket;
    const int fd = watch.fd;
    if (fd < 0 || socket.handle() != fd) {
        ForgetOutgoingNotifiers(watch);
        return;
    }
    std::uint8_t scratch[4096];
    int error = 0;
    long got = socket.receiveSome(scratch, sizeof scratch, &error);
    if (got > 0 || (got < 0 && socket.connected())) return;
    if (got < 0) ClientSocket1Error(socket, error);
    if (socket.handle() == fd) socket.close();
}

void TFormSocksServer::OnOutgoingClosed(Outgoing& watch, int handle, TMyNameUser* owner) {
    if (watch.fd == handle) ForgetOutgoingNotifiers(watch);
    DebugLog("Client_Disconnect");
    UserDisconnected(owner, false);
    DebugLog("Client_Disconnect");
}

void TFormSocksServer::ClientSocket1Connect(TcpSocket& socket) {
    DebugLog("Client_Connect");
    TMyNameUser* user = FindUserByOutgoing(socket.handle());
    if (!user || !user->valid) {
        WriteLog(Msg(msgUnidentifiedConnect));
        return;
    }
    SetNoDelay(socket);
    UserConnected(*user);
    DebugLog("Client_Connect");
}

// ---- The connect timer --------------------------------------------------------------------------

// Opens the connections of the pending users in their order. A user whose host name is still
// being resolved keeps its place, and those after it wait with it, until the next tick.
void TFormSocksServer::TimerConnectTimer() {
    for (;;) {
        TMyNameUser* user = nullptr;
        {
            MutexLock guard(ThreadTableLock());
            if (PendingConnects.empty()) break;
            user = PendingConnects.front();
        }
        if (!ConnectBack(*user)) return;
        MutexLock guard(ThreadTableLock());
        PendingConnects.erase(PendingConnects.begin());
    }
    TimerConnect.stop();
}

// One pending user; false while its host name is still being resolved.
bool TFormSocksServer::ConnectBack(TMyNameUser& user) {
    Outgoing* watch = user.outgoing ? FindOutgoing(*user.outgoing) : nullptr;
    // Its connection closed before its turn: nobody is left to connect back to.
    if (user.connectionHandle == -1) {
        if (watch) watch->resolving.reset();
        return true;
    }
    if (user.outgoing && user.outgoing->connected()) {
        RefuseSecondConnection(user);
        return true;
    }
    const Resolution resolution = watch ? ResolveTarget(*watch) : Resolution::Resolved;
    if (resolution == Resolution::Pending) return false;
    const std::uint32_t started = CurrentClock().tickCount();
    int error = WSAHOST_NOT_FOUND;
    // A host that cannot be reached at all is reported and skipped; retrying it every tick
    // would hold up every later identification.
    if (resolution == Resolution::Failed || !OpenOutgoing(user, &error))
        WriteLog(Msg(msgClientSocketError) + user.host + " - " + WinSockErrorName(error));
    DebugLog("TimeConnect " + std::to_string(CurrentClock().tickCount() - started));
    return true;
}

// Connected again while online: the new connection is refused, the user goes offline.
void TFormSocksServer::RefuseSecondConnection(TMyNameUser& user) {
    for (const auto& socket : AcceptedConnections()) {
        if (socket->handle() != user.connectionHandle) continue;
        DebugLog("Found");
        DisconnectAccepted(*socket);
        break;
    }
    WriteLog("Error Connect with " + user.host);
}

// Where the attempts go. A host name is resolved on a thread of its own, so that a slow name
// server holds up no one's requests; the answer is looked for at each tick.
TFormSocksServer::Resolution TFormSocksServer::ResolveTarget(Outgoing& watch) {
    if (watch.targetIsAddress) {
        watch.address = watch.target;
        return Resolution::Resolved;
    }
    if (!watch.resolving) {
        watch.resolving = NameLookup::Start(HostAddressLookup, watch.target, kMaxHostLookups);
        watch.resolveStarted = CurrentClock().tickCount();
        if (!watch.resolving) return Resolution::Failed;
    }
    if (!watch.resolving->done()) {
        if (CurrentClock().tickCount() - watch.resolveStarted < kNameLookupTimeoutMs)
            return Resolution::Pending;
        watch.resolving.reset();
        return Resolution::Failed;
    }
    const std::optional<std::string> address = watch.resolving->answer();
    watch.resolving.reset();
    if (!address) return Resolution::Failed;
    watch.address = *address;
    return Resolution::Resolved;
}

// ---- Errors of the outgoing connections ---------------------------------------------------------

void TFormSocksServer::ClientSocket1Error(TcpSocket& socket, int& code) {
    const int failure = code;
    const std::string trace = "Client_Error(" + std::to_string(failure) + ")";
    DebugLog(trace);
    TMyNameUser* user = FindUserByOutgoing(socket.handle());
    if (!user && socket.handle() != -1) user = FindUserByConnection(socket.handle());
    code = 0;
    if (!user) {
        DebugLog(Msg(msgUndefinedUserError) + WinSockErrorName(failure));
        return;
    }
    if (failure == WSAECONNRESET) {
        socket.close();
        WriteLog(Msg(msgResetConnection) + user->host);
        return;
    }
    if (failure != WSAECONNREFUSED) {
        WriteLog(Msg(msgClientSocketError) + user->host + " - " + WinSockErrorName(failure));
        DebugLog(trace);
        return;
    }
    if (user->reconnectCount < Config.reconnect) {
        user->reconnectCount += 1;
        int error = 0;
        if (!OpenOutgoing(*user, &error)) DebugLog("Error Reconnect");
    } else {
        WriteLog(Msg(msgNotRespond) + user->host);
        GiveUpOnUser(*user);
    }
    DebugLog(trace);
}

// The reconnect budget is spent: the outgoing connection is closed and the user's accepted
// connection dropped with it.
void TFormSocksServer::GiveUpOnUser(TMyNameUser& user) {
    try {
        if (user.outgoing) user.outgoing->close();
        user.reconnectCount = 0;
        const auto accepted = AcceptedConnections();
        DebugLog("Begin disconnect " + std::to_string(accepted.size()));
        for (const auto& socket : accepted) {
            DebugLog("sHandle->" + std::to_string(socket->handle()));
            if (socket->handle() != user.connectionHandle) continue;
            DebugLog("Found");
            DisconnectAccepted(*socket);
            break;
        }
    } catch (...) {
        DebugLog("Error Connect: " + CaughtText());
    }
}

// ---- The address test ---------------------------------------------------------------------------

bool IsDottedAddress(const std::string& text, std::string* normalised) {
    std::string result;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.', start) : text.size();
        if (dot == std::string::npos) return false;
        const std::optional<int> number = ParseWholeNumber(text.substr(start, dot - start));
        if (!number) return false;
        if (part > 0) result += ".";
        result += std::to_string(*number);
        start = dot + 1;
    }
    if (normalised) *normalised = result;
    return true;
}

}  // namespace merivo
