#pragma once
// Simulated users that drive a running server over loopback as real clients do: each binds its
// connection to the server to its own address and listens there at the port + 10 for the
// server's connection back. All users connect at once; once they are online (or the online
// time-out has passed) each keeps exactly one request outstanding for the given time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "load/BenchFolder.h"

namespace merivo::bench {

enum class LoadMode {
    Read,  // a random week of the data file (1000/3, 7 days); answered with 2000/1
    Edit,  // a title edit of a random day; answered with 3000, forwarded to the others
    Mail,  // mail of a given size to the next user; done when its mail-waiting notice arrives
};

struct LoadOptions {
    LoadMode mode = LoadMode::Read;
    std::string serverAddress = "127.0.0.1";
    int port = 6340;
    std::vector<BenchUser> users;
    DayRange days;
    double seconds = 10;
    int threads = 2;
    std::size_t mailSize = 65536;  // bytes after the relay header
    int onlineTimeoutMs = 30000;
};

struct LoadResult {
    int users = 0;
    int online = 0;          // users that came online within the time-out
    double allOnlineMs = 0;  // from the first connect until the last user was online
    double onlineP50Ms = 0;
    long completed = 0;  // requests answered during the measured time
    double seconds = 0;  // the measured time
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    long errors = 0;       // failed connects, 7000 answers, answers of a wrong size, bad frames
    long disconnects = 0;  // connections the server closed
    long forwards = 0;     // edits of others received (edit mode)
    long mailFetched = 0;  // stored mail received after asking for it (mail mode)

    double perSecond() const { return seconds > 0 ? static_cast<double>(completed) / seconds : 0; }
};

// Connects the users, runs the load and closes every connection again.
LoadResult RunLoad(const LoadOptions& options);

}  // namespace merivo::bench
