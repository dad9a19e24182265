// The send entry point, the per-user queue of send processes and the watchdog over it.
#include "net/UnSockSr_Send.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "db/MessageCatalog.h"
#include "db/ServerCounters.h"
#include "db/UnDBType_Buffers.h"
#include "net/ProcessTable.h"
#include "net/UnSockSr_SendTurn.h"
#include "net/UnWSMess.h"
#include "net/UserTransport.h"
#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

namespace {

// A piece this large never goes into a socket on the main thread: a send process copies it into
// the socket while the main thread goes on with the next request.
constexpr std::size_t kLargePiece = 65536;
// How long the end of a run waits for the send and mail processes it asked to end.
constexpr int kProcessEndWaitMs = 2000;

// The bytes a send process owns: part of a buffer that the processes of all receivers of one
// package share, after the frame header when the process sends that too.
struct OwnedPiece {
    std::array<std::uint8_t, 4> header{};
    std::size_t headerLength = 0;
    SharedBuffer buffer;
    std::size_t offset = 0;
    std::size_t length = 0;

    const std::uint8_t* data() const { return buffer->data() + offset; }
};

// A piece as the caller passes it. Unless it already is in a buffer that may be kept, it is
// copied once, when the first receiver needs a process; the caller's bytes are not used after
// the queueing.
class PieceSource {
  public:
    PieceSource(const std::uint8_t* data, std::size_t length) : data_(data), length_(length) {}
    PieceSource(SharedBuffer buffer, std::size_t length)
        : data_(buffer->data()), length_(length), kept_(std::move(buffer)) {}
    const std::uint8_t* data() const { return data_; }
    std::size_t length() const { return length_; }
    // The bytes from offset on, as a process owns them.
    OwnedPiece from(std::size_t offset) {
        if (!kept_) kept_ = KeptCopy(data_, length_);
        OwnedPiece piece;
        piece.buffer = kept_;
        piece.offset = offset;
        piece.length = length_ - offset;
        return piece;
    }

  private:
    const std::uint8_t* data_;
    std::size_t length_;
    SharedBuffer kept_;
};

bool OutgoingActive(const TMyNameUser& user) {
    return user.outgoing && user.outgoing->connected();
}

// The receivers of a package, databases in table order, users in table order.
std::vector<TMyNameUser*> Receivers(TMyNameUser& user, const std::string& host, int mode) {
    std::vector<TMyNameUser*> receivers;
    auto addFrom = [&receivers](TMyDBUser& db, auto accepts) {
        for (auto& candidate : db.users) {
            if (candidate && accepts(*candidate)) receivers.push_back(candidate.get());
        }
    };
    auto online = [](const TMyNameUser& u) { return u.online.load(); };
    auto reachable = [](const TMyNameUser& u) { return u.online && OutgoingActive(u); };
    const bool hasDatabase =
        user.databaseNumber >= 0 && static_cast<std::size_t>(user.databaseNumber) < DBTable.size();
    switch (mode) {
        case 1:
            if (hasDatabase) addFrom(*DBTable[user.databaseNumber], reachable);
            break;
        case 2:
            if (user.online) receivers.push_back(&user);
            break;
        case 3:
            if (hasDatabase) {
                const std::string excluded = LowerAscii(host);
                addFrom(*DBTable[user.databaseNumber],
                        [&](const TMyNameUser& u) { return online(u) && u.host != excluded; });
            }
            break;
        case 4:
            for (auto& db : DBTable) addFrom(*db, reachable);
            break;
        default:
            break;
    }
    return receivers;
}

// A piece that an idle user's connection is offered directly (DirectSend).
bool GoesDirectly(const TMyNameUser& user, std::size_t length) {
    return Config.directSend && SendQueueIdle(user) && length < kLargePiece;
}

// One send of the bytes on the user's connection. The bytes taken, or none when the connection
// turned out to be gone.
std::optional<std::size_t> Offer(TMyNameUser& user, const std::uint8_t* data, std::size_t length) {
    long taken = 0;
    if (user.outgoing) {
        int error = 0;
        taken = user.outgoing->sendSome(data, length, &error);
        CountBytesSent(taken);
    }
    if (!OutgoingActive(user)) return std::nullopt;
    return static_cast<std::size_t>(std::max(taken, 0L));
}

// Offers the piece once to an idle user's connection. The bytes taken (0 when the piece was
// not offered), or none when the connection turned out to be gone.
std::optional<std::size_t> OfferDirectly(TMyNameUser& user, const std::uint8_t* data,
                                         std::size_t length) {
    return GoesDirectly(user, length) ? Offer(user, data, length) : std::size_t{0};
}

// ---- Pieces gathered during a turn of the event loop ---------------------------------------
//
// A user coming online is announced to every online user: with many users coming online at once
// the main thread would spend its time in one send per announcement. So while the main thread
// runs its event loop, the pieces that would be offered directly to an idle user are gathered
// and offered together, as one send, when the turn ends. The user's connection sees the same
// bytes in the same order; what the send does not take is queued piece by piece, as a direct
// offer would have queued it, so the queue limit counts the same pieces. Everything else that
// would write to the connection (a send or mail process) or close it sends the gathered pieces
// first.

// Only inside the event loop of the main thread is a turn sure to end with the flush.
bool InEventLoopTurn() {
    const QCoreApplication* application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread() &&
           QThread::currentThread()->loopLevel() > 0;
}

bool flushPosted = false;

void SendAllGatheredAtTurnEnd() {
    if (flushPosted) return;
    flushPosted = true;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            flushPosted = false;
            ForEachUser(SendGatheredPieces);
        },
        Qt::QueuedConnection);
}

