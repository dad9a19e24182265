#include "net/UnSockSr.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>

#include "db/UnDBType_Packages.h"
#include "db/MessageCatalog.h"
#include "net/ProcessTable.h"
#include "net/UnSockSr_Internal.h"
#include "net/UnSockSr_Receive.h"
#include "net/UnSockSr_Send.h"
#include "net/UnSockSr_SendTurn.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace merivo {

TFormSocksServer* FormSocksServer = nullptr;
std::function<void(int)> OnConnectionCountChanged;
std::vector<TMyNameUser*> PendingConnects;

namespace {
int connectionCount = 0;
// How long the listening socket goes unwatched when no descriptor is left for a connection.
constexpr int kAcceptPauseMs = 100;
}  // namespace

TFormSocksServer::TFormSocksServer(QObject* parent)
    : QObject(parent) {
    setObjectName("Merivo");
    TimerConnect.setInterval(50);
    connect(&TimerConnect, &QTimer::timeout, this, &TFormSocksServer::TimerConnectTimer);
    stallTimer_.setInterval(20);
    connect(&stallTimer_, &QTimer::timeout, this, &TFormSocksServer::RecheckStalled);
    acceptPause_.setSingleShot(true);
    acceptPause_.setInterval(kAcceptPauseMs);
    connect(&acceptPause_, &QTimer::timeout, this, &TFormSocksServer::ResumeAccepting);
    connectionCount = 0;  // a new form starts a new run of the server
    FormSocksServer = this;
}

TFormSocksServer::~TFormSocksServer() {
    TimerConnect.stop();
    stallTimer_.stop();
    acceptPause_.stop();
    for (auto& thread : identifiers_) thread->terminate();
    for (auto& thread : identifiers_) thread->waitFinished(5000);
    for (auto& watch : outgoing_) {
        watch->socket->setDisconnectHandler(nullptr);
        watch->socket->close();
    }
    for (auto& connection : accepted_) {
        connection->socket->setDisconnectHandler(nullptr);
        connection->socket->close();
    }
    if (ServerSocket1) ServerSocket1->close();
    {
        MutexLock guard(ThreadTableLock());
        PendingConnects.clear();
    }
    MutexLock guard(LogLock());
    if (FormSocksServer == this) FormSocksServer = nullptr;
}

bool TFormSocksServer::OnMainThread() const {
    return mainThread_.onMainThread();
}

void TFormSocksServer::RunOnMainThread(std::function<void()> work) {
    mainThread_.run(std::move(work));
}

// ---- Listening and accepting --------------------------------------------------------------------

bool TFormSocksServer::StartListening(int port, std::string* error) {
    return StartListening("", port, error);
}

bool TFormSocksServer::StartListening(const std::string& address, int port, std::string* error) {
    auto socket = std::make_shared<TcpSocket>();
    int code = 0;
    if (!socket->listenOn(address, port, &code)) {
        if (error) *error = "port " + std::to_string(port) + ": " + WinSockErrorName(code);
        return false;
    }
    delete listenNotifier_;
    ServerSocket1 = socket;
    listenNotifier_ = new QSocketNotifier(socket->handle(), QSocketNotifier::Read, this);
    connect(listenNotifier_, &QSocketNotifier::activated, this, [this] { AcceptWaiting(); });
    return true;
}

int TFormSocksServer::ListeningPort() const {
    return ServerSocket1 ? ServerSocket1->localPort() : 0;
}

void TFormSocksServer::AcceptWaiting() {
    for (;;) {
        int error = 0;
        int fd = ServerSocket1 ? ServerSocket1->acceptOne(&error) : -1;
        if (fd < 0) {
            if (error == WSAEMFILE) PauseAccepting();
            return;
        }
        auto socket = std::make_shared<TcpSocket>(fd);
        auto connection = std::make_unique<Accepted>();
        connection->socket = socket;
        connection->reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(connection->reader, &QSocketNotifier::activated, this,
                [this, socket] { OnAcceptedReadable(socket); });
        TcpSocket* raw = socket.get();
        socket->setDisconnectHandler([this, raw] {
            ServerSocket1ClientDisconnect(*raw);  // accepted connections close on this thread only
            return true;
        });
        accepted_.push_back(std::move(connection));
        ServerSocket1ClientConnect(socket);
    }
}

