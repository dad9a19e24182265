#include "db/UnDBserv_Relay.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/UnDBType_Packages.h"
#include "db/MessageCatalog.h"
#include "db/ServerCounters.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "platform/Log.h"

namespace merivo {
namespace {

constexpr int kMailKind = 6000;
constexpr int kDirectKind = 6100;
constexpr int kDirectKindAlt = 6200;
constexpr int kShortStringCapacity = 255;
constexpr std::size_t kStoredNameCapacity = 30;  // the package-file field of an inbox entry
constexpr std::size_t kCopyChunk = 65536;
constexpr std::int64_t kLongListLimit = 0x80000;  // 524,288: the receive path's staging block
constexpr std::int64_t kLongListPiece = 65536;
const std::string kStoredExtension = ".mvm";

struct Recipient {
    std::size_t position;  // place in the recipient list, empty pieces counted
    TMyNameUser* user;
};

int DeliveryKind(const std::uint8_t* header) {
    switch (header[relay::kDeliveryKind]) {
        case 10:
            return kDirectKind;
        case 11:
            return kDirectKindAlt;
        default:
            return kMailKind;
    }
}

// The long recipient list after the header: an int32 N, then N bytes whose text ends at the first
// zero byte. A length that runs past the package gives an empty list, which is refused. The list
// is read in pieces up to its first zero byte and cut after one staging block of the receive path,
// so a spilled package never brings more than that into memory, whatever N says.
std::string ReadLongRecipientList(File& package) {
    std::uint8_t lengthBytes[4];
    package.read(lengthBytes, sizeof lengthBytes);
    const std::int64_t length = ReadInt32(lengthBytes);
    if (length < 0 || length > package.size() - package.position()) return {};
    std::string list;
    for (std::int64_t left = std::min(length, kLongListLimit); left > 0;) {
        const auto n = static_cast<std::size_t>(std::min(left, kLongListPiece));
        const std::size_t start = list.size();
        list.resize(start + n);
        package.read(list.data() + start, n);
        const std::size_t zero = list.find('\0', start);
        if (zero != std::string::npos) return list.substr(0, zero);
        left -= static_cast<std::int64_t>(n);
    }
    return list;
}

std::string ReadRecipientList(File& package, const std::uint8_t* header) {
    std::string field = ReadShortString(header + relay::kRecipients, kShortStringCapacity);
    if (field == kLongAddressMarker) return ReadLongRecipientList(package);
    return field;
}

std::string TrimBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

// Pieces between the commas, trimmed of blanks. Empty pieces keep their place in the list; a
// comma at the very end adds no empty last piece.
std::vector<std::string> SplitRecipients(std::string_view list) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        pieces.push_back(TrimBlanks(list.substr(start, comma - start)));
        start = comma + 1;
    }
    return pieces;
}

// The users the pieces name, each once, at the place where the list first names it: a list that
// names one user a thousand times stores one copy for it, not a thousand.
std::vector<Recipient> ResolveRecipients(const std::vector<std::string>& pieces) {
    std::vector<Recipient> recipients;
    std::unordered_set<const TMyNameUser*> named;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].empty()) continue;
        TMyNameUser* user = FindUserByName(pieces[i]);
        if (user && named.insert(user).second) recipients.push_back({i, user});
    }
    return recipients;
}

// Position, milliseconds since system start modulo 1000 and "yymmddhhnnss". Two packages stored
// within the same second can meet on one name; then a counter is added, and the name is cut from
// its front so that it still fits the inbox entry.
std::string StoredFileName(std::size_t position) {
    Clock& clock = CurrentClock();
    const std::string base = std::to_string(position) + std::to_string(clock.tickCount() % 1000) +
                             FormatStamp(clock.now());
    for (int attempt = 0;; ++attempt) {
        std::string suffix;
        if (attempt > 0) suffix.append("_").append(std::to_string(attempt));
        suffix.append(kStoredExtension);
        const std::size_t room = kStoredNameCapacity - suffix.size();
        const std::string name =
            (base.size() > room ? base.substr(base.size() - room) : base) + suffix;
        if (!CurrentEnv().fileExists(JoinPath(Config.pop3Dir, name))) return name;
    }
}

// Copies the whole source to a new file and syncs it; a copy that fails is removed.
void CopyToNewFile(File& source, const std::string& path) {
    std::unique_ptr<File> target = CurrentEnv().openFile(path, OpenMode::Create);
    try {
        source.seek(0);
        std::vector<std::uint8_t> chunk(kCopyChunk);
        while (std::size_t n = source.readUpTo(chunk.data(), chunk.size()))
            target->write(chunk.data(), n);
        target->sync();
    } catch (...) {
        target.reset();
        CurrentEnv().deleteFile(path);
        throw;
    }
}

