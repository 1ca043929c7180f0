// The drift-correction machinery per call: each resampling method
// stretching a 10 ms stereo block by one frame, and one drift measurement
// with a full 2 s history window; the smooth correction's resampler and
// tracker. memcpy of the block is the reference.
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "plugins/kaAudioDriftTracker.h"
#include "plugins/kaSmoothDriftResampler.h"

namespace kasp2bench {
namespace {

enum class Method { kNearest, kNearestLinear, kLinear, kParabolic };

// One block of 480 frames stretched to 481, as drift correction asks; the
// callback only looks at the result, as the ring write would copy it.
void BM_Resampler(benchmark::State& state, Method method) {
  auto resampler = std::make_shared<kaSingleBufferAudioResampler>();
  std::vector<int16_t> block = ToneS16(kBlockFrames48k);
  int64_t delivered = 0;
  int64_t* sink = &delivered;
  const auto deliver = [sink](short* out, int frames) {
    benchmark::DoNotOptimize(out);
    *sink += frames;
  };
  for (auto _ : state) {
    short* source = block.data();
    switch (method) {
      case Method::kNearest:
        resampler->Nearest(source, kStereo, kBlockFrames48k, kBlockFrames48k + 1, deliver);
        break;
      case Method::kNearestLinear:
        resampler->NearestLinear(source, kStereo, kBlockFrames48k, kBlockFrames48k + 1, deliver);
        break;
      case Method::kLinear:
        resampler->Linear(source, kStereo, kBlockFrames48k, kBlockFrames48k + 1, deliver);
        break;
      case Method::kParabolic:
        resampler->Parabolic(source, kStereo, kBlockFrames48k, kBlockFrames48k + 1, deliver);
        break;
    }
  }
  if (delivered != static_cast<int64_t>(state.iterations()) * (kBlockFrames48k + 1)) {
    state.SkipWithError("the resampler delivered the wrong frame count");
  }
}
BENCHMARK_CAPTURE(BM_Resampler, Nearest, Method::kNearest);
BENCHMARK_CAPTURE(BM_Resampler, NearestLinear, Method::kNearestLinear);
BENCHMARK_CAPTURE(BM_Resampler, Linear, Method::kLinear);
BENCHMARK_CAPTURE(BM_Resampler, Parabolic, Method::kParabolic);

void BM_Resampler_Memcpy(benchmark::State& state) {
  std::vector<int16_t> block = ToneS16(kBlockFrames48k);
  std::vector<int16_t> to(block.size() + kStereo);
  for (auto _ : state) {
    std::memcpy(to.data(), block.data(), block.size() * sizeof(int16_t));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Resampler_Memcpy);

// One DriftCorrect for a 10 ms block, with the detector measuring and its
// history spanning the 2 s window (200 entries), as on every delivery of a
// drift-corrected source. Times are synthetic: a delivery every 10 ms, with
// a little jitter so the levels are not all zero.
void BM_DriftCorrect(benchmark::State& state) {
  kaAudioDriftDetector detector("bench", std::chrono::milliseconds(500), std::chrono::seconds(2));
  int64_t now = 1'000'000;
  uint32_t step = 0;
  const auto next = [&]() {
    // ±0.3 ms of jitter around 10 ms.
    now += 10'000 + static_cast<int64_t>((step++ * 7919u) % 601u) - 300;
    return now;
  };
  for (int i = 0; i < 400; ++i) detector.DriftCorrect(kBlockFrames48k, next());
  int64_t adjustments = 0;
  for (auto _ : state) {
    const int a = detector.DriftCorrect(kBlockFrames48k, next());
    adjustments += a != 0;
    benchmark::DoNotOptimize(a);
  }
  state.counters["history"] = static_cast<double>(detector.HistorySize());
  state.counters["adjustments"] = static_cast<double>(adjustments);
}
BENCHMARK(BM_DriftCorrect);

// Smooth drift correction per 10 ms stereo block: the windowed-sinc
// resampler at 1 + 500 ppm (96 taps per output sample, stream state carried
// on), and one delivery measured by the drift tracker. Beside the Linear
// row (the step correction's block stretch) and memcpy of the block.
void BM_SmoothResampler(benchmark::State& state) {
  kaSmoothDriftResampler resampler;
  std::vector<int16_t> block = ToneS16(kBlockFrames48k);
  int64_t delivered = 0;
  int64_t* sink = &delivered;
  const kaSmoothDriftResampler::Sink deliver = [sink](const int16_t* out, int frames) {
    benchmark::DoNotOptimize(out);
    *sink += frames;
  };
  for (auto _ : state) resampler.Process(block.data(), kStereo, kBlockFrames48k, 1.0005, deliver);
  state.counters["frames/block"] = static_cast<double>(delivered) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SmoothResampler);

void BM_DriftTracker(benchmark::State& state) {
  kaAudioDriftTracker tracker(2'000'000);
  int64_t now = 1'000'000;
  for (auto _ : state) {
    tracker.BeginDelivery(now += 10'000, kStereo);
    tracker.EndDelivery(kBlockFrames48k * 1.0005);
    benchmark::DoNotOptimize(tracker.Ratio());
  }
}
BENCHMARK(BM_DriftTracker);

}  // namespace
}  // namespace kasp2bench
