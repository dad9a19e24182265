#pragma once
// The socket send loops of the send and mail processes: each pushes bytes through a user's
// non-blocking outgoing connection until all are taken, the connection is lost or it has taken
// nothing for too long.
#include <cstddef>
#include <cstdint>
#include <string>

namespace merivo {

class TcpSocket;

// What the timed sender reports when it could not send; a send process logs the same texts.
extern const std::string kConnectionLostText;  // "Reset send process"
extern const std::string kSendTimedOutText;    // "Error of send process"

// Pushes all bytes through a non-blocking connection: the length, or -2 (socket error),
// -3 (connection lost), -4 (nothing taken for too long), -5 (failure while sending).
long SendAll(TcpSocket& connection, const std::uint8_t* data, std::size_t length);
// The same for a frame header followed by a body, sent together while the header lasts.
long SendAll(TcpSocket& connection, const std::uint8_t* header, std::size_t headerLength,
             const std::uint8_t* data, std::size_t length);

// Pushes all bytes through the connection; an empty text, or why it could not. A connection
// that takes nothing for too long gets one more chance after a pause.
std::string TimedSend(TcpSocket& connection, const std::uint8_t* data, std::size_t length);
// Sends a stored file as one frame; an empty text on success, else the reason.
std::string SendFile(TcpSocket& connection, const std::string& path);

}  // namespace merivo
