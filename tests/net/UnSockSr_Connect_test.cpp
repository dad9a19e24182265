// The connect timer: which identified users it connects back, when and in what order, and the
// resolving of host names on the way.
#include <gtest/gtest.h>

#include "net/UnSockSr.h"
#include "platform/Socket.h"
#include "support/HeldLookup.h"
#include "support/ServerFixture.h"

namespace merivo {
namespace {

std::unique_ptr<MerivoClient> OpenClient(const std::string& address, int port) {
    ClientOptions options;
    options.ownAddress = address;
    options.serverPort = port;
    auto client = std::make_unique<MerivoClient>(options);
    client->open();
    return client;
}

TEST(ConnectTimer, ConnectionsThatClosedBeforeTheirTurnAreNotConnectedBack) {
    FixtureOptions options = ServerFixture::OneGroup(2);
    options.debug = true;
    ServerFixture server(options);
    constexpr int kAttempts = 100;
    for (int i = 0; i < kAttempts; ++i) {
        TcpSocket brief;
        int error = 0;
        ASSERT_TRUE(brief.startConnect("127.0.0.1", server.port(), "127.0.0.2", &error));
        brief.close();
    }
    ASSERT_TRUE(server.pumpUntil(
        [&] { return server.logCount("EndProcess->OnConnect Client") == kAttempts; }, 20000));
    EXPECT_TRUE(server.connectUser(2));
    EXPECT_EQ(server.logCount("TimeConnect "), 1);  // the second user's
    EXPECT_EQ(server.logCount("Not respond:"), 0);
}

TEST(ConnectTimer, OneTickConnectsBackEveryUserIdentifiedBeforeIt) {
    constexpr int kUsers = 5;
    ServerFixture server(ServerFixture::OneGroup(kUsers));
    std::vector<std::unique_ptr<MerivoClient>> clients;
    for (int i = 1; i <= kUsers; ++i)
        clients.push_back(OpenClient(ServerFixture::UserAddress(i), server.port()));
    auto user = [&](int i) { return server.user("user" + std::to_string(i)); };
    ASSERT_TRUE(server.pumpUntil([&] {
        for (int i = 1; i <= kUsers; ++i)
            if (user(i)->connectionHandle == -1) return false;
        return true;
    }));
    server.form().TimerConnectTimer();
    for (int i = 1; i <= kUsers; ++i)
        EXPECT_NE(user(i)->outgoing->handle(), -1) << "user" << i << " was not connected back";
}

// "named" is known by its host name, whose client connects from 127.0.0.3; "numbered" by the
// address 127.0.0.2.
FixtureOptions NamedAndNumbered() {
    FixtureOptions options;
    options.groups.push_back({"Group", {{"slowhost", "named"}, {"127.0.0.2", "numbered"}}, ""});
    return options;
}

std::optional<std::string> NameOf127003(const std::string& address) {
    if (address == "127.0.0.3") return "slowhost";
    return std::nullopt;
}

TEST(ConnectTimer, AHostNameIsResolvedWhileTheServerGoesOnAndLaterUsersWaitTheirTurn) {
    ServerFixture server(NamedAndNumbered());
    ScopedLookup names(PeerNameLookup, NameOf127003);
    HeldLookup resolver("127.0.0.3");
    ScopedLookup addresses(HostAddressLookup, resolver.function());

    auto named = OpenClient("127.0.0.3", server.port());
    ASSERT_TRUE(server.pumpUntil([&] { return resolver.calls() == 1; }));
    auto numbered = OpenClient("127.0.0.2", server.port());
    ASSERT_TRUE(server.pumpUntil([&] { return server.user("numbered")->connectionHandle != -1; }));
    server.pump(200);
    EXPECT_EQ(server.user("numbered")->outgoing->handle(), -1) << "connected back out of turn";

    resolver.release();
    EXPECT_TRUE(server.pumpUntil([&] {
        return server.user("named")->online.load() && server.user("numbered")->online.load();
    }));
}

TEST(ConnectTimer, AHostNameThatDoesNotResolveInTimeIsReportedAndTheNextUserConnectedBack) {
    for (bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "no address" : "no answer");
        ServerFixture server(NamedAndNumbered());
        ScopedLookup names(PeerNameLookup, NameOf127003);
        HeldLookup resolver;
        if (answers) resolver.release();
        ScopedLookup addresses(HostAddressLookup, resolver.function());

        auto named = OpenClient("127.0.0.3", server.port());
        ASSERT_TRUE(server.pumpUntil([&] { return resolver.calls() == 1; }));
        EXPECT_TRUE(server.connectUser(1, 10000));
        EXPECT_TRUE(server.logContains("Error! client socket:slowhost - "));
        EXPECT_FALSE(server.user("named")->online.load());
    }
}

}  // namespace
}  // namespace merivo