// Gathered bytes leave at once when they reach this: what a turn holds per user stays small.
constexpr std::size_t kGatheredBytesLimit = 16384;

void AddToGathered(TMyNameUser& user, const PieceSource& piece) {
    GatheredPieces& gathered = TransportOf(user).gathered;
    std::vector<std::uint8_t>& bytes = gathered.bytes;
    bytes.insert(bytes.end(), piece.data(), piece.data() + piece.length());
    gathered.ends.push_back(bytes.size());
    if (bytes.size() >= kGatheredBytesLimit) SendGatheredPieces(user);
}

// A small piece for a user with pieces gathered in this turn joins them.
bool JoinGathered(TMyNameUser& user, const PieceSource& piece) {
    if (TransportOf(user).gathered.ends.empty() || piece.length() >= kLargePiece) return false;
    AddToGathered(user, piece);
    return true;
}

// A piece that would be offered directly is gathered instead, when the turn ends with a flush.
bool StartGathering(TMyNameUser& user, const PieceSource& piece) {
    if (!GoesDirectly(user, piece.length()) || !InEventLoopTurn() || !OutgoingActive(user)) {
        return false;
    }
    AddToGathered(user, piece);
    SendAllGatheredAtTurnEnd();
    return true;
}

void TraceProcessEnd(const Thread& self) {
    DebugLog("TerminateThread " + std::to_string(self.handle()));
}

void ReportSendResult(TMyNameUser& user, std::int32_t sequence, SendResult result,
                      const Thread& self) {
    if (result == SendResult::Sent) {
        PassTurn(user, sequence);
        TraceProcessEnd(self);
        return;
    }
    if (!StopSendingUnlessEnding(user)) return;
    const std::optional<std::string> line = SendFailureLogLine(result);
    if (line && user.online) WriteLog(*line);
}

std::uint32_t RunSendProcess(Thread& self, TMyNameUser& user, std::int32_t sequence,
                             OwnedPiece piece) {
    ProcessScope scope(self);
    try {
        if (!WaitForTurn(self, user, sequence)) return 0;
        DebugLog("StartProc " + std::to_string(sequence));
        const SendResult result =
            user.outgoing ? SendAll(*user.outgoing, piece.header.data(), piece.headerLength,
                                    piece.data(), piece.length)
                          : SendResult::ConnectionLost;
        DebugLog("EndProc " + std::to_string(sequence));
        piece = {};
        if (self.terminateRequested()) return 0;
        ReportSendResult(user, sequence, result, self);
    } catch (...) {
        StopSendingUnlessEnding(user);
        WriteLog(Msg(msgDataSendError) + user.host);
        TraceProcessEnd(self);
    }
    return 0;
}

// Gives the rest of a piece to a new send process.
void StartSendProcess(TMyNameUser& user, OwnedPiece piece) {
    std::int32_t sequence = 0;
    auto body = [&](std::int32_t issued) -> Thread::Body {
        sequence = issued;
        return [&user, issued, piece](Thread& self) {
            return RunSendProcess(self, user, issued, piece);
        };
    };
    auto thread = CreateProcess(user, body, "");
    if (thread) {
        DebugLog("CreateProc " + std::to_string(sequence) +
                 "; Handle=" + std::to_string(thread->handle()));
    }
}

