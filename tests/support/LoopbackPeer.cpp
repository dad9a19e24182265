#include "support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "db/UnDBType.h"
#include "platform/Socket.h"

namespace merivo {

LoopbackPeer::LoopbackPeer(std::shared_ptr<TcpSocket>& server, int receiveBuffer) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int accepted = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    if (receiveBuffer > 0) {
        ::setsockopt(accepted, SOL_SOCKET, SO_SNDBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    server = std::make_shared<TcpSocket>(accepted);
}

LoopbackPeer::~LoopbackPeer() {
    close();
}

void LoopbackPeer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Bytes LoopbackPeer::read(std::size_t n, int timeoutMs) {
    Bytes bytes(n);
    std::size_t got = 0;
    while (got < n) {
        pollfd watched{fd_, POLLIN, 0};
        if (::poll(&watched, 1, timeoutMs) <= 0) break;
        const ssize_t r = ::recv(fd_, bytes.data() + got, n - got, 0);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    bytes.resize(got);
    return bytes;
}

std::optional<Bytes> LoopbackPeer::frame(int timeoutMs) {
    Bytes header = read(4, timeoutMs);
    if (header.size() < 4) return std::nullopt;
    const auto size = static_cast<std::size_t>(ReadInt32(header.data()));
    Bytes payload = read(size, timeoutMs);
    if (payload.size() < size) return std::nullopt;
    return payload;
}

bool LoopbackPeer::closedByServer(int timeoutMs) {
    std::uint8_t sink[65536];
    for (;;) {
        pollfd watched{fd_, POLLIN, 0};
        if (::poll(&watched, 1, timeoutMs) <= 0) return false;
        const ssize_t r = ::recv(fd_, sink, sizeof sink, 0);
        if (r <= 0) return true;
    }
}

Bytes Numbered(std::size_t size, int number) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(number + i * 7);
    if (size >= 4) WriteInt32(bytes.data(), number);
    return bytes;
}

}  // namespace merivo
