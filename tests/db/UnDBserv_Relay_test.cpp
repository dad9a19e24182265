#include "db/UnDBserv_Relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "DatabaseServiceFixture.h"
#include "platform/Config.h"

namespace merivo {
namespace {

// A package with the long recipient list: N as given, then the list bytes, then the payload.
std::vector<std::uint8_t> LongListPackage(std::int32_t n, const std::string& list,
                                          const std::string& payload = "") {
    std::vector<std::uint8_t> bytes = RelayPackage(std::string(kLongAddressMarker), 0, "", "");
    std::uint8_t length[4];
    WriteInt32(length, n);
    bytes.insert(bytes.end(), length, length + 4);
    bytes.insert(bytes.end(), list.begin(), list.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

class RelayTest : public DatabaseServiceTest {
  protected:
    ~RelayTest() override { CurrentTimeouts() = Timeouts{}; }

    void Relay(std::vector<std::uint8_t> bytes, TMyNameUser* from = nullptr) {
        std::unique_ptr<File> stream = OpenMemoryFile(bytes);
        HandleRelayPackage(from ? *from : *alice, stream, "");
    }

    // The package files of the user's inbox entries, each from alice.
    std::vector<std::string> InboxFiles(const TMyNameUser& user) const {
        const std::string inbox = dir.readFile("POP3/" + user.host + ".bin");
        for (std::size_t at = 0; at + kInboxEntrySize <= inbox.size(); at += kInboxEntrySize) {
            const auto* entry = reinterpret_cast<const std::uint8_t*>(inbox.data() + at);
            EXPECT_EQ(ReadShortString(entry + 8, 50), "alice");
            EXPECT_EQ(ReadShortString(entry + 59, 30), "127.0.0.2");
        }
        return DatabaseServiceTest::InboxFiles(user);
    }

    std::string Stored(const std::string& file) const { return dir.readFile("POP3/" + file); }
    static std::string Text(const std::vector<std::uint8_t>& bytes) {
        return std::string(bytes.begin(), bytes.end());
    }

    std::string Stamp() { return FormatStamp(clock.now()); }

    int FilesWithExtension(const std::string& extension) const {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(Config.pop3Dir)) {
            if (entry.path().extension() == extension) ++count;
        }
        return count;
    }
};

// ---- Mail -----------------------------------------------------------------------------------

TEST_F(RelayTest, MailToThreeNamesIsStoredAndAnnouncedToTheConnectedOnes) {
    clock.setTickCount(123456);
    const std::vector<std::uint8_t> package = RelayPackage(" bob , carol,alice  ,");
    Relay(package);
    EXPECT_EQ(InboxFiles(*bob), std::vector<std::string>{"0456" + Stamp() + ".mvm"});
    EXPECT_EQ(InboxFiles(*carol), std::vector<std::string>{"1456" + Stamp() + ".mvm"});
    EXPECT_EQ(InboxFiles(*alice), std::vector<std::string>{"2456" + Stamp() + ".mvm"});
    for (const TMyNameUser* user : {alice, bob, carol}) {
        EXPECT_EQ(Stored(InboxFiles(*user).front()), Text(package));
    }
    ASSERT_EQ(sent.size(), 2u);  // carol is offline
    for (const SentPackage& notice : sent) {
        EXPECT_EQ(notice.bytes, BuildMailWaitingNotice());
        EXPECT_EQ(notice.mode, 2);
    }
    EXPECT_EQ(sent[0].user, "bob");
    EXPECT_EQ(sent[0].host, "127.0.0.3");
    EXPECT_EQ(sent[1].user, "alice");
}

TEST_F(RelayTest, EmptyPieceKeepsItsPlaceInTheList) {
    clock.setTickCount(7);
    Relay(RelayPackage("bob,,carol"));
    EXPECT_EQ(InboxFiles(*bob), std::vector<std::string>{"07" + Stamp() + ".mvm"});
    EXPECT_EQ(InboxFiles(*carol), std::vector<std::string>{"27" + Stamp() + ".mvm"});
}

TEST_F(RelayTest, NamesMatchExactlyAndUnknownNamesAreSkippedSilently) {
    Relay(RelayPackage("Bob,zed, CAROL"));
    EXPECT_TRUE(InboxFiles(*bob).empty());
    EXPECT_TRUE(InboxFiles(*carol).empty());
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RelayTest, InvalidUserIsNeverARecipient) {
    bob->valid = false;
    IndexUsers();
    Relay(RelayPackage("bob"));
    EXPECT_TRUE(InboxFiles(*bob).empty());
}

// Each name costs one look-up, however many users there are: a list that fills a package with
// unknown names against thousands of users must not hold up the server.
TEST_F(RelayTest, AListFullOfUnknownNamesIsQuickWhateverTheNumberOfUsers) {
    for (int i = 0; i < 5000; ++i) {
        auto user = std::make_unique<TMyNameUser>();
        user->valid = true;
        user->name = "user" + std::to_string(i);
        user->host = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        db().users.push_back(std::move(user));
    }
    IndexUsers();
    std::string list;  // about 170,000 names: what a package kept in memory holds
    for (int i = 0; list.size() + kRelayHeaderSize + 20 < 512 * 1024; ++i) {
        list += "x" + std::to_string(i) + ",";
    }
    const auto start = std::chrono::steady_clock::now();
    Relay(LongListPackage(static_cast<std::int32_t>(list.size()), list));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(FilesWithExtension(".mvm"), 0);
}

// However often a list names a user, it gets the package once, under its first place.
TEST_F(RelayTest, ARecipientNamedOftenGetsThePackageOnce) {
    clock.setTickCount(5);
    std::string list = "bob,carol";
    for (int i = 0; i < 3000; ++i) list += ",bob";
    Relay(LongListPackage(static_cast<std::int32_t>(list.size()), list));
    EXPECT_EQ(InboxFiles(*bob), std::vector<std::string>{"05" + Stamp() + ".mvm"});
    EXPECT_EQ(InboxFiles(*carol).size(), 1u);
    EXPECT_EQ(FilesWithExtension(".mvm"), 2);
    EXPECT_EQ(sent.size(), 1u);  // bob's notice; carol is offline

    sent.clear();
    Relay(RelayPackage("bob, bob,bob", 10));
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(RelayTest, PackagesStoredInTheSameMillisecondGetNamesOfTheirOwn) {
    Relay(RelayPackage("bob", 0, "alice", "first"));
    Relay(RelayPackage("bob", 0, "alice", "second"));
    Relay(RelayPackage("bob", 0, "alice", "third"));
    const std::vector<std::string> files = InboxFiles(*bob);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], "00" + Stamp() + ".mvm");
    EXPECT_EQ(files[1], "00" + Stamp() + "_1.mvm");
    EXPECT_EQ(files[2], "00" + Stamp() + "_2.mvm");
    EXPECT_EQ(Stored(files[0]), Text(RelayPackage("bob", 0, "alice", "first")));
    EXPECT_EQ(Stored(files[2]), Text(RelayPackage("bob", 0, "alice", "third")));
}

TEST_F(RelayTest, EmptyRecipientListIsRefused) {
    Relay(RelayPackage(""));
    EXPECT_TRUE(log.contains("Incorrect address of recipient"));
    EXPECT_TRUE(sent.empty());
}

TEST_F(RelayTest, LongRecipientListEndsAtItsFirstZeroByte) {
    const std::vector<std::uint8_t> package =
        LongListPackage(14, std::string("bob, carol\0bob", 14), "payload");
    Relay(package);
    EXPECT_EQ(InboxFiles(*bob).size(), 1u);
    EXPECT_EQ(InboxFiles(*carol).size(), 1u);
    EXPECT_EQ(Stored(InboxFiles(*carol).front()), Text(package));
}

TEST_F(RelayTest, LongRecipientListThatIsEmptyOrRunsPastThePackageIsRefused) {
    for (const std::vector<std::uint8_t>& package :
         {LongListPackage(0, "", "bob"), LongListPackage(100, "bob"), LongListPackage(-1, "bob")}) {
        Relay(package);
    }
    int refusals = 0;
    for (const std::string& line : log.lines())
        refusals += line == "Incorrect address of recipient";
    EXPECT_EQ(refusals, 3);
    EXPECT_TRUE(InboxFiles(*bob).empty());
}

TEST_F(RelayTest, ShortPackageStopsTheHandling) {
    std::vector<std::uint8_t> package = RelayPackage("bob");
    package.resize(1000);
    Relay(package);
    EXPECT_TRUE(log.contains("Error processing of request from 127.0.0.2"));
    EXPECT_TRUE(InboxFiles(*bob).empty());
}

TEST_F(RelayTest, InboxThatCannotBeOpenedSkipsOnlyThatRecipient) {
    CurrentTimeouts().fileOpenRetryMs = 50;
    env.failOn(FileOp::Open, "127.0.0.3.bin", 1, kForever);
    Relay(RelayPackage("bob,carol"));
    EXPECT_TRUE(log.contains("Error occurred while opening the file: " + InboxPath(*bob) + "."));
    EXPECT_EQ(InboxFiles(*carol).size(), 1u);
    EXPECT_EQ(FilesWithExtension(".mvm"), 1);
    EXPECT_TRUE(sent.empty());  // carol is offline, bob got nothing
}

TEST_F(RelayTest, FailedStoreLeavesNeitherEntryNorPartialFile) {
    env.failOn(FileOp::Write, ".mvm");
    Relay(RelayPackage("bob,carol"));
    EXPECT_TRUE(log.contains("Error processing of request from 127.0.0.2"));
    EXPECT_TRUE(InboxFiles(*bob).empty());
    EXPECT_TRUE(InboxFiles(*carol).empty());  // the handling stops at the first failure
    EXPECT_EQ(FilesWithExtension(".mvm"), 0);
}

// A mail is announced only once its package, its name and its inbox entry are on the disk: when
// a sync fails the user is not told, and no entry names a package that is not there.
TEST_F(RelayTest, AMailWhoseSyncFailsIsNotAnnounced) {
    struct Case {
        bool spilled;
        FileOp op;
        const char* pathPart;
    };
    const std::vector<Case> cases = {
        {false, FileOp::Sync, ".mvm"},      {true, FileOp::Sync, ".buf"},
        {false, FileOp::SyncFolder, "POP3"}, {true, FileOp::SyncFolder, "POP3"},
        {false, FileOp::Sync, ".bin"},      {true, FileOp::Sync, ".bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.spilled ? "spilled, " : "") + FileOpName(c.op) + " " +
                     c.pathPart);
        env.clearFaults();
        sent.clear();
        log.clear();
        const int failures = env.injectedFailures();
        env.failOn(c.op, c.pathPart);
        const std::vector<std::uint8_t> package = RelayPackage("bob");
        if (c.spilled) {
            const std::string spillPath = JoinPath(Config.pop3Dir, "127.0.0.21234.buf");
            std::unique_ptr<File> stream = SpillFile(spillPath, package);
            HandleRelayPackage(*alice, stream, spillPath);
            stream.reset();  // a spill file the parser did not take is the receive path's to remove
            if (PosixEnv().fileExists(spillPath)) PosixEnv().deleteFile(spillPath);
        } else {
            Relay(package);
        }
        EXPECT_EQ(env.injectedFailures(), failures + 1);
        EXPECT_TRUE(log.contains("Error processing of request from 127.0.0.2"));
        EXPECT_TRUE(sent.empty());
        const std::vector<std::string> entries = InboxFiles(*bob);
        for (const std::string& file : entries) EXPECT_EQ(Stored(file), Text(package));
        EXPECT_EQ(FilesWithExtension(".mvm"), static_cast<int>(entries.size()));
        dir.writeFile("POP3/127.0.0.3.bin", "");
        for (const std::string& file : entries) std::filesystem::remove(dir.file("POP3/" + file));
    }
}

TEST_F(RelayTest, SpilledPackageIsStoredIntactForEveryRecipient) {
    std::string payload(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 % 251);
    const std::vector<std::uint8_t> package = RelayPackage("bob,carol", 0, "alice", payload);
    const std::string spillName = "127.0.0.21234.buf";
    dir.writeFile("POP3/" + spillName, Text(package));
    const std::string spillPath = JoinPath(Config.pop3Dir, spillName);
    std::unique_ptr<File> stream = CurrentEnv().openFile(spillPath, OpenMode::ReadWrite);

    HandleRelayPackage(*alice, stream, spillPath);

    EXPECT_EQ(stream, nullptr);
    EXPECT_FALSE(std::filesystem::exists(spillPath));
    EXPECT_EQ(Stored(InboxFiles(*bob).front()), Text(package));
    EXPECT_EQ(Stored(InboxFiles(*carol).front()), Text(package));
    EXPECT_EQ(env.calls(FileOp::Rename), 1);
}

// A file that notes the largest read asked of it (the file may be closed by the handler).
class LargestReadFile : public File {
  public:
    LargestReadFile(std::unique_ptr<File> inner, std::size_t& largest)
        : inner_(std::move(inner)), largest_(largest) {}
    void read(void* buffer, std::size_t n) override {
        note(n);
        inner_->read(buffer, n);
    }
    std::size_t readUpTo(void* buffer, std::size_t n) override {
        note(n);
        return inner_->readUpTo(buffer, n);
    }
    void write(const void* buffer, std::size_t n) override { inner_->write(buffer, n); }
    void seek(std::int64_t position) override { inner_->seek(position); }
    std::int64_t position() const override { return inner_->position(); }
    std::int64_t size() override { return inner_->size(); }
    void truncate(std::int64_t size) override { inner_->truncate(size); }
    void sync() override { inner_->sync(); }

