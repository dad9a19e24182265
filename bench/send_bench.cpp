// How many 390,386-byte packages per second the send path delivers to ten users at once over
// loopback, next to a plain blocking loopback transfer of the same frames in the same run.
//
//   send_bench [seconds per measurement, default 5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "db/UnDBType.h"
#include "net/ProcessTable.h"
#include "net/UnSockSr_Send.h"
#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

using namespace merivo;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kUsers = 10;
constexpr std::size_t kPackageSize = 390386;
// The feeder keeps at most this many pieces outstanding per user, well below the queue limit.
constexpr int kMaxOutstanding = 20;

// A connected loopback pair: {sending end, receiving end}.
std::pair<int, int> LoopbackPair() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int receiving = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(receiving, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int sending = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    return {sending, receiving};
}

bool ReadExactly(int fd, std::uint8_t* buffer, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, buffer, n, 0);
        if (got <= 0) return false;
        buffer += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// Reads frames until the connection closes; counts the complete ones.
void CountFrames(int fd, std::atomic<long>& frames) {
    std::vector<std::uint8_t> payload;
    std::uint8_t header[4];
    while (ReadExactly(fd, header, 4)) {
        payload.resize(static_cast<std::size_t>(ReadInt32(header)));
        if (!ReadExactly(fd, payload.data(), payload.size())) break;
        ++frames;
    }
}

long MaxRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double PlainLoopback(double seconds, const std::vector<std::uint8_t>& frame) {
    std::atomic<long> frames{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kUsers; ++i) {
        auto [sending, receiving] = LoopbackPair();
        threads.emplace_back([receiving, &frames] {
            CountFrames(receiving, frames);
            ::close(receiving);
        });
        threads.emplace_back([sending, &frame, &stop] {
            while (!stop) {
                std::size_t sent = 0;
                while (sent < frame.size()) {
                    const ssize_t n =
                        ::send(sending, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) return;
                    sent += static_cast<std::size_t>(n);
                }
            }
            ::shutdown(sending, SHUT_WR);
            ::close(sending);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long counted = frames;
    stop = true;
    for (auto& thread : threads) thread.join();
    return static_cast<double>(counted) / seconds;
}

double SendPath(double seconds, const std::vector<std::uint8_t>& payload, bool directSend) {
    ResetServerState();
    InstallSendPath();
    Config.directSend = directSend;
    std::atomic<long> frames{0};
    std::vector<std::thread> readers;
    auto db = std::make_unique<TMyDBUser>();
    for (int i = 0; i < kUsers; ++i) {
        auto [sending, receiving] = LoopbackPair();
        auto user = std::make_unique<TMyNameUser>();
        user->valid = true;
        user->online = true;
        user->host = "127.0.0." + std::to_string(i + 2);
        user->outgoing = std::make_shared<TcpSocket>(sending);
        db->users.push_back(std::move(user));
        readers.emplace_back([receiving, &frames] {
            CountFrames(receiving, frames);
            ::close(receiving);
        });
    }
    DBTable.push_back(std::move(db));

    const auto start = SteadyClock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    auto nextWatchdog = start + std::chrono::milliseconds(300);
    long stopped = 0;
    std::size_t largestTable = 0;
    long measured = 0;
    while (SteadyClock::now() < end) {
        bool queued = false;
        for (auto& user : DBTable[0]->users) {
            if (user->sendIssued - user->sendFinished >= kMaxOutstanding) continue;
            SendPackage(*user, payload.data(), payload.size(), "", 2);
            queued = true;
            if (user->sendStopped) ++stopped;
            MutexLock lock(ThreadTableLock());
            largestTable = std::max(largestTable, TransportOf(*user).threadTable.size());
        }
        if (!queued) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (SteadyClock::now() >= nextWatchdog) {
            WatchdogStep();
            nextWatchdog += std::chrono::milliseconds(300);
        }
    }
    measured = frames;
    for (auto& user : DBTable[0]->users) {
        while (user->sendFinished != user->sendIssued && !user->sendStopped) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        user->outgoing->close();
    }
    for (auto& reader : readers) reader.join();
    std::printf("  users stopped: %ld, largest thread table: %zu entries, threads left: %d\n",
                stopped, largestTable, RunningThreadCount());
    ForEachUser([](TMyNameUser& user) { CloseFinishedHandles(user, true); });
    ResetServerState();
    return static_cast<double>(measured) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    std::vector<std::uint8_t> payload(kPackageSize);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> frame(4);
    WriteInt32(frame.data(), static_cast<std::int32_t>(kPackageSize));
    frame.insert(frame.end(), payload.begin(), payload.end());

    const double mbPerPackage = static_cast<double>(frame.size()) / (1 << 20);
    std::printf("%d users, %zu-byte packages, %.1f s per measurement\n", kUsers, kPackageSize,
                seconds);
    const long rssBefore = MaxRssKb();
    for (const bool directSend : {true, false}) {
        const double viaSendPath = SendPath(seconds, payload, directSend);
        std::printf("send path, DirectSend %s: %8.1f packages/s (%7.1f MB/s)\n",
                    directSend ? "on " : "off", viaSendPath, viaSendPath * mbPerPackage);
    }
    const long rssAfterSendPath = MaxRssKb();
    const double plain = PlainLoopback(seconds, frame);
    std::printf("plain loopback:          %8.1f packages/s (%7.1f MB/s)\n", plain,
                plain * mbPerPackage);
    std::printf("peak RSS: %ld kB before, %ld kB after the send path\n", rssBefore,
                rssAfterSendPath);
    return 0;
}
