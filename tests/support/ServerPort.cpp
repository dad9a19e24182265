#include "support/ServerPort.h"

#include <random>

#include "platform/Socket.h"

namespace merivo {
namespace {

// Below Linux's default ephemeral range (32768-60999), above the ports of common services.
constexpr int kFirstPort = 20000;
constexpr int kLastPort = 32700;

bool Free(int port) {
    TcpSocket probe;
    int error = 0;
    return probe.listenOn("127.0.0.1", port, &error);
}

}  // namespace

int PickServerPort() {
    static std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> ports(kFirstPort, kLastPort);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = ports(random);
        if (Free(port) && Free(port + 10)) return port;
    }
    return 0;
}

}  // namespace merivo
