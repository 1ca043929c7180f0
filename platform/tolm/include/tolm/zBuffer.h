#pragma once
#include <cstdint>

#include "tolm/tolmExport.h"

// A block of bytes that the object owns: a data pointer and a 32-bit size.
// Storage is 64-byte aligned and zero-filled when allocated. Not thread-safe.
class TOLM_EXPORT zBuffer {
 public:
  // Resize modes: keep the leading bytes across a resize, or not.
  static constexpr int kResizeKeepContents = 1;
  static constexpr int kResizeDiscardContents = 2;

  // zBuffer(0, 0) is empty. A positive `size` allocates at once (the buffer
  // stays empty when that fails).
  zBuffer(int64_t size, int mode);
  zBuffer(const zBuffer&) = delete;
  zBuffer& operator=(const zBuffer&) = delete;
  ~zBuffer();

  // Makes the buffer hold exactly `size` bytes. Returns 0 on success. Returns
  // -1 and leaves the buffer as it was when `size` is negative, above
  // UINT32_MAX, or memory is short. Size 0 frees the storage. With
  // kResizeKeepContents (1) the leading bytes are kept and any new tail is
  // zero; with any other mode (kResizeDiscardContents, 2) the buffer ends up
  // all zero, its storage reused when the size does not change.
  int32_t ResizeTo(int64_t size, int mode);

  unsigned char* Data() { return data_; }
  const unsigned char* Data() const { return data_; }
  uint32_t Size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  uint32_t size_ = 0;
};
