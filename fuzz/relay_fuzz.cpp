// The package parser: any relay package, held in memory or spilled to the mail folder, from any
// of the three users; mail is stored in the sandbox's mail folder.
//
// Input: one byte of options (bit 0: the package was spilled to a file, bits 1 and 2: the sender),
// then the package.
#include <algorithm>

#include "FuzzSupport.h"
#include "db/UnDBType_Packages.h"
#include "db/UnDBserv_Relay.h"
#include "platform/Config.h"

namespace {

using namespace merivo;
using namespace merivo::fuzz;

bool Direct(const Bytes& package) {
    if (package.size() < kRelayHeaderSize) return false;
    const std::uint8_t kind = package[relay::kDeliveryKind];
    return kind == 10 || kind == 11;
}

// Every stored package is the package, byte for byte; a direct package is never stored.
void CheckStoredPackages(const MemoryEnv& env, const Bytes& package) {
    const std::vector<std::string> files = env.filesIn(Config.pop3Dir, ".mvm");
    Check(files.empty() || !Direct(package), "a direct package was stored");
    for (const std::string& stored : files) {
        Check(*env.contents(stored) == package, "a stored package differs from the package");
    }
}

// Recipients get the mail-waiting notice or, for a direct package, the package itself; never
// the user the package names as its originator.
void CheckForwards(const World& world, const Bytes& package) {
    const bool longEnough = package.size() >= kRelayHeaderSize;
    const std::string originator =
        longEnough ? ReadShortString(package.data() + relay::kOriginator, 255) : "";
    const std::uint64_t checksum = Checksum(package.data(), package.size());
    for (const SentPackage& p : world.sent) {
        Check(p.mode == 2 && p.user->online, "a relay went to a user that is not connected");
        if (p.size == 4 && p.code == kMailWaitingCode) continue;
        Check(p.size == package.size() && p.checksum == checksum,
              "a forwarded package differs from the package");
        Check(p.user->name != originator, "a direct package went back to its originator");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    const std::uint8_t options = input.byte();
    const Bytes package = input.rest();
    World& world = World::Reset({.dataFile = false});
    MemoryEnv& env = world.sandbox.env;
    TMyNameUser& sender = world.user(((options >> 1) & 3) % 3);

    const bool spilled = (options & 1) != 0;
    const std::string spillPath = JoinPath(Config.pop3Dir, sender.host + "1000.buf");
    Bytes held = package;
    std::unique_ptr<File> stream;
    if (spilled) {
        env.put(spillPath, package);
        stream = env.openFile(spillPath, OpenMode::ReadWrite);
    } else {
        stream = OpenMemoryFile(held);
    }
    HandleRelayPackage(sender, stream, spilled ? spillPath : "");
    // As the receive path does: a spill file that no recipient took is deleted.
    stream.reset();
    if (spilled && env.fileExists(spillPath)) env.deleteFile(spillPath);

    world.sandbox.checkMailFolder();
    CheckStoredPackages(env, package);
    CheckForwards(world, package);
    world.checkAnswers(std::max<std::size_t>(package.size(), 4));
    return 0;
}
