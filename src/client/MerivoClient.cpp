#include "client/MerivoClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"

namespace merivo {

namespace {

using Kind = ClientError::Kind;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kFrameHeaderSize = 4;
constexpr std::size_t kReadChunk = 65536;
constexpr std::uint8_t kDirectDelivery = 10;

[[noreturn]] void Fail(Kind kind, const std::string& what) {
    throw ClientError(kind, what + ": " + std::strerror(errno));
}

sockaddr_in AddressOf(const std::string& address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1) {
        throw ClientError(Kind::Io, "not an IPv4 address: " + address);
    }
    return result;
}

int NewSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail(Kind::Io, "socket");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return fd;
}

void Bind(int fd, const std::string& address, int port) {
    const sockaddr_in local = AddressOf(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        Fail(Kind::Io, "bind " + address + ":" + std::to_string(port));
    }
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Milliseconds left until the deadline, at least 0.
int MsLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is readable; false at the deadline.
bool WaitReadable(int fd, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        const int ready = ::poll(&watched, 1, MsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) Fail(Kind::Io, "poll");
    }
}

void SendAllBytes(int fd, const std::uint8_t* data, std::size_t length) {
    if (fd < 0) throw ClientError(Kind::Closed, "not connected to the server");
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            Fail(errno == EPIPE || errno == ECONNRESET ? Kind::Closed : Kind::Io, "send");
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

}  // namespace

MerivoClient::MerivoClient(ClientOptions options) : options_(std::move(options)) {}

MerivoClient::~MerivoClient() {
    close();
}

void MerivoClient::connect(int timeoutMs) {
    open();
    acceptBackConnection(timeoutMs);
}

void MerivoClient::open() {
    close();
    try {
        listenAndConnect();
    } catch (...) {
        close();
        throw;
    }
}

void MerivoClient::listenAndConnect() {
    listener_ = NewSocket();
    Bind(listener_, options_.ownAddress, options_.serverPort + 10);
    if (::listen(listener_, 4) != 0) Fail(Kind::Io, "listen");

    toServer_ = NewSocket();
    Bind(toServer_, options_.ownAddress, 0);
    const sockaddr_in server = AddressOf(options_.serverAddress, options_.serverPort);
    if (::connect(toServer_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        Fail(errno == ECONNREFUSED ? Kind::Refused : Kind::Io,
             "connect to " + options_.serverAddress + ":" + std::to_string(options_.serverPort));
    }
    const int on = 1;
    ::setsockopt(toServer_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void MerivoClient::acceptBackConnection(int timeoutMs) {
    if (listener_ < 0) throw ClientError(Kind::Closed, "not listening");
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    if (!WaitReadable(listener_, deadline)) {
        throw ClientError(Kind::Timeout, "the server did not connect back to " +
                                             options_.ownAddress + ":" +
                                             std::to_string(options_.serverPort + 10));
    }
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) Fail(Kind::Io, "accept");
    CloseFd(back_);
    back_ = fd;
    backClosed_ = false;
    received_.clear();
}

void MerivoClient::sendPackage(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame(kFrameHeaderSize);
    WriteInt32(frame.data(), static_cast<std::int32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    sendRaw(frame);
}

void MerivoClient::sendRaw(const std::vector<std::uint8_t>& bytes) {
    SendAllBytes(toServer_, bytes.data(), bytes.size());
}

std::optional<std::vector<std::uint8_t>> MerivoClient::takeBufferedPackage() {
    if (received_.size() < kFrameHeaderSize) return std::nullopt;
    const std::int32_t length = ReadInt32(received_.data());
    if (length < 0 || static_cast<std::size_t>(length) > options_.maxPackageSize) {
        throw ClientError(Kind::Protocol, "frame length " + std::to_string(length));
    }
    const std::size_t frameSize = kFrameHeaderSize + static_cast<std::size_t>(length);
    if (received_.size() < frameSize) return std::nullopt;
    std::vector<std::uint8_t> package(received_.begin() + kFrameHeaderSize,
                                      received_.begin() + static_cast<std::ptrdiff_t>(frameSize));
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(frameSize));
    return package;
}

std::optional<std::vector<std::uint8_t>> MerivoClient::receivePackage(int timeoutMs) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto package = takeBufferedPackage()) return package;
        if (back_ < 0) throw ClientError(Kind::Closed, "no back connection from the server");
        if (backClosed_) throw ClientError(Kind::Closed, "the server closed the back connection");
        if (!WaitReadable(back_, deadline)) return std::nullopt;
        std::uint8_t chunk[kReadChunk];
        const ssize_t got = ::recv(back_, chunk, sizeof chunk, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != ECONNRESET) Fail(Kind::Io, "recv");
        }
        if (got <= 0) {
            backClosed_ = true;
            continue;
        }
        received_.insert(received_.end(), chunk, chunk + got);
    }
}

int MerivoClient::drainPackages(int timeoutMs) {
    int count = 0;
    while (receivePackage(timeoutMs)) ++count;
    return count;
}

void MerivoClient::close() {
    CloseFd(toServer_);
    CloseFd(back_);
    CloseFd(listener_);
    received_.clear();
}

void MerivoClient::closeServerConnection() {
    CloseFd(toServer_);
}

std::vector<std::uint8_t> BuildRequest(std::int32_t code, std::int32_t subcode, double date,
                                       std::uint16_t dayCount) {
    std::vector<std::uint8_t> package(kRequestPackageSize);
    WriteInt32(&package[request::kCode], code);
    WriteInt32(&package[request::kSubcode], subcode);
    WriteDouble(&package[request::kDate], date);
    WriteUInt16(&package[request::kDayCount], dayCount);
    return package;
}

std::vector<std::uint8_t> BuildRelayPackage(const std::string& recipients,
                                            const std::string& originator,
                                            const std::vector<std::uint8_t>& body, bool direct) {
    constexpr std::size_t kFieldCapacity = 255;
    std::vector<std::uint8_t> package(kRelayHeaderSize);
    WriteInt32(&package[0], kRelayCode);
    if (direct) package[relay::kDeliveryKind] = kDirectDelivery;
    WriteShortString(&package[relay::kOriginator], kFieldCapacity, originator);
    if (recipients.size() <= kFieldCapacity) {
        WriteShortString(&package[relay::kRecipients], kFieldCapacity, recipients);
    } else {
        WriteShortString(&package[relay::kRecipients], kFieldCapacity, kLongAddressMarker);
        std::uint8_t count[4];
        WriteInt32(count, static_cast<std::int32_t>(recipients.size()));
        package.insert(package.end(), count, count + 4);
        package.insert(package.end(), recipients.begin(), recipients.end());
    }
    package.insert(package.end(), body.begin(), body.end());
    return package;
}

std::optional<std::int32_t> PackageCode(const std::vector<std::uint8_t>& package) {
    if (package.size() < 4) return std::nullopt;
    return ReadInt32(package.data());
}

}  // namespace merivo
