#pragma once
// The best a server can do on this machine with the same bytes per request, as the baseline of
// a load run: one thread per user with blocking sockets, a week read as one positioned read of
// the data file straight into the frame that is sent, an edit as one record read and written,
// mail appended to the recipient's mailbox file. It speaks just enough of the protocol for the
// simulated users: it identifies a user by its address, connects back at the port + 10 and sends
// a user list of the real size before it answers.
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "load/BenchFolder.h"

namespace merivo::bench {

class IdealServer {
  public:
    IdealServer(std::string dataFile, std::vector<BenchUser> users);
    ~IdealServer();
    IdealServer(const IdealServer&) = delete;
    IdealServer& operator=(const IdealServer&) = delete;

    // Listens on 127.0.0.1 at a free port and serves until stop(); returns the port.
    int start();
    void stop();

  private:
    struct Peer;
    struct Connection;

    void acceptLoop();
    void serve(int accepted);
    bool comeOnline(Connection& connection);
    void answer(Connection& connection, std::vector<std::uint8_t>& payload);
    void readWeek(Connection& connection, const std::vector<std::uint8_t>& request);
    void editTitle(Connection& connection, std::vector<std::uint8_t>& request);
    void storeMail(const std::vector<std::uint8_t>& package);
    void deliverMail(Connection& connection);
    void sendTo(Peer& peer, const std::uint8_t* frame, std::size_t size);
    void watchConnection(int fd, bool add);

    std::string dataFilePath_;
    std::vector<BenchUser> users_;
    std::vector<std::unique_ptr<Peer>> peers_;
    std::unordered_map<std::string, std::size_t> byAddress_;
    std::unordered_map<std::string, std::size_t> byName_;
    int dataFile_ = -1;
    std::int64_t firstDay_ = 0;
    std::int64_t dayCount_ = 0;
    std::string mailFolder_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex connectionsLock_;
    std::set<int> connections_;
    std::vector<std::thread> servers_;
};

}  // namespace merivo::bench
