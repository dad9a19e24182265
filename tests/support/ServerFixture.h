#pragma once
// An in-process server on a temporary AppDir, for end-to-end tests over loopback.
//
// The fixture creates the sockets form, builds the groups and users as the start-up would from
// a Server.ini naming them (with a free port), and listens on 127.0.0.1; it needs the transport
// and the layers below it, not the host. The server runs on the test's thread: a test pumps the
// event loop (pump, pumpUntil) while it waits for the server, or runs blocking client calls on a
// helper thread with whilePumping.
//
//   ServerFixture server(ServerFixture::OneGroup(2));   // users user1@127.0.0.2, user2@127.0.0.3
//   MerivoClient client({.ownAddress = "127.0.0.2", .serverPort = server.port()});
//   client.open();
//   ASSERT_TRUE(server.pumpUntil([&] { return server.user("user1")->online.load(); }));
//   client.acceptBackConnection(1000);
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/MerivoClient.h"
#include "db/UnDBType.h"
#include "support/TempDir.h"

namespace merivo {

class CapturedLog;
class TFormSocksServer;

// A frame: the payload's length as a little-endian int32, then the payload.
std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& payload);
// A payload of `size` bytes (at least 4) whose first word is `code`; the rest counts up.
std::vector<std::uint8_t> CodedPayload(std::int32_t code, std::size_t size);

struct FixtureUser {
    std::string host;  // 127.0.0.x for users that connect in the test
    std::string name;
};

struct FixtureGroup {
    std::string alias;
    std::vector<FixtureUser> users;
    std::string dataFile;  // empty: the group has no data file
};

struct FixtureOptions {
    std::vector<FixtureGroup> groups;
    bool debug = false;
    bool directSend = true;
    bool tcpNoDelay = true;
    int reconnect = 3;
};

class ServerFixture {
  public:
    explicit ServerFixture(FixtureOptions options);
    ~ServerFixture();
    ServerFixture(const ServerFixture&) = delete;
    ServerFixture& operator=(const ServerFixture&) = delete;

    // One group "Group" with users user1..userN on 127.0.0.2, 127.0.0.3, ...
    static FixtureOptions OneGroup(int users);
    // The loopback address of user number i (1-based): 127.0.0.(i + 1).
    static std::string UserAddress(int i);

    bool listening() const { return listening_; }
    int port() const { return port_; }
    TempDir& dir() { return dir_; }
    TFormSocksServer& form() { return *form_; }
    // The configured user of that name; nullptr when there is none.
    TMyNameUser* user(const std::string& name) const;

    // Runs the event loop for ms milliseconds.
    void pump(int ms);
    // Runs the event loop until done() or the time-out; the last value of done().
    bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
    // Runs work on a helper thread while the event loop runs here; returns its result and
    // rethrows what it threw.
    template <class Work>
    auto whilePumping(Work work) -> decltype(work()) {
        auto result = std::async(std::launch::async, std::move(work));
        pumpUntil(
            [&] {
                return result.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
            },
            60000);
        return result.get();
    }

    // A client for user number i (1-based, as in OneGroup) that has connected, been connected
    // back and is online; nullptr (with a test failure) when it did not come online in time.
    std::unique_ptr<MerivoClient> connectUser(int i, int timeoutMs = 5000);

    // Log lines written since the start, oldest first.
    std::vector<std::string> log() const;
    int logCount(const std::string& text) const;  // lines that contain the text
    bool logContains(const std::string& text) const { return logCount(text) > 0; }
    void clearLog();

  private:
    void build(const FixtureOptions& options);
    void addUser(TMyDBUser& db, const FixtureUser& configured);
    bool listen();

    TempDir dir_;
    std::unique_ptr<CapturedLog> sink_;
    TFormSocksServer* form_ = nullptr;
    int port_ = 0;
    bool listening_ = false;
};

}  // namespace merivo
