// The receive path end to end: framing, the displaced-header repair, memory and spill modes,
// delivery by first word, and the receive state across connections.
#include "net/UnSockSr_Receive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "db/UnDBType_Packages.h"
#include "net/UnSockSr.h"
#include "platform/Socket.h"
#include "support/FaultInjectionEnv.h"
#include "support/ServerFixture.h"

namespace merivo {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

const char kRequestSeen[] = "Error in network settings on computer 127.0.0.2";
const char kReceiveError[] = "Error in receiving data from 127.0.0.2";

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + from, bytes.begin() + std::min(to, bytes.size()));
}

// A mail relay package from user1 to user2 whose payload is exactly `size` bytes.
Bytes MailOfSize(std::size_t size) {
    Bytes body(size - kRelayHeaderSize);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7);
    return BuildRelayPackage("user2", "user1", body);
}

std::vector<fs::path> FilesWithExtension(const std::string& folder, const std::string& extension) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == extension) found.push_back(entry.path());
    return found;
}

class Receive : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.listening());
        client = server.connectUser(1);
        ASSERT_TRUE(client);
        client->drainPackages(100);
    }

    std::string pop3() { return server.dir().file("POP3"); }
    TmyConnection& state() { return TransportOf(*server.user("user1")).receive; }
    void send(const Bytes& bytes) {
        server.whilePumping([&] { client->sendRaw(bytes); });
    }
    bool requestsSeen(int count) {
        return server.pumpUntil([&] { return server.logCount(kRequestSeen) >= count; }) &&
               server.logCount(kRequestSeen) == count;
    }

    ServerFixture server{ServerFixture::OneGroup(2)};
    std::unique_ptr<MerivoClient> client;
};

TEST_F(Receive, FramesInOneWriteAreDeliveredInOrderAndAnEmptyFrameDeliversNothing) {
    send(Concat({Frame(CodedPayload(5000, 100)), Frame({}), Frame(CodedPayload(5000, 2351))}));
    EXPECT_TRUE(requestsSeen(2));
    EXPECT_EQ(state().recvExpected, 0);
    EXPECT_FALSE(server.logContains(kReceiveError));
}

TEST_F(Receive, AHeaderSplitTwoAndTwoIsWarnedOnceAndHandledWhenComplete) {
    const Bytes frame = Frame(CodedPayload(5000, 300));
    send(Slice(frame, 0, 2));
    server.pump(200);
    EXPECT_EQ(server.logCount("Warning! Failed to obtain the package size. - [127.0.0.2]"), 1);
    send(Slice(frame, 2, frame.size()));
    EXPECT_TRUE(requestsSeen(1));
}

TEST_F(Receive, TheDisplacedRequestHeaderIsRepaired) {
    // A request header seen two bytes late: 00 00 2F 09, then the two bytes that follow it.
    const Bytes payload = CodedPayload(5000, kRequestPackageSize - 2);
    send(Concat(
        {Bytes{0x00, 0x00, 0x2F, 0x09, 0x00, 0x00}, payload, Frame(CodedPayload(5000, 50))}));
    EXPECT_TRUE(requestsSeen(2));
    EXPECT_EQ(server.logCount("Count are corrected![127.0.0.2]"), 1);
}

TEST_F(Receive, ANegativeLengthClosesTheConnection) {
    Bytes header(4);
    WriteInt32(header.data(), -5);
    send(Concat({header, CodedPayload(5000, 20)}));
    ASSERT_TRUE(server.pumpUntil([&] { return !server.user("user1")->online.load(); }));
    EXPECT_EQ(server.logCount(kReceiveError), 1);
    EXPECT_EQ(server.user("user1")->connectionHandle.load(), -1);
    EXPECT_TRUE(server.form().AcceptedConnections().empty());
    EXPECT_EQ(server.logCount(kRequestSeen), 0);
}

