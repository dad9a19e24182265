// The built server as its administrator starts it: in a folder of its own, without a display.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "client/MerivoClient.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "support/DiaryUser.h"
#include "support/ServerPort.h"
#include "support/TempDir.h"

extern char** environ;

namespace merivo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStartTimeoutMs = 20000;
constexpr int kExitTimeoutMs = 10000;

// A server process with its standard output and standard error read line by line.
class ServerProcess {
  public:
    explicit ServerProcess(const std::string& binary, std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), binary);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::dup2(pipeFds[1], STDERR_FILENO);
            ::close(pipeFds[0]);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::execve(binary.c_str(), argv.data(), environ);
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        out_ = pipeFds[0];
    }

    ~ServerProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    bool started() const { return pid_ > 0; }

    // Reads output until a line ends with text; false when the time ran out or the output ended.
    bool waitForLineEndingWith(const std::string& text, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            for (const std::string& line : lines_) {
                if (line.size() >= text.size() &&
                    line.compare(line.size() - text.size(), text.size(), text) == 0)
                    return true;
            }
            if (!readSome(50)) return false;
        }
        return false;
    }

    // The exit status once the process has ended by itself; nothing when it did not in time.
    std::optional<int> waitExit(int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!status_ && Clock::now() < deadline) {
            if (!readSome(10)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        }
        while (readSome(0)) {
        }
        if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
        return WEXITSTATUS(*status_);
    }

    void signal(int number) { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }
    // Nobody reads the output any more.
    void closeOutput() {
        ::close(out_);
        out_ = -1;
    }
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    // Reads what is there within the wait; false at the end of the output.
    bool readSome(int waitMs) {
        if (out_ < 0) return false;
        pollfd fd{out_, POLLIN, 0};
        if (::poll(&fd, 1, waitMs) <= 0) return true;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            lines_.push_back(pending_.substr(0, end));
            pending_.erase(0, end + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::optional<int> status_;
    std::string pending_;
    std::vector<std::string> lines_;
};

int BoundSocket(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool PortIsFree(int port) {
    const int fd = BoundSocket(port);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::string SettingsWithPort(int port) {
    return "[Options]\nLanguage=0\n[NetWork]\nPort=" + std::to_string(port) +
           "\nDirectSend=1\nReconnect=5\nTCPNoDelay=1\n[DataBases]\nCount=1\nAlias1=First Group\n"
           "[DataBase - 1]\nName=\nCount=7\nCountArc=0\nTime Begin=9\nTime End=20\nStep=0\n"
           "UserCount=0\nArchive Link=0\n";
}

// Name, size and modification time of everything in the folder.
std::map<std::string, std::pair<std::uintmax_t, std::filesystem::file_time_type>> Snapshot(
    const std::string& folder) {
    std::map<std::string, std::pair<std::uintmax_t, std::filesystem::file_time_type>> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        entries[entry.path().string()] = {entry.is_regular_file() ? entry.file_size() : 0,
                                          entry.last_write_time()};
    }
    return entries;
}

// The messages of log lines "hh:mm:ss message"; a line without its time prefix fails the test.
std::vector<std::string> Messages(const std::vector<std::string>& lines) {
    static const std::regex timed(R"(^\d\d:\d\d:\d\d (.*)$)");
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, timed)) << line;
        messages.push_back(match.size() > 1 ? match[1].str() : line);
    }
    return messages;
}

// The output of a check: its log lines (each after its time), then untimed lines, the
// problems and the verdict.
struct CheckOutput {
    std::vector<std::string> log;
    std::vector<std::string> verdict;
};

CheckOutput SplitCheckOutput(const std::vector<std::string>& lines) {
    const auto firstUntimed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return !std::regex_match(line, std::regex(R"(^\d\d:\d\d:\d\d .*$)"));
    });
    return {Messages(std::vector<std::string>(lines.begin(), firstUntimed)),
            std::vector<std::string>(firstUntimed, lines.end())};
}

class ServerProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        binary = dir.file("merivo-server");
        std::filesystem::copy_file(MERIVO_SERVER_BINARY, binary);
    }

    TempDir dir;
    std::string binary;
};

