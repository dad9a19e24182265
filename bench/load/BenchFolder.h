#pragma once
// The evaluation folder of a load run: the Server.ini that names the users and the data file,
// and the data file's run of days.
#include <cstdint>
#include <string>
#include <vector>

namespace merivo::bench {

// One simulated user: the name and loopback address the server knows it by.
struct BenchUser {
    std::string name;
    std::string address;
};

// The k-th simulated user's address (k from 0): 127.0.0.2, ..., 127.0.0.254, 127.0.1.1, ...
// Last bytes 0 and 255 are left out, and 127.0.0.1 stays the server's.
std::string UserAddress(int k);

struct SetupOptions {
    std::string folder;
    int users = 10;
    int days = 365;  // consecutive days from today
    int port = 6340;
    bool directSend = true;
    bool force = false;  // replace an existing Server.ini and data file
    int webPort = 0;     // not 0: the calendars listen here, with a feed of the group
};

// The feed key that setup gives the group when the calendars are on.
constexpr char kBenchFeedKey[] = "merivo-bench-feed-key-0001";

// Writes Server.ini (one group of `users` users at UserAddress(0..)) and its data file
// "bench.mvd" into the folder. Throws std::runtime_error with a one-line reason.
void WriteBenchFolder(const SetupOptions& options);

struct BenchFolder {
    int port = 6340;
    int webPort = 0;        // the calendars' port; 0 when they are off
    std::string feedPath;   // "/feeds/<key>.ics" of the group, when it has a feed
    std::string dataFile;
    std::vector<BenchUser> users;  // the first group's users, in settings order
};

// Reads Server.ini of the folder. Throws std::runtime_error when it names no usable group.
BenchFolder ReadBenchFolder(const std::string& folder);

// The days stored in a data file: the first day's number and how many records follow it.
struct DayRange {
    std::int64_t firstDay = 0;
    std::int64_t count = 0;
};
DayRange ReadDayRange(const std::string& dataFile);

}  // namespace merivo::bench
