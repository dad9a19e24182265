// The client library against a stand-in server made of plain loopback sockets.
#include "client/MerivoClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"

namespace merivo {
namespace {

using Bytes = std::vector<std::uint8_t>;

int ListenOn(const char* address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    ::listen(fd, 4);
    return fd;
}

int PortOf(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

int ConnectTo(const char* address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &remote.sin_addr);
    ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    return fd;
}

Bytes ReadBytes(int fd, std::size_t n) {
    Bytes bytes(n);
    std::size_t got = 0;
    while (got < n) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, 2000) <= 0) break;
        const ssize_t r = ::recv(fd, bytes.data() + got, n - got, 0);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    bytes.resize(got);
    return bytes;
}

void WriteBytes(int fd, const Bytes& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// A stand-in server: listens on 127.0.0.1, and connects back to a client's listener.
class StandInServer : public ::testing::Test {
  protected:
    void SetUp() override {
        // A free port whose port + 10 is free as well on the client's address.
        for (int attempt = 0; attempt < 50 && listener_ < 0; ++attempt) {
            listener_ = ListenOn("127.0.0.1", 0);
            const int probe = ListenOn("127.0.0.6", PortOf(listener_) + 10);
            if (probe < 0) {
                ::close(listener_);
                listener_ = -1;
            } else {
                ::close(probe);
            }
        }
        ASSERT_GE(listener_, 0);
        port_ = PortOf(listener_);
    }
    void TearDown() override {
        for (int fd : {listener_, accepted_, back_}) {
            if (fd >= 0) ::close(fd);
        }
    }
    ClientOptions options() const { return {.ownAddress = "127.0.0.6", .serverPort = port_}; }
    // Accepts the client's connection and connects back to its listener.
    void acceptAndConnectBack() {
        accepted_ = ::accept(listener_, nullptr, nullptr);
        back_ = ConnectTo("127.0.0.6", port_ + 10);
    }

    int listener_ = -1;
    int port_ = 0;
    int accepted_ = -1;
    int back_ = -1;
};

TEST_F(StandInServer, ConnectsFromItsOwnAddressAndFramesWhatItSends) {
    MerivoClient client(options());
    client.open();
    acceptAndConnectBack();
    client.acceptBackConnection(2000);

    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ::getpeername(accepted_, reinterpret_cast<sockaddr*>(&peer), &length);
    char text[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text), "127.0.0.6");

    client.sendPackage({1, 2, 3});
    EXPECT_EQ(ReadBytes(accepted_, 7), (Bytes{3, 0, 0, 0, 1, 2, 3}));
}

