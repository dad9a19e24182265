// Mail and direct messages end to end: relay packages stored, announced and fetched, or
// forwarded at once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "EndToEndSupport.h"

namespace merivo {
namespace {

class MailEndToEnd : public EndToEndTest {
  protected:
    static Bytes Body(std::size_t size) {
        Bytes body(size);
        for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<std::uint8_t>(i * 7 % 253);
        return body;
    }

    std::filesystem::path Pop3() { return std::filesystem::path(server->dir().path()) / "POP3"; }

    std::uintmax_t InboxSize(int user) {
        return std::filesystem::file_size(Pop3() / (ServerFixture::UserAddress(user) + ".bin"));
    }

    std::vector<std::string> StoredFiles(const std::string& extension) {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(Pop3())) {
            if (entry.path().extension() == extension) files.push_back(entry.path().string());
        }
        return files;
    }

    // Asks for the user's mail and collects the packages delivered within the time-out.
    std::vector<Bytes> Fetch(MerivoClient& client, std::size_t expected) {
        client.sendPackage(BuildRequest(1000, 5));
        std::vector<Bytes> mail;
        while (mail.size() < expected) {
            std::optional<Bytes> p = Await(client, Code(kRelayCode));
            if (!p) break;
            mail.push_back(*p);
        }
        return mail;
    }

    // Connects the user, which is told that mail waits, and fetches that one mail.
    void ExpectMailAtConnect(int user, const Bytes& mail) {
        std::unique_ptr<MerivoClient> client = server->connectUser(user);
        ASSERT_NE(client, nullptr);
        EXPECT_TRUE(Await(*client, Code(kMailWaitingCode)));
        const std::vector<Bytes> fetched = Fetch(*client, 1);
        ASSERT_EQ(fetched.size(), 1u);
        EXPECT_EQ(fetched[0], mail);
    }

    int Count(MerivoClient& client, const Match& match, int ms = 400) {
        int count = 0;
        while (Await(client, match, ms)) ++count;
        return count;
    }
};

TEST_F(MailEndToEnd, MailIsStoredPerNameAnnouncedAndFetchedIntact) {
    StartServer(3, {});
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);
    MerivoClient& user3 = Connect(3);
    // user2 twice (it gets the mail once), an empty piece, a name in the wrong case, blanks and
    // a trailing ",".
    const Bytes mail = BuildRelayPackage("user2 ,, User3, user3 ,user2,", "user1", Body(5000));

    user1.sendPackage(mail);
    EXPECT_EQ(Count(user2, Code(kMailWaitingCode)), 1);
    EXPECT_EQ(Count(user3, Code(kMailWaitingCode)), 1);
    EXPECT_EQ(InboxSize(2), kInboxEntrySize);
    EXPECT_EQ(InboxSize(3), kInboxEntrySize);
    EXPECT_EQ(StoredFiles(".mvm").size(), 2u);

    const std::vector<Bytes> fetched = Fetch(user2, 1);
    ASSERT_EQ(fetched.size(), 1u);
    EXPECT_EQ(fetched[0], mail);
    EXPECT_TRUE(server->pumpUntil([&] { return InboxSize(2) == 0; }));
    EXPECT_TRUE(Quiet(user1, Code(kRelayCode)));
}

TEST_F(MailEndToEnd, MailToAnOfflineUserIsAnnouncedAtItsNextConnect) {
    StartServer(2, {});
    MerivoClient& user1 = Connect(1);
    const Bytes mail = BuildRelayPackage("user2", "user1", Body(100));
    user1.sendPackage(mail);
    ASSERT_TRUE(server->pumpUntil([&] { return InboxSize(2) == kInboxEntrySize; }));

    ExpectMailAtConnect(2, mail);
}

// An inbox file deleted while the server runs is made again at the next look into it: the
// connect, the mail request and the mail to that user go on at once instead of waiting for it.
TEST_F(MailEndToEnd, DeletedInboxFilesAreMadeAgainWithoutWaiting) {
    const auto started = std::chrono::steady_clock::now();
    StartServer(2, {});
    for (int user : {1, 2}) {
        std::filesystem::remove(Pop3() / (ServerFixture::UserAddress(user) + ".bin"));
    }
    MerivoClient& user1 = Connect(1);
    user1.sendPackage(BuildRequest(1000, 5));
    const Bytes mail = BuildRelayPackage("user1,user2", "user1", Body(100));
    user1.sendPackage(mail);
    EXPECT_TRUE(Await(user1, Code(kMailWaitingCode)));
    EXPECT_EQ(InboxSize(2), kInboxEntrySize);

    ExpectMailAtConnect(2, mail);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_FALSE(server->logContains("Error occurred while opening the file"));
}

TEST_F(MailEndToEnd, DirectMessageReachesConnectedRecipientsButNotItsOriginator) {
    StartServer(3, {});
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);
    const Bytes message = BuildRelayPackage("user1,user2,user3", "user1", Body(64), true);

    user1.sendPackage(message);
    std::optional<Bytes> received = Await(user2, Code(kRelayCode));
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, message);
    EXPECT_TRUE(Quiet(user1, Code(kRelayCode)));
    EXPECT_TRUE(StoredFiles(".mvm").empty());
    EXPECT_EQ(InboxSize(3), 0u);
}

TEST_F(MailEndToEnd, SpilledRelayOfSeveralMegabytesIsStoredIntactForTwoRecipients) {
    StartServer(3, {});
    MerivoClient& user1 = Connect(1);
    MerivoClient& user2 = Connect(2);
    const Bytes mail = BuildRelayPackage("user2,user3", "user1", Body(3 * 1024 * 1024));

    server->whilePumping([&] { user1.sendPackage(mail); });
    ASSERT_TRUE(server->pumpUntil([&] { return InboxSize(3) == kInboxEntrySize; }, 15000));
    const std::vector<std::string> stored = StoredFiles(".mvm");
    ASSERT_EQ(stored.size(), 2u);
    for (const std::string& path : stored) {
        EXPECT_EQ(std::filesystem::file_size(path), mail.size());
    }
    EXPECT_TRUE(StoredFiles(".buf").empty());

    const std::vector<Bytes> fetched = Fetch(user2, 1);
    ASSERT_EQ(fetched.size(), 1u);
    EXPECT_TRUE(fetched[0] == mail);
}

}  // namespace
}  // namespace merivo
