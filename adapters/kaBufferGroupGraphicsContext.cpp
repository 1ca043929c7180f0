#include "adapters/kaBufferGroupGraphicsContext.h"

#include <new>

#include "buffers/kaBuffer2.h"

using Corvane::Vel::CGraphicsBuffer;
using Corvane::Vel::CGraphicsSurface;
using Corvane::Vel::CVideoProperties;
using Corvane::Vel::Result;
using Corvane::Vel::ResultError;
using Corvane::Vel::ResultNotImplemented;
using Corvane::Vel::ResultOK;

kaBufferGroupGraphicsContext* kaBufferGroupGraphicsContext::Create(kaBufferGroup2* group) noexcept {
  if (group == nullptr) return nullptr;
  return new (std::nothrow) kaBufferGroupGraphicsContext(*group);
}

kaBufferGroupGraphicsContext::kaBufferGroupGraphicsContext(kaBufferGroup2& source) noexcept
    : CGraphicsContext(kType), group(kaRef<kaBufferGroup2>::Retain(&source)) {}

kaBufferGroupGraphicsContext::~kaBufferGroupGraphicsContext() = default;

bool kaBufferGroupGraphicsContext::IsType(uint32_t code) const noexcept {
  return code == kType || CGraphicsContext::IsType(code);
}

Result kaBufferGroupGraphicsContext::CreateBuffer(int, CGraphicsBuffer*&) noexcept { return ResultNotImplemented; }

Result kaBufferGroupGraphicsContext::CreateSurface(const CVideoProperties* properties,
                                                   CGraphicsSurface*& surface) noexcept {
  veMediaRecord format;
  if (VideoPropertiesToMediaRecord(properties, format) != 0) return ResultError;

  kaBuffer2* allocated = nullptr;
  const int32_t status = group->allocate_buffer(format, -1, 1, 0, &allocated);
  // Owns the allocation's reference from here on, whatever happens next:
  // the surface takes its own.
  const kaRef<kaBuffer2> buffer = kaRef<kaBuffer2>::Adopt(allocated);
  if (status != 0 || !buffer) return ResultError;

  if (!buffer->WrapInVelGraphicsSurface(surface)) return ResultError;
  return ResultOK;
}
