#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace merivo {

namespace {

// errno values and the WinSock codes of the same failures.
struct ErrnoCode {
    int error;
    int code;
};
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, 10055},
    {EISCONN, 10056},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

}  // namespace

int WinSockErrorFromErrno(int error) {
    if (error == 0) return 0;
    for (const ErrnoCode& entry : kErrnoCodes)
        if (entry.error == error) return entry.code;
    return 10101;  // any other failure ends the connection: WSAEDISCON
}

std::optional<std::string> ReverseLookup(const std::string& address) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return std::nullopt;
    char name[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<sockaddr*>(&peer), sizeof peer, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return std::nullopt;
    }
    return name;
}

std::optional<std::string> ResolveHost(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN] = {};
    const in_addr address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    if (!inet_ntop(AF_INET, &address, text, sizeof text)) return std::nullopt;
    return text;
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

namespace {

// The WinSock code of the current errno.
int LastError() {
    return WinSockErrorFromErrno(errno);
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A connection error that ends the connection (as opposed to "try again").
bool IsHardError(int error) {
    return error != EAGAIN && error != EWOULDBLOCK && error != EINTR;
}

// Fills an IPv4 address from a dotted text or a name; false when it does not resolve.
bool ResolveIPv4(const std::string& host, int port, sockaddr_in* address) {
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<std::uint16_t>(port));
    if (host.empty()) {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (inet_pton(AF_INET, host.c_str(), &address->sin_addr) == 1) return true;
    const std::optional<std::string> resolved = ResolveHost(host);
    return resolved && inet_pton(AF_INET, resolved->c_str(), &address->sin_addr) == 1;
}

int NewStreamSocket(int* error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) *error = LastError();
    return fd;
}

}  // namespace

TcpSocket::TcpSocket(int fd) {
    adopt(fd);
}

