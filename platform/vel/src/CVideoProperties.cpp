#include "Vel/CVideoProperties.h"

namespace Corvane::Vel {

CVideoProperties::CVideoProperties(uint32_t typeCode) noexcept : CObject(typeCode) {}

CVideoProperties::~CVideoProperties() = default;

bool CVideoProperties::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

Result CVideoProperties::SetWidth(int32_t width) noexcept {
  if (width < 1 || width > kMaxDimension) return ResultError("width out of range");
  description_.width = width;
  return ResultOK;
}

Result CVideoProperties::SetHeight(int32_t height) noexcept {
  if (height < 1 || height > kMaxDimension) return ResultError("height out of range");
  description_.height = height;
  return ResultOK;
}

Result CVideoProperties::SetPixelFormat(uint32_t code) noexcept {
  description_.pixelFormat = code;
  return ResultOK;
}

Result CVideoProperties::SetBytesPerRow(int32_t bytes) noexcept {
  if (bytes < 0) return ResultError("bytes per row must not be negative");
  description_.bytesPerRow = bytes;
  return ResultOK;
}

}  // namespace Corvane::Vel
