// The read event of the accepted connections: frames are reassembled into packages, kept in
// memory up to 524,288 bytes and spilled to the mail folder above that, and handed on by their
// first word.
#include "net/UnSockSr_Receive.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/UnDBserv_Relay.h"
#include "db/MessageCatalog.h"
#include "db/ServerCounters.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

namespace {

constexpr std::int32_t kPackageRequestSize = static_cast<std::int32_t>(kRequestPackageSize);
const std::string kSpillExtension = ".buf";

// A spill file that cannot be deleted now stays until the next start removes it.
void DeleteSpillFile(const std::string& path) {
    try {
        if (!path.empty() && CurrentEnv().fileExists(path)) CurrentEnv().deleteFile(path);
    } catch (const IoError& error) {
        DebugLog(error.what());
    }
}

// Bytes read beyond the package being received (the next headers, whole small packages) land
// in a staging area and are copied on from there; the rest of a package that has begun is read
// straight into its buffer.
constexpr std::size_t kStagingSize = 65536;
// What one read asks for at most, staging included.
constexpr std::size_t kDirectReadLimit = kSpillThreshold - kStagingSize;
// An event ends after this many bytes, so that one busy connection does not hold up the others;
// the rest raises the next event.
constexpr std::size_t kEventByteLimit = 2 * kSpillThreshold;

// One read event of one user's accepted connection: it reads until the connection has nothing
// more (a read that does not fill what it asked for has taken everything there was).
class ReadEvent {
  public:
    ReadEvent(TMyNameUser& user, TcpSocket& socket, int* closeError)
        : user_(user),
          state_(TransportOf(user).receive),
          socket_(socket),
          closeError_(closeError) {}

    ReadOutcome run();

  private:
    // Each step gives the outcome that ends the event, or nothing to go on.
    using Step = std::optional<ReadOutcome>;

    Step readOnce(std::size_t* got, bool* drained);
    Step takeStaged(const std::uint8_t* data, std::size_t size);
    Step takeHeader(const std::uint8_t* data, std::size_t size, std::size_t* used);
    Step takePayload(const std::uint8_t* data, std::size_t size, std::size_t* used);
    Step startPackage(std::size_t staged, std::size_t* used);
    void repairDisplacedHeader(std::size_t staged, std::size_t* used);
    void openSpillFile();
    Step advance(std::size_t count);
    void deliver();
    void handOver();
    std::int32_t firstWord();

    TMyNameUser& user_;
    TmyConnection& state_;
    TcpSocket& socket_;
    int* closeError_;
    std::array<std::uint8_t, kStagingSize> staging_;
};

ReadOutcome ReadEvent::run() {
    try {
        std::size_t total = 0;
        bool drained = false;
        while (!drained && total < kEventByteLimit) {
            std::size_t got = 0;
            if (Step end = readOnce(&got, &drained)) return *end;
            total += got;
        }
        if (state_.recvExpected == 0 && state_.recvHeaderCount > 0) {
            WriteLog(Msg(msgNoPackageSize) + "[" + user_.host + "]");
        }
        return ReadOutcome::Finished;
    } catch (...) {
        // The bytes taken so far are lost, so the stream cannot be framed any more.
        WriteLog(Msg(msgReceiveError) + user_.host);
        ResetReceiveState(state_);
        return ReadOutcome::DropConnection;
    }
}

// One read: the rest of the package under way into its buffer, what follows into staging.
ReadEvent::Step ReadEvent::readOnce(std::size_t* got, bool* drained) {
    std::size_t direct = 0;
    std::uint8_t* into = nullptr;
    if (state_.recvExpected > 0) {
        direct = std::min(static_cast<std::size_t>(state_.recvExpected), kDirectReadLimit);
        into = state_.recvBuffer.data() + (state_.recvSpilled ? 0 : state_.recvOffset);
    }
    state_.recvChunk = static_cast<std::int32_t>(direct);
    int error = 0;
    const long read = socket_.receivePair(into, direct, staging_.data(), staging_.size(), &error);
    if (read == 0 || !socket_.connected()) {
        // A connection closed on this side has no error of the peer's to report.
        *closeError_ = read < 0 && error != WSAENOTCONN ? error : 0;
        return ReadOutcome::PeerGone;
    }
    if (read < 0) {  // nothing there (any more)
        *drained = true;
        return std::nullopt;
    }
    *got = static_cast<std::size_t>(read);
    *drained = *got < direct + staging_.size();
    const std::size_t intoBuffer = std::min(*got, direct);
    if (intoBuffer > 0) {
        if (state_.recvSpilled) state_.recvFile->write(state_.recvBuffer.data(), intoBuffer);
        if (Step end = advance(intoBuffer)) return end;
    }
    return takeStaged(staging_.data(), *got - intoBuffer);
}

// Staged bytes go through the framing: headers, then payloads into their buffers.
ReadEvent::Step ReadEvent::takeStaged(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        std::size_t used = 0;
        Step end = state_.recvExpected == 0 ? takeHeader(data, size, &used)
                                            : takePayload(data, size, &used);
        data += used;
        size -= used;
        if (end) return end;
    }
    return std::nullopt;
}

