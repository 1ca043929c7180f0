#pragma once
#include <cstdint>
#include <utility>

#include "Vel/CObject.h"
#include "Vel/RObject.h"

namespace Corvane::Vel {

// Access to the bytes of a media sample, as handed out by
// CMediaSample::GetLockedDataReference. It holds a reference to the sample,
// so the bytes stay valid while the reference lives (for a sample that
// refers to caller bytes, as long as the caller keeps those). A value type;
// use it on one thread. An empty reference has null data and length 0.
class CLockedDataReference {
 public:
  CLockedDataReference() noexcept = default;
  CLockedDataReference(RObject<CObject> owner, uint8_t* data, int32_t length) noexcept
      : owner_(std::move(owner)), data_(data), length_(length) {}

  uint8_t* GetData() const noexcept { return data_; }
  int32_t GetLength() const noexcept { return length_; }
  bool IsEmpty() const noexcept { return data_ == nullptr || length_ <= 0; }

 private:
  RObject<CObject> owner_;
  uint8_t* data_ = nullptr;
  int32_t length_ = 0;
};

}  // namespace Corvane::Vel
