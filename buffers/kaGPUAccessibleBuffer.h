#pragma once
#include <cstdint>

#include "buffers/kaBuffer2.h"
#include "buffers/kaXIGPUAccessibleBuffer.h"
#include "buffers/kaXIVideoBuffer.h"
#include "foundation/kaFoundation.h"

// A video buffer that other components may map or copy out of without
// knowing where its pixels live: a kaBuffer2 that also answers the
// interfaces "kaXIGPUAccessibleBuffer" and "kaXIVideoBuffer". Every pointer
// to it, whichever interface, leads to the one reference count of its
// xCUnknown base. Mapping is left to subclasses (_kaCachedBuffer maps its own
// storage). No lock: callers order readers and writers of one buffer.
class KASP2_EXPORT kaGPUAccessibleBuffer : public kaBuffer2,
                                           public kaXIGPUAccessibleBuffer,
                                           public kaXIVideoBuffer {
 public:
  kaGPUAccessibleBuffer();

  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // Copies the rectangle (x, y, width, height) of the image out as packed
  // rows of width × P bytes (P = bits per pixel of the raster type / 8) and
  // clips the rectangle in place, so the caller learns what was copied:
  //  1. a negative x is added to width and becomes 0; likewise y and height;
  //  2. x ≥ width of the image or y ≥ its height: returns null (the changes
  //     of step 1 stay written);
  //  3. width and height are cut to the image's right and bottom edges;
  //  4. the image is mapped (through the kaXIGPUAccessibleBuffer table);
  //  5. a failed mapping writes P bytes of 0xFF to `destination` and returns
  //     it, without Unmap;
  //  6. otherwise the rows are copied, the image unmapped, and `destination`
  //     returned.
  // Sums are computed in 64 bits and saturate to the 32-bit range. Nothing
  // is copied (the result is still `destination`, after Unmap) when the
  // clipped width or height is not positive, P is 0, the mapped row bytes
  // are shorter than one clipped line (width × P), or the rows to read
  // would leave the mapped image: the buffer's own storage when the mapping
  // points into it, else height × row bytes of the mapping. A null
  // `destination` returns null and changes nothing.
  char* CopySubImage(char* destination, int& x, int& y, int& width, int& height) override;
  // Answers "kaXIGPUAccessibleBuffer" and "kaXIVideoBuffer" with those
  // sub-objects: 0 and one reference added, or, with a null `out`, 0 and no
  // reference. A null name and every other name get the foundation's answer.
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

 protected:
  ~kaGPUAccessibleBuffer() override;
};
