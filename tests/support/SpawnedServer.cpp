#include "support/SpawnedServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Env.h"
#include "platform/Socket.h"

extern char** environ;

namespace merivo {

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr int kPollMs = 20;
constexpr std::size_t kTimePrefix = 9;  // "hh:mm:ss "

long StatusValue(const std::string& status, const std::string& key) {
    const std::size_t at = status.find("\n" + key + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + key.size() + 2);
}

bool Reap(pid_t pid, int* status, int timeoutMs) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (::waitpid(pid, status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    } while (SteadyClock::now() < deadline);
    return false;
}

// The protocol's port of the settings; 0 when they name none.
int PortOf(const std::string& settings) {
    const std::size_t at = settings.find("\nPort=");
    return at == std::string::npos ? 0 : std::atoi(settings.c_str() + at + 6);
}

// Something listens on the port: a socket may not be bound to it then, even with the reuse of
// addresses that lets connections in TIME_WAIT pass.
bool Listened(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                       errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

}  // namespace

std::optional<ProcessFigures> FiguresOf(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream in(proc + "/status");
    if (!in) return std::nullopt;
    const std::string status = "\n" + std::string(std::istreambuf_iterator<char>(in), {});
    ProcessFigures figures;
    figures.rssKb = StatusValue(status, "VmRSS");
    figures.threads = static_cast<int>(StatusValue(status, "Threads"));
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(proc + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++figures.descriptors;
    }
    return figures;
}

SpawnedServer::SpawnedServer(std::string folder, const std::string& settings)
    : folder_(std::move(folder)), port_(PortOf(settings)) {
    std::filesystem::copy_file(MERIVO_SERVER_BINARY, JoinPath(folder_, "merivo-server"),
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(JoinPath(folder_, "Server.ini"), std::ios::binary) << settings;
}

SpawnedServer::~SpawnedServer() {
    if (running()) kill();
}

std::string SpawnedServer::outputPath() const {
    return JoinPath(folder_, "output-" + std::to_string(starts_) + ".txt");
}

bool SpawnedServer::start(int timeoutMs) {
    ++starts_;
    const std::string binary = JoinPath(folder_, "merivo-server");
    const std::string output = outputPath();
    const std::string errors = JoinPath(folder_, "errors-" + std::to_string(starts_) + ".txt");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        ::dup2(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
        ::execve(binary.c_str(), argv, environ);
        ::_exit(127);
    }
    if (pid_ < 0) return false;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (SteadyClock::now() < deadline) {
        // The last start-up line comes a moment before the server listens.
        for (const std::string& message : messages()) {
            if (message.rfind("Initialization -> ", 0) == 0 && (port_ == 0 || Listened(port_))) {
                return true;
            }
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return false;
}

void SpawnedServer::kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::optional<int> SpawnedServer::stop(int timeoutMs) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!Reap(pid_, &status, timeoutMs)) return std::nullopt;
    pid_ = -1;
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

std::vector<std::string> SpawnedServer::messages() const {
    std::ifstream in(outputPath());
    std::vector<std::string> messages;
    for (std::string line; std::getline(in, line);) {
        messages.push_back(line.size() >= kTimePrefix ? line.substr(kTimePrefix) : line);
    }
    return messages;
}

}  // namespace merivo
