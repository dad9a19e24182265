#pragma once
// Package buffers that outlive the call that sends them: the send path holds a reference until
// the last receiver's piece has left, instead of copying the package. A released buffer is kept
// for the next package, so that a large one does not cost a page fault per page each time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace merivo {

using SharedBuffer = std::shared_ptr<std::vector<std::uint8_t>>;

// A buffer of `size` bytes whose contents are left from an earlier use (zero when new).
SharedBuffer KeptBuffer(std::size_t size);
// A buffer holding a copy of the bytes.
SharedBuffer KeptCopy(const std::uint8_t* data, std::size_t size);

}  // namespace merivo