TEST_F(Receive, ThePackageAtTheThresholdStaysInMemory) {
    const Bytes mail = MailOfSize(524288);
    const Bytes frame = Frame(mail);
    send(Slice(frame, 0, 4000));
    ASSERT_TRUE(server.pumpUntil([&] { return state().recvCount > 0; }));
    EXPECT_FALSE(state().recvSpilled);
    EXPECT_EQ(state().recvBuffer.size(), 524288u);
    EXPECT_TRUE(FilesWithExtension(pop3(), ".buf").empty());

    send(Slice(frame, 4000, frame.size()));
    ASSERT_TRUE(server.pumpUntil([&] { return !FilesWithExtension(pop3(), ".mvm").empty(); }));
    const auto stored = FilesWithExtension(pop3(), ".mvm");
    ASSERT_EQ(stored.size(), 1u);
    const std::string content = server.dir().readFile("POP3/" + stored[0].filename().string());
    EXPECT_TRUE(content == std::string(mail.begin(), mail.end()));
}

TEST_F(Receive, OneByteMoreSpillsToAFileNamedByHostAndClock) {
    const Bytes mail = MailOfSize(524289);
    const Bytes frame = Frame(mail);
    send(Slice(frame, 0, 4000));
    ASSERT_TRUE(server.pumpUntil([&] { return state().recvCount > 0; }));
    EXPECT_TRUE(state().recvSpilled);
    EXPECT_EQ(state().recvBuffer.size(), 524288u);
    const auto spills = FilesWithExtension(pop3(), ".buf");
    ASSERT_EQ(spills.size(), 1u);
    const std::string name = spills[0].filename().string();
    EXPECT_EQ(name.rfind("127.0.0.2", 0), 0u) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789", 9), name.size() - 4) << name;

    send(Slice(frame, 4000, frame.size()));
    ASSERT_TRUE(server.pumpUntil([&] { return !FilesWithExtension(pop3(), ".mvm").empty(); }));
    const auto stored = FilesWithExtension(pop3(), ".mvm");
    ASSERT_EQ(stored.size(), 1u);
    const std::string content = server.dir().readFile("POP3/" + stored[0].filename().string());
    EXPECT_TRUE(content == std::string(mail.begin(), mail.end()));
    EXPECT_TRUE(FilesWithExtension(pop3(), ".buf").empty());
}

TEST_F(Receive, ALargeRelayPackageCostsOneStagingBlock) {
    const Bytes mail = MailOfSize(20u << 20);
    std::size_t largestBuffer = 0;
    auto sending = std::async(std::launch::async, [&] { client->sendPackage(mail); });
    server.pumpUntil(
        [&] {
            largestBuffer = std::max(largestBuffer, state().recvBuffer.capacity());
            return sending.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready &&
                   !FilesWithExtension(pop3(), ".mvm").empty();
        },
        20000);
    sending.get();
    EXPECT_LE(largestBuffer, 524288u);
    const auto stored = FilesWithExtension(pop3(), ".mvm");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(fs::file_size(stored[0]), mail.size());
}

TEST_F(Receive, ASpilledPackageThatIsNoRelayIsDropped) {
    send(Concat({Frame(CodedPayload(5000, 600000)), Frame(CodedPayload(5000, 40))}));
    EXPECT_TRUE(requestsSeen(1));  // only the small one
    EXPECT_EQ(server.logCount(kReceiveError), 1);
    EXPECT_TRUE(FilesWithExtension(pop3(), ".buf").empty());
    EXPECT_TRUE(server.user("user1")->online.load());
}

TEST_F(Receive, ASpillFileThatCannotBeWrittenEndsTheConnection) {
    FaultInjectionEnv env;
    ScopedEnv scoped(env);
    env.failOn(FileOp::Write, ".buf", 2);  // the second block of the package
    send(Frame(MailOfSize(2 * 524288)));
    ASSERT_TRUE(server.pumpUntil([&] { return !server.user("user1")->online.load(); }));
    EXPECT_EQ(server.logCount(kReceiveError), 1);
    EXPECT_TRUE(server.form().AcceptedConnections().empty());
    EXPECT_EQ(state().recvExpected, 0);
    EXPECT_TRUE(FilesWithExtension(pop3(), ".buf").empty());
    EXPECT_TRUE(FilesWithExtension(pop3(), ".mvm").empty());
}

