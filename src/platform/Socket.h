#pragma once
// Non-blocking TCP sockets with WinSock error codes. The network layer watches their descriptors
// on the main thread; send processes write to a connection from their own threads under the
// connection's own lock, and closing takes the same lock, so a descriptor is never reused under a
// writer.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace merivo {

// WinSock codes the server names in its log.
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;

// Maps an errno value to its WinSock code (0 stays 0).
int WinSockErrorFromErrno(int error);

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
    // One non-blocking read. Returns the bytes read, 0 when the peer closed, -1 on failure.
    long receiveSome(void* data, std::size_t length, int* error);
    // Bytes waiting to be read now.
    int pendingBytes() const;
    // Sets TCP_NODELAY to 1; failures are ignored.
    void setNoDelay();
    // Closes under the connection's lock; closing twice is harmless.
    void close();

    // The remote address as dotted text ("" when unknown).
    std::string peerAddress() const;

protected:
    void adopt(int fd);
    std::mutex& lock() { return lock_; }

private:
    mutable std::mutex lock_;
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace merivo

namespace merivo {
// The name of a WinSock error as the log shows it (line code - 10000 of the socket error names);
// empty for codes without a name, below 10000 or above 10101.
std::string WinSockErrorName(int code);
}  // namespace merivo