// A stored package's name outlives a power loss only once the mail folder is synced. A package
// whose name cannot be made durable is removed again: no entry will name it.
void SyncMailFolderFor(const std::string& path) {
    try {
        CurrentEnv().syncFolder(Config.pop3Dir);
    } catch (const IoError&) {
        try {
            CurrentEnv().deleteFile(path);
        } catch (const IoError& e) {
            DebugLog(std::string("Stored package left without entry: ") + e.what());
        }
        throw;
    }
}

// One relay package on its way into the mail folder.
class RelayPackage {
  public:
    RelayPackage(std::unique_ptr<File>& stream, const std::string& spillPath)
        : stream_(stream), spillPath_(spillPath) {}

    bool spilled() const { return !spillPath_.empty(); }

    // Writes the whole package to path, and returns once it is on the disk under that name. The
    // last store of a spilled package moves the spill file there; every earlier one copies it,
    // so each recipient owns a complete file.
    void storeAs(const std::string& path, bool last) {
        if (spilled() && last) {
            stream_->sync();
            stream_.reset();
            CurrentEnv().renameFile(spillPath_, path);
        } else {
            CopyToNewFile(*stream_, path);
        }
        SyncMailFolderFor(path);
    }

    std::vector<std::uint8_t> bytes() {
        std::vector<std::uint8_t> all(static_cast<std::size_t>(stream_->size()));
        stream_->seek(0);
        stream_->read(all.data(), all.size());
        return all;
    }

  private:
    std::unique_ptr<File>& stream_;
    const std::string& spillPath_;
};

void StoreMail(TMyNameUser& sender, RelayPackage& package, const Recipient& recipient, bool last) {
    TMyNameUser& user = *recipient.user;
    std::unique_ptr<File> inbox = OpenFileRetrying(InboxPath(user), OpenMode::ReadWrite);
    if (!inbox) return;
    // The package file is in place before its entry appears, and the inbox stays open (opens are
    // exclusive) until both are written, so a running mail delivery never meets a half-stored mail.
    // Each is on the disk before the next step, so that neither a power loss nor the user, once
    // told, finds an entry without its package or loses a mail it was told of.
    const std::string fileName = StoredFileName(recipient.position);
    package.storeAs(JoinPath(Config.pop3Dir, fileName), last);
    const std::vector<std::uint8_t> entry = BuildInboxEntry(sender.name, sender.host, fileName);
    inbox->seek(inbox->size());
    inbox->write(entry.data(), entry.size());
    inbox->sync();
    inbox.reset();
    Counters.mailStored += 1;
    if (user.online) {
        const std::vector<std::uint8_t> notice = BuildMailWaitingNotice();
        SendPackage(user, notice.data(), notice.size(), user.host, 2);
    }
}

void DeliverMail(TMyNameUser& sender, RelayPackage& package,
                 const std::vector<Recipient>& recipients) {
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        StoreMail(sender, package, recipients[i], i + 1 == recipients.size());
    }
}

// Forwards a package held in memory to every connected recipient but its originator. Spilled
// packages are not forwarded.
void DeliverDirect(RelayPackage& package, const std::uint8_t* header,
                   const std::vector<Recipient>& recipients) {
    if (package.spilled()) return;
    const std::string originator =
        ReadShortString(header + relay::kOriginator, kShortStringCapacity);
    const std::vector<std::uint8_t> bytes = package.bytes();
    for (const Recipient& recipient : recipients) {
        TMyNameUser& user = *recipient.user;
        if (!user.online || user.name == originator) continue;
        SendPackage(user, bytes.data(), bytes.size(), user.host, 2);
        Counters.directForwarded += 1;
    }
}

}  // namespace

void HandleRelayPackage(TMyNameUser& sender, std::unique_ptr<File>& package,
                        const std::string& spillPath) {
    try {
        std::uint8_t header[kRelayHeaderSize];
        package->seek(0);
        package->read(header, sizeof header);
        const int kind = DeliveryKind(header);
        const std::string list = ReadRecipientList(*package, header);
        if (list.empty()) {
            WriteLog(Msg(msgBadRecipient));
            return;
        }
        const std::vector<Recipient> recipients = ResolveRecipients(SplitRecipients(list));
        RelayPackage relayPackage(package, spillPath);
        if (kind == kMailKind) {
            DeliverMail(sender, relayPackage, recipients);
        } else {
            DeliverDirect(relayPackage, header, recipients);
        }
    } catch (const std::exception&) {
        WriteLog(Msg(msgRequestError) + sender.host);
    }
}

}  // namespace merivo
