#pragma once
#include <cstdint>

#include "Vel/CGraphicsBuffer.h"
#include "Vel/CGraphicsSurface.h"
#include "Vel/CObject.h"
#include "Vel/CVideoProperties.h"
#include "Vel/Result.h"

namespace Corvane::Vel {

// The allocator that graphics components ask for new surfaces and buffers.
// A context decides where their memory comes from; this base can make
// neither. Callable from one thread at a time unless a subclass says more.
class VEL_EXPORT CGraphicsContext : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("gctx");

  bool IsType(uint32_t code) const noexcept override;

  // A graphics buffer of `length` bytes. On success `buffer` receives a new
  // object with one reference for the caller (any pointer it held is
  // overwritten, not released). Here: ResultNotImplemented, `buffer` untouched.
  virtual Result CreateBuffer(int length, CGraphicsBuffer*& buffer) noexcept;
  // A surface for the image `properties` describe. Same out-parameter rule as
  // CreateBuffer. Here: ResultNotImplemented, `surface` untouched.
  virtual Result CreateSurface(const CVideoProperties* properties, CGraphicsSurface*& surface) noexcept;

 protected:
  explicit CGraphicsContext(uint32_t typeCode = kType) noexcept;
  ~CGraphicsContext() override;
};

}  // namespace Corvane::Vel
