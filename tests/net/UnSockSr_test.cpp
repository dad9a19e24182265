// Connections end to end: identification, coming online, the user list and its notices, the
// mail-waiting notice, going offline, peers the server does not know.
#include "net/UnSockSr.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "db/UnDBType_Packages.h"
#include "platform/Locks.h"
#include "platform/NameLookup.h"
#include "platform/Socket.h"
#include "support/ServerFixture.h"

namespace merivo {
namespace {

using Bytes = std::vector<std::uint8_t>;

void AppendInt32(Bytes& bytes, std::int32_t value) {
    std::uint8_t raw[4];
    WriteInt32(raw, value);
    bytes.insert(bytes.end(), raw, raw + 4);
}

// One 86-byte user-list entry, laid out by hand.
Bytes Entry(bool online, const std::string& name, const std::string& host) {
    Bytes entry;
    AppendInt32(entry, online ? 1 : 0);
    Bytes nameField(51, 0), hostField(31, 0);
    nameField[0] = static_cast<std::uint8_t>(name.size());
    std::copy(name.begin(), name.end(), nameField.begin() + 1);
    hostField[0] = static_cast<std::uint8_t>(host.size());
    std::copy(host.begin(), host.end(), hostField.begin() + 1);
    entry.insert(entry.end(), nameField.begin(), nameField.end());
    entry.insert(entry.end(), hostField.begin(), hostField.end());
    return entry;
}

Bytes Notice(bool online, const std::string& name, const std::string& host) {
    Bytes notice;
    AppendInt32(notice, 2000);
    AppendInt32(notice, 3);
    Bytes entry = Entry(online, name, host);
    notice.insert(notice.end(), entry.begin(), entry.end());
    return notice;
}

Bytes Image(const std::vector<Bytes>& entries) {
    Bytes image;
    AppendInt32(image, 5000);
    for (const Bytes& entry : entries) image.insert(image.end(), entry.begin(), entry.end());
    return image;
}

Bytes Next(MerivoClient& client) {
    return client.receivePackage(2000).value_or(Bytes{});
}

TEST(Connections, UsersSeeEachOtherComeAndGoByteForByte) {
    ServerFixture server(ServerFixture::OneGroup(2));
    ASSERT_TRUE(server.listening());
    int shownCount = -1;
    OnConnectionCountChanged = [&](int count) { shownCount = count; };
    struct Unhook {
        ~Unhook() { OnConnectionCountChanged = nullptr; }
    } unhook;

    auto first = server.connectUser(1);
    ASSERT_TRUE(first);
    EXPECT_EQ(Next(*first),
              Image({Entry(true, "user1", "127.0.0.2"), Entry(false, "user2", "127.0.0.3")}));
    EXPECT_EQ(Next(*first), Notice(true, "user1", "127.0.0.2"));
    EXPECT_EQ(shownCount, 1);

    auto second = server.connectUser(2);
    ASSERT_TRUE(second);
    EXPECT_EQ(Next(*second),
              Image({Entry(true, "user1", "127.0.0.2"), Entry(true, "user2", "127.0.0.3")}));
    EXPECT_EQ(Next(*second), Notice(true, "user2", "127.0.0.3"));
    EXPECT_EQ(Next(*first), Notice(true, "user2", "127.0.0.3"));
    EXPECT_EQ(ConnectionCount(), 2);
    EXPECT_EQ(DBTable[0]->connectedUsers, 2);
    EXPECT_FALSE(server.logContains("Error"));

    // Going offline: the accepted connection closes, the back connection is closed with it.
    second->closeServerConnection();
    ASSERT_TRUE(server.pumpUntil([&] { return !server.user("user2")->online.load(); }));
    EXPECT_EQ(Next(*first), Notice(false, "user2", "127.0.0.3"));
    EXPECT_EQ(ConnectionCount(), 1);
    EXPECT_EQ(shownCount, 1);
    EXPECT_EQ(server.user("user2")->connectionHandle.load(), -1);
    EXPECT_THROW(second->receivePackage(1000), ClientError);  // the back connection is closed
}

TEST(Connections, UsersConnectingAtOnceAllComeOnline) {
    constexpr int kUsers = 6;
    ServerFixture server(ServerFixture::OneGroup(kUsers));
    std::vector<std::unique_ptr<MerivoClient>> clients;
    for (int i = 1; i <= kUsers; ++i) {
        ClientOptions options;
        options.ownAddress = ServerFixture::UserAddress(i);
        options.serverPort = server.port();
        clients.push_back(std::make_unique<MerivoClient>(options));
        clients.back()->open();
    }
    ASSERT_TRUE(server.pumpUntil([&] { return ConnectionCount() == kUsers; }));
    for (auto& client : clients) {
        client->acceptBackConnection(1000);
        EXPECT_EQ(PackageCode(Next(*client)), 5000);
    }
    // Each was told about itself and about everyone who came online after it, one at a time.
    std::vector<int> notices;
    for (auto& client : clients) notices.push_back(client->drainPackages(150));
    std::sort(notices.begin(), notices.end());
    EXPECT_EQ(notices, std::vector<int>({1, 2, 3, 4, 5, 6}));
}

TEST(Connections, MailWaitingNoticeOnlyForANonEmptyInbox) {
    ServerFixture server(ServerFixture::OneGroup(2));
    server.dir().writeFile("POP3/127.0.0.2.bin", std::string(249, 'x'));

    auto withMail = server.connectUser(1);
    ASSERT_TRUE(withMail);
    EXPECT_EQ(PackageCode(Next(*withMail)), 5000);
    EXPECT_EQ(PackageCode(Next(*withMail)), 2000);
    EXPECT_EQ(Next(*withMail), Bytes({0x70, 0x17, 0, 0}));  // 6000

    auto withoutMail = server.connectUser(2);
    ASSERT_TRUE(withoutMail);
    EXPECT_EQ(PackageCode(Next(*withoutMail)), 5000);
    EXPECT_EQ(PackageCode(Next(*withoutMail)), 2000);
    EXPECT_FALSE(withoutMail->receivePackage(300).has_value());
}

TEST(Connections, UnknownPeerIsLoggedOnceAndWhatItSendsIsRefused) {
    ServerFixture server(ServerFixture::OneGroup(1));
    TcpSocket stranger;
    int error = 0;
    ASSERT_TRUE(stranger.startConnect("127.0.0.1", server.port(), "127.0.0.9", &error));
    ASSERT_TRUE(server.pumpUntil([&] { return server.logContains("Illegal user"); }));
    EXPECT_TRUE(server.logContains(
        "Incorrect connection! Illegal user from [127.0.0.9 ] or incorrect settings at server."));
    ASSERT_EQ(stranger.finishConnect(), 0);

    const Bytes frame = Frame(CodedPayload(5000, 100));
    ASSERT_EQ(stranger.sendSome(frame.data(), frame.size(), &error), long(frame.size()));
    server.pump(300);
    EXPECT_EQ(server.logCount("Error! Message from unregistered user(no record in list of users)."),
              1);
    EXPECT_FALSE(server.logContains("Error in network settings"));
    EXPECT_EQ(server.form().AcceptedConnections().size(), 1u);  // left open

    stranger.close();
    ASSERT_TRUE(server.pumpUntil([&] { return server.form().AcceptedConnections().empty(); }));
    EXPECT_TRUE(server.logContains("Error! Tried to delete unidentified user"));
}

TEST(Connections, SecondConnectWhileOnlineTakesTheUserOffline) {
    ServerFixture server(ServerFixture::OneGroup(1));
    auto client = server.connectUser(1);
    ASSERT_TRUE(client);
    client->drainPackages(200);

    TcpSocket again;
    int error = 0;
    ASSERT_TRUE(again.startConnect("127.0.0.1", server.port(), "127.0.0.2", &error));
    ASSERT_TRUE(server.pumpUntil([&] { return server.logContains("Error Connect with "); }));
    EXPECT_TRUE(server.logContains("Error Connect with 127.0.0.2"));
    ASSERT_TRUE(server.pumpUntil([&] { return !server.user("user1")->online.load(); }));
    EXPECT_FALSE(server.user("user1")->outgoing->connected());
    EXPECT_EQ(server.user("user1")->connectionHandle.load(), -1);
    EXPECT_EQ(ConnectionCount(), 0);
    // The first connection stays open but no longer belongs to the user.
    EXPECT_EQ(server.form().AcceptedConnections().size(), 1u);
    client->sendPackage(CodedPayload(5000, 100));
    server.pump(200);
    EXPECT_TRUE(server.logContains("Error! Message from unregistered user"));
    EXPECT_FALSE(server.logContains("Error in network settings"));
}

TEST(Connections, RefusedBackConnectionIsTriedFourTimesThenTheUserIsDropped) {
    FixtureOptions options = ServerFixture::OneGroup(1);
    options.debug = true;
    options.reconnect = 3;
    ServerFixture server(options);
    TcpSocket client;  // connects, but nobody listens at its port + 10
    int error = 0;
    ASSERT_TRUE(client.startConnect("127.0.0.1", server.port(), "127.0.0.2", &error));
    ASSERT_TRUE(server.pumpUntil([&] { return server.logContains("Not respond:"); }));
    EXPECT_TRUE(server.logContains("Not respond:127.0.0.2"));
    EXPECT_EQ(server.logCount("Client_Error(10061)"), 2 * 4);  // traced on entry and exit
    ASSERT_TRUE(server.pumpUntil([&] { return server.form().AcceptedConnections().empty(); }));
    EXPECT_EQ(server.user("user1")->reconnectCount, 0);
    EXPECT_EQ(server.user("user1")->connectionHandle.load(), -1);
    EXPECT_FALSE(server.user("user1")->online.load());
}

TEST(Connections, ResetOfTheBackConnectionTakesTheUserOffline) {
    ServerFixture server(ServerFixture::OneGroup(2));
    auto watcher = server.connectUser(2);
    ASSERT_TRUE(watcher);
    watcher->drainPackages(200);

    TcpSocket listener, toServer;
    int error = 0;
    ASSERT_TRUE(listener.listenOn("127.0.0.2", server.port() + 10, &error));
    ASSERT_TRUE(toServer.startConnect("127.0.0.1", server.port(), "127.0.0.2", &error));
    ASSERT_TRUE(server.pumpUntil([&] { return server.user("user1")->online.load(); }));
    int back = -1;
    ASSERT_TRUE(server.pumpUntil([&] { return (back = listener.acceptOne(&error)) >= 0; }));
    linger hard{1, 0};
    setsockopt(back, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(back);  // sends a reset

    ASSERT_TRUE(server.pumpUntil([&] { return !server.user("user1")->online.load(); }));
    EXPECT_TRUE(server.logContains("Reset the connection127.0.0.2"));
    EXPECT_EQ(PackageCode(Next(*watcher)), 2000);                    // user1 online
    EXPECT_EQ(Next(*watcher), Notice(false, "user1", "127.0.0.2"));  // and offline again
    // Detached: the accepted connection stays open and still belongs to the user.
    EXPECT_NE(server.user("user1")->connectionHandle.load(), -1);
}

TEST(Connections, ClosingTheBackConnectionFromAWorkerThreadTakesTheUserOffline) {
    ServerFixture server(ServerFixture::OneGroup(2));
    auto watcher = server.connectUser(2);
    auto leaving = server.connectUser(1);
    ASSERT_TRUE(watcher && leaving);
    watcher->drainPackages(200);

    std::thread([&] { server.user("user1")->outgoing->close(); }).join();
    ASSERT_TRUE(server.pumpUntil([&] { return !server.user("user1")->online.load(); }));
    EXPECT_EQ(Next(*watcher), Notice(false, "user1", "127.0.0.2"));
    EXPECT_EQ(ConnectionCount(), 1);
    EXPECT_FALSE(server.logContains("Error! Tried to delete unidentified user"));

    // Detached: its accepted connection still belongs to it; a new connect brings it back.
    EXPECT_NE(server.user("user1")->connectionHandle.load(), -1);
    leaving->close();
    auto back = server.connectUser(1);
    ASSERT_TRUE(back);
    EXPECT_EQ(PackageCode(Next(*back)), 5000);
    EXPECT_EQ(ConnectionCount(), 2);
}

TEST(Connections, ABackConnectionClosedByAWorkerLeavesAloneTheAttemptStartedBeforeItIsHandled) {
    ServerFixture server(ServerFixture::OneGroup(1));
    auto client = server.connectUser(1);
    ASSERT_TRUE(client);
    client->drainPackages(200);
    TMyNameUser& user = *server.user("user1");

    std::thread([&] { user.outgoing->close(); }).join();  // handled later on the main thread
    // Before the main thread hears of the close, the user is connected back again.
    {
        MutexLock guard(ThreadTableLock());
        PendingConnects = {&user};
    }
    server.form().TimerConnectTimer();
    client->acceptBackConnection(2000);

    EXPECT_TRUE(server.pumpUntil([&] { return user.outgoing->connected() && user.online; }))
        << "the close of the old connection ended the new one";
    EXPECT_EQ(ConnectionCount(), 1);
    EXPECT_EQ(PackageCode(Next(*client)), 5000);
}

TEST(Connections, APeerIsMatchedByItsReverseLookedUpName) {
    FixtureOptions options;
    options.groups.push_back({"Group", {{"LOCALHOST", "named"}}, ""});
    ServerFixture server(options);
    ClientOptions clientOptions;
    clientOptions.ownAddress = "127.0.0.1";
    clientOptions.serverPort = server.port();
    MerivoClient client(clientOptions);
    client.open();
    ASSERT_TRUE(server.pumpUntil([&] { return server.user("named")->online.load(); }));
    client.acceptBackConnection(1000);
    EXPECT_EQ(PackageCode(Next(client)), 5000);
}

TEST(Connections, AnIdentificationStillLookingUpANameWhenItsFormIsDeletedEndsWithoutGoingOn) {
    ServerFixture server(ServerFixture::OneGroup(1));
    std::mutex mutex;
    std::condition_variable changed;
    bool lookingUp = false, answered = false;
    PeerNameLookup = [&](const std::string&) {
        std::unique_lock<std::mutex> lock(mutex);
        lookingUp = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return answered; });
        return std::string("stranger.invalid");
    };
    struct Unhook {
        ~Unhook() { PeerNameLookup = ReverseLookup; }
    } unhook;
    auto* form = new TFormSocksServer();  // takes the fixture's place as the sockets form
    std::string reason;
    ASSERT_TRUE(form->StartListening("127.0.0.1", 0, &reason)) << reason;
    TcpSocket stranger;
    int error = 0;
    ASSERT_TRUE(stranger.startConnect("127.0.0.1", form->ListeningPort(), "127.0.0.9", &error));
    ASSERT_TRUE(server.pumpUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return lookingUp;
    }));

    // The answer comes while the form is being deleted.
    std::thread answer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> lock(mutex);
        answered = true;
        changed.notify_all();
    });
    delete form;
    answer.join();
    EXPECT_FALSE(server.logContains("Illegal user")) << "the thread went on after the look-up";
    // The look-up thread uses the locals above until it returns.
    EXPECT_TRUE(server.pumpUntil([] { return RunningLookupCount() == 0; }));
}

