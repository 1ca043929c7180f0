#include "render/kaPluginVideoRenderer.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "buffers/kaBuffer2Producer.h"
#include "buffers/kaBufferGroup2.h"
#include "render/kaSourcesPluginMethods.h"

namespace {
constexpr double kMicrosPerSecond = 1'000'000.0;
}  // namespace

kaPluginVideoRenderer::kaPluginVideoRenderer(const std::string& name, kaBufferGroup2& group,
                                             kaSourcesPluginMethods& methods)
    : kaPluginRenderer(name, group, methods),
      formatLock(zCritical::Factory(1)),
      frameLock(zCritical::Factory(1)),
      frameChangedTime(zTime::MicroNow()),
      frameStampedTime(zTime::MicroNow()) {}

kaPluginVideoRenderer::~kaPluginVideoRenderer() {
  kaBuffer2* frame = nullptr;
  {
    zCriticalGuard frameGuard(frameLock);
    frame = currentFrame;
    currentFrame = nullptr;
  }
  if (frame) frame->Release();
  // The members then go in reverse order: frameLock, formatLock, and the
  // queue, whose destructor releases the frames still waiting.
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

void kaPluginVideoRenderer::OnReceiveVideo(kaBuffer2* frame) {
  if (!frame) return;

  if (delayQueue.GetDelay() == 0) {
    kaBuffer2* replaced = nullptr;
    {
      zCriticalGuard frameGuard(frameLock);
      zCriticalGuard formatGuard(formatLock);
      replaced = currentFrame;
      frame->AddRef();
      currentFrame = frame;
      outputWidth = frame->Width();
      outputHeight = frame->Height();
      outputRasterType = static_cast<int32_t>(frame->RasterType());
      frame->SetBool(veKeyVideoIsInterlaced, true, 0);
      TakeFrameDurationLocked(*frame);
      MarkFrameChangedLocked();
    }
    // After the locks: the last release may hand the frame to the cache.
    if (replaced) replaced->Release();
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

  // References to give back once the locks are left.
  kaBuffer2* replaced = nullptr;
  kaBuffer2* repeated = nullptr;

  if (delayQueue.GetDelay() != 0) {
    if (kaBuffer2* frame = delayQueue.Dequeue(params.cueTime)) {
      zCriticalGuard frameGuard(frameLock);
      zCriticalGuard formatGuard(formatLock);
      if (frame == currentFrame) {
        // The queue shows its last frame again: nothing changed on screen.
        repeated = frame;
      } else {
        replaced = currentFrame;
        currentFrame = frame;  // takes over the reference that Dequeue added
        outputWidth = frame->Width();
        outputHeight = frame->Height();
        TakeFrameDurationLocked(*frame);
        MarkFrameChangedLocked();
      }
    }
  }

  int32_t result = 0;
  {
    zCriticalGuard frameGuard(frameLock);
    if (!currentFrame) {
      veMediaRecord format;
      OutputFormat(veMediaTypeVideo, format, 0);
      kaGPUAccessibleBuffer* blank = nullptr;
      if (bufferGroup->CreateBlankGPUAccessibleBuffer(format, false, &blank) == 0 && blank) {
        currentFrame = blank;  // takes over the group's reference
        blank->SetDisplayWidth(blank->Width());
        blank->SetDisplayHeight(blank->Height());
        MarkFrameChangedLocked();
      }
    }
    if (currentFrame) {
      currentFrame->AddRef();
      *out = currentFrame;
      if (frameStampedTime != frameChangedTime) {
        if (currentFrame->GetDisplayWidth() == 0 || currentFrame->GetDisplayHeight() == 0) {
          currentFrame->SetDisplayWidth(currentFrame->Width());
          currentFrame->SetDisplayHeight(currentFrame->Height());
        }
        currentFrame->SetDirtiedTime(params.cueTime);
        frameStampedTime = frameChangedTime;
      }
    } else {
      *out = nullptr;
      result = -1;
    }
  }

  if (replaced) replaced->Release();
  if (repeated) repeated->Release();
  return result;
}

void kaPluginVideoRenderer::FlushVideo() {
  kaBuffer2* dropped = nullptr;
  {
    zCriticalGuard frameGuard(frameLock);
    MarkFrameChangedLocked();
    dropped = currentFrame;
    currentFrame = nullptr;
  }
  if (dropped) dropped->Release();
  delayQueue.Clear();
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
  // SecondsToMicro truncates toward zero, gives 0 for NaN and saturates.
  const int64_t micros = zTime::SecondsToMicro(seconds);
  delayQueue.SetDelay(micros < 0 ? 0 : micros);
}

double kaPluginVideoRenderer::GetVideoDelay() const {
  return static_cast<double>(delayQueue.GetDelay()) / kMicrosPerSecond;
}

void kaPluginVideoRenderer::GetVideoDelayFormat(veMediaRecord& record) {
  zCriticalGuard frameGuard(frameLock);
  if (currentFrame) {
    record = static_cast<const veMediaRecord&>(*currentFrame);
  } else {
    OutputFormat(veMediaTypeVideo, record, 0);
  }
}