ReadEvent::Step ReadEvent::takeHeader(const std::uint8_t* data, std::size_t size,
                                      std::size_t* used) {
    const auto have = static_cast<std::size_t>(state_.recvHeaderCount);
    *used = std::min(size, state_.recvHeader.size() - have);
    std::copy_n(data, *used, state_.recvHeader.begin() + static_cast<std::ptrdiff_t>(have));
    state_.recvHeaderCount += static_cast<std::int32_t>(*used);
    if (static_cast<std::size_t>(state_.recvHeaderCount) < state_.recvHeader.size()) {
        return std::nullopt;
    }
    state_.recvHeaderCount = 0;
    state_.recvExpected = ReadInt32(state_.recvHeader.data());
    return startPackage(size - *used, used);
}

ReadEvent::Step ReadEvent::takePayload(const std::uint8_t* data, std::size_t size,
                                       std::size_t* used) {
    *used = std::min(size, static_cast<std::size_t>(state_.recvExpected));
    if (state_.recvSpilled) {
        state_.recvFile->write(data, *used);
    } else {
        std::copy_n(data, *used, state_.recvBuffer.begin() + state_.recvOffset);
    }
    return advance(*used);
}

// A header has arrived; `staged` bytes follow it in staging, of which the repair of a
// displaced header may use some.
ReadEvent::Step ReadEvent::startPackage(std::size_t staged, std::size_t* used) {
    if (state_.recvExpected == kDisplacedHeader) repairDisplacedHeader(staged, used);
    if (!socket_.connected()) {
        state_.recvExpected = 0;
        return ReadOutcome::Finished;
    }
    if (state_.recvExpected < 0) {
        WriteLog(Msg(msgReceiveError) + user_.host);
        state_.recvExpected = 0;
        return ReadOutcome::DropConnection;
    }
    state_.recvBuffer = std::vector<std::uint8_t>();
    if (state_.recvExpected <= kSpillThreshold) {
        state_.recvSpilled = false;
        state_.recvFile.reset();
        state_.recvFilePath.clear();
        state_.recvBuffer.resize(static_cast<std::size_t>(state_.recvExpected));
    } else {
        openSpillFile();
        state_.recvBuffer.resize(kSpillThreshold);
    }
    state_.recvCount = 0;
    state_.recvOffset = 0;
    return std::nullopt;
}

// The header of a request seen two bytes late reads 00 00 2F 09: the two bytes that follow are
// the rest of that header.
void ReadEvent::repairDisplacedHeader(std::size_t staged, std::size_t* used) {
    const std::size_t fromStaging = std::min<std::size_t>(2, staged);
    const std::size_t fromSocket = 2 - fromStaging;
    const bool twoWaiting =
        fromSocket == 0 || socket_.pendingBytes() >= static_cast<int>(fromSocket);
    if (!twoWaiting) {
        state_.recvExpected = kPackageRequestSize;
    } else {
        *used += fromStaging;
        std::uint8_t rest[2];
        if (fromSocket == 0 ||
            ReceiveExact(socket_, rest, fromSocket) == static_cast<long>(fromSocket)) {
            state_.recvExpected = kPackageRequestSize - 2;
        } else {
            state_.recvExpected = kPackageRequestSize;
            socket_.close();
        }
    }
    WriteLog(Msg(msgCountCorrected) + "[" + user_.host + "]");
}

void ReadEvent::openSpillFile() {
    state_.recvSpilled = true;
    state_.recvFilePath = JoinPath(
        Config.pop3Dir, user_.host + std::to_string(CurrentClock().tickCount()) + kSpillExtension);
    state_.recvFile = CurrentEnv().openFile(state_.recvFilePath, OpenMode::Create);
    state_.recvFile->truncate(0);
}

// `count` payload bytes of the package have been stored; a complete package is delivered.
ReadEvent::Step ReadEvent::advance(std::size_t count) {
    const auto taken = static_cast<std::int32_t>(count);
    state_.recvCount += taken;
    state_.recvOffset = state_.recvSpilled ? 0 : state_.recvCount;
    state_.recvExpected -= taken;
    if (state_.recvExpected > 0) return std::nullopt;
    deliver();
    // A consumer may have closed the connection: what follows is not this user's any more.
    if (!socket_.connected()) return ReadOutcome::Finished;
    return std::nullopt;
}

