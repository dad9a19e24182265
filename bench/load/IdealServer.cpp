#include "load/IdealServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "platform/DateTime.h"

namespace merivo::bench {

namespace {

constexpr int kWeek = 7;
constexpr std::size_t kReplyHeader = 24;
constexpr std::size_t kMaxPackage = 64u << 20;
constexpr std::int32_t kServiceCode = 1000;
constexpr std::int32_t kReadSubcode = 3;
constexpr std::int32_t kMailSubcode = 5;
constexpr std::int32_t kUndoCode = 3000;

bool ReadExactly(int fd, void* buffer, std::size_t n) {
    auto* at = static_cast<std::uint8_t*>(buffer);
    while (n > 0) {
        const ssize_t got = ::recv(fd, at, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool SendExactly(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

void SetNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string PeerAddress(int fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    char text[INET_ADDRSTRLEN] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr) {
        return "";
    }
    return text;
}

int ConnectTo(const std::string& address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        SetNoDelay(fd);
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

std::vector<std::uint8_t> Framed(const std::uint8_t* payload, std::size_t size) {
    std::vector<std::uint8_t> frame(4 + size);
    WriteInt32(frame.data(), static_cast<std::int32_t>(size));
    std::copy(payload, payload + size, frame.begin() + 4);
    return frame;
}

}  // namespace

struct IdealServer::Peer {
    std::mutex lock;  // the back connection and the mailbox
    int back = -1;
    std::string mailbox;
};

struct IdealServer::Connection {
    int accepted = -1;
    std::size_t user = 0;
    std::vector<std::uint8_t> frame;  // frame header, reply header and seven records
    std::vector<std::uint8_t> record;
};

IdealServer::IdealServer(std::string dataFile, std::vector<BenchUser> users)
    : dataFilePath_(std::move(dataFile)), users_(std::move(users)) {
    for (std::size_t k = 0; k < users_.size(); ++k) {
        peers_.push_back(std::make_unique<Peer>());
        byAddress_.emplace(users_[k].address, k);
        byName_.emplace(users_[k].name, k);
    }
}

IdealServer::~IdealServer() {
    stop();
}

int IdealServer::start() {
    dataFile_ = ::open(dataFilePath_.c_str(), O_RDWR | O_CLOEXEC);
    if (dataFile_ < 0) throw std::runtime_error("baseline: cannot open " + dataFilePath_);
    const DayRange range = ReadDayRange(dataFilePath_);
    firstDay_ = range.firstDay;
    dayCount_ = range.count;
    char folder[] = "/tmp/merivo-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) throw std::runtime_error("baseline: no mail folder");
    mailFolder_ = folder;
    for (std::size_t k = 0; k < peers_.size(); ++k) {
        peers_[k]->mailbox = mailFolder_ + "/" + std::to_string(k) + ".box";
    }

    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        throw std::runtime_error("baseline: cannot listen");
    }
    port_ = ntohs(local.sin_port);
    if (port_ > 65535 - 10) throw std::runtime_error("baseline: no port with a port + 10");
    acceptor_ = std::thread([this] { acceptLoop(); });
    return port_;
}

void IdealServer::stop() {
    if (stopping_.exchange(true)) return;
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard<std::mutex> guard(connectionsLock_);
        for (const int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& server : servers_) server.join();
    for (auto& peer : peers_) {
        if (peer->back >= 0) ::close(peer->back);
        peer->back = -1;
    }
    if (listener_ >= 0) ::close(listener_);
    if (dataFile_ >= 0) ::close(dataFile_);
    if (!mailFolder_.empty()) std::filesystem::remove_all(mailFolder_);
}

void IdealServer::acceptLoop() {
    while (!stopping_) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        SetNoDelay(fd);
        watchConnection(fd, true);
        std::lock_guard<std::mutex> guard(connectionsLock_);
        servers_.emplace_back([this, fd] { serve(fd); });
    }
}

void IdealServer::watchConnection(int fd, bool add) {
    std::lock_guard<std::mutex> guard(connectionsLock_);
    if (add) {
        connections_.insert(fd);
    } else {
        connections_.erase(fd);
    }
}

void IdealServer::serve(int accepted) {
    Connection connection;
    connection.accepted = accepted;
    if (comeOnline(connection)) {
        std::vector<std::uint8_t> payload;
        std::uint8_t header[4];
        while (!stopping_ && ReadExactly(accepted, header, 4)) {
            const std::int32_t length = ReadInt32(header);
            if (length < 4 || static_cast<std::size_t>(length) > kMaxPackage) break;
            payload.resize(static_cast<std::size_t>(length));
            if (!ReadExactly(accepted, payload.data(), payload.size())) break;
            answer(connection, payload);
        }
        Peer& peer = *peers_[connection.user];
        std::lock_guard<std::mutex> guard(peer.lock);
        if (peer.back >= 0) ::close(peer.back);
        peer.back = -1;
    }
    watchConnection(accepted, false);
    ::close(accepted);
}

bool IdealServer::comeOnline(Connection& connection) {
    const auto found = byAddress_.find(PeerAddress(connection.accepted));
    if (found == byAddress_.end()) return false;
    connection.user = found->second;
    const int back = ConnectTo(users_[connection.user].address, port_ + 10);
    if (back < 0) return false;
    connection.frame.resize(4 + kReplyHeader + kDayRecordSize * kWeek);
    connection.record.resize(kDayRecordSize);
    Peer& peer = *peers_[connection.user];
    std::lock_guard<std::mutex> guard(peer.lock);
    if (peer.back >= 0) ::close(peer.back);
    peer.back = back;
    std::vector<std::uint8_t> userList(4 + kUserListEntrySize * users_.size());
    WriteInt32(userList.data(), kUserListCode);
    const auto frame = Framed(userList.data(), userList.size());
    SendExactly(back, frame.data(), frame.size());
    return true;
}

void IdealServer::answer(Connection& connection, std::vector<std::uint8_t>& payload) {
    const std::int32_t code = ReadInt32(payload.data());
    if (code == kRelayCode) return storeMail(payload);
    if (payload.size() < kRequestPackageSize) return;
    const std::int32_t subcode = ReadInt32(&payload[request::kSubcode]);
    if (code == kServiceCode && subcode == kReadSubcode) return readWeek(connection, payload);
    if (code == kServiceCode && subcode == kMailSubcode) return deliverMail(connection);
    if (code != kServiceCode) editTitle(connection, payload);
}

void IdealServer::readWeek(Connection& connection, const std::vector<std::uint8_t>& request) {
    const double date = ReadDouble(&request[request::kDate]);
    const auto days =
        static_cast<std::int64_t>(std::min<int>(ReadUInt16(&request[request::kDayCount]), kWeek));
    const std::int64_t first = std::clamp<std::int64_t>(
        DayOf(date) - firstDay_, 0, std::max<std::int64_t>(dayCount_ - days, 0));
    std::uint8_t* frame = connection.frame.data();
    const std::size_t bytes = kDayRecordSize * static_cast<std::size_t>(days);
    if (::pread(dataFile_, frame + 4 + kReplyHeader, bytes,
                static_cast<off_t>(first * static_cast<std::int64_t>(kDayRecordSize))) < 0) {
        return;
    }
    WriteInt32(frame, static_cast<std::int32_t>(kReplyHeader + bytes));
    WriteInt32(frame + 4, kNoticeCode);
    WriteInt32(frame + 8, 1);
    WriteInt32(frame + 12, 0);
    WriteDouble(frame + 16, date);
    WriteInt32(frame + 24, static_cast<std::int32_t>(days));
    sendTo(*peers_[connection.user], frame, 4 + kReplyHeader + bytes);
}

void IdealServer::editTitle(Connection& connection, std::vector<std::uint8_t>& request) {
    const std::int64_t day = std::clamp<std::int64_t>(
        DayOf(ReadDouble(&request[request::kDate])) - firstDay_, 0, dayCount_ - 1);
    const auto at = static_cast<off_t>(day * static_cast<std::int64_t>(kDayRecordSize));
    std::uint8_t* record = connection.record.data();
    if (::pread(dataFile_, record, kDayRecordSize, at) != static_cast<ssize_t>(kDayRecordSize)) {
        return;
    }
    std::copy_n(&request[request::kText], day::kTextCapacity + 1, record + day::kTitle);
    if (::pwrite(dataFile_, record, kDayRecordSize, at) != static_cast<ssize_t>(kDayRecordSize)) {
        return;
    }
    const auto forward = Framed(request.data(), request.size());
    for (std::size_t k = 0; k < peers_.size(); ++k) {
        if (k != connection.user) sendTo(*peers_[k], forward.data(), forward.size());
    }
    WriteInt32(request.data(), kUndoCode);
    const auto undo = Framed(request.data(), request.size());
    sendTo(*peers_[connection.user], undo.data(), undo.size());
}

void IdealServer::storeMail(const std::vector<std::uint8_t>& package) {
    if (package.size() < kRelayHeaderSize) return;
    const auto found = byName_.find(ReadShortString(&package[relay::kRecipients], 255));
    if (found == byName_.end()) return;
    Peer& peer = *peers_[found->second];
    const auto frame = Framed(package.data(), package.size());
    {
        std::lock_guard<std::mutex> guard(peer.lock);
        const int box =
            ::open(peer.mailbox.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (box < 0) return;
        const bool stored =
            ::write(box, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
        ::close(box);
        if (!stored) return;
    }
    std::uint8_t notice[8];
    WriteInt32(notice, 4);
    WriteInt32(notice + 4, kMailWaitingCode);
    sendTo(peer, notice, sizeof notice);
}

void IdealServer::deliverMail(Connection& connection) {
    Peer& peer = *peers_[connection.user];
    std::lock_guard<std::mutex> guard(peer.lock);
    const int box = ::open(peer.mailbox.c_str(), O_RDWR | O_CLOEXEC);
    if (box < 0) return;
    std::vector<std::uint8_t> frames(static_cast<std::size_t>(::lseek(box, 0, SEEK_END)));
    if (::pread(box, frames.data(), frames.size(), 0) == static_cast<ssize_t>(frames.size()) &&
        peer.back >= 0 && SendExactly(peer.back, frames.data(), frames.size())) {
        [[maybe_unused]] const int emptied = ::ftruncate(box, 0);
    }
    ::close(box);
}

void IdealServer::sendTo(Peer& peer, const std::uint8_t* frame, std::size_t size) {
    std::lock_guard<std::mutex> guard(peer.lock);
    if (peer.back >= 0) SendExactly(peer.back, frame, size);
}

}  // namespace merivo::bench
