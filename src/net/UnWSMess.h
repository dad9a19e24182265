#pragma once
// The socket send loops of the send and mail processes: each pushes bytes through a user's
// non-blocking outgoing connection until all are taken, the connection is lost or it has taken
// nothing for too long.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace merivo {

class TcpSocket;

// How a send loop ended. Every send loop of the transport reports its end as one of these; the
// send and mail processes read it by name, never as a number or a text.
enum class SendResult {
    Sent,            // every byte was taken
    SocketError,     // the connection refused a send with an error while it still stood
    ConnectionLost,  // the connection is gone, or the process was asked to end
    TimedOut,        // the connection took nothing for too long
    Failed,          // anything else: the file could not be read, or the sending threw
};

// The log line of a send process whose send ended this way; none for the ends it does not log.
std::optional<std::string> SendFailureLogLine(SendResult result);

// Pushes all bytes through a non-blocking connection. A socket error, a lost connection and a
// connection that takes nothing for too long end it at once.
SendResult SendAll(TcpSocket& connection, const std::uint8_t* data, std::size_t length);
// The same for a frame header followed by a body, sent together while the header lasts.
SendResult SendAll(TcpSocket& connection, const std::uint8_t* header, std::size_t headerLength,
                   const std::uint8_t* data, std::size_t length);

// Pushes all bytes through the connection; a socket error counts as a lost connection. A
// connection that takes nothing for too long gets one more chance after a pause.
SendResult TimedSend(TcpSocket& connection, const std::uint8_t* data, std::size_t length);
// Sends a stored file as one frame with TimedSend.
SendResult SendFile(TcpSocket& connection, const std::string& path);

}  // namespace merivo
