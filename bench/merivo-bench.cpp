// merivo-bench: drives a running Merivo Server with simulated users over loopback and prints
// what an operator sees: requests per second, latency, how long all users took to come online,
// errors and disconnects. With --baseline the same users then drive an ideal in-process server
// that moves the same bytes per request, and the ratio is printed.
//
//   merivo-bench setup --dir FOLDER [--users N] [--days D] [--port P] [--direct-send 0|1]
//                      [--web-port P] [--force]
//   merivo-bench read|edit|mail|feed --dir FOLDER [--users N] [--seconds S] [--threads T]
//                      [--size BYTES] [--server ADDRESS] [--online-timeout MS] [--baseline]
//                      [--pid PID] [--rounds R] [--feeds F]
//
// setup writes Server.ini and the data file bench.mvd for N users at 127.0.0.2, 127.0.0.3, ...
// The load modes read Server.ini of the folder (port, data file, users) and start nothing
// themselves: the server must already run with that Server.ini.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "load/BenchFolder.h"
#include "load/FeedLoad.h"
#include "load/IdealServer.h"
#include "load/LoadDriver.h"

namespace merivo::bench {
namespace {

const char kUsage[] =
    "usage: merivo-bench setup --dir FOLDER [--users N] [--days D] [--port P]\n"
    "                          [--direct-send 0|1] [--web-port P] [--force]\n"
    "       merivo-bench read|edit|mail|feed --dir FOLDER [--users N] [--seconds S]\n"
    "                          [--threads T] [--size BYTES] [--server ADDRESS]\n"
    "                          [--online-timeout MS] [--baseline] [--pid PID] [--rounds R]\n"
    "                          [--feeds F]\n"
    "  setup  writes Server.ini and bench.mvd for N users (default 10) at 127.0.0.2, ...;\n"
    "         --web-port turns the calendars on, with a feed of the group\n"
    "  read   each user reads random weeks (7 days) of the data file\n"
    "  edit   each user edits the title of random days (forwarded to the other users)\n"
    "  mail   each user sends mail of --size bytes (default 65536) to another user\n"
    "  feed   read, while F calendar programs (default 10) fetch the group's feed in a loop\n"
    "defaults: --seconds 10 --threads 2 --server 127.0.0.1 --online-timeout 30000; --users: all\n"
    "of Server.ini; --baseline also runs an ideal server with the same bytes per request;\n"
    "--rounds repeats the measurement (server, then baseline) R times and prints the spread of\n"
    "the ratios; --pid prints the server's memory (RSS) before and after the load and its\n"
    "processor time per request (in all and on its main thread)";

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// --name value pairs and bare --flags after the command.
class Arguments {
  public:
    Arguments(const std::vector<std::string>& args, const std::vector<std::string>& flags) {
        for (std::size_t i = 1; i < args.size(); ++i) {
            const std::string& key = args[i];
            if (key.rfind("--", 0) != 0) throw UsageError(kUsage);
            if (std::find(flags.begin(), flags.end(), key) != flags.end()) {
                values_[key] = "1";
            } else if (i + 1 < args.size()) {
                values_[key] = args[++i];
            } else {
                throw UsageError(key + " needs a value");
            }
        }
    }
    std::string text(const std::string& key, const std::string& fallback = "") {
        const auto found = values_.find(key);
        if (found == values_.end()) return fallback;
        std::string value = found->second;
        values_.erase(found);
        return value;
    }
    long number(const std::string& key, long fallback, long lowest, long highest) {
        const std::string value = text(key);
        if (value.empty()) return fallback;
        std::size_t used = 0;
        long result = 0;
        try {
            result = std::stol(value, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != value.size() || result < lowest || result > highest) {
            throw UsageError(key + " must be a whole number from " + std::to_string(lowest) +
                             " to " + std::to_string(highest) + ": " + value);
        }
        return result;
    }
    bool flag(const std::string& key) { return !text(key).empty(); }
    // Every option must have been taken.
    void checkAllUsed() const {
        if (!values_.empty()) throw UsageError("unknown option " + values_.begin()->first);
    }

  private:
    std::map<std::string, std::string> values_;
};

void Setup(Arguments args) {
    SetupOptions options;
    options.folder = args.text("--dir");
    if (options.folder.empty()) throw UsageError("setup needs --dir FOLDER");
    options.users = static_cast<int>(args.number("--users", 10, 1, 10000));
    options.days = static_cast<int>(args.number("--days", 365, 7, 30000));
    options.port = static_cast<int>(args.number("--port", 6340, 1, 65525));
    options.directSend = args.number("--direct-send", 1, 0, 1) == 1;
    options.webPort = static_cast<int>(args.number("--web-port", 0, 0, 65535));
    options.force = args.flag("--force");
    args.checkAllUsed();
    WriteBenchFolder(options);
    std::cout << "wrote " << options.folder << "/Server.ini (" << options.users << " users, port "
              << options.port << ") and bench.mvd (" << options.days << " days from today)\n";
}

// Each user holds three descriptors (listener, connection, back connection), the baseline two.
void RaiseDescriptorLimit(std::size_t users) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < users * 5 + 64) {
        std::cerr << "merivo-bench: warning: only " << limit.rlim_cur << " descriptors allowed for "
                  << users << " users\n";
    }
}

// The resident memory of a process in MB, from /proc; -1 when it cannot be read.
double ResidentMb(long pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return -1;
}

// The processor time a process (or one of its threads) has used so far, in ms, from /proc; -1
// when it cannot be read.
double ProcessorMs(const std::string& statPath) {
    std::ifstream stat(statPath);
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t afterName = text.rfind(')');
    if (afterName == std::string::npos) return -1;
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    double user = 0, system = 0;
    // state, ppid, pgrp, session, tty, tpgid, flags, minflt, cminflt, majflt, cmajflt, utime, stime
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12) user = std::atof(field.c_str());
        if (i == 13) system = std::atof(field.c_str());
    }
    return (user + system) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void PrintResult(const char* who, const LoadResult& r, LoadMode mode) {
    std::printf(
        "%-9s online %d/%d in %.1f ms (p50 %.1f ms); %.1f requests/s; latency p50 %.2f ms,"
        " p99 %.2f ms, max %.2f ms; errors %ld; disconnects %ld",
        who, r.online, r.users, r.allOnlineMs, r.onlineP50Ms, r.perSecond(), r.p50Ms, r.p99Ms,
        r.maxMs, r.errors, r.disconnects);
    if (mode == LoadMode::Edit) std::printf("; forwards received %ld", r.forwards);
    if (mode == LoadMode::Mail) std::printf("; mail fetched %ld", r.mailFetched);
    std::printf("\n");
}

