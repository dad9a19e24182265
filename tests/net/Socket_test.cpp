// The platform's non-blocking TCP socket: connect outcomes, error codes, the disconnect event of
// an established connection, and the state an accepted connection reports.
#include "platform/Socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

namespace merivo {
namespace {

bool WaitFor(int fd, short events, int ms = 2000) {
    pollfd watch{fd, events, 0};
    return ::poll(&watch, 1, ms) == 1;
}

// A connected pair over loopback: `client` bound to clientAddress, `accepted` on the server side.
struct Pair {
    TcpSocket listener;
    TcpSocket client;
    std::unique_ptr<TcpSocket> accepted;

    explicit Pair(const std::string& clientAddress = "127.0.0.1") {
        int error = 0;
        EXPECT_TRUE(listener.listenOn("127.0.0.1", 0, &error));
        EXPECT_TRUE(client.startConnect("127.0.0.1", listener.localPort(), clientAddress, &error));
        EXPECT_TRUE(WaitFor(client.handle(), POLLOUT));
        EXPECT_EQ(client.finishConnect(), 0);
        EXPECT_TRUE(WaitFor(listener.handle(), POLLIN));
        accepted = std::make_unique<TcpSocket>(listener.acceptOne(&error));
    }
};

TEST(WinSockCodes, ErrnoValuesMapToTheCodesTheLogNames) {
    EXPECT_EQ(WinSockErrorFromErrno(0), 0);
    EXPECT_EQ(WinSockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinSockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinSockErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(WinSockErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WinSockErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WinSockErrorFromErrno(EADDRINUSE), 10048);
}

TEST(TcpSocketConnect, ARefusedAttemptReportsItsCodeAndKeepsItsHandleUntilClosed) {
    TcpSocket probe;
    int error = 0;
    ASSERT_TRUE(probe.listenOn("127.0.0.1", 0, &error));
    const int freePort = probe.localPort();
    probe.close();

    TcpSocket socket;
    bool disconnected = false;
    socket.setDisconnectHandler([&] { return disconnected = true; });
    ASSERT_TRUE(socket.startConnect("127.0.0.1", freePort, "127.0.0.3", &error));
    ASSERT_TRUE(WaitFor(socket.handle(), POLLOUT));
    EXPECT_EQ(socket.finishConnect(), WSAECONNREFUSED);
    EXPECT_NE(socket.handle(), -1);
    EXPECT_FALSE(socket.connected());
    socket.close();
    EXPECT_EQ(socket.handle(), -1);
    EXPECT_FALSE(disconnected);  // it never was established

    EXPECT_FALSE(socket.startConnect("no-such-host.invalid", freePort, "", &error));
    EXPECT_NE(error, 0);
}

TEST(TcpSocketConnect, TheConnectionLeavesFromTheBoundAddress) {
    Pair pair("127.0.0.5");
    EXPECT_EQ(pair.accepted->peerAddress(), "127.0.0.5");
    EXPECT_TRUE(pair.accepted->connected());
    EXPECT_EQ(ReverseLookup("not an address"), std::nullopt);
}

TEST(TcpSocketData, BytesArePendingAndAnUnconnectedSocketTakesNothing) {
    Pair pair;
    int error = 0;
    const char text[] = "hello";
    ASSERT_EQ(pair.client.sendSome(text, 5, &error), 5);
    ASSERT_TRUE(WaitFor(pair.accepted->handle(), POLLIN));
    EXPECT_EQ(pair.accepted->pendingBytes(), 5);
    char buffer[8] = {};
    EXPECT_EQ(pair.accepted->receiveSome(buffer, sizeof buffer, &error), 5);
    EXPECT_EQ(pair.accepted->receiveSome(buffer, sizeof buffer, &error), -1);
    EXPECT_EQ(error, WSAEWOULDBLOCK);

    TcpSocket never;
    EXPECT_EQ(never.sendSome(text, 5, &error), -1);
    EXPECT_EQ(error, WSAENOTCONN);
}

TEST(TcpSocketData, NoDelayIsSetOnRequest) {
    Pair pair;
    pair.accepted->setNoDelay();
    int value = 0;
    socklen_t size = sizeof value;
    getsockopt(pair.accepted->handle(), IPPROTO_TCP, TCP_NODELAY, &value, &size);
    EXPECT_EQ(value, 1);
}

TEST(TcpSocketClose, ClosingAnEstablishedConnectionRaisesItsDisconnectOnceWithItsHandle) {
    Pair pair;
    const int handle = pair.accepted->handle();
    int raised = 0;
    int seenHandle = -2;
    pair.accepted->setDisconnectHandler([&] {
        ++raised;
        seenHandle = pair.accepted->handle();
        pair.accepted->close();  // a nested close does nothing more
        return true;
    });
    pair.accepted->close();
    pair.accepted->close();
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(seenHandle, handle);
    EXPECT_EQ(pair.accepted->handle(), -1);

    // The peer sees the end of the stream.
    ASSERT_TRUE(WaitFor(pair.client.handle(), POLLIN));
    EXPECT_TRUE(pair.client.peerGone());
    char byte = 0;
    int error = 0;
    EXPECT_EQ(pair.client.receiveSome(&byte, 1, &error), 0);
    EXPECT_FALSE(pair.client.connected());
}

TEST(TcpSocketClose, AHandlerMayHoldTheDescriptorBackUntilItIsReleased) {
    Pair pair;
    const int handle = pair.accepted->handle();
    pair.accepted->setDisconnectHandler([] { return false; });
    pair.accepted->close();
    EXPECT_EQ(pair.accepted->handle(), handle);  // nobody else can be given this number yet
    EXPECT_FALSE(pair.accepted->connected());
    pair.accepted->close();  // already closing
    pair.accepted->releaseDescriptor(handle + 1);
    EXPECT_EQ(pair.accepted->handle(), handle);
    pair.accepted->releaseDescriptor(handle);
    EXPECT_EQ(pair.accepted->handle(), -1);
}

TEST(TcpSocketClose, AWriterOnAnotherThreadNeverOutlivesTheDescriptor) {
    Pair pair;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<char> chunk(65536, 'x');
        int error = 0;
        while (!stop) {
            if (pair.client.sendSome(chunk.data(), chunk.size(), &error) == -1 &&
                error != WSAEWOULDBLOCK) {
                break;  // closed under it: the send was refused, not made on a stale descriptor
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pair.client.close();
    stop = true;
    writer.join();
    int error = 0;
    EXPECT_EQ(pair.client.sendSome("x", 1, &error), -1);
    EXPECT_EQ(error, WSAENOTCONN);
}

TEST(DescriptorLimit, IsRaisedToTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    RaiseDescriptorLimit();
    rlimit raised{};
    getrlimit(RLIMIT_NOFILE, &raised);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(raised.rlim_cur, saved.rlim_max);
}

}  // namespace
}  // namespace merivo