// Takes every descriptor the process may still open, under a lowered limit; gives them back
// and restores the limit when it goes.
class DescriptorsExhausted {
  public:
    DescriptorsExhausted() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowest = ::open("/dev/null", O_RDONLY);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(lowest) + 8;
        setrlimit(RLIMIT_NOFILE, &lowered);
        taken_.push_back(lowest);
        for (int fd; taken_.size() < 64 && (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
            taken_.push_back(fd);
        }
    }
    ~DescriptorsExhausted() {
        for (int fd : taken_) ::close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }

  private:
    rlimit saved_{};
    std::vector<int> taken_;
};

double MainThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

TEST(Connections, OutOfDescriptorsTheServerWaitsForThemInsteadOfSpinningOnAccept) {
    ServerFixture server(ServerFixture::OneGroup(1));
    TcpSocket waiting;
    int error = 0;
    ASSERT_TRUE(waiting.startConnect("127.0.0.1", server.port(), "127.0.0.9", &error));
    {
        DescriptorsExhausted exhausted;
        const double before = MainThreadCpuMs();
        server.pump(500);
        EXPECT_LT(MainThreadCpuMs() - before, 150.0) << "accept failed over and over";
        EXPECT_TRUE(server.form().AcceptedConnections().empty());
    }
    EXPECT_TRUE(server.pumpUntil([&] { return server.form().AcceptedConnections().size() == 1; }))
        << "accepting resumes once descriptors are free again";
}