  private:
    void note(std::size_t n) { largest_ = std::max(largest_, n); }
    std::unique_ptr<File> inner_;
    std::size_t& largest_;
};

TEST_F(RelayTest, LongRecipientListOfASpilledPackageIsReadInPieces) {
    // N counts megabytes, but the text ends after "bob": only that much is the list.
    const std::string list = "bob" + std::string(1, '\0') + std::string(3 << 20, 'x');
    const std::vector<std::uint8_t> package =
        LongListPackage(static_cast<std::int32_t>(list.size()), list);
    dir.writeFile("POP3/y.buf", Text(package));
    const std::string spillPath = JoinPath(Config.pop3Dir, "y.buf");
    std::size_t largestRead = 0;
    std::unique_ptr<File> stream = std::make_unique<LargestReadFile>(
        CurrentEnv().openFile(spillPath, OpenMode::ReadWrite), largestRead);

    HandleRelayPackage(*alice, stream, spillPath);

    ASSERT_EQ(InboxFiles(*bob).size(), 1u);
    EXPECT_EQ(Stored(InboxFiles(*bob).front()), Text(package));
    EXPECT_LE(largestRead, 524288u) << "no more than one staging block in memory";
}

// ---- Direct ---------------------------------------------------------------------------------

TEST_F(RelayTest, DirectPackageGoesToConnectedRecipientsButNotBackToItsOriginator) {
    TMyNameUser& dave = AddUser("dave", "127.0.0.5", true);
    for (std::uint8_t kind : {10, 11}) {
        sent.clear();
        const std::vector<std::uint8_t> package = RelayPackage("bob,alice,carol,dave", kind);
        Relay(package);
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].user, "bob");
        EXPECT_EQ(sent[1].user, dave.name);
        EXPECT_EQ(sent[0].bytes, package);
        EXPECT_EQ(sent[0].mode, 2);
    }
    EXPECT_EQ(FilesWithExtension(".mvm"), 0);
    EXPECT_TRUE(InboxFiles(*carol).empty());
}

TEST_F(RelayTest, SpilledDirectPackageIsNotForwarded) {
    const std::vector<std::uint8_t> package = RelayPackage("bob", 10);
    dir.writeFile("POP3/x.buf", Text(package));
    const std::string spillPath = JoinPath(Config.pop3Dir, "x.buf");
    std::unique_ptr<File> stream = CurrentEnv().openFile(spillPath, OpenMode::ReadWrite);
    HandleRelayPackage(*alice, stream, spillPath);
    EXPECT_TRUE(sent.empty());
    EXPECT_NE(stream, nullptr);
}

}  // namespace
}  // namespace merivo
