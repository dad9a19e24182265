#pragma once
// Non-blocking TCP sockets with WinSock error codes. The network layer watches their descriptors
// on the main thread; send processes write to a connection from their own threads under the
// connection's own lock, and closing takes the same lock, so a descriptor is never reused under a
// writer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Locks.h"

struct iovec;

namespace merivo {

// WinSock codes the server names in its log.
constexpr int WSAEMFILE = 10024;  // out of descriptors (for the process or the system)
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAHOST_NOT_FOUND = 11001;  // a host name that does not resolve

// Maps an errno value to its WinSock code (0 stays 0).
int WinSockErrorFromErrno(int error);

// The host name of a dotted IPv4 address by reverse look-up; none when it has none. May block.
std::optional<std::string> ReverseLookup(const std::string& address);
// The IPv4 address of a host name as dotted text; none when it does not resolve. May block.
std::optional<std::string> ResolveHost(const std::string& name);

// Lifts the process's soft limit of open descriptors to its hard limit: every connection holds
// one, and the usual soft limit (1,024) is below what a server of many users needs.
void RaiseDescriptorLimit();

class TcpSocket {
public:
    TcpSocket() = default;
    explicit TcpSocket(int fd);  // takes over an accepted, connected descriptor
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // The descriptor, or -1 when the socket is closed.
    int handle() const;
    bool connected() const;

    // One non-blocking send under the connection's lock. Returns the bytes taken or -1; the
    // WinSock code of a failure (WSAEWOULDBLOCK when the socket is full) goes to *error.
    // A socket that is not connected takes nothing and returns -1 with WSAENOTCONN.
    long sendSome(const void* data, std::size_t length, int* error);
    // The same for two buffers sent one after the other in one call.
    long sendPair(const void* first, std::size_t firstLength, const void* second,
                  std::size_t secondLength, int* error);
    // Waits up to ms milliseconds until a send would take bytes (or fail); false when it did
    // not become ready, or the socket is not connected.
    bool waitWritable(int ms) const MAY_WAIT;
    // One non-blocking read. Returns the bytes read, 0 when the peer closed, -1 on failure.
    long receiveSome(void* data, std::size_t length, int* error);
    // The same into two buffers, the first filled before the second.
    long receivePair(void* first, std::size_t firstLength, void* second,
                     std::size_t secondLength, int* error);
    // Bytes waiting to be read now.
    int pendingBytes() const;
    // Sets TCP_NODELAY to 1; failures are ignored.
    void setNoDelay();
    // Closes under the connection's lock; closing twice is harmless.
    void close();

    // The remote address as dotted text ("" when unknown).
    std::string peerAddress() const;

    // ---- Listening --------------------------------------------------------------------------
    // Opens a non-blocking listening socket on address ("" = every address) and port. False,
    // with the WinSock code in *error, when it cannot.
    bool listenOn(const std::string& address, int port, int* error);
    // Takes one waiting connection: its descriptor (non-blocking), or -1 with the code in *error
    // (WSAEWOULDBLOCK when none waits).
    int acceptOne(int* error);
    // The port the socket is bound to (0 when unknown).
    int localPort() const;

    // ---- Connecting -------------------------------------------------------------------------
    // Starts a non-blocking connection attempt to host (a dotted address or a name, resolved
    // now) at port, from bindAddress when it is not empty. True when the attempt is under way
    // or already refused (the outcome comes from finishConnect); false, with the code in *error,
    // when no attempt could be started (a name that does not resolve, no descriptor).
    bool startConnect(const std::string& host, int port, const std::string& bindAddress,
                      int* error);
    // An attempt is under way: the descriptor is open but not yet connected.
    bool connecting() const;
    // Completes the attempt once the descriptor is writable: 0 when the connection is up (it
    // becomes connected), else the WinSock code. A failed attempt keeps its descriptor, so that
    // the error handler still sees the handle, until close() or the next startConnect.
    int finishConnect();

    // ---- State of an established connection -------------------------------------------------
    // The peer has closed or reset the connection (or it is in error); pending bytes may remain.
    bool peerGone() const;
    // The pending error of the descriptor as a WinSock code (SO_ERROR; 0 when none).
    int takeError();
    // Called by close() when it ends an established connection, before the descriptor is
    // released (so the handler still sees the handle), on the thread that closes. A handler that
    // returns false keeps the descriptor, shut down, until releaseDescriptor(handle) is called.
    void setDisconnectHandler(std::function<bool()> handler);
    // Releases a descriptor whose release the disconnect handler held back.
    void releaseDescriptor(int handle);

protected:
    void adopt(int fd);

private:
    long sendParts(iovec* parts, std::size_t count, int* error);
    long receiveParts(iovec* parts, std::size_t count, int* error);
    void markDown() REQUIRES(lock_);
    // Puts a listening or still connecting descriptor in place of the current one.
    void installUnconnected(int fd);

    mutable Mutex lock_ LEAF_LOCK;
    int fd_ GUARDED_BY(lock_) = -1;
    // The connection came up (accepted, or the attempt completed).
    bool established_ GUARDED_BY(lock_) = false;
    bool connected_ GUARDED_BY(lock_) = false;  // established and not yet found down
    bool closing_ GUARDED_BY(lock_) = false;
    std::function<bool()> disconnectHandler_ GUARDED_BY(lock_);
};

// A wake-up that any thread may raise for the thread that watches its descriptor (readable
// while raised).
class WakeupEvent {
public:
    WakeupEvent();
    ~WakeupEvent();
    WakeupEvent(const WakeupEvent&) = delete;
    WakeupEvent& operator=(const WakeupEvent&) = delete;

    int handle() const { return fd_; }
    void raise();
    void clear();

private:
    int fd_;
};

}  // namespace merivo

namespace merivo {
// The name of a WinSock error as the log shows it (line code - 10000 of the socket error names);
// empty for codes without a name, below 10000 or above 10101.
std::string WinSockErrorName(int code);
}  // namespace merivo
