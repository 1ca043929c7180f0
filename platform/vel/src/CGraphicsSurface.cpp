#include "Vel/CGraphicsSurface.h"

namespace Corvane::Vel {

CGraphicsSurface::CGraphicsSurface(uint32_t typeCode) noexcept : CObject(typeCode) {}

CGraphicsSurface::~CGraphicsSurface() = default;

bool CGraphicsSurface::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

Dimensions CGraphicsSurface::GetSize() const noexcept { return {}; }

Result CGraphicsSurface::Lock() noexcept { return ResultNotImplemented; }

void CGraphicsSurface::Unlock() noexcept {}

}  // namespace Corvane::Vel
