#include "render/kaPluginVideoRenderer.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

#include "buffers/kaBuffer2Producer.h"
#include "buffers/kaBufferGroup2.h"
#include "render/kaLiveDelay.h"
#include "render/kaSourcesPluginMethods.h"

namespace {
constexpr double kMicrosPerSecond = 1'000'000.0;
}  // namespace

kaPluginVideoRenderer::kaPluginVideoRenderer(const std::string& name, kaBufferGroup2& group,
                                             kaSourcesPluginMethods& methods)
    : kaPluginRenderer(name, group, methods),
      formatLock(kaMakeRequiredLock()),
      frameLock(kaMakeRequiredLock()),
      frameChangedTime(zTime::MicroNow()),
      frameStampedTime(zTime::MicroNow()) {}

kaPluginVideoRenderer::~kaPluginVideoRenderer() {
  kaRef<kaBuffer2> frame;
  {
    zCriticalGuard frameGuard(frameLock);
    frame = std::move(currentFrame);
  }
  // `frame` is released here, then the members go in reverse order:
  // frameLock, formatLock, and the queue, whose destructor releases the
  // frames still waiting.
}

int32_t kaPluginVideoRenderer::QueryInterface(const char* name, void** out) {
  return Concrete_QueryInterface(name, out);
}

int32_t kaPluginVideoRenderer::AddRef() { return Concrete_AddRef(); }

int32_t kaPluginVideoRenderer::Release() { return Concrete_Release(); }

int32_t kaPluginVideoRenderer::Concrete_QueryInterface(const char* name, void** out) {
  if (out) *out = nullptr;
  if (CompareInterfaceName(name, "kaXIVideoLiveDelay")) {
    return GetInterface(static_cast<kaXIVideoLiveDelay*>(this), out);
  }
  return -1;
}

void kaPluginVideoRenderer::MarkFrameChangedLocked() {
  const int64_t previous = std::max(frameChangedTime, frameStampedTime);
  const int64_t now = zTime::MicroNow();
  frameChangedTime = (now > previous || previous == std::numeric_limits<int64_t>::max()) ? now : previous + 1;
}

void kaPluginVideoRenderer::TakeFrameDurationLocked(const kaBuffer2& frame) {
  const veTimeRange& range = frame.GetBufferTimeRange();
  if (range.timeScale == 0 || range.durationScale == 0) return;
  frameDurationScale = range.durationScale;
  // A duration beyond the int64 range is kept at its largest value rather
  // than wrapping to a negative one.
  constexpr uint64_t kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  frameDuration = static_cast<int64_t>(std::min(range.duration, kLargest));
}

void kaPluginVideoRenderer::StampDisplaySize(kaBuffer2& frame) {
  // Written only when it changes something: a frame delivered again (or to a
  // second renderer) may already be in a host's hands.
  const int width = frame.Width();
  const int height = frame.Height();
  const int displayWidth = frame.GetDisplayWidth();
  const int displayHeight = frame.GetDisplayHeight();
  if ((displayWidth == 0 || displayHeight == 0) && (displayWidth != width || displayHeight != height)) {
    frame.SetDisplayWidth(width);
    frame.SetDisplayHeight(height);
  }
}

void kaPluginVideoRenderer::OnReceiveVideo(kaBuffer2* frame) {
  if (!frame) return;
  StampDisplaySize(*frame);

  if (delayQueue.GetDelay() == 0) {
    kaRef<kaBuffer2> replaced;
    {
      zCriticalGuard frameGuard(frameLock);
      zCriticalGuard formatGuard(formatLock);
      if (!frame->AsBool(veKeyVideoIsInterlaced, false)) frame->SetBool(veKeyVideoIsInterlaced, true, 0);
      replaced = std::exchange(currentFrame, kaRef<kaBuffer2>::Retain(frame));
      outputWidth = frame->Width();
      outputHeight = frame->Height();
      outputRasterType = static_cast<int32_t>(frame->RasterType());
      TakeFrameDurationLocked(*frame);
      MarkFrameChangedLocked();
    }
    // `replaced` goes after the locks: its last release may hand the frame
    // to the cache.
  } else {
    delayQueue.Enqueue(frame, zTime::MicroNow());
  }

  // The plug-in's reference keeps `frame` alive for the whole call. The
  // function captures one pointer, so std::function keeps it without
  // allocating.
  kaBuffer2Producer producer;
  producer.produce = [frame]() -> std::shared_ptr<kaBuffer2> {
    frame->AddRef();
    return zAsSharedPtr(frame);
  };
  hostMethods->VideoReceived(rendererName.String(), producer);
}