// Sends the piece directly (gathered with the other pieces of this turn when it may) or hands
// what is left of it to a new send process.
void QueuePiece(TMyNameUser& user, PieceSource& piece, bool mayGather = true) {
    if (!user.online || user.sendStopped) return;
    if (mayGather && JoinGathered(user, piece)) return;
    if (!MakeRoomForProcess(user)) return;
    if (mayGather && StartGathering(user, piece)) return;
    const std::optional<std::size_t> taken = OfferDirectly(user, piece.data(), piece.length());
    if (!taken) {
        user.sendStopped = true;
        return;
    }
    if (*taken >= piece.length()) return;
    StartSendProcess(user, piece.from(*taken));
}

// A large package for an idle user with DirectSend on: its header would leave directly and its
// payload through a process, so the process sends both, on one count of the queue.
bool QueueWholeFrame(TMyNameUser& user, PieceSource& header, PieceSource& payload) {
    if (!Config.directSend || payload.length() < kLargePiece || !SendQueueIdle(user)) return false;
    if (!user.online || user.sendStopped) return true;
    if (!MakeRoomForProcess(user)) return true;
    OwnedPiece piece = payload.from(0);
    std::copy(header.data(), header.data() + header.length(), piece.header.begin());
    piece.headerLength = header.length();
    StartSendProcess(user, std::move(piece));
    return true;
}

// Frames the payload (one piece up to the size of a request package, else the header and the
// payload as pieces of their own) and queues it for every receiver.
void QueuePackage(const std::vector<TMyNameUser*>& receivers, PieceSource& payload) {
    const std::size_t size = payload.length();
    if (receivers.empty() || size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return;
    std::uint8_t header[4];
    WriteInt32(header, static_cast<std::int32_t>(size));
    if (size <= kRequestPackageSize) {
        std::vector<std::uint8_t> frame(header, header + 4);
        frame.insert(frame.end(), payload.data(), payload.data() + size);
        PieceSource framed(frame.data(), frame.size());
        for (TMyNameUser* receiver : receivers) QueuePiece(*receiver, framed);
        return;
    }
    PieceSource headerPiece(header, sizeof header);
    for (TMyNameUser* receiver : receivers) {
        if (QueueWholeFrame(*receiver, headerPiece, payload)) continue;
        QueuePiece(*receiver, headerPiece);
        QueuePiece(*receiver, payload);
    }
}

void WatchdogStepFor(TMyNameUser& user) {
    if (user.sendStopped) {
        SendGatheredPieces(user);
        CloseOutgoingQuietly(user);
        try {
            TerminateThreads(user, 1);
            CloseFinishedHandles(user, true);
        } catch (...) {
            DebugLog("Watchdog clean-up of " + user.host + ": " + CaughtText());
        }
        user.sendStopped = false;
    }
    if (user.online) {
        MutexLock lock(ThreadTableLock());
        ResumeProcess(user, user.sendStarted + 1);
    }
}

}  // namespace

void InstallSendPath() {
    SendPackage = SendPackageToReceivers;
    SendSharedPackage = SendSharedPackageToReceivers;
    StartMailDelivery = StartMailDeliveryFor;
    EndUserProcesses = [] { return EndAllProcesses(kProcessEndWaitMs); };
}

void SendPackageToReceivers(TMyNameUser& user, const std::uint8_t* payload, std::size_t size,
                            const std::string& host, int mode) {
    PieceSource piece(payload, size);
    QueuePackage(Receivers(user, host, mode), piece);
}

void SendSharedPackageToReceivers(TMyNameUser& user, SharedBuffer package, std::size_t size,
                                  const std::string& host, int mode) {
    if (size > package->size()) return;
    PieceSource piece(std::move(package), size);
    QueuePackage(Receivers(user, host, mode), piece);
}

void SendGatheredPieces(TMyNameUser& user) {
    GatheredPieces& gathered = TransportOf(user).gathered;
    if (gathered.ends.empty()) return;
    const GatheredPieces batch = std::exchange(gathered, {});
    const std::optional<std::size_t> taken = Offer(user, batch.bytes.data(), batch.bytes.size());
    if (!taken && user.online) user.sendStopped = true;
    if (!taken || !user.online || user.sendStopped) return;
    const std::size_t done = *taken;
    std::size_t start = 0;
    for (const std::size_t end : batch.ends) {
        PieceSource piece(batch.bytes.data() + start, end - start);
        if (done > start && done < end) {
            StartSendProcess(user, piece.from(done - start));
        } else if (done <= start) {
            QueuePiece(user, piece, false);
        }
        start = end;
    }
}

void QueueSend(TMyNameUser& user, const std::uint8_t* data, std::size_t length) {
    PieceSource piece(data, length);
    QueuePiece(user, piece);
}

void WatchdogStep() {
    ForEachUser(WatchdogStepFor);
}

}  // namespace merivo
