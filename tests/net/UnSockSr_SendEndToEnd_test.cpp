// The send path inside a running server, driven by real clients over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "client/MerivoClient.h"
#include "db/UnDBType_Packages.h"
#include "net/UnSockSr_Send.h"
#include "platform/Locks.h"
#include "platform/Thread.h"
#include "support/FaultInjectionEnv.h"
#include "support/ServerFixture.h"

namespace merivo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The next package with that code; packages with other codes (user-list notices) are skipped.
std::optional<Bytes> NextWithCode(MerivoClient& client, std::int32_t code, int timeoutMs = 3000) {
    while (auto package = client.receivePackage(timeoutMs)) {
        if (PackageCode(*package) == code) return package;
    }
    return std::nullopt;
}

// Every thread the server started has returned, so that the fixture may free the users.
bool AllThreadsEnded(ServerFixture& server) {
    return server.pumpUntil([] { return RunningThreadCount() == 0; });
}

TEST(SendEndToEnd, StoredMailIsAnnouncedAndDeliveredOnRequest) {
    ServerFixture server(ServerFixture::OneGroup(2));
    ASSERT_TRUE(server.listening());
    auto sender = server.connectUser(1);
    auto recipient = server.connectUser(2);
    ASSERT_TRUE(sender && recipient);

    Bytes body(300000);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 13);
    const Bytes mail = BuildRelayPackage("user2", "user1", body);
    sender->sendPackage(mail);
    const auto notice = server.whilePumping([&] { return NextWithCode(*recipient, 6000); });
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->size(), 4u);

    recipient->sendPackage(BuildRequest(1000, 5));
    const auto delivered = server.whilePumping([&] { return NextWithCode(*recipient, 4000); });
    EXPECT_EQ(delivered, mail);
    TMyNameUser& user2 = *server.user("user2");
    ASSERT_TRUE(server.pumpUntil([&] { return user2.sendFinished == user2.sendIssued; }));
    EXPECT_EQ(server.dir().readFile("POP3/127.0.0.3.bin"), "");
    EXPECT_TRUE(AllThreadsEnded(server));
}

// A stored file that is there but cannot be read stays listed, to be sent another time.
TEST(SendEndToEnd, MailThatCannotBeSentTakesTheRecipientOffline) {
    ServerFixture server(ServerFixture::OneGroup(2));
    auto sender = server.connectUser(1);
    auto recipient = server.connectUser(2);
    ASSERT_TRUE(sender && recipient);
    sender->sendPackage(BuildRelayPackage("user2", "user1", {1, 2, 3}));
    ASSERT_TRUE(server.whilePumping([&] { return NextWithCode(*recipient, 6000); }));
    const std::string inbox = server.dir().readFile("POP3/127.0.0.3.bin");
    ASSERT_EQ(inbox.size(), kInboxEntrySize);
    FaultInjectionEnv env;
    env.failOn(FileOp::Open, ".mvm", 1, kForever);
    ScopedEnv scoped(env);

    recipient->sendPackage(BuildRequest(1000, 5));
    TMyNameUser& user2 = *server.user("user2");
    ASSERT_TRUE(server.pumpUntil([&] { return !user2.online; }));
    EXPECT_EQ(server.logCount("Error sending mail to 127.0.0.3"), 1);
    EXPECT_EQ(server.dir().readFile("POP3/127.0.0.3.bin"), inbox);
    EXPECT_TRUE(AllThreadsEnded(server));
}

TEST(SendEndToEnd, ClientThatStopsReadingIsCutOffWhileOthersAreServed) {
    FixtureOptions options = ServerFixture::OneGroup(2);
    options.directSend = false;
    ServerFixture server(options);
    auto stalled = server.connectUser(1);
    auto reader = server.connectUser(2);
    ASSERT_TRUE(stalled && reader);
    TMyNameUser& user1 = *server.user("user1");
    TMyNameUser& user2 = *server.user("user2");

    // user1 reads nothing from here on; user2 reads all the time.
    const Bytes large = CodedPayload(7777, 200000);
    const Bytes small = CodedPayload(7777, 2000);
    std::atomic<bool> sending{true};
    auto received = std::async(std::launch::async, [&] {
        int count = 0;
        while (NextWithCode(*reader, 7777, sending ? 3000 : 500)) ++count;
        return count;
    });
    int sentToUser2 = 0;
    for (int i = 0; i < 2 * kSendQueueLimit && !user1.sendStopped; ++i) {
        SendPackage(user1, large.data(), large.size(), "", 2);
        SendPackage(user2, small.data(), small.size(), "", 2);
        ++sentToUser2;
        server.pump(15);
    }
    EXPECT_TRUE(user1.sendStopped);
    EXPECT_TRUE(server.logContains("127.0.0.2 -> disconnect (queue of packages = 70)."));

    WatchdogStep();  // one tick of the status timer
    ASSERT_TRUE(server.pumpUntil([&] { return !user1.online; }));
    EXPECT_TRUE(user2.online);
    EXPECT_FALSE(user2.sendStopped);
    ASSERT_TRUE(server.pumpUntil([&] { return user2.sendFinished == user2.sendIssued; }));
    sending = false;
    EXPECT_EQ(server.whilePumping([&] { return received.get(); }), sentToUser2);
    EXPECT_THROW(stalled->drainPackages(3000), ClientError) << "the stalled client was closed";
    EXPECT_TRUE(AllThreadsEnded(server)) << "the stalled user's processes ended";
}

}  // namespace
}  // namespace merivo
