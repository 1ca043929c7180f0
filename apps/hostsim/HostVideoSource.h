#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "DeliveryLateness.h"
#include "HostSimOptions.h"
#include "SampleVideoRenderer.h"
#include "TestPatternGenerator.h"

// One live video source of the simulator: the sample plug-in's renderer and
// its test-pattern generator, delivering frame n at start + n frame
// durations. The live delay is set as a host does, through the renderer's
// "kaXIVideoLiveDelay" interface. Step runs on the source's delivery thread
// (or the simulated driver); the counters are read from any thread.
class HostVideoSource {
 public:
  HostVideoSource(int index, const VideoSourceOptions& options, kaBufferGroup2& group,
                  kaSourcesPluginMethods& host);

  // False when the renderer or the generator could not be made.
  bool IsUsable() const { return renderer_ && generator_.IsUsable(); }
  const std::string& Name() const { return name_; }
  const VideoSourceOptions& Options() const { return options_; }
  SampleVideoRenderer& Renderer() { return *renderer_; }
  const TestPatternGenerator& Generator() const { return generator_; }

  // Sets the time of frame 0 (microseconds of the foundation clock).
  void Start(int64_t startMicros) { start_ = startMicros; }
  // When the next frame is due (a frame that could not be made still takes
  // its turn), and when frame `frameNumber` was due.
  int64_t NextDueMicros() const { return FrameTimeMicros(attempts_); }
  int64_t FrameTimeMicros(int64_t frameNumber) const { return start_ + generator_.FrameStartMicros(frameNumber); }
  // Makes the frame that is due, delivers it and records how late it ran.
  void Step();

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
