#include "load/FrameReader.h"

#include <algorithm>
#include <cstring>

#include "db/UnDBType.h"

namespace merivo::bench {

std::int32_t Frame::code() const {
    return ReadInt32(head);
}

std::int32_t Frame::subcode() const {
    return ReadInt32(head + 4);
}

bool FrameReader::feed(const std::uint8_t* data, std::size_t size,
                       const std::function<void(const Frame&)>& onFrame) {
    while (size > 0) {
        if (headerHave_ < 4) {
            const std::size_t take = std::min(size, 4 - headerHave_);
            std::memcpy(header_ + headerHave_, data, take);
            headerHave_ += take;
            data += take;
            size -= take;
            if (headerHave_ < 4) return true;
            const std::int32_t length = ReadInt32(header_);
            if (length < 0 || static_cast<std::size_t>(length) > kMaxLength) return false;
            frame_ = Frame();
            frame_.length = static_cast<std::size_t>(length);
            remaining_ = frame_.length;
        }
        const std::size_t take = std::min(size, remaining_);
        const std::size_t have = frame_.length - remaining_;
        if (have < sizeof frame_.head) {
            std::memcpy(frame_.head + have, data, std::min(take, sizeof frame_.head - have));
        }
        data += take;
        size -= take;
        remaining_ -= take;
        if (remaining_ == 0) {
            headerHave_ = 0;
            onFrame(frame_);
        }
    }
    return true;
}

}  // namespace merivo::bench
