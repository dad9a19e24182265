#include "db/UnDBType_Buffers.h"

#include <algorithm>
#include <iterator>

#include "platform/Locks.h"

namespace merivo {

namespace {

using Buffer = std::vector<std::uint8_t>;

class KeptBuffers {
  public:
    SharedBuffer take(std::size_t size) {
        std::unique_ptr<Buffer> buffer = takeFitting(size);
        buffer->resize(size);
        return {buffer.release(), [this](Buffer* used) { give(std::unique_ptr<Buffer>(used)); }};
    }

  private:
    // Kept at most: a few answers of seven days for each of several users.
    static constexpr std::size_t kKeptBytes = 16u << 20;

    // The kept buffer released last that holds `size` bytes without growing (the likeliest to be
    // in the processor's cache still), else any kept one, else a new one.
    std::unique_ptr<Buffer> takeFitting(std::size_t size) {
        MutexLock guard(mutex_);
        if (kept_.empty()) return std::make_unique<Buffer>();
        auto fits = std::find_if(kept_.rbegin(), kept_.rend(),
                                 [size](const auto& kept) { return kept->capacity() >= size; });
        if (fits == kept_.rend()) fits = kept_.rbegin();
        std::unique_ptr<Buffer> buffer = std::move(*fits);
        kept_.erase(std::next(fits).base());
        keptBytes_ -= buffer->capacity();
        return buffer;
    }

    void give(std::unique_ptr<Buffer> buffer) {
        MutexLock guard(mutex_);
        if (keptBytes_ + buffer->capacity() > kKeptBytes) return;
        keptBytes_ += buffer->capacity();
        kept_.push_back(std::move(buffer));
    }

    Mutex mutex_ LEAF_LOCK;
    std::vector<std::unique_ptr<Buffer>> kept_ GUARDED_BY(mutex_);
    std::size_t keptBytes_ GUARDED_BY(mutex_) = 0;
};

// Never destroyed: a send thread may release its buffer while the program ends.
KeptBuffers& Kept() {
    static KeptBuffers* kept = new KeptBuffers;
    return *kept;
}

}  // namespace

SharedBuffer KeptBuffer(std::size_t size) {
    return Kept().take(size);
}

SharedBuffer KeptCopy(const std::uint8_t* data, std::size_t size) {
    SharedBuffer buffer = KeptBuffer(size);
    std::copy(data, data + size, buffer->begin());
    return buffer;
}

}  // namespace merivo
