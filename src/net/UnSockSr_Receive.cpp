// The read event of the accepted connections: frames are reassembled into packages, kept in
// memory up to 524,288 bytes and spilled to the mail folder above that, and handed on by their
// first word.
#include "net/UnSockSr_Receive.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/UnDBserv_Relay.h"
#include "db/MessageCatalog.h"
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

// One read event of one user's accepted connection.
class ReadEvent {
  public:
    ReadEvent(TMyNameUser& user, TcpSocket& socket, int avail)
        : user_(user), state_(user.receive), socket_(socket), avail_(avail) {}

    ReadOutcome run();

  private:
    // Each step gives the outcome that ends the event, or nothing to go on.
    using Step = std::optional<ReadOutcome>;

    Step startPackage();
    Step readHeader();
    void repairDisplacedHeader();
    void openSpillFile();
    Step readChunk();
    void deliver();
    void handOver();
    std::int32_t firstWord();

    TMyNameUser& user_;
    TmyConnection& state_;
    TcpSocket& socket_;
    int avail_;
    int failures_ = 0;
};

ReadOutcome ReadEvent::run() {
    try {
        while (avail_ > 0) {
            if (state_.recvExpected == 0) {
                if (avail_ < 4) {
                    WriteLog(Msg(msgNoPackageSize) + "[" + user_.host + "]");
                    return ReadOutcome::BytesLeft;
                }
                if (Step end = startPackage()) return *end;
            }
            if (Step end = readChunk()) return *end;
        }
        return ReadOutcome::Finished;
    } catch (...) {
        // The bytes taken so far are lost, so the stream cannot be framed any more.
        WriteLog(Msg(msgReceiveError) + user_.host);
        ResetReceiveState(state_);
        return ReadOutcome::DropConnection;
    }
}

ReadEvent::Step ReadEvent::startPackage() {
    Step end = readHeader();
    avail_ -= 4;
    if (end) return end;
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

ReadEvent::Step ReadEvent::readHeader() {
    std::uint8_t header[4];
    if (ReceiveExact(socket_, header, 4) != 4) {
        state_.recvExpected = 0;
        return ReadOutcome::Finished;
    }
    state_.recvExpected = ReadInt32(header);
    if (state_.recvExpected == kDisplacedHeader) repairDisplacedHeader();
    return std::nullopt;
}

// The header of a request seen two bytes late reads 00 00 2F 09: the two bytes that follow are
// the rest of that header.
void ReadEvent::repairDisplacedHeader() {
    if (socket_.pendingBytes() < 2) {
        state_.recvExpected = kPackageRequestSize;
    } else {
        std::uint8_t rest[2];
        if (ReceiveExact(socket_, rest, 2) == 2) {
            avail_ -= 2;
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

ReadEvent::Step ReadEvent::readChunk() {
    state_.recvChunk = std::min({state_.recvExpected, kSpillThreshold, avail_});
    long got = 0;
    int error = 0;
    if (state_.recvChunk > 0) {
        got = socket_.receiveSome(state_.recvBuffer.data() + state_.recvOffset,
                                  static_cast<std::size_t>(state_.recvChunk), &error);
    }
    if (!socket_.connected()) return ReadOutcome::Finished;
    if (got < 0) {
        got = 0;
        CurrentClock().sleepMs(5);
        if (++failures_ > CurrentTimeouts().receiveFailures) {
            WriteLog(Msg(msgReceiveTimeout) + std::to_string(error) + " " + user_.host);
            failures_ = 0;
            if (!socket_.connected()) {
                WriteLog("Reset Recieve from " + user_.host);
                return ReadOutcome::Finished;
            }
            return ReadOutcome::BytesLeft;  // the main thread waits no longer on this connection
        }
    } else {
        failures_ = 0;
    }
    const auto count = static_cast<std::int32_t>(got);
    state_.recvCount += count;
    if (state_.recvSpilled) {
        if (count > 0) state_.recvFile->write(state_.recvBuffer.data(), count);
        state_.recvOffset = 0;
    } else {
        state_.recvOffset = state_.recvCount;
    }
    state_.recvExpected -= count;
    avail_ -= count;
    if (state_.recvExpected <= 0 && state_.recvChunk > 0) deliver();
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
    try {
        state_.recvCode = firstWord();
        handOver();
    } catch (...) {
        // A failing consumer costs its package only.
    }
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

}  // namespace

ReadOutcome ServerSocket1ClientRead(TcpSocket& socket) {
    const int avail = socket.pendingBytes();
    const int handle = socket.handle();
    if (avail <= 0 || handle == -1) return ReadOutcome::Finished;
    TMyNameUser* user = FindUserByConnection(handle);
    if (!user) {
        WriteLog(Msg(msgUnregisteredUser));
        return ReadOutcome::BytesLeft;
    }
    return ReadEvent(*user, socket, avail).run();
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
