#include "adapters/kaBufferGraphicsSurface.h"

#include <algorithm>
#include <limits>
#include <new>

using Corvane::Vel::CObject;
using Corvane::Vel::Dimensions;
using Corvane::Vel::Result;
using Corvane::Vel::ResultOK;

kaBufferGraphicsSurface* kaBufferGraphicsSurface::Create(kaBuffer2* buffer) noexcept {
  if (buffer == nullptr) return nullptr;
  return new (std::nothrow) kaBufferGraphicsSurface(*buffer);
}

kaBufferGraphicsSurface::kaBufferGraphicsSurface(kaBuffer2& source) noexcept
    : CGraphicsSurface(kType), buffer(kaRef<kaBuffer2>::Retain(&source)) {}

kaBufferGraphicsSurface::~kaBufferGraphicsSurface() = default;

bool kaBufferGraphicsSurface::IsType(uint32_t code) const noexcept {
  // Deliberately past the surface base: framework code that looks for its
  // own surface class must not take this one for it.
  return code == kType || CObject::IsType(code);
}

Dimensions kaBufferGraphicsSurface::GetSize() const noexcept { return {buffer->Width(), buffer->Height()}; }

Result kaBufferGraphicsSurface::Lock() noexcept {
  constexpr uint32_t kMaxLength = std::numeric_limits<int32_t>::max();
  data_ = buffer->GetStorage();
  length_ = static_cast<int32_t>(std::min(buffer->StorageSize(), kMaxLength));
  stride_ = buffer->BytesPerRow();
  return ResultOK;
}

void kaBufferGraphicsSurface::Unlock() noexcept {}
