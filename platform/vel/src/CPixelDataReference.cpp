#include "Vel/CPixelDataReference.h"

#include <bit>

namespace Corvane::Vel {

CPixelDataReference::CPixelDataReference(uint32_t typeCode) noexcept : CObject(typeCode) {}

CPixelDataReference::~CPixelDataReference() = default;

bool CPixelDataReference::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

Result CPixelDataReference::Lock(int) noexcept { return ResultOK; }

void CPixelDataReference::Unlock() noexcept {}

int32_t CPixelDataReference::GetLength() const noexcept { return 0; }

uint8_t* CPixelDataReference::GetData() const noexcept { return nullptr; }

SamplePlanes CPixelDataReference::GetSamplePlanes(unsigned int, bool) const noexcept {
  SamplePlanes planes;
  uint8_t* const data = GetData();
  if (data == nullptr) return planes;
  planes.plane[0] = data;
  planes.stride[0] = GetStride();
  return planes;
}

int32_t CPixelDataReference::GetStride() const noexcept { return 0; }

Dimensions CPixelDataReference::GetArea() const noexcept { return {}; }

Result CPixelDataReference::SetLength(int32_t) noexcept { return ResultNotSupported; }

CPixelDataReference::ByteOrder CPixelDataReference::GetByteOrder() const noexcept {
  return std::endian::native == std::endian::big ? ByteOrder::kBigEndian : ByteOrder::kLittleEndian;
}

}  // namespace Corvane::Vel
