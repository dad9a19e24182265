#include "load/LoadDriver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "client/MerivoClient.h"
#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "load/FrameReader.h"

namespace merivo::bench {

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

constexpr int kWeek = 7;
constexpr std::size_t kWeekReplySize = 24 + kDayRecordSize * kWeek;
constexpr std::int32_t kReadSubcode = 3;
constexpr std::int32_t kReadAnswerSubcode = 1;
constexpr std::int32_t kMailSubcode = 5;
constexpr std::int32_t kServiceCode = 1000;
constexpr std::int32_t kTitleEdit = 2;
constexpr std::int32_t kUndoCode = 3000;
constexpr std::int32_t kNotStoredCode = 7000;
constexpr auto kFetchInterval = std::chrono::milliseconds(500);
constexpr std::size_t kScratchSize = 256 * 1024;
constexpr int kReadsPerEvent = 4;  // then the next user's turn

enum class Phase { Connect, Load, Stop };

enum Socket : std::uint64_t { kListener = 0, kToServer = 1, kBack = 2 };

double Ms(SteadyClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

sockaddr_in Address(const std::string& text, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, text.c_str(), &address.sin_addr);
    return address;
}

int BoundSocket(const std::string& address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = Address(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

struct SimUser {
    BenchUser info;
    std::size_t slot = 0;  // its index in its thread's table, kept in its epoll events
    int listener = -1;
    int toServer = -1;
    int back = -1;
    bool connected = false;  // the connection to the server is up
    bool online = false;     // the user list arrived on the back connection
    TimePoint onlineAt;
    bool gone = false;  // a connection failed or was closed; the user takes no more part
    FrameReader reader;
    std::vector<std::uint8_t> out;  // framed bytes not yet taken by the socket
    std::size_t outSent = 0;
    bool watchingOut = true;  // EPOLLOUT is in its events (the connect is watched with it)
    bool waiting = false;
    TimePoint sentAt;
    long serial = 0;
    SimUser* mailTo = nullptr;
    SimUser* mailFrom = nullptr;
    bool mailArrived = false;
    TimePoint lastFetch;
};

struct Shared {
    const LoadOptions& options;
    TimePoint start;
    std::atomic<Phase> phase{Phase::Connect};
    std::atomic<int> online{0};
    std::atomic<int> settled{0};  // users online or gone
};

// The users of one thread, driven from one epoll set.
class LoadThread {
  public:
    LoadThread(Shared& shared, std::vector<BenchUser> users, unsigned seed);
    ~LoadThread();
    void run();
    void addTo(LoadResult& result, std::vector<double>& onlineMs,
               std::vector<float>& latencies) const;

  private:
    void openUser(std::size_t k);
    void watch(int fd, std::size_t k, Socket which, std::uint32_t events, int op);
    void handle(const epoll_event& event);
    void onConnected(SimUser& user, std::size_t k);
    void onAccept(SimUser& user, std::size_t k);
    void onBackReadable(SimUser& user);
    void onServerReadable(SimUser& user);
    void onPackage(SimUser& user, const Frame& frame);
    void complete(SimUser& user, bool failed);
    void drop(SimUser& user, bool byServer);
    void settle(SimUser& user);
    void sendNext(SimUser& user);
    void queue(SimUser& user, const std::vector<std::uint8_t>& payload);
    void flush(SimUser& user);
    void fetchArrivedMail();
    std::vector<std::uint8_t> nextRequest(SimUser& user);
    double randomWeekStart();
    double randomDay();

    Shared& shared_;
    std::vector<std::unique_ptr<SimUser>> users_;
    int epoll_ = -1;
    std::mt19937 random_;
    std::vector<std::uint8_t> scratch_;
    std::vector<std::uint8_t> mailBody_;
    bool loadStarted_ = false;
    long errors_ = 0, disconnects_ = 0, forwards_ = 0, mailFetched_ = 0, completed_ = 0;
    std::vector<float> latenciesMs_;
};

LoadThread::LoadThread(Shared& shared, std::vector<BenchUser> users, unsigned seed)
    : shared_(shared),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      random_(seed),
      scratch_(kScratchSize) {
    for (auto& info : users) {
        users_.push_back(std::make_unique<SimUser>());
        users_.back()->info = std::move(info);
        users_.back()->slot = users_.size() - 1;
    }
    for (std::size_t k = 0; k < users_.size(); ++k) {
        users_[k]->mailTo = users_[(k + 1) % users_.size()].get();
        users_[k]->mailTo->mailFrom = users_[k].get();
    }
    if (shared_.options.mode == LoadMode::Mail) {
        mailBody_.resize(shared_.options.mailSize);
        for (std::size_t i = 0; i < mailBody_.size(); ++i) {
            mailBody_[i] = static_cast<std::uint8_t>(i * 7);
        }
    }
}

LoadThread::~LoadThread() {
    for (auto& user : users_) {
        CloseFd(user->toServer);
        CloseFd(user->back);
        CloseFd(user->listener);
    }
    CloseFd(epoll_);
}

void LoadThread::watch(int fd, std::size_t k, Socket which, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = (static_cast<std::uint64_t>(k) << 2) | which;
    ::epoll_ctl(epoll_, op, fd, &event);
}

void LoadThread::openUser(std::size_t k) {
    SimUser& user = *users_[k];
    const int port = shared_.options.port;
    user.listener = BoundSocket(user.info.address, port + 10);
    if (user.listener < 0 || ::listen(user.listener, 16) != 0) return drop(user, false);
    user.toServer = BoundSocket(user.info.address, 0);
    if (user.toServer < 0) return drop(user, false);
    const int on = 1;
    ::setsockopt(user.toServer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in server = Address(shared_.options.serverAddress, port);
    if (::connect(user.toServer, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 &&
        errno != EINPROGRESS) {
        return drop(user, false);
    }
    watch(user.listener, k, kListener, EPOLLIN, EPOLL_CTL_ADD);
    watch(user.toServer, k, kToServer, EPOLLOUT | EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
}

void LoadThread::run() {
    for (std::size_t k = 0; k < users_.size(); ++k) openUser(k);
    std::vector<epoll_event> events(256);
    while (shared_.phase != Phase::Stop) {
        const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 5);
        for (int i = 0; i < n; ++i) handle(events[static_cast<std::size_t>(i)]);
        if (shared_.phase == Phase::Load && !loadStarted_) {
            loadStarted_ = true;
            for (auto& user : users_) {
                if (user->online && !user->gone) sendNext(*user);
            }
        }
        if (shared_.options.mode == LoadMode::Mail) fetchArrivedMail();
    }
}

void LoadThread::handle(const epoll_event& event) {
    const std::size_t k = static_cast<std::size_t>(event.data.u64 >> 2);
    SimUser& user = *users_[k];
    if (user.gone) return;
    switch (static_cast<Socket>(event.data.u64 & 3)) {
        case kListener:
            return onAccept(user, k);
        case kBack:
            return onBackReadable(user);
        case kToServer:
            if (!user.connected) return onConnected(user, k);
            if (event.events & EPOLLOUT) flush(user);
            if (!user.gone && (event.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
                onServerReadable(user);
            }
            return;
    }
}

void LoadThread::onConnected(SimUser& user, std::size_t k) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(user.toServer, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) return drop(user, false);
    user.connected = true;
    user.watchingOut = false;
    watch(user.toServer, k, kToServer, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
}

void LoadThread::onAccept(SimUser& user, std::size_t k) {
    const int fd = ::accept4(user.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    CloseFd(user.back);  // the server connected again: the new connection is the one it uses
    user.back = fd;
    user.reader = FrameReader();
    watch(user.back, k, kBack, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
}

void LoadThread::onBackReadable(SimUser& user) {
    for (int i = 0; i < kReadsPerEvent && !user.gone; ++i) {
        const ssize_t got = ::recv(user.back, scratch_.data(), scratch_.size(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (got <= 0) return drop(user, true);
        const bool framed = user.reader.feed(scratch_.data(), static_cast<std::size_t>(got),
                                             [&](const Frame& frame) { onPackage(user, frame); });
        if (!framed) {
            ++errors_;
            return drop(user, false);
        }
        if (static_cast<std::size_t>(got) < scratch_.size()) return;
    }
}

// The server sends nothing on this connection: readable means closed.
void LoadThread::onServerReadable(SimUser& user) {
    const ssize_t got = ::recv(user.toServer, scratch_.data(), scratch_.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) drop(user, true);
}

void LoadThread::onPackage(SimUser& user, const Frame& frame) {
    const std::int32_t code = frame.code();
    const LoadMode mode = shared_.options.mode;
    if (code == kUserListCode && !user.online) {
        user.online = true;
        user.onlineAt = SteadyClock::now();
        settle(user);
        if (shared_.phase == Phase::Load) sendNext(user);
        return;
    }
    if (!user.waiting && code != kMailWaitingCode && code != kRelayCode && code != kTitleEdit) {
        return;
    }
    if (mode == LoadMode::Read && code == kNoticeCode && frame.subcode() == kReadAnswerSubcode) {
        return complete(user, frame.length != kWeekReplySize);
    }
    if (mode == LoadMode::Edit && (code == kUndoCode || code == kNotStoredCode)) {
        return complete(user, code == kNotStoredCode);
    }
    if (mode == LoadMode::Edit && code == kTitleEdit) {
        ++forwards_;
        return;
    }
    if (mode == LoadMode::Mail && code == kMailWaitingCode) {
        user.mailArrived = true;
        if (user.mailFrom->waiting) complete(*user.mailFrom, false);
        return;
    }
    if (mode == LoadMode::Mail && code == kRelayCode) ++mailFetched_;
    if (code == kNotStoredCode) complete(user, true);
}

void LoadThread::complete(SimUser& user, bool failed) {
    user.waiting = false;
    if (shared_.phase != Phase::Load) return;
    ++completed_;
    if (failed) ++errors_;
    latenciesMs_.push_back(static_cast<float>(Ms(SteadyClock::now() - user.sentAt)));
    if (!user.gone) sendNext(user);
}

void LoadThread::drop(SimUser& user, bool byServer) {
    if (user.gone) return;
    if (byServer && shared_.phase != Phase::Stop) ++disconnects_;
    if (!byServer) ++errors_;
    user.gone = true;
    if (!user.online) settle(user);
    CloseFd(user.toServer);
    CloseFd(user.back);
    CloseFd(user.listener);
}

void LoadThread::settle(SimUser& user) {
    if (user.online) ++shared_.online;
    ++shared_.settled;
}

void LoadThread::sendNext(SimUser& user) {
    if (user.waiting) return;
    queue(user, nextRequest(user));
    user.waiting = true;
    user.sentAt = SteadyClock::now();
    flush(user);
}

std::vector<std::uint8_t> LoadThread::nextRequest(SimUser& user) {
    ++user.serial;
    switch (shared_.options.mode) {
        case LoadMode::Read:
            return BuildRequest(kServiceCode, kReadSubcode, randomWeekStart(), kWeek);
        case LoadMode::Edit: {
            auto request = BuildRequest(kTitleEdit, 0, randomDay());
            WriteShortString(&request[request::kText], day::kTextCapacity,
                             user.info.name + " " + std::to_string(user.serial));
            return request;
        }
        case LoadMode::Mail:
            return BuildRelayPackage(user.mailTo->info.name, user.info.name, mailBody_);
    }
    return {};
}

void LoadThread::queue(SimUser& user, const std::vector<std::uint8_t>& payload) {
    std::uint8_t header[4];
    WriteInt32(header, static_cast<std::int32_t>(payload.size()));
    user.out.insert(user.out.end(), header, header + 4);
    user.out.insert(user.out.end(), payload.begin(), payload.end());
}

void LoadThread::flush(SimUser& user) {
    while (user.outSent < user.out.size()) {
        const ssize_t sent = ::send(user.toServer, user.out.data() + user.outSent,
                                    user.out.size() - user.outSent, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno == EAGAIN) break;
        if (sent <= 0) return drop(user, true);
        user.outSent += static_cast<std::size_t>(sent);
    }
    const bool pending = user.outSent < user.out.size();
    if (!pending) {
        user.out.clear();
        user.outSent = 0;
    }
    if (pending == user.watchingOut) return;
    user.watchingOut = pending;
    watch(user.toServer, user.slot, kToServer, EPOLLIN | EPOLLRDHUP | (pending ? EPOLLOUT : 0u),
          EPOLL_CTL_MOD);
}

// Mail is fetched now and then rather than at every notice: each request starts a delivery.
void LoadThread::fetchArrivedMail() {
    const TimePoint now = SteadyClock::now();
    for (auto& user : users_) {
        if (!user->mailArrived || user->gone || now - user->lastFetch < kFetchInterval) continue;
        user->mailArrived = false;
        user->lastFetch = now;
        queue(*user, BuildRequest(kServiceCode, kMailSubcode));
        flush(*user);
    }
}

double LoadThread::randomWeekStart() {
    const DayRange& days = shared_.options.days;
    const std::int64_t starts = std::max<std::int64_t>(days.count - kWeek + 1, 1);
    return static_cast<double>(days.firstDay +
                               std::uniform_int_distribution<std::int64_t>(0, starts - 1)(random_));
}

double LoadThread::randomDay() {
    const DayRange& days = shared_.options.days;
    const std::int64_t count = std::max<std::int64_t>(days.count, 1);
    return static_cast<double>(days.firstDay +
                               std::uniform_int_distribution<std::int64_t>(0, count - 1)(random_));
}

void LoadThread::addTo(LoadResult& result, std::vector<double>& onlineMs,
                       std::vector<float>& latencies) const {
    result.errors += errors_;
    result.disconnects += disconnects_;
    result.forwards += forwards_;
    result.mailFetched += mailFetched_;
    result.completed += completed_;
    latencies.insert(latencies.end(), latenciesMs_.begin(), latenciesMs_.end());
    for (const auto& user : users_) {
        if (user->online) onlineMs.push_back(Ms(user->onlineAt - shared_.start));
    }
}

}  // namespace

namespace {

double Percentile(std::vector<float>& values, double fraction) {
    if (values.empty()) return 0;
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

// Waits until every user is online or gone, or the time-out has passed.
void AwaitOnline(const Shared& shared, int users) {
    const auto deadline = shared.start + std::chrono::milliseconds(shared.options.onlineTimeoutMs);
    while (shared.settled < users && SteadyClock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

LoadResult RunLoad(const LoadOptions& options) {
    const int users = static_cast<int>(options.users.size());
    const int threadCount = std::clamp(options.threads, 1, std::max(users, 1));
    std::vector<std::vector<BenchUser>> shares(static_cast<std::size_t>(threadCount));
    for (int k = 0; k < users; ++k) {
        shares[static_cast<std::size_t>(k % threadCount)].push_back(
            options.users[static_cast<std::size_t>(k)]);
    }

    Shared shared{options, SteadyClock::now()};
    std::vector<std::unique_ptr<LoadThread>> loads;
    for (int t = 0; t < threadCount; ++t) {
        loads.push_back(std::make_unique<LoadThread>(shared, shares[static_cast<std::size_t>(t)],
                                                     static_cast<unsigned>(t + 1)));
    }
    std::vector<std::thread> threads;
    shared.start = SteadyClock::now();
    for (auto& load : loads) threads.emplace_back([&load] { load->run(); });

    AwaitOnline(shared, users);
    const TimePoint loadStart = SteadyClock::now();
    shared.phase = Phase::Load;
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    shared.phase = Phase::Stop;
    const TimePoint loadEnd = SteadyClock::now();
    for (auto& thread : threads) thread.join();

    LoadResult result;
    result.users = users;
    result.seconds = std::chrono::duration<double>(loadEnd - loadStart).count();
    std::vector<double> onlineMs;
    std::vector<float> latencies;
    for (const auto& load : loads) load->addTo(result, onlineMs, latencies);
    result.online = static_cast<int>(onlineMs.size());
    if (!onlineMs.empty()) {
        std::sort(onlineMs.begin(), onlineMs.end());
        result.allOnlineMs = onlineMs.back();
        result.onlineP50Ms = onlineMs[(onlineMs.size() - 1) / 2];
    }
    result.p50Ms = Percentile(latencies, 0.50);
    result.p99Ms = Percentile(latencies, 0.99);
    result.maxMs = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
    return result;
}

}  // namespace merivo::bench
