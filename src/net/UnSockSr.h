#pragma once
// The sockets form: the listening socket, the users' outgoing connections, identification of
// connecting peers, the connect timer and the receive path. It is a QObject without a window:
// the transport needs only Qt's event loop, timers and socket notifiers.
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "net/MainThreadQueue.h"
#include "platform/Locks.h"
#include "platform/NameLookup.h"

class QSocketNotifier;

namespace merivo {

class TcpSocket;
class Thread;

class TFormSocksServer : public QObject {
    Q_OBJECT
  public:
    explicit TFormSocksServer(QObject* parent = nullptr);
    ~TFormSocksServer() override;

    // User step 3 at start-up: creates the user's outgoing connection object (port UserPort,
    // target the host as address or name).
    void CreateOutgoingConnection(TMyNameUser& user);
    // Opens the listening socket on the given port. False, with a reason, when it cannot.
    bool StartListening(int port, std::string* error);
    // The same on one local address only ("" = every address).
    bool StartListening(const std::string& address, int port, std::string* error);
    // Shutdown: closes the listening socket, every accepted and every outgoing connection.
    // The form is not deleted here; its creator owns it.
    void FormClose();

    // ---- Event handlers (main thread) ---------------------------------------------------------
    void ServerSocket1ClientConnect(const std::shared_ptr<TcpSocket>& socket);
    void ServerSocket1ClientDisconnect(TcpSocket& socket);
    void ServerSocket1ClientError(TcpSocket& socket, int& code);
    void ClientSocket1Connect(TcpSocket& socket);
    void ClientSocket1Error(TcpSocket& socket, int& code);
    void TimerConnectTimer();

    // The port the listening socket is bound to (0 when it is not open).
    int ListeningPort() const;
    // The accepted connections, in the order they were accepted.
    std::vector<std::shared_ptr<TcpSocket>> AcceptedConnections() const;
    // Closes an accepted connection; its disconnect event runs first.
    void DisconnectAccepted(TcpSocket& socket);

  private:
    struct Accepted;
    struct Outgoing;

    void AcceptWaiting();
    void PauseAccepting();
    void ResumeAccepting();
    void OnAcceptedReadable(const std::shared_ptr<TcpSocket>& socket);
    void OnAcceptedError(const std::shared_ptr<TcpSocket>& socket);
    Accepted* FindAccepted(const TcpSocket& socket);
    void Stall(Accepted& connection);
    void RecheckStalled();

    enum class Resolution { Pending, Resolved, Failed };
    bool ConnectBack(TMyNameUser& user);
    void RefuseSecondConnection(TMyNameUser& user);
    Resolution ResolveTarget(Outgoing& watch);
    bool OpenOutgoing(TMyNameUser& user, int* error);
    void GiveUpOnUser(TMyNameUser& user);
    Outgoing* FindOutgoing(const TcpSocket& socket);
    void WatchOutgoing(Outgoing& watch);
    void ForgetOutgoingNotifiers(Outgoing& watch);
    void OnOutgoingWritable(Outgoing& watch);
    void OnOutgoingReadable(Outgoing& watch);
    void OnOutgoingClosed(Outgoing& watch, int handle, TMyNameUser* owner);

    struct Identification {
        std::shared_ptr<TcpSocket> socket;
        int handle = -1;
    };
    bool QueueIdentification(const std::shared_ptr<TcpSocket>& socket);
    void IdentifyQueued(Thread& self);
    void IdentifyPeer(Thread& self, const std::shared_ptr<TcpSocket>& socket, int handle);
    std::optional<std::string> LookUpPeerName(Thread& self, const TcpSocket& socket, int handle,
                                              const std::string& address);
    void QueueConnectBack(TMyNameUser& user, const TcpSocket& socket, int handle);
    void AdoptConnection(TMyNameUser& user, int handle);
    void KeepUnknown(const std::shared_ptr<TcpSocket>& socket, int handle);
    void RunOnMainThread(std::function<void()> work);
    bool OnMainThread() const;

    MainThreadQueue mainThread_;
    std::shared_ptr<TcpSocket> ServerSocket1;
    QSocketNotifier* listenNotifier_ = nullptr;
    std::vector<std::unique_ptr<Accepted>> accepted_;
    std::vector<std::unique_ptr<Outgoing>> outgoing_;
    std::vector<std::shared_ptr<Thread>> identifiers_;  // main thread
    Mutex identifyLock_ ACQUIRED_AFTER(ThreadTableMutex, LogMutex);
    // Accepted, waiting for an identifier.
    std::deque<Identification> identifyQueue_ GUARDED_BY(identifyLock_);
    int identifyWorkers_ GUARDED_BY(identifyLock_) = 0;  // identifiers running
    std::deque<std::shared_ptr<TcpSocket>> unknown_;  // connections of no user, oldest first
    QTimer TimerConnect;
    QTimer stallTimer_;
    QTimer acceptPause_;  // single shot: watches the listening socket again
};

// The process-wide reference to the sockets form; empty before it is created and after close.
extern TFormSocksServer* FormSocksServer;

// ---- Online bookkeeping ---------------------------------------------------------------------

// Number of online users over all databases.
int ConnectionCount();
// Set by the host: shows the connection count on the main window.
extern std::function<void(int)> OnConnectionCountChanged;
void ShowConnectionCount();
// TCP_NODELAY on the socket when the "TCPNoDelay" setting is on.
void SetNoDelay(TcpSocket& socket);
// The user's outgoing connection is up: counters, user list, notices, mail-waiting notice.
void UserConnected(TMyNameUser& user);
// A connection of the user (nullptr: no user carries it) went down. The user's outgoing
// connection is closed with it unless closeOutgoing is false (it is a newer one).
void UserDisconnected(TMyNameUser* user, bool incomingSide, bool closeOutgoing = true);

// How long a name look-up may take before the server goes on without its answer: a name server
// of the workgroup's network answers within milliseconds; one that has not answered by then is
// down or out of reach.
constexpr std::uint32_t kNameLookupTimeoutMs = 3000;

// Reverse look-ups that identification (of the protocol's connections, and of the calendars'
// callers, each on its own count) may have running, those given up on included. One given up on
// runs on until the resolver gives up itself (some seconds), holding a thread and a descriptor;
// beyond this many a peer is identified by its address alone.
constexpr int kMaxPeerLookups = 32;

// How identification finds the name of a peer whose address is no user's host (ReverseLookup;
// tests put a slow look-up in its place). May block.
extern LookupFunction PeerNameLookup;
// How the address of a user's host name is found before connecting back (ResolveHost; tests
// put their own in its place). May block.
extern LookupFunction HostAddressLookup;

// Users identified and waiting for their outgoing connection.
extern std::vector<TMyNameUser*> PendingConnects GUARDED_BY(ThreadTableMutex);

// The address test: number "." number "." number "." number; *normalised gets the numbers
// printed in decimal (leading zeros gone).
bool IsDottedAddress(const std::string& text, std::string* normalised);

}  // namespace merivo
