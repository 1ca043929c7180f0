#include "Vel/CGraphicsBuffer.h"

namespace Corvane::Vel {

CGraphicsBuffer::CGraphicsBuffer(uint32_t typeCode) noexcept : CObject(typeCode) {}

CGraphicsBuffer::~CGraphicsBuffer() = default;

bool CGraphicsBuffer::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

}  // namespace Corvane::Vel
