// The receive path: a byte stream from alice, cut into reads at the points the input names, with
// runs of filler bytes that carry a package past the memory threshold into a spill file. The
// packages it frames go to the real request processor and package parser.
//
// Input: a count of cuts; per cut a kind byte and a 16-bit value (even kind: the next `value`
// bytes of the stream; odd kind: value x 64 filler bytes of the value kind / 2, made odd); then
// the stream, whatever the cuts leave of it being the last read.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "FuzzSupport.h"
#include "db/UnDBType_Packages.h"
#include "net/UnSockSr_Receive.h"
#include "platform/Socket.h"

namespace {

using namespace merivo;
using namespace merivo::fuzz;

constexpr std::size_t kFillerUnit = 64;
constexpr std::size_t kMaxFiller = 2u << 20;  // per input: enough to spill twice

struct Cut {
    bool filler;
    std::uint8_t fill;
    std::size_t size;
};

// alice's accepted connection: the server reads one end of a socket pair, the harness writes the
// other.
class Connection {
  public:
    explicit Connection(TMyNameUser& user) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Fail("socketpair");
        server_ = std::make_unique<TcpSocket>(ends[0]);
        client_ = ends[1];
        ::fcntl(client_, F_SETFL, ::fcntl(client_, F_GETFL) | O_NONBLOCK);
        user.connectionHandle = server_->handle();
    }
    ~Connection() { ::close(client_); }

    // Writes the bytes while the server's read events take them. False once the server has
    // dropped the connection or stopped taking bytes.
    bool deliver(const std::uint8_t* bytes, std::size_t n) {
        std::size_t written = 0;
        for (int idle = 0; idle < 2;) {
            ssize_t put = 0;
            if (written < n) put = ::send(client_, bytes + written, n - written, MSG_NOSIGNAL);
            written += static_cast<std::size_t>(std::max<ssize_t>(put, 0));
            const int waiting = server_->pendingBytes();
            int closeError = 0;
            const ReadOutcome outcome = ServerSocket1ClientRead(*server_, &closeError);
            if (outcome == ReadOutcome::DropConnection || outcome == ReadOutcome::PeerGone) {
                return false;
            }
            const bool progress = put > 0 || server_->pendingBytes() < waiting;
            if (written == n && !progress) return true;
            idle = progress ? 0 : idle + 1;
        }
        return false;
    }

  private:
    std::unique_ptr<TcpSocket> server_;
    int client_ = -1;
};

std::vector<Cut> ReadCuts(Input& input) {
    std::vector<Cut> cuts(input.byte());
    std::size_t filler = 0;
    for (Cut& cut : cuts) {
        const std::uint8_t kind = input.byte();
        const std::uint16_t value = input.uint16();
        cut.filler = (kind & 1) != 0;
        // Never zero: a run of empty frames costs one read each and tells nothing new.
        cut.fill = static_cast<std::uint8_t>((kind >> 1) | 1);
        cut.size = cut.filler ? std::min(value * kFillerUnit, kMaxFiller - filler) : value;
        if (cut.filler) filler += cut.size;
    }
    return cuts;
}

// What holds between read events: a package under way has its buffer (memory) or its spill file
// (spill mode) with exactly the bytes counted so far.
void CheckReceiveState(const TmyConnection& state) {
    Check(state.recvExpected >= 0, "a negative number of bytes is expected");
    if (state.recvExpected == 0) return;
    if (state.recvSpilled) {
        Check(state.recvFile != nullptr, "a spilled package has no spill file");
        Check(state.recvFile->size() == state.recvCount, "the spill file lost bytes");
    } else {
        Check(state.recvBuffer.size() == static_cast<std::size_t>(state.recvCount) +
                                             static_cast<std::size_t>(state.recvExpected),
              "the package buffer does not fit the package");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    const std::vector<Cut> cuts = ReadCuts(input);
    const Bytes stream = input.rest();
    World& world = World::Reset({});
    TMyNameUser& alice = world.user(0);
    {
        Connection connection(alice);
        std::size_t at = 0;
        bool up = true;
        for (const Cut& cut : cuts) {
            if (!up) break;
            if (cut.filler) {
                static Bytes filler;  // kept from run to run: it can be megabytes
                filler.assign(cut.size, cut.fill);
                up = connection.deliver(filler.data(), filler.size());
            } else {
                const std::size_t n = std::min(cut.size, stream.size() - at);
                up = connection.deliver(stream.data() + at, n);
                at += n;
            }
            if (up) CheckReceiveState(TransportOf(alice).receive);
        }
        if (up && at < stream.size()) {
            up = connection.deliver(stream.data() + at, stream.size() - at);
            if (up) CheckReceiveState(TransportOf(alice).receive);
        }
    }
    // The connection is gone: what it left half received goes with it.
    ResetReceiveState(TransportOf(alice).receive);
    world.checkAnswers(kSpillThreshold);
    world.checkDataFile();
    world.sandbox.checkMailFolder();
    return 0;
}