// Without a display the output is the log alone: no toolkit warning, from start to end.
TEST_F(ServerProcessTest, StartsOnceLogsToStandardOutputAndEndsOnSigterm) {
    std::vector<std::string> expected = {"Start!", "User list of server is empty. See Settings",
                                         "Initialization -> Ok!"};
    if (PortIsFree(6340)) {
        expected.insert(expected.begin(), "Created file Server.ini");
    } else {
        dir.writeFile("Server.ini", SettingsWithPort(PickServerPort()));
    }
    ServerProcess server(binary);
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.waitForLineEndingWith("Initialization -> Ok!", kStartTimeoutMs));
    EXPECT_TRUE(std::filesystem::exists(dir.file("Server.ini")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("POP3")));

    const auto before = Snapshot(dir.path());
    ServerProcess second(binary);
    EXPECT_EQ(second.waitExit(kExitTimeoutMs), 1);
    EXPECT_EQ(second.lines(), std::vector<std::string>{"Program is already running."});
    EXPECT_EQ(Snapshot(dir.path()), before) << "a second instance writes nothing";

    ServerProcess check(binary, {"--check"});
    EXPECT_EQ(check.waitExit(kExitTimeoutMs), 0) << "the check runs beside the server";
    EXPECT_EQ(SplitCheckOutput(check.lines()).log.back(), "Initialization -> Ok!");

    ServerProcess unread(binary);
    unread.closeOutput();
    EXPECT_EQ(unread.waitExit(kExitTimeoutMs), 1) << "an output nobody reads is no reason to die";

    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(kExitTimeoutMs), 0);
    EXPECT_EQ(Messages(server.lines()), expected);
}

TEST_F(ServerProcessTest, DirNamesTheProgramFolder) {
    const std::string programs = dir.file("bin");
    const std::string folder = dir.file("data");
    std::filesystem::create_directory(programs);
    std::filesystem::create_directory(folder);
    std::filesystem::rename(binary, programs + "/merivo-server");
    dir.writeFile("data/Server.ini", SettingsWithPort(PickServerPort()));
    ServerProcess server(programs + "/merivo-server", {"--dir", folder});
    ASSERT_TRUE(server.waitForLineEndingWith("Initialization -> Ok!", kStartTimeoutMs));
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(kExitTimeoutMs), 0);
    EXPECT_EQ(Snapshot(programs).size(), 1u) << "nothing is written beside the program";
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/POP3"));
}

