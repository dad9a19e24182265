// The send path against real loopback connections: every user's outgoing connection is one end
// of a TCP connection whose other end (the "peer") the test reads.
#include "net/UnSockSr_Send.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "db/MessageCatalog.h"
#include "db/UnDBType_Packages.h"
#include "net/ProcessTable.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "support/CoreApplication.h"
#include "support/CapturedLog.h"
#include "support/FaultInjectionEnv.h"
#include "support/LoopbackPeer.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

using namespace std::chrono_literals;

// Waits up to five seconds for a condition.
template <typename Condition>
bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class SendPathTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }
    // Runs work as one event of the main thread's event loop; returns when the turn has ended.
    static void inOneTurn(const std::function<void()>& work) {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&] {
            work();
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
    }

    void SetUp() override {
        ResetServerState();
        Config.pop3Dir = dir_.path();
        savedTimeouts_ = CurrentTimeouts();
        CurrentTimeouts().fileOpenRetryMs = 200;
        SetLogSink(&log_);
        InstallSendPath();
        baselineThreads_ = RunningThreadCount();
    }
    void TearDown() override {
        ForEachUser([](TMyNameUser& user) {
            TerminateThreads(user, 1);
            CloseFinishedHandles(user, true);
        });
        EXPECT_TRUE(Eventually([&] { return RunningThreadCount() <= baselineThreads_; }));
        SetLogSink(nullptr);
        CurrentTimeouts() = savedTimeouts_;
        peers_.clear();
        ResetServerState();
    }

    // Adds a database of users with the given hosts, all online with a connected peer.
    std::vector<TMyNameUser*> addDatabase(const std::vector<std::string>& hosts,
                                          int receiveBuffer = 0) {
        auto db = std::make_unique<TMyDBUser>();
        std::vector<TMyNameUser*> users;
        for (const std::string& host : hosts) {
            auto user = std::make_unique<TMyNameUser>();
            user->valid = true;
            user->online = true;
            user->host = host;
            user->name = "user " + host;
            user->databaseNumber = static_cast<std::int32_t>(DBTable.size());
            peers_.push_back(std::make_unique<LoopbackPeer>(user->outgoing, receiveBuffer));
            users.push_back(user.get());
            db->users.push_back(std::move(user));
        }
        DBTable.push_back(std::move(db));
        return users;
    }
    LoopbackPeer& peerOf(int index) { return *peers_[static_cast<std::size_t>(index)]; }

    void send(TMyNameUser& user, const Bytes& payload, int mode = 2, const std::string& host = "") {
        SendPackage(user, payload.data(), payload.size(), host, mode);
    }

    TempDir dir_;
    CapturedLog log_;
    Timeouts savedTimeouts_;
    int baselineThreads_ = 0;
    std::vector<std::unique_ptr<LoopbackPeer>> peers_;
};

TEST_F(SendPathTest, SmallPackageToIdleUserLeavesDirectlyAsOneFrame) {
    auto users = addDatabase({"127.0.0.2"});
    const Bytes payload = Numbered(kRequestPackageSize, 7);
    send(*users[0], payload);

    EXPECT_EQ(users[0]->sendIssued, 0);
    {
        MutexLock lock(ThreadTableLock());
        EXPECT_TRUE(TransportOf(*users[0]).threadTable.empty());
    }
    Bytes expected(4);
    WriteInt32(expected.data(), static_cast<std::int32_t>(kRequestPackageSize));
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(peerOf(0).read(expected.size()), expected);
}

TEST_F(SendPathTest, WithoutDirectSendEveryPieceGoesThroughAProcess) {
    Config.directSend = false;
    auto users = addDatabase({"127.0.0.2"});
    send(*users[0], Numbered(100, 1));
    EXPECT_EQ(users[0]->sendIssued, 1);
    EXPECT_EQ(peerOf(0).frame(), Numbered(100, 1));
    EXPECT_TRUE(Eventually([&] { return users[0]->sendFinished == 1; }));
}

