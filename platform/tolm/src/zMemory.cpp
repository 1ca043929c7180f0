#include "tolm/zMemory.h"

#include <cstring>

void zCopyMemory(const void* source, void* destination, size_t count) {
  if (!source || !destination || count == 0) return;
  std::memcpy(destination, source, count);
}

void zZeroMemory(void* destination, size_t count) {
  if (!destination || count == 0) return;
  std::memset(destination, 0, count);
}

int zCopyImage(const void* source, int32_t sourceRowBytes, void* destination, int32_t destinationRowBytes,
               int32_t bytesPerRow, int32_t rows) {
  if (!source || !destination || rows <= 0 || bytesPerRow <= 0) return 0;
  if (sourceRowBytes < bytesPerRow || destinationRowBytes < bytesPerRow) return 0;
  const auto* from = static_cast<const unsigned char*>(source);
  auto* to = static_cast<unsigned char*>(destination);
  if (sourceRowBytes == bytesPerRow && destinationRowBytes == bytesPerRow) {
    // Both images are tight: one block.
    std::memcpy(to, from, static_cast<size_t>(bytesPerRow) * static_cast<size_t>(rows));
    return 1;
  }
  // Offsets in 64 bits: rows * rowBytes may exceed the int32 range.
  for (int64_t row = 0; row < rows; ++row) {
    std::memcpy(to + row * static_cast<int64_t>(destinationRowBytes), from + row * static_cast<int64_t>(sourceRowBytes),
                static_cast<size_t>(bytesPerRow));
  }
  return 1;
}