TEST_F(ServerProcessTest, CheckNamesEachProblemInAVerdictWithoutServingOrWriting) {
    struct Case {
        const char* name;
        std::string ini;  // empty: no Server.ini
        std::string logged;  // a message of the log
        std::vector<std::string> verdict;
    };
    const int port = PickServerPort();
    const std::string good = SettingsWithPort(port);
    const auto with = [&good](const std::string& from, const std::string& to) {
        std::string changed = good;
        changed.replace(changed.find(from), from.size(), to);
        return changed;
    };
    const std::string missing = dir.file("missing.mvd");
    const std::vector<Case> cases = {
        {"good", good, "Initialization -> Ok!", {"Verdict: no problems, a start would be clean"}},
        {"duplicate host",
         with("UserCount=0", "UserCount=2\nUser_1=127.0.0.2::Anna\nUser_2=127.0.0.2::Boris"),
         "This user or hostname already exist! -> Boris (127.0.0.2)",
         {"Problem: duplicate host 127.0.0.2: user Boris (127.0.0.2) and Anna (127.0.0.2)",
          "Verdict: 1 problem, a start would not be clean"}},
        {"no Server.ini", "", "Missing file Server.ini -> " + dir.file("Server.ini"),
         {"Problem: the settings file does not exist: " + dir.file("Server.ini"),
          "Verdict: 1 problem, a start would not be clean"}},
        {"missing data file", with("Name=\n", "Name=" + missing + "\n"), "Initialization -> Ok!",
         {"Problem: the data file of group First Group does not exist: " + missing,
          "Verdict: 1 problem, a start would not be clean"}},
        {"key not a whole number", with("CountArc=0", "CountArc=ten"),
         "Incorrect parameters of database: First Group",
         {"Problem: [DataBase - 1] CountArc is not a whole number: \"ten\"",
          "Verdict: 1 problem, a start would not be clean"}},
        {"listening address", with("TCPNoDelay=1", "TCPNoDelay=1\nAddress=localhost"),
         "Incorrect Initialization -> Error in settings.",
         {"Problem: [NetWork] Address is not an IPv4 address: \"localhost\"",
          "Verdict: 1 problem, a start would not be clean"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.file("Server.ini"));
        if (!c.ini.empty()) dir.writeFile("Server.ini", c.ini);
        const auto before = Snapshot(dir.path());
        ServerProcess check(binary, {"--check"});
        EXPECT_EQ(check.waitExit(kExitTimeoutMs), c.verdict.size() == 1 ? 0 : 1);
        const CheckOutput output = SplitCheckOutput(check.lines());
        EXPECT_NE(std::find(output.log.begin(), output.log.end(), c.logged), output.log.end());
        EXPECT_EQ(output.verdict, c.verdict);
        EXPECT_EQ(Snapshot(dir.path()), before);
        EXPECT_TRUE(PortIsFree(port));
    }
}

// Two program folders whose settings name one data file: the server that starts second leaves
// the file to the first and says so; a check beside it reports that, and a check beside the
// first server, which holds the file, finds nothing.
TEST_F(ServerProcessTest, ASecondServerDoesNotLoadTheDataFileOfTheFirst) {
    const std::string held = "Another process holds the data file. Group not loaded: First Group";
    dir.writeFile("shared.mvd", "");
    std::vector<std::string> folders;
    for (const char* name : {"first", "second"}) {
        std::string ini = SettingsWithPort(PickServerPort());
        ini.replace(ini.find("Name=\n"), 6, "Name=" + dir.file("shared.mvd") + "\n");
        std::filesystem::create_directory(dir.file(name));
        dir.writeFile(std::string(name) + "/Server.ini", ini);
        folders.push_back(dir.file(name));
    }
    ServerProcess first(binary, {"--dir", folders[0]});
    ASSERT_TRUE(first.waitForLineEndingWith("Initialization -> Ok!", kStartTimeoutMs));
    ServerProcess second(binary, {"--dir", folders[1]});
    ASSERT_TRUE(second.waitForLineEndingWith(held, kStartTimeoutMs));

    ServerProcess checkSecond(binary, {"--check", "--dir", folders[1]});
    EXPECT_EQ(checkSecond.waitExit(kExitTimeoutMs), 1);
    const std::vector<std::string> reported = SplitCheckOutput(checkSecond.lines()).log;
    EXPECT_NE(std::find(reported.begin(), reported.end(), held), reported.end());
    ServerProcess checkFirst(binary, {"--check", "--dir", folders[0]});
    EXPECT_EQ(checkFirst.waitExit(kExitTimeoutMs), 0);

    for (ServerProcess* server : {&first, &second}) {
        server->signal(SIGTERM);
        EXPECT_EQ(server->waitExit(kExitTimeoutMs), 0);
    }
}

TEST_F(ServerProcessTest, AddressNamesWhereTheProtocolListens) {
    const int port = PickServerPort();
    std::string settings = SettingsWithPort(port);
    settings.replace(settings.find("TCPNoDelay=1"), 12, "TCPNoDelay=1\nAddress=127.0.0.1");
    dir.writeFile("Server.ini", settings);
    ServerProcess server(binary);
    ASSERT_TRUE(server.waitForLineEndingWith("Initialization -> Ok!", kStartTimeoutMs));
    const int other = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2: the machine, but not the address
    EXPECT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << "the server holds the port on 127.0.0.1 only";
    ::close(other);
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(kExitTimeoutMs), 0);
}

TEST_F(ServerProcessTest, SigintEndsTheServerLikeClosingItsWindow) {
    dir.writeFile("Server.ini", SettingsWithPort(PickServerPort()));
    ServerProcess server(binary);
    ASSERT_TRUE(server.waitForLineEndingWith("Initialization -> Ok!", kStartTimeoutMs));
    server.signal(SIGINT);
    EXPECT_EQ(server.waitExit(kExitTimeoutMs), 0);
}

