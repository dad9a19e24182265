#include "load/FeedLoad.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace merivo::bench {

namespace {

double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int Connect(const std::string& address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &server.sin_addr);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One GET on the connection; the body's size, or -1 when the answer is no complete 200.
long Fetch(int fd, const std::string& request, std::string& buffer) {
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return -1;
    buffer.clear();
    std::size_t headerEnd = std::string::npos;
    std::size_t length = 0;
    char chunk[65536];
    for (;;) {
        if (headerEnd != std::string::npos && buffer.size() >= headerEnd + 4 + length) break;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return -1;
        buffer.append(chunk, static_cast<std::size_t>(n));
        if (headerEnd == std::string::npos && (headerEnd = buffer.find("\r\n\r\n")) != std::string::npos) {
            const std::size_t at = buffer.find("Content-Length: ");
            if (at == std::string::npos || at > headerEnd) return -1;
            length = std::stoul(buffer.substr(at + 16));
        }
    }
    return buffer.compare(0, 12, "HTTP/1.1 200") == 0 ? static_cast<long>(length) : -1;
}

}  // namespace

struct FeedClients::Client {
    std::vector<double> latencies;
    long errors = 0;
    std::size_t bytes = 0;
};

FeedClients::FeedClients(std::string address, int port, std::string path, int clients)
    : address_(std::move(address)), port_(port), path_(std::move(path)) {
    for (int i = 0; i < clients; ++i) clients_.push_back(new Client);
}

FeedClients::~FeedClients() {
    stopping_ = true;
    for (std::thread& thread : threads_) thread.join();
    for (Client* client : clients_) delete client;
}

void FeedClients::start() {
    startedMs_ = NowMs();
    for (Client* client : clients_) threads_.emplace_back([this, client] { run(*client); });
}

void FeedClients::run(Client& client) {
    const std::string request = "GET " + path_ + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::string buffer;
    int fd = -1;
    while (!stopping_) {
        if (fd < 0 && (fd = Connect(address_, port_)) < 0) {
            ++client.errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        const double started = NowMs();
        const long size = Fetch(fd, request, buffer);
        if (size < 0) {
            ++client.errors;
            ::close(fd);
            fd = -1;
            continue;
        }
        client.latencies.push_back(NowMs() - started);
        client.bytes = static_cast<std::size_t>(size);
    }
    if (fd >= 0) ::close(fd);
}

FeedResult FeedClients::stop() {
    stopping_ = true;
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    FeedResult result;
    result.seconds = (NowMs() - startedMs_) / 1000.0;
    std::vector<double> all;
    for (const Client* client : clients_) {
        all.insert(all.end(), client->latencies.begin(), client->latencies.end());
        result.errors += client->errors;
        result.feedBytes = std::max(result.feedBytes, client->bytes);
    }
    result.fetched = static_cast<long>(all.size());
    if (!all.empty()) {
        std::sort(all.begin(), all.end());
        result.p50Ms = all[all.size() / 2];
        result.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
        result.maxMs = all.back();
    }
    return result;
}

}  // namespace merivo::bench
