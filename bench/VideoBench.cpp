// The video path: a plug-in's delivery (OnReceiveVideo), the host's cue
// (CueVideo) and the release of the cued frame, without and with a live
// delay, beside a memcpy of one 1080p "2vuy" frame (what a path that copied
// frames instead of passing references would pay).
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

namespace kasp2bench {
namespace {

// 60 frames per second of deliveries on the manual clock.
constexpr int64_t kFrameIntervalMicros = 16'667;
// Frames the plug-in cycles through: more than a 0.1 s delay keeps queued.
constexpr size_t kFramePoolSize = 16;

struct VideoScene {
  GroupRef group;
  BenchHost::Ptr host;
  BenchVideoRenderer::Ptr renderer;
  std::vector<BufferRef> frames;

  bool Build(bool hostTakesBuffer, size_t frameCount) {
    group.reset(new kaBufferGroup2());
    host = BenchHost::Make(hostTakesBuffer);
    renderer = BenchVideoRenderer::Make("camera", *group, *host);
    const veMediaRecord format = HdFrameFormat();
    for (size_t i = 0; i < frameCount; ++i) {
      kaBuffer2* out = nullptr;
      if (group->allocate_buffer(format, -1, 1, 0, &out) != 0 || !out) return false;
      frames.emplace_back(out);
    }
    return true;
  }
  ~VideoScene() {
    renderer.reset();
    frames.clear();
  }
};

// Two frames delivered in turn, so that every cue finds a new frame (and
// stamps it), as in a live show.
void VideoWithoutDelay(benchmark::State& state, bool hostTakesBuffer) {
  VideoScene scene;
  if (!scene.Build(hostTakesBuffer, 2)) {
    state.SkipWithError("the group made no frame");
    return;
  }
  int64_t cueTime = 1'000'000;
  size_t i = 0;
  for (auto _ : state) {
    scene.renderer->OnReceiveVideo(scene.frames[i++ & 1].get());
    kaBuffer2* out = nullptr;
    scene.renderer->CueVideo(&out, ka_renderer_params{cueTime});
    benchmark::DoNotOptimize(out);
    if (out) out->Release();
    cueTime += kPeriodMicros;
  }
}

void BM_Video_DeliverCue_NoDelay(benchmark::State& state) { VideoWithoutDelay(state, false); }
void BM_Video_DeliverCue_NoDelay_HostTakesFrame(benchmark::State& state) { VideoWithoutDelay(state, true); }
BENCHMARK(BM_Video_DeliverCue_NoDelay);
BENCHMARK(BM_Video_DeliverCue_NoDelay_HostTakesFrame);

// With a 0.1 s live delay the frames wait in the delay queue. The foundation
// clock is a manual one here, advanced one 60 fps frame per iteration, so
// the queue holds its steady ~6 frames whatever the machine's speed.
void BM_Video_DeliverCue_Delay100ms(benchmark::State& state) {
  zTestClock clock(1'000'000);
  VideoScene scene;
  if (!scene.Build(false, kFramePoolSize)) {
    state.SkipWithError("the group made no frame");
    return;
  }
  scene.renderer->SetVideoDelay(0.1);
  size_t i = 0;
  for (auto _ : state) {
    clock.Advance(kFrameIntervalMicros);
    scene.renderer->OnReceiveVideo(scene.frames[i++ % kFramePoolSize].get());
    kaBuffer2* out = nullptr;
    scene.renderer->CueVideo(&out, ka_renderer_params{clock.Now()});
    benchmark::DoNotOptimize(out);
    if (out) out->Release();
  }
}
BENCHMARK(BM_Video_DeliverCue_Delay100ms);

void BM_Video_MemcpyHdFrame(benchmark::State& state) {
  std::vector<unsigned char> from(kHdFrameBytes, 0x80);
  std::vector<unsigned char> to(kHdFrameBytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kHdFrameBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kHdFrameBytes));
}
BENCHMARK(BM_Video_MemcpyHdFrame);

}  // namespace
}  // namespace kasp2bench
