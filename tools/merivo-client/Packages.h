#pragma once
// Reading the packages the server sends, and one line of text for each.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/UnDBType_Packages.h"

namespace merivo::cli {

using Package = std::vector<std::uint8_t>;

constexpr std::int32_t kAnswerCode = 2000;
constexpr std::int32_t kUndoCode = 3000;
constexpr std::int32_t kNotStoredCode = 7000;
constexpr std::int32_t kRowIdNoticeCode = 52;
constexpr std::int32_t kCopyCode = 50;
constexpr std::int32_t kServiceCode = 1000;
constexpr std::size_t kFileNameField = 256;  // body of a file message: name, then content

// The int32 at offset, or 0 when the package ends before it.
std::int32_t Word(const Package& p, std::size_t offset);
std::string Utf8(const std::string& cp1251);

struct RelayView {
    std::string recipients;
    std::string originator;
    std::size_t bodyOffset = kRelayHeaderSize;
    bool direct = false;
};
// The header of a relay package; nullopt when the package is too short for it.
std::optional<RelayView> ReadRelay(const Package& p);

// The file carried by a relay package sent by this tool: its name and its content.
struct CarriedFile {
    std::string name;
    std::vector<std::uint8_t> content;
};
std::optional<CarriedFile> ReadCarriedFile(const Package& p, const RelayView& relay);

// One line for any package the server sends.
std::string DescribePackage(const Package& p);
// A day record on standard output: date, title, memo, the rows and lines that hold something.
void PrintDay(const std::uint8_t* record);

}  // namespace merivo::cli