TEST(Connections, NoDelayFollowsTheSetting) {
    for (bool noDelay : {false, true}) {
        FixtureOptions options = ServerFixture::OneGroup(1);
        options.tcpNoDelay = noDelay;
        ServerFixture server(options);
        auto client = server.connectUser(1);
        ASSERT_TRUE(client);
        for (int fd : {server.form().AcceptedConnections().at(0)->handle(),
                       server.user("user1")->outgoing->handle()}) {
            int value = -1;
            socklen_t size = sizeof value;
            getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &size);
            EXPECT_EQ(value != 0, noDelay);
        }
    }
}

TEST(Connections, ErrorEventsAreLoggedWithTheirNamesAndSuppressed) {
    FixtureOptions options = ServerFixture::OneGroup(1);
    options.debug = true;
    ServerFixture server(options);
    auto client = server.connectUser(1);
    ASSERT_TRUE(client);
    TFormSocksServer& form = server.form();

    TcpSocket nobody;
    int code = WSAECONNRESET;
    form.ClientSocket1Error(nobody, code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(server.logContains("Error Message from undefined user.:WSAECONNRESET"));

    code = WSAETIMEDOUT;
    form.ClientSocket1Error(*server.user("user1")->outgoing, code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(server.logContains("Error! client socket:127.0.0.2 - WSAETIMEDOUT"));
    EXPECT_TRUE(server.user("user1")->online.load());  // left as the socket layer leaves it

    code = 10100;  // no name
    form.ServerSocket1ClientError(*form.AcceptedConnections().at(0), code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(server.log().back(), "Server listens -> the client error ");

    form.ClientSocket1Connect(nobody);
    EXPECT_TRUE(server.logContains("Error! Unidentified user tried to connect"));
}

TEST(Connections, ConnectionCountNeverDropsBelowZeroAndASecondDisconnectChangesNothing) {
    ServerFixture server(ServerFixture::OneGroup(1));
    TMyNameUser& user = *server.user("user1");
    UserDisconnected(&user, false);  // already offline
    EXPECT_EQ(ConnectionCount(), 0);
    EXPECT_EQ(DBTable[0]->connectedUsers, 0);
    UserDisconnected(nullptr, true);
    EXPECT_TRUE(server.logContains("Error! Tried to delete unidentified user"));
}

TEST(AddressTest, DottedQuadsPassAndAreNormalised) {
    std::string normalised;
    EXPECT_TRUE(IsDottedAddress("192.168.1.20", &normalised));
    EXPECT_EQ(normalised, "192.168.1.20");
    EXPECT_TRUE(IsDottedAddress("010.001.000.005", &normalised));
    EXPECT_EQ(normalised, "10.1.0.5");
    EXPECT_TRUE(IsDottedAddress("300.1.2.3", &normalised));  // no range check
    EXPECT_EQ(normalised, "300.1.2.3");
    for (const char* text : {"server01", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.", ".1.2.3",
                             "1.2.3.x", "", "1.2.3.99999999999"}) {
        EXPECT_FALSE(IsDottedAddress(text, &normalised)) << text;
    }
}

}  // namespace
}  // namespace merivo