TEST_F(ServerProcessTest, TheDescriptorLimitIsRaisedToTheHardLimitAtStart) {
    dir.writeFile("Server.ini", SettingsWithPort(PickServerPort()));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max, 256);
    setrlimit(RLIMIT_NOFILE, &lowered);  // inherited by the server
    ServerProcess server(binary);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(server.waitForLineEndingWith("Initialization -> Ok!", kStartTimeoutMs));
    rlimit raised{};
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &raised), 0);
    EXPECT_EQ(raised.rlim_cur, saved.rlim_max);
}

TEST_F(ServerProcessTest, MailFolderThatCannotBeCreatedEndsTheServer) {
    dir.writeFile("POP3", "a file where the folder should be");
    ServerProcess server(binary);
    const std::optional<int> status = server.waitExit(kExitTimeoutMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    ASSERT_FALSE(server.lines().empty());
    EXPECT_NE(server.lines().back().find("POP3"), std::string::npos) << server.lines().back();
    EXPECT_FALSE(std::filesystem::exists(dir.file("Server.ini")));
}

TEST_F(ServerProcessTest, BusyPortEndsTheServerWithTheReason) {
    const int port = PickServerPort();
    const int holder = BoundSocket(port);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    dir.writeFile("Server.ini", SettingsWithPort(port));
    ServerProcess server(binary);
    const std::optional<int> status = server.waitExit(kExitTimeoutMs);
    ::close(holder);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    ASSERT_FALSE(server.lines().empty());
    EXPECT_NE(server.lines().back().find(std::to_string(port)), std::string::npos)
        << server.lines().back();
}

// A pipe whose buffer is already full, as the output of a server started under a pager that
// nobody pages; {read end, write end}.
std::pair<int, int> FullPipe() {
    int fds[2];
    if (::pipe(fds) != 0) return {-1, -1};
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '.');
    while (::write(fds[1], filler.data(), filler.size()) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);  // the server writes as it would to any output
    return {fds[0], fds[1]};
}

pid_t SpawnWithOutput(const std::string& binary, int output) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(output, STDOUT_FILENO);
        const int nowhere = ::open("/dev/null", O_WRONLY);
        ::dup2(nowhere, STDERR_FILENO);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Connects as the user, trying again while the server is not listening yet.
bool ConnectWithin(MerivoClient& client, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        try {
            client.connect(2000);
            return true;
        } catch (const ClientError&) {
            client.close();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return false;
}

// Every log line of a debug run goes to an output that takes nothing: the server still starts
// and answers week reads at once.
TEST_F(ServerProcessTest, AFullStandardOutputHoldsUpNoWeekRead) {
    const int port = PickServerPort();
    const std::string dataFile = dir.file("diary.mvd");
    const double today = SystemClock().now();
    ASSERT_EQ(std::system((std::string(MERIVO_BIN_DIR) + "/merivo-db create " + dataFile + " " +
                           FormatIsoDate(today) + " 14 >/dev/null")
                              .c_str()),
              0);
    std::string settings = SoakSettings(port, dataFile, 1);
    settings.insert(settings.find("[NetWork]"), "DEBUG=1\n");
    dir.writeFile("Server.ini", settings);
    const auto [readEnd, writeEnd] = FullPipe();
    const pid_t server = SpawnWithOutput(binary, writeEnd);

    MerivoClient client({.ownAddress = "127.0.0.2", .serverPort = port});
    EXPECT_TRUE(ConnectWithin(client, kStartTimeoutMs));
    client.drainPackages(200);
    for (int read = 0; read < 10 && !HasFailure(); ++read) {
        const auto sent = Clock::now();
        client.sendPackage(BuildRequest(1000, 3, static_cast<double>(DayOf(today)), 7));
        EXPECT_TRUE(client.receivePackage(2000).has_value());
        EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(100)) << "read " << read;
    }
    client.close();
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    ::close(readEnd);
    ::close(writeEnd);
}

}  // namespace
}  // namespace merivo
