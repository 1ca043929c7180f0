#include "Vel/CGraphicsContext.h"

namespace Corvane::Vel {

CGraphicsContext::CGraphicsContext(uint32_t typeCode) noexcept : CObject(typeCode) {}

CGraphicsContext::~CGraphicsContext() = default;

bool CGraphicsContext::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

Result CGraphicsContext::CreateBuffer(int, CGraphicsBuffer*&) noexcept { return ResultNotImplemented; }

Result CGraphicsContext::CreateSurface(const CVideoProperties*, CGraphicsSurface*&) noexcept {
  return ResultNotImplemented;
}

}  // namespace Corvane::Vel
