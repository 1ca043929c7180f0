#pragma once
#include <cstdint>
#include <memory>

#include "Vel/CGraphicsContext.h"
#include "buffers/kaBufferGroup2.h"
#include "foundation/kaFoundation.h"

// A buffer group presented to the media framework as its graphics context:
// a surface the framework asks for is a buffer from the group (through its
// recycling cache) wrapped as a kaBufferGraphicsSurface, and goes back to the
// cache when the framework releases the surface. Holds one reference to the
// group for as long as the framework holds the context. Any thread may ask
// for surfaces; the group guards its own allocation.
class KASP2_EXPORT kaBufferGroupGraphicsContext final : public Corvane::Vel::CGraphicsContext {
 public:
  static constexpr uint32_t kType = zFourCC("kBgc");

  // A new context over `group` with one framework reference for the caller,
  // holding a reference to the group. Null, and nothing changed, for a null
  // group or when the framework's pool is exhausted.
  static kaBufferGroupGraphicsContext* Create(kaBufferGroup2* group) noexcept;

  // True for kType; any other code is the graphics-context base's answer.
  bool IsType(uint32_t code) const noexcept override;
  // Graphics buffers are not offered: ResultNotImplemented, `buffer` untouched.
  Corvane::Vel::Result CreateBuffer(int length, Corvane::Vel::CGraphicsBuffer*& buffer) noexcept override;
  // Stores in `surface` a new surface over one frame from the group for the
  // image `properties` describe (one reference for the caller; a pointer it
  // held is overwritten, not released) and returns ResultOK. The surface
  // alone keeps the buffer out of the cache.
  // Returns ResultError, `surface` untouched, for null properties or when no
  // buffer or surface can be made.
  Corvane::Vel::Result CreateSurface(const Corvane::Vel::CVideoProperties* properties,
                                     Corvane::Vel::CGraphicsSurface*& surface) noexcept override;

 private:
  explicit kaBufferGroupGraphicsContext(kaBufferGroup2& group) noexcept;
  ~kaBufferGroupGraphicsContext() override;

  const kaRef<kaBufferGroup2> group;
};