// Out of descriptors, the connection stays waiting and the listening socket stays readable:
// rather than fail to accept it over and over, stop watching the socket for a moment.
void TFormSocksServer::PauseAccepting() {
    if (listenNotifier_) listenNotifier_->setEnabled(false);
    acceptPause_.start();
}

void TFormSocksServer::ResumeAccepting() {
    if (listenNotifier_) listenNotifier_->setEnabled(true);
}

std::vector<std::shared_ptr<TcpSocket>> TFormSocksServer::AcceptedConnections() const {
    std::vector<std::shared_ptr<TcpSocket>> sockets;
    for (const auto& connection : accepted_) sockets.push_back(connection->socket);
    return sockets;
}

TFormSocksServer::Accepted* TFormSocksServer::FindAccepted(const TcpSocket& socket) {
    for (auto& connection : accepted_)
        if (connection->socket.get() == &socket) return connection.get();
    return nullptr;
}

void TFormSocksServer::DisconnectAccepted(TcpSocket& socket) {
    auto found = std::find_if(accepted_.begin(), accepted_.end(),
                              [&](const auto& entry) { return entry->socket.get() == &socket; });
    if (found == accepted_.end()) {
        socket.close();
        return;
    }
    std::unique_ptr<Accepted> connection = std::move(*found);
    accepted_.erase(found);
    connection->reader->setEnabled(false);
    connection->reader->deleteLater();
    connection->socket->close();
}

void TFormSocksServer::OnAcceptedReadable(const std::shared_ptr<TcpSocket>& socket) {
    if (!FindAccepted(*socket)) return;
    int closeError = 0;
    const ReadOutcome outcome = ServerSocket1ClientRead(*socket, &closeError);
    Accepted* connection = FindAccepted(*socket);
    if (!connection) return;
    if (outcome == ReadOutcome::PeerGone && closeError != 0) {
        ServerSocket1ClientError(*socket, closeError);
    }
    if (outcome == ReadOutcome::PeerGone || outcome == ReadOutcome::DropConnection ||
        !socket->connected()) {
        DisconnectAccepted(*socket);
    } else if (outcome == ReadOutcome::BytesLeft) {
        Stall(*connection);
    }
}

// An event that left bytes unread is raised again only when more bytes arrive, the connection
// gets an owner or the peer goes; a level-triggered notifier would otherwise spin on them.
void TFormSocksServer::Stall(Accepted& connection) {
    connection.reader->setEnabled(false);
    connection.stalled = true;
    connection.stalledPending = connection.socket->pendingBytes();
    connection.stalledOwned = FindUserByConnection(connection.socket->handle()) != nullptr;
    if (!stallTimer_.isActive()) stallTimer_.start();
}

void TFormSocksServer::RecheckStalled() {
    bool anyStalled = false;
    for (std::size_t i = 0; i < accepted_.size(); ++i) {
        Accepted& connection = *accepted_[i];
        if (!connection.stalled) continue;
        TcpSocket& socket = *connection.socket;
        bool owned = FindUserByConnection(socket.handle()) != nullptr;
        if (socket.pendingBytes() != connection.stalledPending ||
            owned != connection.stalledOwned) {
            connection.stalled = false;
            connection.reader->setEnabled(true);
        } else if (socket.peerGone()) {
            DisconnectAccepted(socket);
            --i;
        } else {
            anyStalled = true;
        }
    }
    if (!anyStalled) stallTimer_.stop();
}

void TFormSocksServer::ServerSocket1ClientDisconnect(TcpSocket& socket) {
    DebugLog("Server_ClientDisconnect");
    const int handle = socket.handle();
    if (handle != -1) UserDisconnected(FindUserByConnection(handle), true);
    DebugLog("Server_ClientDisconnect");
}

