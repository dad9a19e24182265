// Identification under connections from peers the server does not know: the threads, the
// reverse look-up and the connections kept open are bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "net/UnSockSr.h"
#include "platform/Socket.h"
#include "support/HeldLookup.h"
#include "support/ServerFixture.h"

namespace merivo {
namespace {

int ThreadCount() {
    return static_cast<int>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

std::unique_ptr<TcpSocket> ConnectFrom(const std::string& address, int port) {
    auto socket = std::make_unique<TcpSocket>();
    int error = 0;
    EXPECT_TRUE(socket->startConnect("127.0.0.1", port, address, &error));
    return socket;
}

TEST(Identification, APeerWhoseNameDoesNotComeInTimeIsTreatedAsUnknown) {
    ServerFixture server(ServerFixture::OneGroup(1));
    HeldLookup lookup("user1.example");
    ScopedLookup scoped(PeerNameLookup, lookup.function());
    auto stranger = ConnectFrom("127.0.0.9", server.port());
    EXPECT_TRUE(server.pumpUntil([&] { return server.logContains("Illegal user"); }, 10000));
    EXPECT_TRUE(server.logContains("Illegal user from [127.0.0.9 ]"));
}

TEST(Identification, AFloodOfConnectionsFromAnUnknownAddressHoldsFewThreads) {
    ServerFixture server(ServerFixture::OneGroup(1));
    HeldLookup lookup;
    ScopedLookup scoped(PeerNameLookup, lookup.function());
    const int before = ThreadCount();
    constexpr int kConnections = 200;
    for (int i = 0; i < kConnections; ++i) ConnectFrom("127.0.0.9", server.port())->close();
    int most = 0;
    EXPECT_TRUE(server.pumpUntil(
        [&] {
            most = std::max(most, ThreadCount() - before);
            return server.logCount("Illegal user") == kConnections;
        },
        20000));
    EXPECT_LT(most, kConnections / 4);
}

TEST(Identification, OnlyTheNewestConnectionsOfUnknownPeersAreKeptOpen) {
    ServerFixture server(ServerFixture::OneGroup(1));
    auto noName = [](const std::string&) -> std::optional<std::string> { return std::nullopt; };
    ScopedLookup scoped(PeerNameLookup, noName);
    constexpr int kStrangers = 100;
    std::vector<std::unique_ptr<TcpSocket>> strangers;
    for (int i = 1; i <= kStrangers; ++i) {
        strangers.push_back(ConnectFrom("127.0.0.9", server.port()));
        ASSERT_TRUE(server.pumpUntil([&] { return server.logCount("Illegal user") == i; }));
    }
    server.pump(200);
    const int kept = static_cast<int>(server.form().AcceptedConnections().size());
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, kStrangers);
    for (int i = 0; i < kStrangers; ++i)
        EXPECT_EQ(strangers[i]->peerGone(), i < kStrangers - kept) << "connection " << i;
}

}  // namespace
}  // namespace merivo
