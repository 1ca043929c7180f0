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
// passes frames in (OnReceiveVideo); host threads cue it (CueVideo) and get
// the latest frame, or with a live delay the newest frame that arrived at
// least the delay before the cue time, or a blank frame from the group while
// it has none. It holds one reference to the frame on screen and, through its
// delay queue, to the frames waiting out the delay. Abstract: the plug-in's
// subclass supplies RendererKind and leads the host's Cue to CueVideo.
//
// Locks: `frameLock` guards the frame on screen and the frame times;
// `formatLock` guards the output size, raster type and frame duration. Order:
// frameLock, then the delay queue's own lock, then formatLock. A cue takes
// its frame from the queue under frameLock, so cues from any number of host
// threads put frames on screen in the order the queue hands them out and
// never step back in time. The host's callback runs outside all of them, and
// replaced frames are released after the locks are left.
//
// A delivered frame's record is written only on the delivery thread, before
// the host or a cue can see the frame ("vidI", a missing display size); a cue
// writes nothing of a shown frame but its dirtied time, which is atomic. So a
// host may keep a frame and read it on its own thread while cues go on.
class KASP2_EXPORT kaPluginVideoRenderer : public kaPluginRenderer, public kaXIVideoLiveDelay {
 public:
  kaPluginVideoRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  // ---- xCUnknown / xIUnknown (both bases lead to the one count) ---------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  // Clears a non-null *out; "kaXIVideoLiveDelay" gives the interface with a
  // reference added and 0; every other name (and a null name) gives -1.
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

  // ---- kaRenderer2 / kaPluginRenderer ---------------------------------------------
  // Always describes video, whatever `type` says: type "vido", the output
  // width and height, "tmsc" = frame duration scale when known (> 0), and
  // then "dura" and "mfps" when the frame duration is known (> 0), raster
  // type = the one learned from frames ("rgba" until then), and the bytes per
  // row of that width and raster type. Returns 0.
  int32_t OutputFormat(veMediaType type, veMediaRecord& record, int32_t variant) override;
  // -1 while there is no frame on screen; else the frame's dirtied time, or
  // the current time when the frame was never stamped (negative).
  int64_t CueTimestampForParameters(const ka_renderer_params& params) const override;
  // As in kaPluginRenderer, under formatLock.
  void SetOutputWidth(int32_t width) override;
  void SetOutputHeight(int32_t height) override;
  int32_t GetOutputWidth() override;
  int32_t GetOutputHeight() override;

  // ---- kaXIVideoLiveDelay -------------------------------------------------------
  // Seconds × 1,000,000 truncated toward zero, then the queue is emptied (the
  // frame on screen stays). NaN and negative values mean no delay; values
  // above the live-delay ceiling (kaLiveDelay, 10 s) are held at it.
  void SetVideoDelay(double seconds) override;
  double GetVideoDelay() const override;
  // Under frameLock: a copy of the whole format of the frame on screen, or,
  // with none, what OutputFormat(vido) writes.
  void GetVideoDelayFormat(veMediaRecord& record) override;

  // The storage that frames waiting out the delay may hold (2 GiB unless set;
  // see kaDelayedBufferQueue): beyond it the oldest waiting frames are
  // dropped, so memory stays bounded whatever the plug-in sends. Frames
  // dropped so far are counted.
  void SetMaxDelayedBytes(uint64_t bytes);
  uint64_t DelayedFramesDropped() const;

  // ---- plug-in side -------------------------------------------------------------
  // A plug-in delivers `frame`; it keeps its own reference, and the renderer
  // takes one of its own. A frame without a display size gets its width and
  // height as one now. Without a delay the frame goes on screen at once: the
  // output size and raster type follow its record, its "vidI" is set true,
  // and its time range's duration becomes the frame duration when both of the
  // range's scales are non-zero. With a delay it waits in the queue (nothing
  // else changes now). Then the host's VideoReceived is called with a
  // producer that yields the frame. A null frame is ignored, with no call.
  // The plug-in must not write the frame once delivered. Without a delay this
  // allocates nothing once the frame's record has held "vidI" before.
  void OnReceiveVideo(kaBuffer2* frame);

  // ---- host side ----------------------------------------------------------------
  // Stores the frame for `params.cueTime` in *out with one reference for the
  // caller and returns 0. With a delay, a frame from the queue that is due
  // replaces the one on screen (its size, not its raster type, becomes the
  // output size). With no frame on screen (none yet, or after a flush) a
  // blank frame of the current OutputFormat is made by the group (opaque
  // black in "rgba") and stays on screen. The first cue that shows a frame
  // stamps it with the cue time as its dirtied time; a repeat of the same
  // frame from the queue is not a change and is not stamped again. Any
  // number of host threads may cue at once: none is shown a frame older than
  // one already shown.
  // Failures: a null `out` returns -1 and changes nothing. When the group
  // cannot make the blank frame (an odd width with a YUV raster type learned
  // from frames, or memory short) *out is set to null, -1 is returned and the
  // renderer stays without a frame; the next cue tries again.
  int32_t CueVideo(kaBuffer2** out, const ka_renderer_params& params);

  // Drops the frame on screen and every queued frame; the next cue shows a
  // blank frame until a frame is delivered (or, with a delay, due).
  void FlushVideo();

 protected:
  // Construction throws std::bad_alloc when a lock cannot be made.
  // Destruction releases the frame on screen, deletes both locks (frameLock
  // first), destroys the queue (releasing its frames), then the base
  // releases the host's table and the group.
  ~kaPluginVideoRenderer() override;

  // Frames waiting out the live delay; has its own lock.
  kaDelayedBufferQueue<kaBuffer2> delayQueue;
  zCriticalPtr formatLock;
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