int32_t kaPluginVideoRenderer::CueVideo(kaBuffer2** out, const ka_renderer_params& params) {
  if (!out) return -1;

  // References to give back once the locks are left: a last release may
  // hand a frame to the cache, or run a host's pre-recycle function.
  kaRef<kaBuffer2> replaced;
  kaRef<kaBuffer2> due;
  kaDelayedBufferQueue<kaBuffer2>::Dropped dropped;
  int32_t result = 0;
  {
    zCriticalGuard frameGuard(frameLock);
    if (delayQueue.GetDelay() != 0) {
      due = kaRef<kaBuffer2>::Adopt(delayQueue.Dequeue(params.cueTime, dropped));
      // The queue repeats its last frame while nothing newer is due: that is
      // no change on screen, and it is not stamped again. A due frame's size
      // becomes the output size; its raster type is not taken over.
      if (due && due != currentFrame) {
        zCriticalGuard formatGuard(formatLock);
        outputWidth = due->Width();
        outputHeight = due->Height();
        TakeFrameDurationLocked(*due);
        replaced = std::exchange(currentFrame, std::move(due));
        MarkFrameChangedLocked();
      }
    }

    // Nothing to show (none yet, or flushed): a blank frame of the output
    // format stays on screen until a frame comes. The group cannot make one
    // for an odd width with a YUV raster type, or when memory is short; the
    // cue then fails and the next one tries again.
    if (!currentFrame) {
      veMediaRecord format;
      OutputFormat(veMediaTypeVideo, format, 0);
      kaGPUAccessibleBuffer* blank = nullptr;
      if (bufferGroup->CreateBlankGPUAccessibleBuffer(format, false, &blank) == 0 && blank) {
        // Ours alone until handed out: its record may still be written.
        blank->SetDisplayWidth(blank->Width());
        blank->SetDisplayHeight(blank->Height());
        currentFrame = kaRef<kaBuffer2>::Adopt(blank);
        MarkFrameChangedLocked();
      }
    }
    if (currentFrame) {
      if (frameStampedTime != frameChangedTime) {
        // The display size of a delivered frame was settled at delivery; a
        // frame whose record a plug-in changed since then gets it now.
        StampDisplaySize(*currentFrame);
        currentFrame->SetDirtiedTime(params.cueTime);
        frameStampedTime = frameChangedTime;
      }
      *out = kaRef<kaBuffer2>(currentFrame).Detach();
    } else {
      *out = nullptr;
      result = -1;
    }
  }
  return result;
}

void kaPluginVideoRenderer::FlushVideo() {
  // Released after the lock, as in a cue.
  kaRef<kaBuffer2> shown;
  kaDelayedBufferQueue<kaBuffer2>::Dropped queued;
  // The queue is emptied under frameLock too, so that a concurrent cue cannot
  // take the flushed frame back from it.
  zCriticalGuard frameGuard(frameLock);
  MarkFrameChangedLocked();
  shown = std::move(currentFrame);
  delayQueue.Clear(queued);
}

int32_t kaPluginVideoRenderer::OutputFormat(veMediaType /*type*/, veMediaRecord& record, int32_t /*variant*/) {
  record.SetMediaType(veMediaTypeVideo);
  {
    zCriticalGuard formatGuard(formatLock);
    record.SetWidth(outputWidth);
    record.SetHeight(outputHeight);
    if (frameDurationScale > 0) {
      record.SetInt64(veKeyTimeScale, frameDurationScale);
      if (frameDuration > 0) {
        record.SetUInt64(veKeyDuration, static_cast<uint64_t>(frameDuration));
        const double framesPerSecond = static_cast<double>(frameDurationScale) / static_cast<double>(frameDuration);
        record.SetFloat(veKeyFramesPerSecond, static_cast<float>(framesPerSecond));
      }
    }
    record.SetRasterType(outputRasterType != 0 ? static_cast<uint32_t>(outputRasterType) : veRasterType::kRgba);
  }
  record.SetBytesPerRowBasedOnFormat();
  return 0;
}

int64_t kaPluginVideoRenderer::CueTimestampForParameters(const ka_renderer_params& /*params*/) const {
  zCriticalGuard frameGuard(frameLock);
  if (!currentFrame) return -1;
  const int64_t dirtied = currentFrame->DirtiedTime();
  return dirtied < 0 ? zTime::MicroNow() : dirtied;
}

void kaPluginVideoRenderer::SetOutputWidth(int32_t width) {
  zCriticalGuard formatGuard(formatLock);
  outputWidth = width;
}

void kaPluginVideoRenderer::SetOutputHeight(int32_t height) {
  zCriticalGuard formatGuard(formatLock);
  outputHeight = height;
}

int32_t kaPluginVideoRenderer::GetOutputWidth() {
  zCriticalGuard formatGuard(formatLock);
  return outputWidth;
}

int32_t kaPluginVideoRenderer::GetOutputHeight() {
  zCriticalGuard formatGuard(formatLock);
  return outputHeight;
}

void kaPluginVideoRenderer::SetVideoDelay(double seconds) {
  // Truncated toward zero, as the queue counts whole microseconds.
  delayQueue.SetDelay(zTime::SecondsToMicro(kaLiveDelay::ClampSeconds(seconds)));
}

double kaPluginVideoRenderer::GetVideoDelay() const {
  return static_cast<double>(delayQueue.GetDelay()) / kMicrosPerSecond;
}

void kaPluginVideoRenderer::SetMaxDelayedBytes(uint64_t bytes) { delayQueue.SetMaxQueuedBytes(bytes); }

uint64_t kaPluginVideoRenderer::DelayedFramesDropped() const { return delayQueue.DroppedForSpace(); }

void kaPluginVideoRenderer::GetVideoDelayFormat(veMediaRecord& record) {
  zCriticalGuard frameGuard(frameLock);
  if (currentFrame) {
    record = static_cast<const veMediaRecord&>(*currentFrame);
  } else {
    OutputFormat(veMediaTypeVideo, record, 0);
  }
}