TEST_F(Receive, ASpillFileThatCannotBeMovedIntoPlaceIsDeleted) {
    FaultInjectionEnv env;
    ScopedEnv scoped(env);
    env.failOn(FileOp::Rename, ".buf");
    send(Frame(MailOfSize(600000)));
    ASSERT_TRUE(server.pumpUntil(
        [&] { return server.logContains("Error processing of request from 127.0.0.2"); }));
    EXPECT_EQ(env.injectedFailures(), 1);
    EXPECT_TRUE(FilesWithExtension(pop3(), ".buf").empty());
    EXPECT_TRUE(server.user("user1")->online.load());
}

TEST_F(Receive, ASpillFileThatCannotBeReadBackIsLoggedAndDeleted) {
    FaultInjectionEnv env;
    ScopedEnv scoped(env);
    env.failOn(FileOp::Read, ".buf", 1, kForever);
    send(Frame(MailOfSize(600000)));
    ASSERT_TRUE(server.pumpUntil([&] { return server.logCount(kReceiveError) == 1; }));
    EXPECT_TRUE(FilesWithExtension(pop3(), ".buf").empty());
    EXPECT_TRUE(FilesWithExtension(pop3(), ".mvm").empty());
    EXPECT_TRUE(server.user("user1")->online.load());
}

TEST_F(Receive, AHalfReceivedPackageIsForgottenWhenTheConnectionGoesDown) {
    // One package cut off in memory, one in a spill file.
    for (std::size_t size : {std::size_t{1000}, std::size_t{600000}}) {
        send(Slice(Frame(CodedPayload(5000, size)), 0, 500));
        ASSERT_TRUE(server.pumpUntil([&] { return state().recvCount > 0; }));
        client->close();
        ASSERT_TRUE(server.pumpUntil([&] { return !server.user("user1")->online.load(); }));
        EXPECT_EQ(state().recvExpected, 0);
        EXPECT_TRUE(FilesWithExtension(pop3(), ".buf").empty());

        client = server.connectUser(1);
        ASSERT_TRUE(client);
        client->drainPackages(100);
    }
    send(Frame(CodedPayload(5000, 1000)));
    EXPECT_TRUE(requestsSeen(1));
    EXPECT_FALSE(server.logContains(kReceiveError));
}

TEST_F(Receive, AHalfReceivedPackageIsForgottenWhenAnotherConnectionIsIdentified) {
    send(Slice(Frame(CodedPayload(5000, 1000)), 0, 500));
    ASSERT_TRUE(server.pumpUntil([&] { return state().recvCount > 0; }));
    server.user("user1")->outgoing->close();  // detached: the first connection stays open
    ASSERT_FALSE(server.user("user1")->online.load());

    TcpSocket second;
    int error = 0;
    ASSERT_TRUE(second.startConnect("127.0.0.1", server.port(), "127.0.0.2", &error));
    ASSERT_TRUE(server.pumpUntil([&] { return server.user("user1")->online.load(); }));
    client->acceptBackConnection(1000);
    ASSERT_EQ(second.finishConnect(), 0);
    const Bytes frame = Frame(CodedPayload(5000, 1000));
    ASSERT_EQ(second.sendSome(frame.data(), frame.size(), &error), long(frame.size()));
    EXPECT_TRUE(requestsSeen(1));
    EXPECT_FALSE(server.logContains(kReceiveError));
}

TEST_F(Receive, DirectPackagesReachTheRecipientInOrder) {
    auto recipient = server.connectUser(2);
    ASSERT_TRUE(recipient);
    recipient->drainPackages(100);
    std::vector<Bytes> sent;
    for (int i = 0; i < 30; ++i) {
        Bytes body(i % 3 == 0 ? 100000 : 10 + i, static_cast<std::uint8_t>(i));
        sent.push_back(BuildRelayPackage("user2", "user1", body, true));
    }
    server.whilePumping([&] {
        for (const Bytes& package : sent) client->sendPackage(package);
    });
    for (const Bytes& expected : sent) {
        auto got = server.whilePumping([&] { return recipient->receivePackage(3000); });
        ASSERT_TRUE(got.has_value());
        EXPECT_TRUE(*got == expected);
    }
}

}  // namespace
}  // namespace merivo
