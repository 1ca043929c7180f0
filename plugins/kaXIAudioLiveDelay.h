#pragma once
#include <cstdint>

#include "foundation/kaFoundation.h"

// The live-delay and channel-selection interface of an audio renderer,
// answered by name ("kaXIAudioLiveDelay") through the renderer's
// QueryInterface. Its QueryInterface, AddRef and Release act on the renderer
// object: the pointer carries a reference to the renderer, released with
// Release. Called from the host's threads; every setting is a single store
// that the renderer's cue path picks up at its next cue.
class KASP2_EXPORT kaXIAudioLiveDelay : public xIUnknown {
 public:
  // The live delay in seconds: cued audio is read this much earlier.
  virtual void SetAudioDelay(double seconds) = 0;
  virtual double GetAudioDelay() const = 0;
  // Whether the renderer applies a live delay: always true.
  virtual bool IsUsingDelay() const { return true; }
  // Copied into every cued buffer as "input_channel_selection".
  virtual void SetInputChannelSelection(int selection) = 0;
  virtual int GetInputChannelSelection() const = 0;
  // Copied into every cued buffer as "rams".
  virtual void SetMonitorSelection(int selection) = 0;
  virtual int GetMonitorSelection() const = 0;
  // The channel-to-bus mapping quad of bus `bus` (0 ... 3); other buses are
  // ignored.
  virtual void SetBusMappingQuad(int bus, unsigned long long quad) = 0;

 protected:
  ~kaXIAudioLiveDelay() override = default;
};
