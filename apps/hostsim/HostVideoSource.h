#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "DeliveryLateness.h"
#include "EngineSources.h"
#include "HostSimOptions.h"
#include "SampleVideoRenderer.h"
#include "TestPatternGenerator.h"

// One live video source of the simulator: the sample plug-in's renderer and
// its test-pattern generator, delivering frame n at start + n frame
// durations. The live delay is set as a host does, through the renderer's
// "kaXIVideoLiveDelay" interface. Step runs on the source's delivery thread
// (or the simulated driver); the counters are read from any thread.
class HostVideoSource final : public EngineVideoSource, public HostStepper {
 public:
  HostVideoSource(int index, const VideoSourceOptions& options, kaBufferGroup2& group,
                  kaSourcesPluginMethods& host);

  // False when the renderer or the generator could not be made.
  bool IsUsable() const { return renderer_ && generator_.IsUsable(); }
  const std::string& Name() const override { return name_; }
  const VideoSourceOptions& Options() const { return options_; }
  SampleVideoRenderer& Renderer() { return *renderer_; }
  const TestPatternGenerator& Generator() const { return generator_; }

  // Sets the time of frame 0 (microseconds of the foundation clock).
  void Start(int64_t startMicros) { start_ = startMicros; }
  // When the next frame is due (a frame that could not be made still takes
  // its turn), and when frame `frameNumber` was due: its media time on the
  // source's clock, which runs the options' ppm fast or slow.
  int64_t NextDueMicros() const override { return FrameTimeMicros(attempts_); }
  int64_t FrameTimeMicros(int64_t frameNumber) const;
  // Frame `frameNumber`'s media time from frame 0, on the source's own clock.
  int64_t MediaTimeMicros(int64_t frameNumber) const override { return generator_.FrameStartMicros(frameNumber); }
  // Makes the frame that is due, delivers it and records how late it ran.
  void Step() override;

  // ---- EngineVideoSource: frames carry the generator's number --------------
  kaRenderer2& CueRenderer() override { return *renderer_; }
  int32_t PictureWidth() const override { return options_.width; }
  int32_t PictureHeight() const override { return options_.height; }
  int64_t FrameNumber(const kaBuffer2& frame) const override {
    return frame.AsInt64(TestPatternGenerator::kFrameNumberKey, -1);
  }
  int64_t FrameDueMicros(const kaBuffer2&, int64_t frameNumber) const override {
    return FrameTimeMicros(frameNumber);
  }

  uint64_t Delivered() const { return delivered_.load(std::memory_order_relaxed); }
  uint64_t Failed() const { return failed_.load(std::memory_order_relaxed); }
  const DeliveryLateness& Lateness() const { return lateness_; }

 private:
  std::string name_;
  VideoSourceOptions options_;
  kaBufferGroup2& group_;
  TestPatternGenerator generator_;
  SampleVideoRenderer::Ptr renderer_;
  int64_t start_ = 0;
  int64_t attempts_ = 0;  // delivery thread
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> failed_{0};
  DeliveryLateness lateness_;
};
