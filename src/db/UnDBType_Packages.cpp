#include "db/UnDBType_Packages.h"

#include <algorithm>

namespace merivo {

namespace {

constexpr std::size_t kEntryOnline = 0;
constexpr std::size_t kEntryName = 4;
constexpr std::size_t kEntryHost = 55;
constexpr int kEntryNameCapacity = 50;
constexpr int kEntryHostCapacity = 30;

constexpr std::size_t kInboxFirstWord = 0;
constexpr std::size_t kInboxSecondWord = 4;
constexpr std::size_t kInboxSenderName = 8;
constexpr std::size_t kInboxSenderHost = 59;
constexpr std::size_t kInboxPackageFile = 90;
constexpr int kInboxNameCapacity = 50;
constexpr int kInboxHostCapacity = 30;
constexpr int kInboxFileCapacity = 30;

std::vector<std::uint8_t> Int32Package(std::int32_t value) {
    std::vector<std::uint8_t> bytes(4);
    WriteInt32(bytes.data(), value);
    return bytes;
}

// The user's entry in the image, or nullptr when its slot lies outside the image.
std::uint8_t* EntryOf(const TMyNameUser& user) {
    const std::int32_t slot = user.userListSlot;
    if (slot < 4 || static_cast<std::size_t>(slot) + kUserListEntrySize > UserListImage.size())
        return nullptr;
    return UserListImage.data() + slot;
}

}  // namespace

std::vector<std::uint8_t> UserListImage = Int32Package(kUserListCode);

void ResetUserListImage() {
    UserListImage = Int32Package(kUserListCode);
}

std::int32_t AppendUserListEntry(const std::string& name, const std::string& host) {
    const std::size_t slot = UserListImage.size();
    UserListImage.resize(slot + kUserListEntrySize, 0);
    std::uint8_t* entry = UserListImage.data() + slot;
    WriteInt32(entry + kEntryOnline, 0);
    WriteShortString(entry + kEntryName, kEntryNameCapacity, name);
    WriteShortString(entry + kEntryHost, kEntryHostCapacity, host);
    return static_cast<std::int32_t>(slot);
}

void SetUserListOnline(const TMyNameUser& user, bool online) {
    if (std::uint8_t* entry = EntryOf(user)) WriteInt32(entry + kEntryOnline, online ? 1 : 0);
}

std::vector<std::uint8_t> BuildUserListNotice(const TMyNameUser& user) {
    std::vector<std::uint8_t> notice(kUserListNoticeSize, 0);
    WriteInt32(notice.data(), kNoticeCode);
    WriteInt32(notice.data() + 4, kUserListNoticeSubcode);
    if (const std::uint8_t* entry = EntryOf(user))
        std::copy_n(entry, kUserListEntrySize, notice.begin() + 8);
    return notice;
}

std::vector<std::uint8_t> BuildMailWaitingNotice() {
    return Int32Package(kMailWaitingCode);
}

std::vector<std::uint8_t> BuildInboxEntry(const std::string& senderName,
                                          const std::string& senderHost,
                                          const std::string& packageFile) {
    std::vector<std::uint8_t> entry(kInboxEntrySize, 0);
    WriteInt32(entry.data() + kInboxFirstWord, 1);
    WriteInt32(entry.data() + kInboxSecondWord, 0);
    WriteShortString(entry.data() + kInboxSenderName, kInboxNameCapacity, senderName);
    WriteShortString(entry.data() + kInboxSenderHost, kInboxHostCapacity, senderHost);
    WriteShortString(entry.data() + kInboxPackageFile, kInboxFileCapacity, packageFile);
    return entry;
}

std::string InboxEntryPackageFile(const std::uint8_t* entry) {
    return ReadShortString(entry + kInboxPackageFile, kInboxFileCapacity);
}

}  // namespace merivo
