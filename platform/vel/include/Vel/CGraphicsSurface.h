#pragma once
#include <cstdint>

#include "Vel/CObject.h"
#include "Vel/Dimensions.h"
#include "Vel/Result.h"

namespace Corvane::Vel {

// An image that graphics components draw into or read from. While locked,
// the surface's bytes are reachable through GetData (GetLength bytes, rows
// GetStride bytes apart); a subclass's Lock fills the three protected members
// that these getters return. This base has no image of its own: its Lock
// fails. One thread uses a surface at a time; the caller keeps a reference
// while it uses the pointers it got.
class VEL_EXPORT CGraphicsSurface : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("gsrf");

  bool IsType(uint32_t code) const noexcept override;

  // Width and height in pixels. Here: 0 × 0.
  virtual Dimensions GetSize() const noexcept;
  // Makes the bytes reachable and fills data, length and stride. Here:
  // ResultNotImplemented, and the three stay as they were (null, 0, 0 for a
  // surface never locked).
  virtual Result Lock() noexcept;
  // Ends a Lock. Here: nothing.
  virtual void Unlock() noexcept;

  // What the last successful Lock stored; null and 0 before any.
  uint8_t* GetData() const noexcept { return data_; }
  int32_t GetLength() const noexcept { return length_; }
  int32_t GetStride() const noexcept { return stride_; }

 protected:
  explicit CGraphicsSurface(uint32_t typeCode = kType) noexcept;
  ~CGraphicsSurface() override;

  // Written by a subclass's Lock; the surface does not own the bytes.
  uint8_t* data_ = nullptr;
  int32_t length_ = 0;
  int32_t stride_ = 0;
};

}  // namespace Corvane::Vel
