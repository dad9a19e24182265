#pragma once
// The far end of a server-side connection: a fresh loopback TCP pair whose server end is a
// TcpSocket and whose other end the test reads.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace merivo {

class TcpSocket;

using Bytes = std::vector<std::uint8_t>;

class LoopbackPeer {
  public:
    // Connects a fresh loopback pair; `server` receives the server-side socket. A receive buffer
    // size shrinks the buffers of both ends, so that a peer that does not read soon stops taking.
    explicit LoopbackPeer(std::shared_ptr<TcpSocket>& server, int receiveBuffer = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;
    void close();

    // Reads exactly n bytes, or fewer when nothing more comes within the time-out.
    Bytes read(std::size_t n, int timeoutMs = 5000);
    // The next frame's payload, or nullopt when none arrives in time.
    std::optional<Bytes> frame(int timeoutMs = 5000);
    // True when the server closed the connection (after whatever was still in flight).
    bool closedByServer(int timeoutMs = 5000);

  private:
    int fd_ = -1;
};

// size bytes that differ from those of another number; the first four hold the number.
Bytes Numbered(std::size_t size, int number);

}  // namespace merivo
