// The send loops share one loop; they differ in how many empty sends they stand, whether they
// pause once before giving up and which ends they tell apart.
#include "net/UnWSMess.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "db/ServerCounters.h"
#include "db/UnDBType.h"
#include "net/UnSockSr_SendTurn.h"
#include "platform/Clock.h"
#include "platform/Env.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

namespace {

constexpr std::size_t kFilePieceSize = 65536;
constexpr int kStallPauseMs = 50;

struct LoopRules {
    int attempts;              // empty sends in a row that the loop stands
    int pauses;                // times it then pauses and counts again before giving up
    bool notConnectedIsEmpty;  // a send refused as not connected counts as an empty send
};

// Whether the failure of a send that took nothing ends the loop with a socket error.
bool IsSocketError(int error, const LoopRules& rules) {
    if (error == 0 || error == WSAEWOULDBLOCK) return false;
    return !(rules.notConnectedIsEmpty && error == WSAENOTCONN);
}

// Sends the header (if any) and the data. While part of the header is left, it goes out
// together with the data. The end of the calling process counts as a lost connection.
SendResult SendLoop(TcpSocket& connection, const std::uint8_t* header, std::size_t headerLength,
                    const std::uint8_t* data, std::size_t length, LoopRules rules) {
    const std::size_t total = headerLength + length;
    std::size_t sent = 0;
    int failures = 0;
    while (sent < total) {
        if (ProcessEnding()) return SendResult::ConnectionLost;
        int error = 0;
        const long taken =
            sent < headerLength
                ? connection.sendPair(header + sent, headerLength - sent, data, length, &error)
                : connection.sendSome(data + (sent - headerLength), total - sent, &error);
        if (taken > 0) {
            CountBytesSent(taken);
            sent += static_cast<std::size_t>(taken);
            failures = 0;
            if (sent < total) ProcessWaitWritable(connection, 2);
            continue;
        }
        if (IsSocketError(error, rules) && connection.connected()) return SendResult::SocketError;
        if (!connection.connected()) return SendResult::ConnectionLost;
        if (++failures > rules.attempts) {
            if (rules.pauses == 0) return SendResult::TimedOut;
            --rules.pauses;
            failures = 0;
            ProcessSleep(kStallPauseMs);
            continue;
        }
        ProcessWaitWritable(connection, 10);
    }
    return SendResult::Sent;
}

}  // namespace

std::optional<std::string> SendFailureLogLine(SendResult result) {
    switch (result) {
        case SendResult::ConnectionLost:
            return "Reset send process";
        case SendResult::TimedOut:
            return "Error of send process";
        case SendResult::Sent:
        case SendResult::SocketError:
        case SendResult::Failed:
            break;
    }
    return std::nullopt;
}

SendResult SendAll(TcpSocket& connection, const std::uint8_t* data, std::size_t length) {
    return SendAll(connection, nullptr, 0, data, length);
}

SendResult SendAll(TcpSocket& connection, const std::uint8_t* header, std::size_t headerLength,
                   const std::uint8_t* data, std::size_t length) {
    const LoopRules rules{CurrentTimeouts().sendAttempts, 0, false};
    try {
        return SendLoop(connection, header, headerLength, data, length, rules);
    } catch (...) {
        DebugLog("SendAll: " + CaughtText());
    }
    return SendResult::Failed;
}

SendResult TimedSend(TcpSocket& connection, const std::uint8_t* data, std::size_t length) {
    const LoopRules rules{CurrentTimeouts().timedSendAttempts, 1, true};
    const SendResult result = SendLoop(connection, nullptr, 0, data, length, rules);
    return result == SendResult::SocketError ? SendResult::ConnectionLost : result;
}

SendResult SendFile(TcpSocket& connection, const std::string& path) {
    try {
        std::unique_ptr<File> file = CurrentEnv().openFile(path, OpenMode::Read);
        const std::int64_t size = file->size();
        if (size > std::numeric_limits<std::int32_t>::max()) return SendResult::Failed;
        std::uint8_t header[4];
        WriteInt32(header, static_cast<std::int32_t>(size));
        SendResult result = TimedSend(connection, header, sizeof header);
        std::vector<std::uint8_t> piece(kFilePieceSize);
        for (std::int64_t left = size; left > 0 && result == SendResult::Sent;) {
            const auto wanted = static_cast<std::size_t>(
                std::min<std::int64_t>(left, static_cast<std::int64_t>(kFilePieceSize)));
            const std::size_t got = file->readUpTo(piece.data(), wanted);
            if (got == 0) return SendResult::Failed;  // the file ended early
            // A piece that was not sent completely leaves the receiver out of step with the
            // framing, so a time-out ends the file as a lost connection does.
            result = TimedSend(connection, piece.data(), got);
            left -= static_cast<std::int64_t>(got);
        }
        return result;
    } catch (...) {
        return SendResult::Failed;
    }
}

}  // namespace merivo