TEST_F(StandInServer, ReassemblesFramesHoweverTheyArrive) {
    MerivoClient client(options());
    client.open();
    acceptAndConnectBack();
    client.acceptBackConnection(2000);

    // Two frames in one write, then one frame byte by byte, then an empty frame.
    WriteBytes(back_, {2, 0, 0, 0, 9, 8, 1, 0, 0, 0, 7});
    EXPECT_EQ(client.receivePackage(2000), (Bytes{9, 8}));
    EXPECT_EQ(client.receivePackage(2000), (Bytes{7}));
    std::thread slow([this] {
        for (std::uint8_t byte : Bytes{3, 0, 0, 0, 4, 5, 6}) {
            WriteBytes(back_, {byte});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(client.receivePackage(2000), (Bytes{4, 5, 6}));
    slow.join();

    WriteBytes(back_, {0, 0, 0, 0});
    EXPECT_EQ(client.receivePackage(2000), Bytes{});
}

TEST_F(StandInServer, TimeOutKeepsAnIncompleteFrameForTheNextCall) {
    MerivoClient client(options());
    client.open();
    acceptAndConnectBack();
    client.acceptBackConnection(2000);

    EXPECT_EQ(client.receivePackage(50), std::nullopt);
    WriteBytes(back_, {4, 0, 0, 0, 1, 2});
    EXPECT_EQ(client.receivePackage(50), std::nullopt);
    WriteBytes(back_, {3, 4});
    EXPECT_EQ(client.receivePackage(2000), (Bytes{1, 2, 3, 4}));
}

TEST_F(StandInServer, ImpossibleLengthAndClosedConnectionAreErrors) {
    ClientOptions small = options();
    small.maxPackageSize = 100;
    MerivoClient client(small);
    client.open();
    acceptAndConnectBack();
    client.acceptBackConnection(2000);

    WriteBytes(back_, {101, 0, 0, 0});
    try {
        client.receivePackage(2000);
        FAIL() << "a frame longer than allowed was accepted";
    } catch (const ClientError& error) {
        EXPECT_EQ(error.kind(), ClientError::Kind::Protocol);
    }

    client.close();
    MerivoClient second(options());
    ::close(accepted_);
    ::close(back_);
    second.open();
    acceptAndConnectBack();
    second.acceptBackConnection(2000);
    WriteBytes(back_, {1, 0, 0, 0, 5});
    ::close(back_);
    back_ = -1;
    EXPECT_EQ(second.receivePackage(2000), Bytes{5}) << "what came before the close is kept";
    try {
        second.receivePackage(2000);
        FAIL() << "a closed back connection was not reported";
    } catch (const ClientError& error) {
        EXPECT_EQ(error.kind(), ClientError::Kind::Closed);
        EXPECT_TRUE(second.backConnectionClosed());
    }
}

TEST_F(StandInServer, ServerThatNeverConnectsBackIsATimeOut) {
    MerivoClient client(options());
    client.open();
    try {
        client.acceptBackConnection(100);
        FAIL() << "no time-out";
    } catch (const ClientError& error) {
        EXPECT_EQ(error.kind(), ClientError::Kind::Timeout);
    }
}

TEST_F(StandInServer, NoServerIsARefusedConnection) {
    ::close(listener_);
    listener_ = -1;
    MerivoClient client(options());
    try {
        client.connect(1000);
        FAIL() << "connected to nothing";
    } catch (const ClientError& error) {
        EXPECT_EQ(error.kind(), ClientError::Kind::Refused);
    }
    // The listener was released with the failed attempt: the address can be used again.
    const int again = ListenOn("127.0.0.6", port_ + 10);
    EXPECT_GE(again, 0);
    if (again >= 0) ::close(again);
}

TEST(ClientPackages, RequestCarriesItsFieldsAtTheirOffsets) {
    const Bytes request = BuildRequest(1000, 3, 46000.5, 7);
    ASSERT_EQ(request.size(), kRequestPackageSize);
    EXPECT_EQ(ReadInt32(&request[0]), 1000);
    EXPECT_EQ(ReadInt32(&request[4]), 3);
    EXPECT_EQ(ReadDouble(&request[12]), 46000.5);
    EXPECT_EQ(ReadUInt16(&request[28]), 7);
    EXPECT_EQ(PackageCode(request), 1000);
    EXPECT_EQ(PackageCode({1, 2}), std::nullopt);
}

TEST(ClientPackages, RelayPackageHeaderAndLongRecipientList) {
    const Bytes mail = BuildRelayPackage("ann,bob", "cy", {0xAB, 0xCD});
    ASSERT_EQ(mail.size(), kRelayHeaderSize + 2);
    EXPECT_EQ(ReadInt32(&mail[0]), kRelayCode);
    EXPECT_EQ(mail[relay::kDeliveryKind], 0);
    EXPECT_EQ(ReadShortString(&mail[relay::kRecipients], 255), "ann,bob");
    EXPECT_EQ(ReadShortString(&mail[relay::kOriginator], 255), "cy");
    EXPECT_EQ(mail[kRelayHeaderSize], 0xAB);

    EXPECT_EQ(BuildRelayPackage("ann", "cy", {}, true)[relay::kDeliveryKind], 10);

    const std::string many(300, 'x');
    const Bytes longForm = BuildRelayPackage(many, "cy", {0x01});
    EXPECT_EQ(ReadShortString(&longForm[relay::kRecipients], 255), kLongAddressMarker);
    EXPECT_EQ(ReadInt32(&longForm[kRelayHeaderSize]), 300);
    EXPECT_EQ(std::string(longForm.begin() + kRelayHeaderSize + 4,
                          longForm.begin() + kRelayHeaderSize + 304),
              many);
    EXPECT_EQ(longForm.back(), 0x01);
}

}  // namespace
}  // namespace merivo