std::int32_t ReadEvent::firstWord() {
    std::uint8_t word[4] = {};
    if (state_.recvSpilled) {
        state_.recvFile->seek(0);
        state_.recvFile->readUpTo(word, 4);
        state_.recvFile->seek(0);
    } else {
        std::copy_n(state_.recvBuffer.begin(), std::min<std::size_t>(4, state_.recvBuffer.size()),
                    word);
    }
    return ReadInt32(word);
}

void ReadEvent::deliver() {
    const auto start = std::chrono::steady_clock::now();
    std::int32_t code = -1;  // counted with the codes out of range when it cannot be read
    try {
        state_.recvCode = code = firstWord();
        handOver();
    } catch (...) {
        // A spill file that cannot be read back, or a failing consumer, costs its package only.
        WriteLog(Msg(msgReceiveError) + user_.host);
        DebugLog("Delivery of a package: " + CaughtText());
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    CountPackage(code, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    state_.recvFile.reset();
    DeleteSpillFile(state_.recvFilePath);  // still there only when no consumer took it
    state_.recvFilePath.clear();
    state_.recvSpilled = false;
    state_.recvBuffer = std::vector<std::uint8_t>();
    state_.recvExpected = 0;
    state_.recvChunk = 0;
}

void ReadEvent::handOver() {
    if (state_.recvSpilled) {
        // Only relay packages may exceed the memory threshold; anything else is dropped here.
        if (state_.recvCode != kRelayCode) {
            WriteLog(Msg(msgReceiveError) + user_.host);
            return;
        }
        std::unique_ptr<File>& stream = state_.recvFile;
        // The parser renames the spill file into the mail folder; when that fails, deliver()
        // deletes it.
        HandleRelayPackage(user_, stream, state_.recvFilePath);
        return;
    }
    if (state_.recvCode == kRelayCode) {
        std::unique_ptr<File> stream = OpenMemoryFile(state_.recvBuffer);
        HandleRelayPackage(user_, stream, "");
        return;
    }
    ProcessRequest(user_, user_.host, state_.recvBuffer.data(), state_.recvBuffer.size());
}

// A connection no user carries keeps its bytes until it has an owner; the event only tells
// whether its peer has gone.
ReadOutcome ReadUnowned(TcpSocket& socket, int* closeError) {
    if (socket.pendingBytes() > 0) {
        WriteLog(Msg(msgUnregisteredUser));
        return ReadOutcome::BytesLeft;
    }
    *closeError = socket.takeError();
    return *closeError != 0 || socket.peerGone() ? ReadOutcome::PeerGone : ReadOutcome::Finished;
}

}  // namespace

ReadOutcome ServerSocket1ClientRead(TcpSocket& socket, int* closeError) {
    *closeError = 0;
    const int handle = socket.handle();
    if (handle == -1) return ReadOutcome::Finished;
    TMyNameUser* user = FindUserByConnection(handle);
    if (!user) return ReadUnowned(socket, closeError);
    return ReadEvent(*user, socket, closeError).run();
}

long ReceiveExact(TcpSocket& socket, std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    int idle = 0;
    while (done < count) {
        int error = 0;
        long got = socket.receiveSome(buffer + done, count - done, &error);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            idle = 0;
            if (done < count) CurrentClock().sleepMs(2);
            continue;
        }
        CurrentClock().sleepMs(10);
        if (!socket.connected() || ++idle > CurrentTimeouts().receiveFailures) return -1;
    }
    return static_cast<long>(count);
}

void ResetReceiveState(TmyConnection& state) {
    state.recvFile.reset();
    DeleteSpillFile(state.recvFilePath);
    state.recvFilePath.clear();
    state.recvBuffer = std::vector<std::uint8_t>();
    state.recvExpected = 0;
    state.recvCount = 0;
    state.recvChunk = 0;
    state.recvOffset = 0;
    state.recvCode = 0;
    state.recvSpilled = false;
    state.recvHeaderCount = 0;
}

void RemoveSpillFiles() {
    std::vector<std::string> names;
    try {
        names = CurrentEnv().listFiles(Config.pop3Dir);
    } catch (const IoError& error) {
        DebugLog(error.what());
    }
    for (const std::string& name : names) {
        if (name.ends_with(kSpillExtension)) DeleteSpillFile(JoinPath(Config.pop3Dir, name));
    }
}

}  // namespace merivo