void PrintFeeds(const FeedResult& r, int clients) {
    std::printf(
        "feeds:    %d clients; %.1f feeds/s of %zu bytes; latency p50 %.2f ms, p99 %.2f ms,"
        " max %.2f ms; errors %ld\n",
        clients, r.perSecond(), r.feedBytes, r.p50Ms, r.p99Ms, r.maxMs, r.errors);
}

// The same users against the ideal server, on a port of its own.
LoadResult RunBaseline(LoadOptions options, const std::string& dataFile) {
    IdealServer ideal(dataFile, options.users);
    options.serverAddress = "127.0.0.1";
    options.port = ideal.start();
    return RunLoad(options);
}

LoadMode ModeOf(const std::string& command) {
    if (command == "read") return LoadMode::Read;
    if (command == "edit") return LoadMode::Edit;
    if (command == "feed") return LoadMode::Read;
    return LoadMode::Mail;
}

void Load(const std::string& command, Arguments args) {
    const std::string folder = args.text("--dir");
    if (folder.empty()) throw UsageError(command + " needs --dir FOLDER");
    const BenchFolder bench = ReadBenchFolder(folder);
    LoadOptions options;
    options.mode = ModeOf(command);
    options.port = bench.port;
    options.users = bench.users;
    const auto users =
        static_cast<std::size_t>(args.number("--users", static_cast<long>(bench.users.size()), 1,
                                             static_cast<long>(bench.users.size())));
    options.users.resize(users);
    options.seconds = static_cast<double>(args.number("--seconds", 10, 1, 3600));
    options.threads = static_cast<int>(args.number("--threads", 2, 1, 64));
    options.mailSize = static_cast<std::size_t>(args.number("--size", 65536, 0, 32 << 20));
    options.serverAddress = args.text("--server", "127.0.0.1");
    options.onlineTimeoutMs = static_cast<int>(args.number("--online-timeout", 30000, 100, 600000));
    const bool baseline = args.flag("--baseline");
    const long pid = args.number("--pid", 0, 0, 1L << 30);
    const long rounds = args.number("--rounds", 1, 1, 100);
    const int feeds = command == "feed" ? static_cast<int>(args.number("--feeds", 10, 1, 1000)) : 0;
    args.checkAllUsed();
    if (feeds > 0 && (bench.webPort == 0 || bench.feedPath.empty())) {
        throw UsageError("feed needs the calendars on with a feed (setup --web-port P)");
    }
    options.days = ReadDayRange(bench.dataFile);
    if (options.days.count == 0 && options.mode != LoadMode::Mail) {
        throw std::runtime_error(bench.dataFile + " holds no day");
    }
    RaiseDescriptorLimit(users);

    std::printf("merivo-bench %s: %zu users, %.0f s, %d threads, server %s:%d\n", command.c_str(),
                users, options.seconds, options.threads, options.serverAddress.c_str(),
                options.port);
    const double rssBefore = pid > 0 ? ResidentMb(pid) : -1;
    std::vector<double> ratios;
    for (long round = 1; round <= rounds; ++round) {
        if (rounds > 1) std::printf("round %ld\n", round);
        const std::string process = "/proc/" + std::to_string(pid);
        const std::string mainThread = process + "/task/" + std::to_string(pid);
        const double cpuBefore = pid > 0 ? ProcessorMs(process + "/stat") : -1;
        const double mainBefore = pid > 0 ? ProcessorMs(mainThread + "/stat") : -1;
        FeedClients feedClients(options.serverAddress, bench.webPort, bench.feedPath, feeds);
        feedClients.start();
        const LoadResult server = RunLoad(options);
        const FeedResult fed = feedClients.stop();
        const double cpuAfter = pid > 0 ? ProcessorMs(process + "/stat") : -1;
        const double mainAfter = pid > 0 ? ProcessorMs(mainThread + "/stat") : -1;
        PrintResult("server:", server, options.mode);
        if (feeds > 0) PrintFeeds(fed, feeds);
        if (cpuBefore >= 0 && cpuAfter >= 0 && server.completed > 0) {
            const auto perRequest = [&](double used) {
                return used / static_cast<double>(server.completed);
            };
            std::printf(
                "server processor time per request: %.3f ms, %.3f ms of it on the main "
                "thread\n",
                perRequest(cpuAfter - cpuBefore), perRequest(mainAfter - mainBefore));
        }
        if (baseline) {
            const LoadResult best = RunBaseline(options, bench.dataFile);
            PrintResult("baseline:", best, options.mode);
            ratios.push_back(best.perSecond() > 0 ? server.perSecond() / best.perSecond() : 0.0);
            std::printf("ratio (server / baseline): %.3f of the requests per second\n",
                        ratios.back());
        }
    }
    if (ratios.size() > 1) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("ratio over %zu rounds: median %.3f, lowest %.3f, highest %.3f\n",
                    ratios.size(), ratios[ratios.size() / 2], ratios.front(), ratios.back());
    }
    const double rssAfter = pid > 0 ? ResidentMb(pid) : -1;
    if (rssBefore >= 0 && rssAfter >= 0) {
        std::printf("server RSS: %.1f MB before, %.1f MB after (%+.1f MB)\n", rssBefore, rssAfter,
                    rssAfter - rssBefore);
    }
}

void Run(const std::vector<std::string>& args) {
    const std::string command = args.empty() ? "" : args[0];
    if (command == "setup") return Setup(Arguments(args, {"--force"}));
    if (command == "read" || command == "edit" || command == "mail" || command == "feed") {
        return Load(command, Arguments(args, {"--baseline"}));
    }
    throw UsageError(kUsage);
}

}  // namespace
}  // namespace merivo::bench

int main(int argc, char** argv) {
    try {
        merivo::bench::Run(std::vector<std::string>(argv + 1, argv + argc));
        return 0;
    } catch (const merivo::bench::UsageError& error) {
        std::cerr << error.what() << "\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "merivo-bench: " << error.what() << "\n";
        return 1;
    }
}
