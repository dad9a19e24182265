#pragma once
// The package and file records shared by the transport and the database service. Each is built
// in exactly one place, here.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/UnDBType.h"

namespace merivo {

// ---- User list ------------------------------------------------------------------------------
constexpr std::int32_t kUserListCode = 5000;
constexpr std::size_t kUserListEntrySize = 86;  // online int32, name (50), host (30)
constexpr std::int32_t kNoticeCode = 2000;
constexpr std::int32_t kUserListNoticeSubcode = 3;
constexpr std::size_t kUserListNoticeSize = 94;
constexpr std::int32_t kMailWaitingCode = 6000;

// The user-list image: int32 5000, then one 86-byte entry per configured user.
extern std::vector<std::uint8_t> UserListImage;

void ResetUserListImage();  // just the leading 5000
// Appends the entry of a user (online 0); returns its byte offset (the user's slot).
std::int32_t AppendUserListEntry(const std::string& name, const std::string& host);
void SetUserListOnline(const TMyNameUser& user, bool online);
// int32 2000, int32 3, then the user's 86-byte entry.
std::vector<std::uint8_t> BuildUserListNotice(const TMyNameUser& user);
// The 4-byte package int32 6000.
std::vector<std::uint8_t> BuildMailWaitingNotice();

// ---- Request package (2,351 bytes; answers reuse it) ----------------------------------------
namespace request {
constexpr std::size_t kCode = 0;
constexpr std::size_t kSubcode = 4;
constexpr std::size_t kAux = 8;
constexpr std::size_t kDate = 12;
constexpr std::size_t kSourceDate = 20;
constexpr std::size_t kDayCount = 28;  // uint16
constexpr std::size_t kTag = 30;
constexpr std::size_t kSectionFlags = 31;  // five bytes
constexpr std::size_t kRowId = 36;
constexpr std::size_t kIdGiven = 40;
constexpr std::size_t kTime = 41;   // short string, capacity 5
constexpr std::size_t kText = 47;   // short string, capacity 255
constexpr std::size_t kMemo = 303;  // 2048 bytes
}  // namespace request

// ---- Relay package ---------------------------------------------------------------------------
constexpr std::int32_t kRelayCode = 4000;
constexpr std::size_t kRelayHeaderSize = 1056;
namespace relay {
constexpr std::size_t kDeliveryKind = 4;
constexpr std::size_t kRecipients = 32;  // short string, capacity 255
constexpr std::size_t kOriginator = 288;  // short string, capacity 255
}  // namespace relay
constexpr std::string_view kLongAddressMarker = "LONG@@ADDRESS";

// ---- Inbox entry (249 bytes, appended to a recipient's inbox index file) ----------------------
constexpr std::size_t kInboxEntrySize = 249;
std::vector<std::uint8_t> BuildInboxEntry(const std::string& senderName,
                                          const std::string& senderHost,
                                          const std::string& packageFile);
// The package file named in an entry.
std::string InboxEntryPackageFile(const std::uint8_t* entry);

}  // namespace merivo
