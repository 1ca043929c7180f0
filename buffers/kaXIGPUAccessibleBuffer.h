#pragma once
#include <cstdint>

#include "foundation/kaFoundation.h"

// Interface of a video buffer whose pixels other components may read or
// write without knowing where they are stored: map, use the bytes, unmap.
// Asked for by the name "kaXIGPUAccessibleBuffer". AddRef and Release act on
// the buffer's one count. A mapping is valid until Unmap and only while the
// caller holds a reference; readers and writers of one buffer are ordered by
// their callers (no lock).
class KASP2_EXPORT kaXIGPUAccessibleBuffer : public xIUnknown {
 public:
  // What the caller means to do with the mapping. Implementations in this
  // library map the same bytes whatever the flags say.
  enum MapFlags : int32_t {
    kMapForReading = 0,    // copies out of the image, read-only locks
    kMapForWriting = 1,    // filling a new buffer
    kMapForReadWrite = 2,  // other locks of the media-framework adapters
  };

  // The first pixel of the first row and the bytes from one row to the next.
  // A null `data` or `rowBytes` below 1 is a failed mapping.
  struct Mapping {
    unsigned char* data = nullptr;
    int32_t rowBytes = 0;
  };

  virtual Mapping Map(MapFlags flags) = 0;
  virtual void Unmap() = 0;

 protected:
  ~kaXIGPUAccessibleBuffer() override = default;
};