void TFormSocksServer::ServerSocket1ClientError(TcpSocket&, int& code) {
    WriteLog(Msg(msgServerClientError) + WinSockErrorName(code));
    code = 0;
}

// ---- Shutdown -----------------------------------------------------------------------------------

void TFormSocksServer::FormClose() {
    DebugLog("Form.Close");
    try {
        delete listenNotifier_;
        listenNotifier_ = nullptr;
        if (ServerSocket1) ServerSocket1->close();
        while (!accepted_.empty()) DisconnectAccepted(*accepted_.front()->socket);
    } catch (...) {
        DebugLog("Error FormSocks.OnClose: " + CaughtText());
    }
    try {
        ForEachUser([](TMyNameUser& user) {
            try {
                if (user.outgoing) user.outgoing->close();
            } catch (...) {
                DebugLog("Close of " + user.host + ": " + CaughtText());
            }
        });
    } catch (...) {
        DebugLog("Error FormSocks.OnClose: " + CaughtText());
    }
    MutexLock guard(LogLock());
    if (FormSocksServer == this) FormSocksServer = nullptr;
}

// ---- Online bookkeeping -------------------------------------------------------------------------

int ConnectionCount() {
    return connectionCount;
}

void ShowConnectionCount() {
    try {
        if (OnConnectionCountChanged) OnConnectionCountChanged(connectionCount);
    } catch (...) {
        DebugLog("Connection count: " + CaughtText());
    }
}

void SetNoDelay(TcpSocket& socket) {
    if (Config.tcpNoDelay) socket.setNoDelay();
}

namespace {

void SendToUser(TMyNameUser& user, const std::vector<std::uint8_t>& package, int mode) {
    if (SendPackage) SendPackage(user, package.data(), package.size(), user.host, mode);
}

void AnnounceUser(TMyNameUser& user) {
    SendToUser(user, BuildUserListNotice(user), 4);
}

bool InboxHasMail(const TMyNameUser& user) {
    std::unique_ptr<File> inbox = OpenFileRetrying(InboxPath(user), OpenMode::Read);
    return inbox && inbox->size() > 0;
}

}  // namespace

void UserConnected(TMyNameUser& user) {
    if (HasProcesses(user)) {
        try {
            TerminateThreads(user, 1);
            CloseFinishedHandles(user, true);
        } catch (...) {
            DebugLog("Clean-up of " + user.host + ": " + CaughtText());
        }
    }
    DBTable[user.databaseNumber]->connectedUsers += 1;
    connectionCount += 1;
    user.sendStopped = false;
    user.online = true;
    user.onlineSince = CurrentClock().now();
    user.sendIssued = 0;
    user.sendStarted = 0;
    user.sendFinished = 0;
    user.reconnectCount = 0;
    SetUserListOnline(user, true);
    SendToUser(user, UserListImage, 2);
    AnnounceUser(user);
    ShowConnectionCount();
    if (InboxHasMail(user)) SendToUser(user, BuildMailWaitingNotice(), 2);
}

void UserDisconnected(TMyNameUser* user, bool incomingSide, bool closeOutgoing) {
    if (!user) {
        WriteLog(Msg(msgDeleteUnidentified));
        return;
    }
    if (incomingSide) {
        user->connectionHandle = -1;
        ResetReceiveState(TransportOf(*user).receive);
    }
    {
        MutexLock guard(LogLock());
        if (!user->online) return;
        user->online = false;
    }
    SendGatheredPieces(*user);  // they were due before the connection goes
    try {
        if (closeOutgoing && user->outgoing) user->outgoing->close();
    } catch (...) {
        DebugLog("Close of " + user->host + ": " + CaughtText());
    }
    DBTable[user->databaseNumber]->connectedUsers -= 1;
    connectionCount = std::max(0, connectionCount - 1);
    user->reconnectCount = 0;
    SetUserListOnline(*user, false);
    AnnounceUser(*user);
    ShowConnectionCount();
}

}  // namespace merivo
