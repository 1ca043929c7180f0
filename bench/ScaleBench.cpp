// Many sources at once: N sources (each a 1080p59.94 video and a stereo
// audio renderer on one shared group) fed by a plug-in thread and cued by a
// host thread, one output period per iteration on each side. The two sides are kept within
// kMaxLead periods of each other, the host behind the plug-in; they check
// each other only every kPacingStride periods, so that the pacing (a futex
// wait and wake) is not what one source per period measures.
//
// The figure that matters is the CPU time of both threads per source and
// period: cpu_time (Google Benchmark's per-iteration CPU time, averaged over
// the two threads' iterations) × 2 / N.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

namespace kasp2bench {
namespace {

constexpr int32_t kPacingStride = 64;
// 256 periods of audio are 1.6 MB of each 33.8 MB ring.
constexpr int32_t kMaxLead = 4 * kPacingStride;
// Periods run on one thread before each measurement: the cache then holds
// the frames in flight (idle ones die after 2 s between measurements), and
// the audio cues are primed.
constexpr int kWarmUpPeriods = 8;
// Frames each source delivers per output period: 59.94 pictures a second
// against 30 periods.
constexpr int kFramesPerPeriod = 2;

struct ScaleScene {
  explicit ScaleScene(int sourceCount) : sources(sourceCount) {}
  ~ScaleScene() {
    audio.clear();
    video.clear();
    host.reset();
    group.reset();
  }

  bool Build() {
    group.reset(new kaBufferGroup2());
    host = BenchHost::Make(false);
    for (int i = 0; i < sources; ++i) {
      const std::string name = "source " + std::to_string(i);
      video.push_back(BenchVideoRenderer::Make(name, *group, *host));
      audio.push_back(BenchAudioRenderer::Make(name, *group, *host));
    }
    block = ToneBytes(kSowt, kPeriodFrames);
    frameFormat = HdFrameFormat();
    return true;
  }

  // One period of the plug-in side: for every source, the two new 1080p
  // frames of a 59.94 camera (one period is 1/30 s) from the group,
  // delivered and let go, and one period of audio.
  void Deliver() {
    for (int i = 0; i < sources; ++i) {
      for (int f = 0; f < kFramesPerPeriod; ++f) {
        kaBuffer2* frame = nullptr;
        if (group->allocate_buffer(frameFormat, -1, 1, 0, &frame) == 0 && frame) {
          video[i]->OnReceiveVideo(frame);
          frame->Release();
        }
      }
      audio[i]->OnReceive(veTimeRange{}, block.data(), static_cast<int>(block.size()), 48000, kStereo, kSowt);
    }
  }

  // One period of the host side: every source's video and audio cued and
  // the cued buffers released.
  void CueAll() {
    const ka_renderer_params params{zTime::MicroNow()};
    for (int i = 0; i < sources; ++i) {
      kaBuffer2* frame = nullptr;
      video[i]->CueVideo(&frame, params);
      benchmark::DoNotOptimize(frame);
      if (frame) frame->Release();
      kaBuffer2* period = nullptr;
      audio[i]->Cue(&period, params, 0, 3);
      benchmark::DoNotOptimize(period);
      if (period) period->Release();
    }
  }

  const int sources;
  GroupRef group;
  BenchHost::Ptr host;
  std::vector<BenchVideoRenderer::Ptr> video;
  std::vector<BenchAudioRenderer::Ptr> audio;
  std::vector<unsigned char> block;
  veMediaRecord frameFormat;
  // Periods done by each side in the current run. 32-bit: the size that
  // std::atomic waits on with a bare futex.
  std::atomic<int32_t> delivered{0};
  std::atomic<int32_t> cued{0};
};

// Built once per source count (the audio rings are 33.8 MB each) and kept
// while the same count is measured.
std::unique_ptr<ScaleScene> gScale;

void BM_Scale(benchmark::State& state) {
  const int sources = static_cast<int>(state.range(0));
  if (state.thread_index() == 0) {
    if (!gScale || gScale->sources != sources) {
      gScale.reset();
      gScale = std::make_unique<ScaleScene>(sources);
      gScale->Build();
    }
    for (int i = 0; i < kWarmUpPeriods; ++i) {
      gScale->Deliver();
      gScale->CueAll();
    }
    gScale->delivered.store(0);
    gScale->cued.store(0);
  }
  // Thread 0 delivers, thread 1 cues. The scene is read only inside the
  // loop, whose start waits for thread 0's set-up. Both sides run the same
  // number of periods; every wait below ends at a stride boundary that the
  // other side reaches and announces.
  const auto periods = static_cast<int32_t>(state.max_iterations);
  int32_t period = 0;
  for (auto _ : state) {
    ScaleScene& scene = *gScale;
    const bool boundary = period % kPacingStride == 0;
    if (state.thread_index() == 0) {
      if (boundary) {
        for (int32_t cued = scene.cued.load(); cued < period - (kMaxLead - kPacingStride);
             cued = scene.cued.load()) {
          scene.cued.wait(cued);
        }
      }
      scene.Deliver();
      scene.delivered.store(++period);
      if (period % kPacingStride == 0 || period == periods) scene.delivered.notify_one();
    } else {
      if (boundary) {
        const int32_t wanted = std::min(period + kPacingStride, periods);
        for (int32_t delivered = scene.delivered.load(); delivered < wanted; delivered = scene.delivered.load()) {
          scene.delivered.wait(delivered);
        }
      }
      scene.CueAll();
      scene.cued.store(++period);
      if (period % kPacingStride == 0 || period == periods) scene.cued.notify_one();
    }
  }
  state.counters["sources"] = benchmark::Counter(sources, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_Scale)->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Threads(2);

}  // namespace
}  // namespace kasp2bench
