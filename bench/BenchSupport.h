#pragma once
// Shared pieces of the benchmark suite: the concrete renderers a plug-in
// would define, a host callback table, the formats measured and the buffers
// that feed them. Benchmarks run on the threads Google Benchmark gives them;
// everything here is made on the benchmark's first thread before its timing
// loop and destroyed after it.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kasp2/kasp2.h"

namespace kasp2bench {

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;
using GroupRef = std::unique_ptr<kaBufferGroup2, zReleaseDeleter>;

inline constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
inline constexpr int kFl32 = static_cast<int>(zFourCC("fl32"));
inline constexpr int kIn24 = static_cast<int>(zFourCC("in24"));
inline constexpr int k42ni = static_cast<int>(zFourCC("42ni"));
inline constexpr int k32ni = static_cast<int>(zFourCC("32ni"));

// One 1080p frame of packed 4:2:2 ("2vuy"): 3840 bytes per row.
inline constexpr int32_t kHdWidth = 1920;
inline constexpr int32_t kHdHeight = 1080;
inline constexpr int32_t kHdRowBytes = kHdWidth * 2;
inline constexpr size_t kHdFrameBytes = static_cast<size_t>(kHdRowBytes) * kHdHeight;  // 4,147,200

// 10 ms of stereo at 48 kHz: the block a plug-in typically delivers.
inline constexpr int kBlockFrames48k = 480;
// 10 ms of stereo at 44.1 kHz.
inline constexpr int kBlockFrames44k = 441;
inline constexpr int kStereo = 2;
// One cue period: 1600 stereo frames of 16 bits.
inline constexpr int kPeriodFrames = 1600;
inline constexpr size_t kPeriodBytes = static_cast<size_t>(kPeriodFrames) * kStereo * 2;  // 6400
// One output period of the host, in microseconds (1/30 s).
inline constexpr int64_t kPeriodMicros = 33'333;

// The record of a 1080p "2vuy" frame with its bytes per row given, as a
// plug-in that knows its format describes it.
veMediaRecord HdFrameFormat();
// The working-format audio record (16-bit, 48 kHz, `channels` channels).
veMediaRecord WorkingAudioFormat(int channels);

// Interleaved stereo test tones: a slow sweep in 16 bits, and the same
// signal in each accepted input encoding, `frames` frames long.
std::vector<int16_t> ToneS16(int frames);
// The bytes of a block in `format` ('sowt', 'fl32', 'in24', '42ni', '32ni').
std::vector<unsigned char> ToneBytes(int format, int frames);
// Bits per sample of an accepted input format.
int BitsPerSample(int format);

// Runs `library` and `baseline` in alternate turns of `turn` calls each (the
// order of the two swapped every turn), timing each turn with this thread's
// CPU clock, for as many turns as the state has iterations. Sets the
// counters "library_ns" and "baseline_ns" (CPU per call) and "ratio" (their
// quotient). Two rows measured seconds apart on a shared machine see
// different machines; turns a fraction of a millisecond apart see the same
// one, so the ratio holds still where the rows' own figures swing.
template <class Library, class Baseline>
void RunPaired(benchmark::State& state, Library&& library, Baseline&& baseline, int turn = 32);

// The host's callback table in the benchmarks. Does nothing with what it is
// offered unless told to take the buffer, as a host that records or
// monitors the source would.
class BenchHost : public kaSourcesPluginMethods {
 public:
  using Ptr = std::unique_ptr<BenchHost, zReleaseDeleter>;
  static Ptr Make(bool takesBuffer = false) { return Ptr(new BenchHost(takesBuffer)); }

  void VideoReceived(const std::string& rendererName, kaBuffer2Producer& producer) override;
  void AudioReceived(const std::string& rendererName, kaOptimizedBuffer2Producer& producer) override;

 protected:
  explicit BenchHost(bool takesBuffer) : takesBuffer_(takesBuffer) {}
  ~BenchHost() override = default;

 private:
  bool takesBuffer_;
};

// The concrete video renderer a plug-in defines: names its kind and leads
// the host's Cue to CueVideo.
class BenchVideoRenderer : public kaPluginVideoRenderer {
 public:
  using Ptr = std::unique_ptr<BenchVideoRenderer, zReleaseDeleter>;
  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods) {
    return Ptr(new BenchVideoRenderer(name, group, methods));
  }
  uint32_t RendererKind() const override { return zFourCC("bvid"); }
  int32_t Cue(kaBuffer2** out, const ka_renderer_params& params) override { return CueVideo(out, params); }

 protected:
  BenchVideoRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginVideoRenderer(name, group, methods) {}
  ~BenchVideoRenderer() override = default;
};

// The concrete audio renderer a plug-in defines, with a tolerance of three
// periods. A benchmark that only delivers lets the ring's reader follow the
// writer (DrainRing), as the cue path's seeks do in a live host, so that
// the ring never fills and every write really copies.
class BenchAudioRenderer : public kaPluginAudioRenderer {
 public:
  using Ptr = std::unique_ptr<BenchAudioRenderer, zReleaseDeleter>;
  using kaPluginAudioRenderer::Cue;
  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods) {
    return Ptr(new BenchAudioRenderer(name, group, methods));
  }
  uint32_t RendererKind() const override { return zFourCC("baud"); }
  int32_t Cue(kaBuffer2** out, const ka_renderer_params& params) override {
    return kaPluginAudioRenderer::Cue(out, params, 0, 3);
  }
  // Moves the ring's reader to its writer: the ring then holds no data.
  void DrainRing() { ringBuffer.Seek(ringBuffer.CurrentWritePosition()); }

 protected:
  BenchAudioRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginAudioRenderer(name, group, methods) {}
  ~BenchAudioRenderer() override = default;
};

// Keeps the ring of a bare kaPluginRingBuffer (or a renderer) from filling:
// every kDrainInterval writes the reader is moved to the writer. 4096 blocks
// of 10 ms stereo are 7.9 MB, a quarter of the renderer's ring.
inline constexpr uint32_t kDrainInterval = 4096;

// ---- RunPaired -------------------------------------------------------------------

inline int64_t ThreadCpuNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

template <class Library, class Baseline>
void RunPaired(benchmark::State& state, Library&& library, Baseline&& baseline, int turn) {
  int64_t libraryNs = 0;
  int64_t baselineNs = 0;
  int64_t calls = 0;
  bool libraryFirst = true;
  const auto timeTurn = [turn](auto& work) {
    const int64_t start = ThreadCpuNanoseconds();
    for (int i = 0; i < turn; ++i) work();
    return ThreadCpuNanoseconds() - start;
  };
  for (auto _ : state) {
    if (libraryFirst) {
      libraryNs += timeTurn(library);
      baselineNs += timeTurn(baseline);
    } else {
      baselineNs += timeTurn(baseline);
      libraryNs += timeTurn(library);
    }
    libraryFirst = !libraryFirst;
    calls += turn;
  }
  if (calls == 0 || baselineNs <= 0) return;
  state.counters["library_ns"] = static_cast<double>(libraryNs) / static_cast<double>(calls);
  state.counters["baseline_ns"] = static_cast<double>(baselineNs) / static_cast<double>(calls);
  state.counters["ratio"] = static_cast<double>(libraryNs) / static_cast<double>(baselineNs);
}

}  // namespace kasp2bench
