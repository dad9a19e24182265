// The send loops against real loopback connections whose far end the test reads, or leaves
// unread so that the connection stops taking bytes.
#include "net/UnWSMess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "support/LoopbackPeer.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

constexpr int kSmallBuffers = 8192;

class SendLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = CurrentTimeouts();
        CurrentTimeouts().sendAttempts = 5;
        CurrentTimeouts().timedSendAttempts = 5;
    }
    void TearDown() override { CurrentTimeouts() = saved_; }

    // Stores bytes as a file of the temporary folder; its path.
    std::string store(const Bytes& bytes) {
        dir_.writeFile("stored.mvm", std::string(bytes.begin(), bytes.end()));
        return dir_.file("stored.mvm");
    }

    Timeouts saved_;
    TempDir dir_;
};

TEST_F(SendLoopTest, EverySenderDeliversAllBytes) {
    std::shared_ptr<TcpSocket> server;
    LoopbackPeer peer(server);
    const Bytes header = {4, 0, 0, 0};
    const Bytes body = Numbered(4, 1);
    ASSERT_EQ(SendAll(*server, header.data(), header.size(), body.data(), body.size()),
              SendResult::Sent);
    EXPECT_EQ(peer.frame(), body);

    const Bytes large = Numbered(3 << 20, 2);  // far more than the socket buffers hold
    std::thread reader([&] { EXPECT_EQ(peer.read(2 * large.size()).size(), 2 * large.size()); });
    EXPECT_EQ(SendAll(*server, large.data(), large.size()), SendResult::Sent);
    EXPECT_EQ(TimedSend(*server, large.data(), large.size()), SendResult::Sent);
    reader.join();
}

TEST_F(SendLoopTest, SendFileSendsTheFileAsOneFrame) {
    std::shared_ptr<TcpSocket> server;
    LoopbackPeer peer(server);
    const Bytes content = Numbered(200000, 3);  // more than one piece of the file sender
    std::thread reader([&] { EXPECT_EQ(peer.frame(), content); });
    EXPECT_EQ(SendFile(*server, store(content)), SendResult::Sent);
    reader.join();
}

TEST_F(SendLoopTest, EverySenderReportsALostConnection) {
    std::shared_ptr<TcpSocket> server;
    LoopbackPeer peer(server);
    const std::string path = store(Numbered(10, 4));
    const Bytes bytes = Numbered(10, 5);
    server->close();
    EXPECT_EQ(SendAll(*server, bytes.data(), bytes.size()), SendResult::ConnectionLost);
    EXPECT_EQ(TimedSend(*server, bytes.data(), bytes.size()), SendResult::ConnectionLost);
    EXPECT_EQ(SendFile(*server, path), SendResult::ConnectionLost);
}

TEST_F(SendLoopTest, SendAllGivesUpOnAConnectionThatTakesNothing) {
    std::shared_ptr<TcpSocket> server;
    LoopbackPeer peer(server, kSmallBuffers);  // never read
    const Bytes big = Numbered(4 << 20, 1);
    EXPECT_EQ(SendAll(*server, big.data(), big.size()), SendResult::TimedOut);
    EXPECT_TRUE(server->connected());
}

TEST_F(SendLoopTest, TimedSendGivesUpOnlyAfterAPauseAndASecondRound) {
    std::shared_ptr<TcpSocket> stalled;
    LoopbackPeer unread(stalled, kSmallBuffers);
    const Bytes big = Numbered(4 << 20, 1);
    EXPECT_EQ(TimedSend(*stalled, big.data(), big.size()), SendResult::TimedOut);
    EXPECT_TRUE(stalled->connected());

    // Each empty send waits 10 ms, so a round of 30 lasts 300 ms at least; a peer that begins
    // to read after the first round is still in time for the second.
    CurrentTimeouts().timedSendAttempts = 30;
    std::shared_ptr<TcpSocket> server;
    LoopbackPeer late(server, kSmallBuffers);
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        EXPECT_EQ(late.read(big.size()).size(), big.size());
    });
    EXPECT_EQ(TimedSend(*server, big.data(), big.size()), SendResult::Sent);
    reader.join();
}

TEST_F(SendLoopTest, SendFileFailsWithoutSendingWhenTheFileCannotBeRead) {
    std::shared_ptr<TcpSocket> server;
    LoopbackPeer peer(server);
    EXPECT_EQ(SendFile(*server, dir_.file("missing.mvm")), SendResult::Failed);
    EXPECT_EQ(peer.read(1, 100).size(), 0u);
}

// A send process logs a lost connection and a time-out, each with its own line, and nothing
// else.
TEST(SendFailureLogLineTest, NamesTheLoggedEndsOnly) {
    const std::pair<SendResult, std::optional<std::string>> cases[] = {
        {SendResult::Sent, std::nullopt},
        {SendResult::SocketError, std::nullopt},
        {SendResult::ConnectionLost, "Reset send process"},
        {SendResult::TimedOut, "Error of send process"},
        {SendResult::Failed, std::nullopt},
    };
    for (const auto& [result, line] : cases) {
        EXPECT_EQ(SendFailureLogLine(result), line) << static_cast<int>(result);
    }
}

}  // namespace
}  // namespace merivo
