#pragma once
#include "buffers/kaGPUAccessibleBuffer.h"
#include "foundation/kaFoundation.h"

// The class of every buffer that the buffer group's recycling cache makes:
// a GPU-accessible buffer whose pixels are its own `storage` in ordinary
// memory. Mapping gives the storage's address and the record's bytes per row,
// read at each call. Made only by the cache's factory; destroyed by its last
// Release (or kept by the cache for reuse). No lock: callers order readers
// and writers.
class KASP2_EXPORT _kaCachedBuffer final : public kaGPUAccessibleBuffer {
 public:
  _kaCachedBuffer();

  // { GetStorage(), BytesPerRow() } whatever the flags; a null data pointer
  // while no storage is allocated.
  Mapping Map(MapFlags flags) override;
  // Nothing to undo.
  void Unmap() override;

 protected:
  ~_kaCachedBuffer() override;
};
