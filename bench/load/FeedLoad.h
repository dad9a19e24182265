#pragma once
// Calendar programs that fetch a group's whole iCalendar feed over and over, each on a thread of
// its own with one keep-alive HTTP connection, while the protocol load runs beside them.
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace merivo::bench {

struct FeedResult {
    long fetched = 0;  // complete 200 answers
    double seconds = 0;
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    long errors = 0;          // failed connects, other statuses, cut answers
    std::size_t feedBytes = 0;  // the body of the last answer

    double perSecond() const { return seconds > 0 ? static_cast<double>(fetched) / seconds : 0; }
};

class FeedClients {
  public:
    // `path` is the feed's URL path, e.g. "/feeds/<key>.ics".
    FeedClients(std::string address, int port, std::string path, int clients);
    ~FeedClients();
    FeedClients(const FeedClients&) = delete;
    FeedClients& operator=(const FeedClients&) = delete;

    void start();
    // Stops every client and gives what they measured since start().
    FeedResult stop();

  private:
    struct Client;
    void run(Client& client);

    std::string address_;
    int port_;
    std::string path_;
    std::vector<Client*> clients_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stopping_{false};
    double startedMs_ = 0;
};

}  // namespace merivo::bench
