#pragma once
#include <cstdint>
#include <memory>

#include "Vel/CGraphicsSurface.h"
#include "buffers/kaBuffer2.h"
#include "foundation/kaFoundation.h"

// A library buffer presented to the media framework as a graphics surface,
// without copying: it holds one reference to the buffer for as long as the
// framework holds the surface. Lock points the surface at the buffer's own
// storage (no GPU mapping). One framework thread uses it at a time.
class KASP2_EXPORT kaBufferGraphicsSurface final : public Corvane::Vel::CGraphicsSurface {
 public:
  static constexpr uint32_t kType = zFourCC("kBgs");

  // A new surface over `buffer` with one framework reference for the caller,
  // holding a reference to the buffer. Null, and nothing changed, for a null
  // buffer or when the framework's pool is exhausted.
  static kaBufferGraphicsSurface* Create(kaBuffer2* buffer) noexcept;

  // True for kType; any other code is answered as a plain framework object
  // (CObject), not as the surface base.
  bool IsType(uint32_t code) const noexcept override;
  // The buffer's width and height.
  Corvane::Vel::Dimensions GetSize() const noexcept override;
  // Sets data to the buffer's storage, length to StorageSize() (saturated at
  // INT32_MAX) and stride to the record's bytes per row. Always ResultOK,
  // also while no storage is allocated (data null, length 0).
  Corvane::Vel::Result Lock() noexcept override;
  // Nothing: the values Lock stored stay.
  void Unlock() noexcept override;

 private:
  explicit kaBufferGraphicsSurface(kaBuffer2& buffer) noexcept;
  ~kaBufferGraphicsSurface() override;

  const kaRef<kaBuffer2> buffer;
};
