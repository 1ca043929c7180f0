#pragma once
#include <cstdint>

#include "buffers/kaBuffer2.h"
#include "buffers/kaXIGPUAccessibleBuffer.h"
#include "buffers/kaXIVideoBuffer.h"
#include "foundation/kaFoundation.h"

// A video buffer that other components map or copy out of without knowing
// where its pixels live: a kaBuffer2 that also answers "kaXIGPUAccessibleBuffer"
// and "kaXIVideoBuffer", all sharing one reference count. Subclasses map
// (_kaCachedBuffer maps its own storage). No lock: callers order readers and
// writers of one buffer.
class KASP2_EXPORT kaGPUAccessibleBuffer : public kaBuffer2,
                                           public kaXIGPUAccessibleBuffer,
                                           public kaXIVideoBuffer {
 public:
  kaGPUAccessibleBuffer();

  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // Clips the rectangle (x, y, width, height) to the image in place, so the
  // caller learns what was copied, copies it out as packed rows of width ×
  // bytes per pixel into `destination`, and returns `destination`.
  // Returns null, changing nothing, for a null `destination`.
  // Returns null, with only negative x and y clipped, when the rectangle
  // starts right of or below the image.
  // Returns `destination` holding one pixel of 0xFF bytes when the image cannot be mapped.
  // Returns `destination` with nothing copied when the clipped rectangle is
  // empty or the rows would leave the mapped image.
  char* CopySubImage(char* destination, int& x, int& y, int& width, int& height) override;
  // "kaXIGPUAccessibleBuffer" and "kaXIVideoBuffer" give that interface
  // with one reference added and 0 (a null `out` gets 0 and no reference);
  // other names, and null, get the foundation's answer.
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

 protected:
  ~kaGPUAccessibleBuffer() override;
};
