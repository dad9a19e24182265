#pragma once
// Splits a byte stream into frames (a 4-byte little-endian length, then the payload) without
// keeping the payloads: a load run needs only each package's first words and its length.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace merivo::bench {

struct Frame {
    std::size_t length = 0;      // payload bytes
    std::uint8_t head[12] = {};  // the first payload bytes (zero beyond the payload)

    std::int32_t code() const;     // the first int32
    std::int32_t subcode() const;  // the second int32
};

class FrameReader {
  public:
    static constexpr std::size_t kMaxLength = 64u << 20;

    // Consumes the bytes; calls onFrame for every frame they complete. False when a header
    // announces a negative length or one above kMaxLength (the stream cannot be followed).
    bool feed(const std::uint8_t* data, std::size_t size,
              const std::function<void(const Frame&)>& onFrame);

  private:
    std::uint8_t header_[4] = {};
    std::size_t headerHave_ = 0;
    std::size_t remaining_ = 0;  // payload bytes still to come
    Frame frame_;
};

}  // namespace merivo::bench
