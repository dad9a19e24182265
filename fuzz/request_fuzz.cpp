// The request processor: any sequence of packages from any of the three users against a small
// loaded database, every answer captured.
//
// The database holds five days around today. Input: one byte of options (bit 0: the database has no
// data file, bit 1: an archive file exists, so no day may be put before the first, bit 2: debug
// mode), then up to 16 packages, each a byte choosing its sender and a 16-bit length before its
// bytes.
#include "FuzzSupport.h"
#include "db/UnDBserv.h"

namespace {

using namespace merivo;
using namespace merivo::fuzz;

constexpr int kMaxPackages = 16;
constexpr std::size_t kMaxPackageSize = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    const std::uint8_t options = input.byte();
    World& world = World::Reset({.dataFile = (options & 1) == 0,
                                 .archive = (options & 2) != 0,
                                 .debug = (options & 4) != 0});
    for (int i = 0; i < kMaxPackages && input.left() > 0; ++i) {
        TMyNameUser& sender = world.user(input.byte() % 3);
        const std::size_t length = std::min<std::size_t>(input.uint16(), kMaxPackageSize);
        const Bytes package = input.take(length);
        ProcessRequest(sender, sender.host, package.data(), package.size());
    }
    world.checkAnswers(kRangeReplySize);
    if (!world.db().dataFilePath.empty()) world.checkDataFile();
    return 0;
}
