#pragma once
#include "foundation/kaFoundation.h"

// The live-delay interface of a video renderer, answered by name
// ("kaXIVideoLiveDelay") through the renderer's QueryInterface. Its
// QueryInterface, AddRef and Release act on the renderer object: the pointer
// carries a reference to the renderer, released with Release. Called from the
// host's threads.
class KASP2_EXPORT kaXIVideoLiveDelay : public xIUnknown {
 public:
  // Sets the live delay in seconds and drops the frames waiting in the delay
  // queue (the frame on screen stays).
  virtual void SetVideoDelay(double seconds) = 0;
  // The live delay in seconds.
  virtual double GetVideoDelay() const = 0;
  // Writes the format of the video that the delay applies to into `record`.
  virtual void GetVideoDelayFormat(veMediaRecord& record) = 0;

 protected:
  ~kaXIVideoLiveDelay() override = default;
};
