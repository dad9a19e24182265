#pragma once
// The receive path of the accepted connections: frames reassembled into packages, kept in memory
// or spilled to the mail folder, and handed to the package parser or the request processor.
#include <cstddef>
#include <cstdint>

#include "db/UnDBType.h"
#include "net/UserTransport.h"

namespace merivo {

class TcpSocket;

constexpr std::int32_t kSpillThreshold = 0x80000;  // 524,288: larger payloads go to a spill file
constexpr std::int32_t kDisplacedHeader = 0x092F0000;

enum class ReadOutcome {
    Finished,        // everything the connection had was taken
    BytesLeft,       // the event ended early; the bytes wait for more data or a new owner
    DropConnection,  // the stream cannot be framed any more; the connection is to be closed
    PeerGone,        // the peer closed or reset the connection
};

// The read event of an accepted connection. It reads what the connection has, in as few calls
// as it can. With PeerGone, *closeError is the WinSock code of a reset (0 for a close).
ReadOutcome ServerSocket1ClientRead(TcpSocket& socket, int* closeError);

// Reads exactly count bytes: count, or -1 when the connection went down (or gave nothing for
// too long).
long ReceiveExact(TcpSocket& socket, std::uint8_t* buffer, std::size_t count);

// Forgets a half-received package: its buffer is released and its spill file deleted.
void ResetReceiveState(TmyConnection& state);

// Deletes the spill files in the mail folder. Called at start, when no connection owns one: those
// there were left by a run that ended while a package arrived.
void RemoveSpillFiles();

}  // namespace merivo
