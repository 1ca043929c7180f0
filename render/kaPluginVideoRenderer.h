#pragma once
#include <cstdint>
#include <string>

#include "buffers/kaBuffer2.h"
#include "foundation/kaFoundation.h"
#include "render/kaDelayedBufferQueue.h"
#include "render/kaPluginRenderer.h"
#include "render/kaRendererParams.h"
#include "render/kaXIVideoLiveDelay.h"

// The renderer of a source plug-in's video. The plug-in's delivery thread
// hands frames in (OnReceiveVideo); host threads cue it (CueVideo) for the
// latest frame, with a live delay the newest one due, or a blank frame while
// it has none. Holds a reference to the frame on screen and, in its delay
// queue, to the frames waiting. Abstract: the plug-in's subclass supplies
// RendererKind and leads the host's Cue to CueVideo. The host's callback runs
// outside every lock, and replaced frames are released after them. A host may
// read a frame it keeps while cues go on: a cue writes only its atomic
// dirtied time.
class KASP2_EXPORT kaPluginVideoRenderer : public kaPluginRenderer, public kaXIVideoLiveDelay {
 public:
  // Throws std::bad_alloc when a lock cannot be made.
  kaPluginVideoRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  // ---- xCUnknown / xIUnknown (both bases lead to the one count) ---------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  // Clears a non-null *out; "kaXIVideoLiveDelay" gives the interface with a
  // reference added and 0; every other name (and a null name) gives -1.
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

  // ---- kaRenderer2 / kaPluginRenderer ---------------------------------------------
  // Describes the output video whatever `type` says: size, the raster type
  // learned from frames ("rgba" until then) with tight rows, and the frame
  // rate ("tmsc", "dura", "mfps") once frames gave one. Returns 0.
  int32_t OutputFormat(veMediaType type, veMediaRecord& record, int32_t variant) override;
  // The shown frame's dirtied time (now when never stamped); -1 with none.
  int64_t CueTimestampForParameters(const ka_renderer_params& params) const override;
  // As in kaPluginRenderer, under formatLock.
  void SetOutputWidth(int32_t width) override;
  void SetOutputHeight(int32_t height) override;
  int32_t GetOutputWidth() override;
  int32_t GetOutputHeight() override;

  // ---- kaXIVideoLiveDelay -------------------------------------------------------
  // Clamped by kaLiveDelay (at most 10 s; NaN and negative mean none) and
  // kept in whole microseconds; waiting frames are dropped, the shown one stays.
  void SetVideoDelay(double seconds) override;
  double GetVideoDelay() const override;
  // The whole record of the frame on screen, or OutputFormat's with none.
  void GetVideoDelayFormat(veMediaRecord& record) override;

  // Bounds what waiting frames may hold (2 GiB unless set), so memory stays
  // bounded whatever the plug-in sends: beyond it the oldest are dropped and
  // counted.
  void SetMaxDelayedBytes(uint64_t bytes);
  uint64_t DelayedFramesDropped() const;

  // ---- plug-in side -------------------------------------------------------------
  // Takes a reference to `frame` (the plug-in keeps its own and must not
  // write the frame afterwards), gives it a display size when it has none,
  // and puts it on screen, or with a delay into the queue; then tells the
  // host's VideoReceived. On screen, the output size, raster type and frame
  // duration follow the frame and its "vidI" is set. Without a delay this
  // allocates nothing once the frame has held "vidI". A null frame is ignored.
  void OnReceiveVideo(kaBuffer2* frame);

  // ---- host side ----------------------------------------------------------------
  // Stores the frame for `params.cueTime` in *out, one reference for the
  // caller, and returns 0: the frame on screen after taking a due one from
  // the queue, or a blank one of OutputFormat (opaque black) made while there
  // is none. The first cue that shows a frame stamps it with the cue time.
  // Any number of host threads may cue; none sees a frame older than one shown.
  // Returns -1, nothing changed, for a null `out`.
  // Returns -1 with *out null when no blank frame can be made (next cue retries).
  int32_t CueVideo(kaBuffer2** out, const ka_renderer_params& params);

  // Drops the frame on screen and every waiting one; cues show blank frames
  // until a frame is delivered (or, with a delay, due).
  void FlushVideo();

 protected:
  ~kaPluginVideoRenderer() override;

  // Lock order: frameLock, then the delay queue's own lock, then formatLock.
  // A cue takes its frame from the queue under frameLock, so concurrent cues
  // put frames on screen in queue order and never step back in time.
  // Frames waiting out the live delay.
  kaDelayedBufferQueue<kaBuffer2> delayQueue;
  // Output size, raster type and frame duration.
  zCriticalPtr formatLock;
  // The frame on screen and the frame times.
  zCriticalPtr frameLock;
  // When currentFrame last changed or was flushed. It never repeats a value
  // (a change within the microsecond of the previous one is recorded a
  // microsecond later), so no change looks like none.
  int64_t frameChangedTime Z_GUARDED_BY(frameLock);
  // The frameChangedTime that the last cue acted on.
  int64_t frameStampedTime Z_GUARDED_BY(frameLock);
  // The frame on screen, or empty.
  kaRef<kaBuffer2> currentFrame Z_GUARDED_BY(frameLock);
  // Time scale and length of one frame; -1 until a frame's time range gives
  // them.
  int64_t frameDurationScale Z_GUARDED_BY(formatLock) = -1;
  int64_t frameDuration Z_GUARDED_BY(formatLock) = -1;

 private:
  // Moves frameChangedTime to now (at least one past any time it or
  // frameStampedTime held).
  void MarkFrameChangedLocked() Z_REQUIRES(frameLock);
  // Takes the frame duration from `frame`'s time range when both of its
  // scales are non-zero.
  void TakeFrameDurationLocked(const kaBuffer2& frame) Z_REQUIRES(formatLock);
  // Gives `frame` its width and height as display size when it has none.
  static void StampDisplaySize(kaBuffer2& frame);
};
