#pragma once
#include <cstdint>

namespace Corvane::Vel {

// Where the planes of an image lie in memory: up to four planes, each a
// pointer to its first row and the bytes from one of its rows to the next.
// Unused planes have a null pointer and a stride of 0; a value-initialised
// record (`SamplePlanes{}`) has no plane at all. The record borrows the
// memory: it is valid only as long as the object that filled it keeps the
// memory (for a pixel-data reference: while it lives and stays in the same
// lock state).
struct SamplePlanes {
  static constexpr int kMaxPlanes = 4;

  uint8_t* plane[kMaxPlanes] = {nullptr, nullptr, nullptr, nullptr};
  int32_t stride[kMaxPlanes] = {0, 0, 0, 0};

  // Planes in use: those before the first null pointer.
  int PlaneCount() const noexcept {
    int count = 0;
    while (count < kMaxPlanes && plane[count] != nullptr) ++count;
    return count;
  }
};

}  // namespace Corvane::Vel
