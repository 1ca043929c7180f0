#include "tolm/zBuffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Cache-line alignment, which also satisfies every vector instruction set the
// pixel loops use.
constexpr size_t kAlignmentBytes = 64;

unsigned char* AllocateZeroed(uint32_t size) {
  void* block = nullptr;
  if (posix_memalign(&block, kAlignmentBytes, size) != 0) return nullptr;
  std::memset(block, 0, size);
  return static_cast<unsigned char*>(block);
}

}  // namespace

zBuffer::zBuffer(int64_t size, int mode) {
  if (size > 0) ResizeTo(size, mode);
}

zBuffer::~zBuffer() { std::free(data_); }

int32_t zBuffer::ResizeTo(int64_t size, int mode) {
  if (size < 0 || size > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) return -1;
  const uint32_t newSize = static_cast<uint32_t>(size);
  if (newSize == 0) {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    return 0;
  }
  const bool keep = mode == kResizeKeepContents;
  if (newSize == size_) {
    // Same size: the storage is reused; discarding means zero-filled.
    if (!keep) std::memset(data_, 0, size_);
    return 0;
  }
  unsigned char* fresh = AllocateZeroed(newSize);
  if (!fresh) return -1;
  if (keep && data_) std::memcpy(fresh, data_, newSize < size_ ? newSize : size_);
  std::free(data_);
  data_ = fresh;
  size_ = newSize;
  return 0;
}
