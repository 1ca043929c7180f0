#pragma once
#include "foundation/kaFoundation.h"

// Interface of a video buffer that copies a clipped rectangle of its image
// out as packed rows. Asked for by the name "kaXIVideoBuffer". AddRef and
// Release act on the buffer's one count. Runs on the caller's thread without
// locking; the caller orders it against writers of the buffer.
class KASP2_EXPORT kaXIVideoBuffer : public xIUnknown {
 public:
  // Clips the rectangle (x, y, width, height) to the image in place and
  // copies it into `destination`, which holds height × width × bytes per
  // pixel bytes. See kaGPUAccessibleBuffer for the results.
  virtual char* CopySubImage(char* destination, int& x, int& y, int& width, int& height) = 0;

 protected:
  ~kaXIVideoBuffer() override = default;
};