TEST_F(SendPathTest, LargePackageArrivesAsHeaderThenPayloadWhenOnlyPartIsTakenDirectly) {
    auto users = addDatabase({"127.0.0.2"}, 16384);
    const Bytes payload = Numbered(3 << 20, 3);  // far more than the socket buffers hold
    send(*users[0], payload);

    EXPECT_GE(users[0]->sendIssued, 1) << "the rest of the payload needs a send process";
    EXPECT_EQ(peerOf(0).frame(), payload);
    EXPECT_TRUE(Eventually([&] { return users[0]->sendFinished == users[0]->sendIssued; }));
}

TEST_F(SendPathTest, PackagesUnderLoadArriveInTheOrderTheyWereSent) {
    Config.debugMode = true;
    auto users = addDatabase({"127.0.0.2"}, 16384);
    // Sizes alternate between single-piece frames and header-plus-payload frames.
    const std::vector<std::size_t> sizes = {40, 70000, 2351, 2352, 9, 200000, 0, 5000};
    constexpr int kPackages = 40;
    for (int i = 0; i < kPackages; ++i) send(*users[0], Numbered(sizes[i % sizes.size()], i));
    EXPECT_FALSE(users[0]->sendStopped);

    for (int i = 0; i < kPackages; ++i) {
        ASSERT_EQ(peerOf(0).frame(), Numbered(sizes[i % sizes.size()], i)) << "package " << i;
    }
    ASSERT_TRUE(Eventually([&] { return users[0]->sendFinished == users[0]->sendIssued; }));

    // The processes began strictly in sequence.
    int last = 0;
    for (const std::string& line : log_.lines()) {
        if (line.rfind("StartProc ", 0) != 0) continue;
        const int sequence = std::stoi(line.substr(10));
        EXPECT_EQ(sequence, last + 1);
        last = sequence;
    }
    EXPECT_EQ(last, users[0]->sendIssued);
}

