#pragma once
// The transport's part of a user record: the receive state of the user's accepted connection,
// the user's send and mail processes (its thread table, net/ProcessTable.h) and the small pieces
// gathered for it in one turn of the event loop. The user record holds it without knowing what
// it is; only the transport makes and uses it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "platform/Env.h"
#include "platform/Locks.h"
#include "platform/Thread.h"

namespace merivo {

// Receive state of a user's accepted connection (the receive path, main thread).
struct TmyConnection {
    std::vector<std::uint8_t> recvBuffer;
    std::unique_ptr<File> recvFile;
    std::int32_t recvExpected = 0;
    std::int32_t recvCount = 0;
    std::int32_t recvChunk = 0;
    std::int32_t recvOffset = 0;
    std::string recvFilePath;
    std::int32_t recvCode = 0;
    bool recvSpilled = false;
    // The bytes of a frame header that has not arrived whole yet (recvExpected = 0).
    std::array<std::uint8_t, 4> recvHeader{};
    std::int32_t recvHeaderCount = 0;
};

// A send or mail process in its user's thread table.
struct ThreadTableEntry {
    std::shared_ptr<Thread> thread;  // empty once its handle was closed
    std::int32_t sequence = 0;
    std::int32_t kind = 0;  // 1 = send or mail process
};

// Small pieces for an idle user that the main thread gathers during one turn of its event loop
// and sends together when the turn ends (one send instead of one per piece). Main thread only.
struct GatheredPieces {
    std::vector<std::uint8_t> bytes;  // the pieces one after the other
    std::vector<std::size_t> ends;    // where each piece ends in bytes
};

struct UserTransport {
    TmyConnection receive;  // main thread
    std::vector<ThreadTableEntry> threadTable GUARDED_BY(ThreadTableMutex);
    GatheredPieces gathered;  // main thread
};

// The user's transport part, made on the first call for the user (from any thread; later calls
// only read the pointer) and kept until the user record is freed.
UserTransport& TransportOf(const TMyNameUser& user);

}  // namespace merivo
