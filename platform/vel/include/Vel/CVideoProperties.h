#pragma once
#include <cstdint>

#include "Vel/CObject.h"
#include "Vel/Result.h"

namespace Corvane::Vel {

// The fields of an image description, as plain data (0 = not set).
struct VideoDescription {
  int32_t width = 0;        // pixels
  int32_t height = 0;       // rows
  uint32_t pixelFormat = 0; // four-character raster type ('2vuy', 'I420', ...)
  int32_t bytesPerRow = 0;  // 0: rows are tight, the consumer computes them
};

// Description of an image, given to a graphics context to ask for a surface.
// Made empty (every field 0); each setter checks its value. Not thread-safe;
// a context reads it during the call and keeps nothing.
class VEL_EXPORT CVideoProperties : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("cvdp");
  // Largest width or height taken, in pixels: beyond any frame the framework
  // handles, and small enough that width × 8 bytes cannot overflow 32 bits.
  static constexpr int32_t kMaxDimension = 32768;

  explicit CVideoProperties(uint32_t typeCode = kType) noexcept;
  bool IsType(uint32_t code) const noexcept override;

  // Each setter returns ResultOK and stores the value, or ResultError and
  // leaves the field as it was when the value is out of range: width and
  // height 1...kMaxDimension, bytes per row 0 or more. Any pixel format code
  // is stored; the consumer decides whether it can use it.
  Result SetWidth(int32_t width) noexcept;
  Result SetHeight(int32_t height) noexcept;
  Result SetPixelFormat(uint32_t code) noexcept;
  Result SetBytesPerRow(int32_t bytes) noexcept;

  int32_t GetWidth() const noexcept { return description_.width; }
  int32_t GetHeight() const noexcept { return description_.height; }
  uint32_t GetPixelFormat() const noexcept { return description_.pixelFormat; }
  int32_t GetBytesPerRow() const noexcept { return description_.bytesPerRow; }
  const VideoDescription& GetDescription() const noexcept { return description_; }

 protected:
  ~CVideoProperties() override;

 private:
  VideoDescription description_;
};

}  // namespace Corvane::Vel