TcpSocket::~TcpSocket() {
    MutexLock guard(lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TcpSocket::adopt(int fd) {
    MutexLock guard(lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    established_ = connected_ = fd >= 0;
    closing_ = false;
    if (fd >= 0) SetNonBlocking(fd);
}

void TcpSocket::installUnconnected(int fd) {
    MutexLock guard(lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    established_ = connected_ = closing_ = false;
}

int TcpSocket::handle() const {
    MutexLock guard(lock_);
    return fd_;
}

bool TcpSocket::connected() const {
    MutexLock guard(lock_);
    return connected_;
}

void TcpSocket::markDown() {
    connected_ = false;
}

long TcpSocket::sendSome(const void* data, std::size_t length, int* error) {
    iovec part{const_cast<void*>(data), length};
    return sendParts(&part, 1, error);
}

long TcpSocket::sendPair(const void* first, std::size_t firstLength, const void* second,
                         std::size_t secondLength, int* error) {
    iovec parts[2] = {{const_cast<void*>(first), firstLength},
                      {const_cast<void*>(second), secondLength}};
    return sendParts(parts, 2, error);
}

long TcpSocket::sendParts(iovec* parts, std::size_t count, int* error) {
    MutexLock guard(lock_);
    *error = 0;
    if (!connected_) {
        *error = WSAENOTCONN;
        return -1;
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<long>(sent);
    *error = LastError();
    if (IsHardError(errno)) markDown();
    return -1;
}

bool TcpSocket::waitWritable(int ms) const {
    int fd = -1;
    {
        MutexLock guard(lock_);
        if (!connected_) return false;
        fd = fd_;
    }
    // Polled without the lock, so that closing the connection never waits for a writer. Should
    // the descriptor be closed and reused meanwhile, the wait merely ends early or runs out; the
    // next send is made under the lock and finds the connection closed.
    pollfd watched{fd, POLLOUT, 0};
    return ::poll(&watched, 1, ms > 0 ? ms : 0) > 0;
}

long TcpSocket::receiveSome(void* data, std::size_t length, int* error) {
    iovec part{data, length};
    return receiveParts(&part, 1, error);
}

long TcpSocket::receivePair(void* first, std::size_t firstLength, void* second,
                            std::size_t secondLength, int* error) {
    iovec parts[2] = {{first, firstLength}, {second, secondLength}};
    return receiveParts(parts, 2, error);
}

long TcpSocket::receiveParts(iovec* parts, std::size_t count, int* error) {
    MutexLock guard(lock_);
    *error = 0;
    if (fd_ < 0 || !established_) {
        *error = WSAENOTCONN;
        return -1;
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t got = ::recvmsg(fd_, &message, MSG_DONTWAIT);
    if (got > 0) return static_cast<long>(got);
    if (got == 0) {
        std::size_t length = 0;
        for (std::size_t i = 0; i < count; ++i) length += parts[i].iov_len;
        if (length > 0) markDown();
        return 0;
    }
    *error = LastError();
    if (IsHardError(errno)) markDown();
    return -1;
}

int TcpSocket::pendingBytes() const {
    MutexLock guard(lock_);
    int count = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &count) != 0) return 0;
    return count;
}

void TcpSocket::setNoDelay() {
    MutexLock guard(lock_);
    if (fd_ < 0) return;
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void TcpSocket::setDisconnectHandler(std::function<bool()> handler) {
    MutexLock guard(lock_);
    disconnectHandler_ = std::move(handler);
}

void TcpSocket::close() {
    std::function<bool()> handler;
    int handle = -1;
    {
        MutexLock guard(lock_);
        if (fd_ < 0 || closing_) return;
        closing_ = true;
        handle = fd_;
        // Writers see the connection down at once; the descriptor stays ours until released.
        connected_ = false;
        if (established_) {
            ::shutdown(fd_, SHUT_RDWR);
            handler = disconnectHandler_;
        }
    }
    if (!handler || handler()) releaseDescriptor(handle);
}

void TcpSocket::releaseDescriptor(int handle) {
    MutexLock guard(lock_);
    if (fd_ < 0 || fd_ != handle || !closing_) return;
    ::close(fd_);
    fd_ = -1;
    established_ = connected_ = closing_ = false;
}

std::string TcpSocket::peerAddress() const {
    MutexLock guard(lock_);
    if (fd_ < 0) return "";
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return "";
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text)) return "";
    return text;
}

bool TcpSocket::listenOn(const std::string& address, int port, int* error) {
    *error = 0;
    sockaddr_in local{};
    if (!ResolveIPv4(address, port, &local)) {
        *error = 10049;  // WSAEADDRNOTAVAIL
        return false;
    }
    int fd = NewStreamSocket(error);
    if (fd < 0) return false;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        *error = LastError();
        ::close(fd);
        return false;
    }
    installUnconnected(fd);
    return true;
}

int TcpSocket::acceptOne(int* error) {
    MutexLock guard(lock_);
    *error = 0;
    if (fd_ < 0) {
        *error = WSAENOTCONN;
        return -1;
    }
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) *error = LastError();
    return fd;
}

int TcpSocket::localPort() const {
    MutexLock guard(lock_);
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

bool TcpSocket::startConnect(const std::string& host, int port, const std::string& bindAddress,
                             int* error) {
    *error = 0;
    sockaddr_in remote{};
    sockaddr_in local{};
    if (host.empty() || !ResolveIPv4(host, port, &remote) ||
        (!bindAddress.empty() && !ResolveIPv4(bindAddress, 0, &local))) {
        *error = WSAHOST_NOT_FOUND;
        return false;
    }
    int fd = NewStreamSocket(error);
    if (fd < 0) return false;
    if (!bindAddress.empty() &&
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        *error = LastError();
        ::close(fd);
        return false;
    }
    // A refusal may be reported at once on loopback; it is kept as the descriptor's pending
    // error so that finishConnect reports it like any other outcome.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 &&
        errno != EINPROGRESS && errno != ECONNREFUSED) {
        *error = LastError();
        ::close(fd);
        return false;
    }
    installUnconnected(fd);
    return true;
}

bool TcpSocket::connecting() const {
    MutexLock guard(lock_);
    return fd_ >= 0 && !established_;
}

int TcpSocket::finishConnect() {
    MutexLock guard(lock_);
    if (fd_ < 0) return WSAENOTCONN;
    int code = 0;
    socklen_t size = sizeof code;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &code, &size) != 0) code = errno;
    sockaddr_in address{};
    socklen_t addressSize = sizeof address;
    if (code == 0 && ::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &addressSize) != 0) {
        code = ECONNREFUSED;  // refused before SO_ERROR was read
    }
    if (code != 0) return WinSockErrorFromErrno(code);
    established_ = connected_ = true;
    return 0;
}

bool TcpSocket::peerGone() const {
    MutexLock guard(lock_);
    if (fd_ < 0) return true;
    pollfd watch{fd_, POLLRDHUP, 0};
    if (::poll(&watch, 1, 0) < 0) return false;
    return (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int TcpSocket::takeError() {
    MutexLock guard(lock_);
    if (fd_ < 0) return 0;
    int code = 0;
    socklen_t size = sizeof code;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &code, &size) != 0) return 0;
    return WinSockErrorFromErrno(code);
}

WakeupEvent::WakeupEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeupEvent::~WakeupEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void WakeupEvent::raise() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

void WakeupEvent::clear() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(fd_, &count, sizeof count);
}

}  // namespace merivo