TEST_F(SendPathTest, ReceiversFollowTheSendMode) {
    auto first = addDatabase({"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    auto second = addDatabase({"127.0.0.5"});
    first[2]->online = false;

    auto receivedBy = [&](const Bytes& payload) {
        std::string who;
        for (int i = 0; i < 4; ++i) {
            if (peerOf(i).frame(100) == payload) who += std::to_string(i);
        }
        return who;
    };
    send(*first[0], Numbered(20, 1), 1);
    EXPECT_EQ(receivedBy(Numbered(20, 1)), "01");
    send(*first[0], Numbered(20, 2), 2);
    EXPECT_EQ(receivedBy(Numbered(20, 2)), "0");
    send(*first[0], Numbered(20, 3), 3, "127.0.0.3");
    EXPECT_EQ(receivedBy(Numbered(20, 3)), "0");
    send(*first[1], Numbered(20, 4), 3, "127.0.0.9");
    EXPECT_EQ(receivedBy(Numbered(20, 4)), "01");
    send(*second[0], Numbered(20, 5), 4);
    EXPECT_EQ(receivedBy(Numbered(20, 5)), "013");
    send(*first[2], Numbered(20, 6), 2);
    EXPECT_EQ(receivedBy(Numbered(20, 6)), "");

    // Mode 1 and 4 also need the outgoing connection to be up.
    first[1]->outgoing->close();
    send(*first[0], Numbered(20, 7), 4);
    EXPECT_EQ(receivedBy(Numbered(20, 7)), "03");
}

TEST_F(SendPathTest, QueueLimitStopsTheSlowUserWhileOthersAreServed) {
    Config.directSend = false;
    auto users = addDatabase({"127.0.0.2", "127.0.0.3"}, 8192);
    TMyNameUser& slow = *users[0];
    const Bytes big = Numbered(1 << 20, 1);  // more than the socket buffers hold
    QueueSend(slow, big.data(), big.size());
    const Bytes small = Numbered(100, 2);
    for (int i = 1; i < kSendQueueLimit; ++i) QueueSend(slow, small.data(), small.size());
    EXPECT_EQ(slow.sendIssued, kSendQueueLimit);
    EXPECT_FALSE(slow.sendStopped);

    QueueSend(slow, small.data(), small.size());
    EXPECT_TRUE(slow.sendStopped);
    EXPECT_EQ(slow.sendIssued, kSendQueueLimit);
    EXPECT_EQ(log_.count("127.0.0.2 -> disconnect (queue of packages = 70)."), 1);

    send(*users[1], big, 2);
    EXPECT_EQ(peerOf(1).frame(), big);

    WatchdogStep();  // one tick
    EXPECT_FALSE(slow.sendStopped);
    EXPECT_FALSE(slow.outgoing->connected());
    EXPECT_TRUE(peerOf(0).closedByServer());
    {
        MutexLock lock(ThreadTableLock());
        EXPECT_TRUE(TransportOf(slow).threadTable.empty());
    }
    EXPECT_TRUE(Eventually([&] { return RunningThreadCount() <= baselineThreads_; }))
        << "terminated processes end at once";

    send(*users[1], Numbered(10, 2), 2);
    EXPECT_EQ(peerOf(1).frame(), Numbered(10, 2));
}

TEST_F(SendPathTest, LostConnectionStopsTheUserAndIsReported) {
    Config.directSend = false;
    auto users = addDatabase({"127.0.0.2"}, 8192);
    peerOf(0).close();
    const Bytes piece = Numbered(4 << 20, 1);
    QueueSend(*users[0], piece.data(), piece.size());
    ASSERT_TRUE(Eventually([&] { return users[0]->sendStopped.load(); }));
    EXPECT_TRUE(Eventually([&] { return log_.count("Reset send process") == 1; }));
    EXPECT_EQ(users[0]->sendFinished, 0) << "a failed process does not advance the queue";

    QueueSend(*users[0], piece.data(), piece.size());
    EXPECT_EQ(users[0]->sendIssued, 1) << "nothing is queued for a stopped user";
}

TEST_F(SendPathTest, BusyUserDoesNotCollectEntriesOfFinishedProcesses) {
    Config.directSend = false;
    auto users = addDatabase({"127.0.0.2"});
    TMyNameUser& user = *users[0];
    constexpr int kFinished = 3 * kSendQueueLimit;
    {
        MutexLock lock(ThreadTableLock());
        for (int sequence = 1; sequence <= kFinished; ++sequence) {
            auto done = Thread::Start([](Thread&) -> std::uint32_t { return 0; });
            ASSERT_TRUE(done->waitFinished(5000));
            TransportOf(user).threadTable.push_back({done, sequence, 1});
        }
    }
    // One process is still outstanding, so the user never becomes idle.
    user.sendStarted = user.sendFinished = kFinished;
    user.sendIssued = kFinished + 1;

    const Bytes piece = Numbered(10, 1);
    QueueSend(user, piece.data(), piece.size());
    MutexLock lock(ThreadTableLock());
    ASSERT_EQ(TransportOf(user).threadTable.size(), 1u);
    EXPECT_EQ(TransportOf(user).threadTable[0].sequence, kFinished + 2);
}

// Ends the user's processes and restarts its counters, as coming online again does; called
// with the thread-table lock held, the way processes are ended.
void ComeOnlineAgain(TMyNameUser& user) {
    TerminateThreads(user, 1);
    CloseFinishedHandles(user, true);
    user.sendIssued = user.sendStarted = user.sendFinished = 0;
    user.sendStopped = false;
}

TEST_F(SendPathTest, AProcessEndedAsItsUserComesOnlineAgainLeavesTheNewCountersAlone) {
    Config.debugMode = true;
    Config.directSend = false;
    auto users = addDatabase({"127.0.0.2"}, 8192);
    TMyNameUser& user = *users[0];
    const Bytes piece = Numbered(1 << 20, 1);  // more than the socket buffers hold
    QueueSend(user, piece.data(), piece.size());
    // The process has its turn and cannot finish before the peer has read the piece.
    ASSERT_TRUE(Eventually([&] { return log_.count("StartProc 1") == 1; }));
    std::shared_ptr<Thread> process;
    Bytes received;
    {
        MutexLock lock(ThreadTableLock());
        ASSERT_EQ(TransportOf(user).threadTable.size(), 1u);
        process = TransportOf(user).threadTable[0].thread;
        received = peerOf(0).read(piece.size());
        // The piece is sent; the process now waits for this lock to pass its turn on.
        ASSERT_TRUE(Eventually([&] { return log_.count("EndProc 1") == 1; }));
        std::this_thread::sleep_for(50ms);
        // Meanwhile the user comes online again: its processes are ended, its counters restart.
        ComeOnlineAgain(user);
    }
    ASSERT_TRUE(process->waitFinished(5000));
    EXPECT_EQ(user.sendFinished, 0) << "the ended process must not count as finished";
    EXPECT_EQ(received, piece);
}

TEST_F(SendPathTest, AProcessEndedAsItTakesItsTurnSendsNothingAndLeavesTheNewCountersAlone) {
    Config.debugMode = true;
    Config.directSend = false;
    auto users = addDatabase({"127.0.0.2"});
    TMyNameUser& user = *users[0];
    const Bytes piece = Numbered(100, 1);
    std::shared_ptr<Thread> process;
    {
        MutexLock lock(ThreadTableLock());
        QueueSend(user, piece.data(), piece.size());
        ASSERT_EQ(TransportOf(user).threadTable.size(), 1u);
        process = TransportOf(user).threadTable[0].thread;
        // The process has its turn and waits for this lock to mark its start.
        std::this_thread::sleep_for(50ms);
        ComeOnlineAgain(user);
    }
    ASSERT_TRUE(process->waitFinished(5000));
    EXPECT_EQ(user.sendStarted, 0) << "the ended process must not count as started";
    EXPECT_EQ(log_.count("StartProc 1"), 0);
    EXPECT_TRUE(peerOf(0).read(1, 100).empty());
}

TEST_F(SendPathTest, AProcessEndedAsItReportsAFailureLeavesTheNewConnectionAlone) {
    Config.debugMode = true;
    Config.directSend = false;
    auto users = addDatabase({"127.0.0.2"}, 8192);
    TMyNameUser& user = *users[0];
    const Bytes piece = Numbered(4 << 20, 1);  // more than the socket buffers hold
    QueueSend(user, piece.data(), piece.size());
    ASSERT_TRUE(Eventually([&] { return log_.count("StartProc 1") == 1; }));
    std::shared_ptr<Thread> process;
    {
        MutexLock lock(ThreadTableLock());
        process = TransportOf(user).threadTable[0].thread;
        peerOf(0).close();
        // The send fails; the process now waits for this lock to report it.
        ASSERT_TRUE(Eventually([&] { return log_.count("EndProc 1") == 1; }));
        std::this_thread::sleep_for(50ms);
        ComeOnlineAgain(user);
    }
    ASSERT_TRUE(process->waitFinished(5000));
    EXPECT_FALSE(user.sendStopped) << "the watchdog would close the new connection";
    EXPECT_EQ(log_.count("Reset send process"), 0);
}

TEST_F(SendPathTest, WatchdogResumesOnlyTheNextProcessInSequence) {
    auto users = addDatabase({"127.0.0.2"});
    TMyNameUser& user = *users[0];
    std::atomic<int> resumed{0};
    auto waiter = [&resumed](int sequence) {
        return Thread::Start([&resumed, sequence](Thread& self) -> std::uint32_t {
            self.suspendSelf();
            if (!self.terminateRequested()) resumed = resumed * 10 + sequence;
            return 0;
        });
    };
    user.sendStarted = 4;
    user.sendFinished = 4;
    {
        MutexLock lock(ThreadTableLock());
        TransportOf(user).threadTable.push_back({waiter(5), 5, 1});
        TransportOf(user).threadTable.push_back({waiter(6), 6, 1});
    }
    WatchdogStep();
    EXPECT_TRUE(Eventually([&] { return resumed == 5; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(resumed, 5);
}

TEST_F(SendPathTest, WatchdogCleansUpAStoppedUserBeforeResuming) {
    auto users = addDatabase({"127.0.0.2"});
    TMyNameUser& user = *users[0];
    auto waiting = Thread::Start([](Thread& self) -> std::uint32_t {
        self.suspendSelf();
        return self.terminateRequested() ? 2 : 1;
    });
    {
        MutexLock lock(ThreadTableLock());
        TransportOf(user).threadTable.push_back({waiting, 1, 1});
    }
    user.sendStopped = true;
    WatchdogStep();
    ASSERT_TRUE(waiting->waitFinished(5000));
    EXPECT_EQ(waiting->exitCode(), 2u) << "terminated, not resumed";
    EXPECT_FALSE(user.outgoing->connected());
}

// ---- Mail ------------------------------------------------------------------------------------

class MailDeliveryTest : public SendPathTest {
  protected:
    // Stores mail files for the user and lists them in its inbox, in order.
    void storeMail(TMyNameUser& user, const std::vector<std::pair<std::string, Bytes>>& mails,
                   const std::vector<std::string>& listedOnly = {}) {
        std::string inbox;
        for (const auto& [name, content] : mails) {
            dir_.writeFile(name, std::string(content.begin(), content.end()));
        }
        auto list = [&](const std::string& name) {
            const Bytes entry = BuildInboxEntry("sender", "127.0.0.9", name);
            inbox.append(entry.begin(), entry.end());
        };
        for (const auto& mail : mails) list(mail.first);
        for (const auto& name : listedOnly) list(name);
        dir_.writeFile(user.host + ".bin", inbox);
    }
    std::vector<std::string> inboxFiles(const TMyNameUser& user) {
        const std::string bytes = dir_.readFile(user.host + ".bin");
        std::vector<std::string> names;
        for (std::size_t at = 0; at + kInboxEntrySize <= bytes.size(); at += kInboxEntrySize) {
            names.push_back(
                InboxEntryPackageFile(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at));
        }
        return names;
    }
    bool exists(const std::string& name) { return PosixEnv().fileExists(dir_.file(name)); }
    void deliverAndWait(TMyNameUser& user) {
        StartMailDelivery(user);
        ASSERT_TRUE(Eventually([&] { return user.sendFinished == user.sendIssued; }));
    }
};

TEST_F(MailDeliveryTest, DeliversEveryMailInOrderAndEmptiesTheInbox) {
    auto users = addDatabase({"127.0.0.2"});
    const Bytes first = Numbered(100, 1), second = Numbered(200000, 2), third = Numbered(4, 3);
    storeMail(*users[0], {{"0a.mvm", first}, {"1b.mvm", second}, {"2c.mvm", third}});

    send(*users[0], Numbered(30, 9));  // mail comes after what was queued before it
    deliverAndWait(*users[0]);
    EXPECT_EQ(peerOf(0).frame(), Numbered(30, 9));
    EXPECT_EQ(peerOf(0).frame(), first);
    EXPECT_EQ(peerOf(0).frame(), second);
    EXPECT_EQ(peerOf(0).frame(), third);
    EXPECT_TRUE(inboxFiles(*users[0]).empty());
    EXPECT_FALSE(exists("0a.mvm") || exists("1b.mvm") || exists("2c.mvm"));
    EXPECT_TRUE(users[0]->outgoing->connected());
}

// Entries whose file is gone or whose name leads out of the mail folder can never be sent: each
// is logged and taken out, and the mail after them is delivered on a connection that stays.
TEST_F(MailDeliveryTest, EntriesWithoutASendableFileAreRemovedAndTheMailAfterThemDelivered) {
    auto users = addDatabase({"127.0.0.2"});
    dir_.writeFile("secret", "do not send");
    Config.pop3Dir = dir_.file("POP3");
    PosixEnv().createFolder(Config.pop3Dir);
    const Bytes mail = Numbered(50, 1);
    dir_.writeFile("POP3/0a.mvm", std::string(mail.begin(), mail.end()));
    std::string inbox;
    for (const char* name : {"1b.mvm", "../secret", "0a.mvm"}) {
        const Bytes entry = BuildInboxEntry("sender", "127.0.0.9", name);
        inbox.append(entry.begin(), entry.end());
    }
    dir_.writeFile("POP3/127.0.0.2.bin", inbox);

    deliverAndWait(*users[0]);
    EXPECT_EQ(peerOf(0).frame(), mail);
    EXPECT_EQ(peerOf(0).frame(200), std::nullopt);
    EXPECT_EQ(dir_.readFile("POP3/127.0.0.2.bin"), "");
    EXPECT_FALSE(exists("POP3/0a.mvm"));
    EXPECT_TRUE(exists("secret"));
    const std::string removed = Txt(txtMailEntryRemoved) + "127.0.0.2 -> ";
    EXPECT_EQ(log_.count(removed + "1b.mvm"), 1);
    EXPECT_EQ(log_.count(removed + "../secret"), 1);
    EXPECT_EQ(log_.count("Error sending mail to 127.0.0.2"), 0);
    EXPECT_TRUE(users[0]->outgoing->connected());
}

TEST_F(MailDeliveryTest, TimeOutInsideAMailFileEndsDeliveryLikeALostConnection) {
    CurrentTimeouts().timedSendAttempts = 3;
    auto users = addDatabase({"127.0.0.2"}, 8192);
    storeMail(*users[0], {{"0a.mvm", Numbered(4 << 20, 1)}});  // the peer never reads

    deliverAndWait(*users[0]);
    EXPECT_EQ(log_.count("Error sending mail to 127.0.0.2"), 1);
    EXPECT_EQ(inboxFiles(*users[0]), (std::vector<std::string>{"0a.mvm"}));
    EXPECT_TRUE(exists("0a.mvm"));
}

TEST_F(MailDeliveryTest, UnreadableInboxIsReportedAndKept) {
    auto users = addDatabase({"127.0.0.2"});
    storeMail(*users[0], {{"0a.mvm", Numbered(50, 1)}});
    FaultInjectionEnv env;
    env.failOn(FileOp::Read, ".bin");
    ScopedEnv scoped(env);

    deliverAndWait(*users[0]);
    EXPECT_EQ(log_.count("Error opening the user inbox file 127.0.0.2"), 1);
    EXPECT_EQ(inboxFiles(*users[0]).size(), 1u);
    EXPECT_TRUE(exists("0a.mvm"));
    EXPECT_EQ(peerOf(0).frame(200), std::nullopt);
}

// Whatever step of a delivery fails, each mail is either delivered or still listed with its file,
// the listed ones in their order, and no entry names a file that is gone.
TEST_F(MailDeliveryTest, AFailingStepLosesNoMailAndListsNoMissingFile) {
    struct Fault {
        FileOp op;
        const char* path;
        int nth;
    };
    struct Case {
        const char* step;
        std::vector<Fault> faults;
        std::size_t delivered;
        std::vector<std::string> listed;  // what the inbox names afterwards
        bool reported;  // "Error sending mail to" logged and the connection closed
    };
    const std::vector<std::string> all = {"0a.mvm", "1b.mvm", "2c.mvm"};
    const std::vector<Case> cases = {
        {"opening the inbox", {{FileOp::Open, ".bin", 1}}, 0, all, false},
        {"opening a mail file", {{FileOp::Open, "1b.mvm", 1}}, 1, {"1b.mvm", "2c.mvm"}, true},
        {"opening the inbox again", {{FileOp::Open, ".bin", 2}}, 3, all, false},
        {"sizing the inbox again", {{FileOp::Size, ".bin", 2}}, 3, all, false},
        {"moving the rest forward",
         {{FileOp::Open, "1b.mvm", 1}, {FileOp::Write, ".bin", 1}},
         1,
         all,
         true},
        {"emptying the inbox", {{FileOp::Truncate, ".bin", 1}}, 3, all, false},
        {"syncing the emptied inbox", {{FileOp::Sync, ".bin", 1}}, 3, {}, false},
        {"deleting a sent file", {{FileOp::Delete, "0a.mvm", 1}}, 3, {}, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.step);
        TMyNameUser& user = *addDatabase({"127.0.1." + std::to_string(i + 1)})[0];
        std::vector<std::pair<std::string, Bytes>> mails;
        for (std::size_t m = 0; m < all.size(); ++m) {
            mails.emplace_back(all[m], Numbered(100 + m, static_cast<int>(m)));
        }
        storeMail(user, mails);
        FaultInjectionEnv env;
        for (const Fault& fault : c.faults) env.failOn(fault.op, fault.path, fault.nth);
        {
            ScopedEnv scoped(env);
            deliverAndWait(user);
        }
        for (std::size_t m = 0; m < c.delivered; ++m) {
            EXPECT_EQ(peerOf(static_cast<int>(i)).frame(), mails[m].second);
        }
        EXPECT_EQ(peerOf(static_cast<int>(i)).frame(200), std::nullopt);
        EXPECT_EQ(inboxFiles(user), c.listed);
        for (const std::string& name : c.listed) EXPECT_TRUE(exists(name)) << name;
        EXPECT_EQ(log_.count("Error sending mail to " + user.host), c.reported ? 1 : 0);
        EXPECT_EQ(user.outgoing->connected(), !c.reported);
    }
}

// The shortened inbox is on the disk before the delivered files are deleted: a power loss after
// a delivery brings back no entry whose file is gone.
TEST_F(MailDeliveryTest, PowerLossAfterADeliveryLeavesNoEntryWithoutItsFile) {
    auto users = addDatabase({"127.0.0.2"});
    const Bytes first = Numbered(50, 1), second = Numbered(60, 2);
    storeMail(*users[0], {{"0a.mvm", first}, {"1b.mvm", second}});
    FaultInjectionEnv env;
    env.trackUnsyncedData();
    {
        ScopedEnv scoped(env);
        deliverAndWait(*users[0]);
    }
    EXPECT_EQ(peerOf(0).frame(), first);
    EXPECT_EQ(peerOf(0).frame(), second);
    env.dropUnsyncedData();
    for (const std::string& name : inboxFiles(*users[0])) EXPECT_TRUE(exists(name)) << name;
}

TEST_F(MailDeliveryTest, NothingHappensForAStoppedOrOfflineUser) {
    auto users = addDatabase({"127.0.0.2", "127.0.0.3"});
    users[0]->sendStopped = true;
    users[1]->online = false;
    StartMailDelivery(*users[0]);
    StartMailDelivery(*users[1]);
    EXPECT_EQ(users[0]->sendIssued + users[1]->sendIssued, 0);
}

}  // namespace
}  // namespace merivo

namespace merivo {
namespace {

// ---- Small pieces gathered during one turn of the event loop ------------------------------------

TEST_F(SendPathTest, SmallPiecesOfOneTurnLeaveWhenItEndsInTheirOrder) {
    auto users = addDatabase({"127.0.0.2", "127.0.0.3"});
    inOneTurn([&] {
        send(*users[0], Numbered(100, 1));
        send(*users[1], Numbered(kRequestPackageSize, 2), 4);
        send(*users[0], Numbered(0, 3));
        EXPECT_TRUE(peerOf(0).read(1, 0).empty()) << "nothing leaves before the turn ends";
    });
    EXPECT_EQ(peerOf(0).frame(), Numbered(100, 1));
    EXPECT_EQ(peerOf(0).frame(), Numbered(kRequestPackageSize, 2));
    EXPECT_EQ(peerOf(0).frame(), Numbered(0, 3));
    EXPECT_EQ(peerOf(1).frame(), Numbered(kRequestPackageSize, 2));
    EXPECT_EQ(users[0]->sendIssued, 0);
    EXPECT_EQ(users[1]->sendIssued, 0);
}

TEST_F(SendPathTest, GatheredPiecesLeaveWithinTheTurnOnceTheyHold16KB) {
    auto users = addDatabase({"127.0.0.2"});
    inOneTurn([&] {
        for (int i = 0; i < 16; ++i) send(*users[0], Numbered(1020, i));  // frames of 1 KB
        EXPECT_EQ(peerOf(0).read(16 * 1024, 0).size(), 16u * 1024);
        send(*users[0], Numbered(1020, 16));
        EXPECT_TRUE(peerOf(0).read(1, 0).empty());
    });
    EXPECT_EQ(peerOf(0).frame(), Numbered(1020, 16));
}

TEST_F(SendPathTest, GatheredPiecesLeaveBeforeAProcessAndBeforeTheConnectionCloses) {
    auto users = addDatabase({"127.0.0.2"}, 8192);
    const Bytes large = Numbered(200000, 2);
    inOneTurn([&] {
        send(*users[0], Numbered(10, 1));
        send(*users[0], large);  // through a process, which waits for the peer to read
        send(*users[0], Numbered(10, 3));
        EXPECT_EQ(users[0]->sendIssued, 2);
    });
    EXPECT_EQ(peerOf(0).frame(), Numbered(10, 1));
    EXPECT_EQ(peerOf(0).frame(), large);
    EXPECT_EQ(peerOf(0).frame(), Numbered(10, 3));

    ASSERT_TRUE(Eventually([&] { return users[0]->sendFinished == users[0]->sendIssued; }));
    inOneTurn([&] {
        send(*users[0], Numbered(10, 4));
        users[0]->sendStopped = true;
        WatchdogStep();  // closes the connection
    });
    EXPECT_EQ(peerOf(0).frame(), Numbered(10, 4));
    EXPECT_TRUE(peerOf(0).closedByServer());
}

TEST_F(SendPathTest, WhatTheGatheredSendLeavesIsQueuedPieceByPieceUpToTheLimit) {
    auto users = addDatabase({"127.0.0.2"}, 8192);
    constexpr int kPieces = 200;
    inOneTurn([&] {
        for (int i = 0; i < kPieces; ++i) send(*users[0], Numbered(2000, i));
    });
    EXPECT_GE(users[0]->sendIssued, kSendQueueLimit) << "a process may finish meanwhile";
    EXPECT_TRUE(users[0]->sendStopped);
    EXPECT_EQ(log_.count("127.0.0.2 -> disconnect (queue of packages = 70)."), 1);

    int received = 0;
    while (const auto frame = peerOf(0).frame(500)) {
        ASSERT_EQ(*frame, Numbered(2000, received)) << "package " << received;
        ++received;
    }
    EXPECT_GE(received, kSendQueueLimit);
    EXPECT_LT(received, kPieces);
}

// The table of a user is cleared while its processes may still be ending (a reconnect, the
// watchdog): the reset must still find the process and wait for it before the user is freed.
TEST_F(SendPathTest, ResetWaitsForEveryProcessBeforeItFreesTheUsers) {
    auto users = addDatabase({"127.0.0.2"}, 16384);
    send(*users[0], Numbered(3 << 20, 3));  // the peer never reads: the process waits on it
    std::shared_ptr<Thread> process;
    {
        MutexLock lock(ThreadTableLock());
        ASSERT_FALSE(TransportOf(*users[0]).threadTable.empty());
        process = TransportOf(*users[0]).threadTable.front().thread;
    }
    CloseFinishedHandles(*users[0], true);
    ResetServerState();
    EXPECT_TRUE(process->finished());
}

}  // namespace
}  // namespace merivo
