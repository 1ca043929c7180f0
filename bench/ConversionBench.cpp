// Format and rate conversion of received blocks: ConvertAudioFrame for each
// accepted input format at 48 kHz and for 44.1 kHz 'sowt', beside memcpy of
// the input, libswresample converting the same block by itself (set up as
// the framework's converters set it up) and libsoxr for reference.
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#if KASP2_BENCH_HAVE_FFMPEG
extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}
#endif
#if KASP2_BENCH_HAVE_SOXR
#include <soxr.h>
#endif

namespace kasp2bench {
namespace {

// ---- ConvertAudioFrame at 48 kHz ------------------------------------------

// One 10 ms stereo block at 48 kHz in `format` through ConvertAudioFrame,
// and the release of the converted buffer (back to the group's cache).
void BM_Convert_Kasp2(benchmark::State& state, int format) {
  GroupRef group(new kaBufferGroup2());
  BenchHost::Ptr host = BenchHost::Make(false);
  BenchAudioRenderer::Ptr renderer = BenchAudioRenderer::Make("mic", *group, *host);
  std::vector<unsigned char> block = ToneBytes(format, kBlockFrames48k);
  for (auto _ : state) {
    int frames = 0;
    kaBuffer2* out = nullptr;
    if (!renderer->ConvertAudioFrame(block.data(), static_cast<int>(block.size()), format, 48000, kStereo, &frames,
                                     &out)) {
      state.SkipWithError("conversion failed");
      break;
    }
    benchmark::DoNotOptimize(out->GetStorage());
    out->Release();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}
BENCHMARK_CAPTURE(BM_Convert_Kasp2, fl32, kFl32);
BENCHMARK_CAPTURE(BM_Convert_Kasp2, in24, kIn24);
BENCHMARK_CAPTURE(BM_Convert_Kasp2, 42ni, k42ni);
BENCHMARK_CAPTURE(BM_Convert_Kasp2, 32ni, k32ni);
BENCHMARK_CAPTURE(BM_Convert_Kasp2, sowt, kSowt);

void BM_Convert_Memcpy(benchmark::State& state, int format) {
  std::vector<unsigned char> block = ToneBytes(format, kBlockFrames48k);
  std::vector<unsigned char> to(block.size());
  for (auto _ : state) {
    std::memcpy(to.data(), block.data(), block.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}
BENCHMARK_CAPTURE(BM_Convert_Memcpy, fl32, kFl32);
BENCHMARK_CAPTURE(BM_Convert_Memcpy, in24, kIn24);
BENCHMARK_CAPTURE(BM_Convert_Memcpy, 42ni, k42ni);
BENCHMARK_CAPTURE(BM_Convert_Memcpy, 32ni, k32ni);
BENCHMARK_CAPTURE(BM_Convert_Memcpy, sowt, kSowt);

#if KASP2_BENCH_HAVE_FFMPEG
// A libswresample context from `in` to 16-bit at the given rates, stereo,
// interleaved. With `converterSettings` it gets the options the framework's
// rate converter uses (64-tap Kaiser filter, float filtering, no dither).
SwrContext* MakeSwr(AVSampleFormat in, int inRate, int outRate, bool converterSettings) {
  AVChannelLayout layout;
  av_channel_layout_default(&layout, kStereo);
  SwrContext* swr = nullptr;
  bool made = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, outRate, &layout, in, inRate, 0, nullptr) >= 0 &&
              av_opt_set_int(swr, "dither_method", SWR_DITHER_NONE, 0) >= 0;
  if (made && converterSettings) {
    made = av_opt_set_int(swr, "filter_size", 64, 0) >= 0 && av_opt_set_int(swr, "phase_shift", 10, 0) >= 0 &&
           av_opt_set_int(swr, "linear_interp", 1, 0) >= 0 && av_opt_set_int(swr, "exact_rational", 1, 0) >= 0 &&
           av_opt_set_double(swr, "cutoff", 0.97, 0) >= 0 &&
           av_opt_set_int(swr, "filter_type", SWR_FILTER_TYPE_KAISER, 0) >= 0 &&
           av_opt_set_double(swr, "kaiser_beta", 9.0, 0) >= 0 &&
           av_opt_set_sample_fmt(swr, "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0) >= 0;
  }
  made = made && swr_init(swr) >= 0;
  av_channel_layout_uninit(&layout);
  if (!made) swr_free(&swr);
  return swr;
}

// libswresample converting the same 48 kHz block to 16 bits, by itself.
void BM_Convert_Swr(benchmark::State& state, int format) {
  const AVSampleFormat in = format == kFl32 ? AV_SAMPLE_FMT_FLT : format == k32ni ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S16;
  SwrContext* swr = MakeSwr(in, 48000, 48000, false);
  if (!swr) {
    state.SkipWithError("no libswresample context");
    return;
  }
  std::vector<unsigned char> block = ToneBytes(format, kBlockFrames48k);
  std::vector<int16_t> out(static_cast<size_t>(kBlockFrames48k) * kStereo);
  for (auto _ : state) {
    const uint8_t* inPlanes[1] = {block.data()};
    uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(out.data())};
    benchmark::DoNotOptimize(swr_convert(swr, outPlanes, kBlockFrames48k, inPlanes, kBlockFrames48k));
    benchmark::ClobberMemory();
  }
  swr_free(&swr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}
BENCHMARK_CAPTURE(BM_Convert_Swr, fl32, kFl32);
BENCHMARK_CAPTURE(BM_Convert_Swr, 32ni, k32ni);
BENCHMARK_CAPTURE(BM_Convert_Swr, sowt, kSowt);
#endif

// ---- 44.1 kHz -> 48 kHz ----------------------------------------------------------

// One 10 ms 'sowt' stereo block at 44.1 kHz through ConvertAudioFrame (the
// framework's rate converter) and the release of the converted buffer.
void BM_Resample44k_Kasp2Convert(benchmark::State& state) {
  GroupRef group(new kaBufferGroup2());
  BenchHost::Ptr host = BenchHost::Make(false);
  BenchAudioRenderer::Ptr renderer = BenchAudioRenderer::Make("mic", *group, *host);
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames44k);
  int64_t framesOut = 0;
  for (auto _ : state) {
    int frames = 0;
    kaBuffer2* out = nullptr;
    if (!renderer->ConvertAudioFrame(block.data(), static_cast<int>(block.size()), kSowt, 44100, kStereo, &frames,
                                     &out)) {
      state.SkipWithError("conversion failed");
      break;
    }
    framesOut += frames;
    benchmark::DoNotOptimize(out->GetStorage());
    out->Release();
  }
  state.counters["frames_out"] = benchmark::Counter(static_cast<double>(framesOut), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Resample44k_Kasp2Convert);

// The whole delivery of that block: host offer, conversion, ring write.
void BM_Resample44k_Kasp2Receive(benchmark::State& state) {
  GroupRef group(new kaBufferGroup2());
  BenchHost::Ptr host = BenchHost::Make(false);
  BenchAudioRenderer::Ptr renderer = BenchAudioRenderer::Make("mic", *group, *host);
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames44k);
  uint32_t n = 0;
  for (auto _ : state) {
    renderer->OnReceive(veTimeRange{}, block.data(), static_cast<int>(block.size()), 44100, kStereo, kSowt);
    if ((++n % kDrainInterval) == 0) renderer->DrainRing();
  }
}
BENCHMARK(BM_Resample44k_Kasp2Receive);

#if KASP2_BENCH_HAVE_FFMPEG
// The baseline's work: libswresample converting one 10 ms 44.1 kHz 'sowt'
// block to 48 kHz by itself, the same in the separate and the paired rows.
class Swr44kBlock {
 public:
  explicit Swr44kBlock(bool converterSettings)
      : swr_(MakeSwr(AV_SAMPLE_FMT_S16, 44100, 48000, converterSettings)), block_(ToneBytes(kSowt, kBlockFrames44k)),
        out_(static_cast<size_t>(1024) * kStereo) {}
  ~Swr44kBlock() { swr_free(&swr_); }
  Swr44kBlock(const Swr44kBlock&) = delete;
  Swr44kBlock& operator=(const Swr44kBlock&) = delete;

  bool Ready() const { return swr_ != nullptr; }
  const std::vector<unsigned char>& Block() const { return block_; }
  // Frames out (the filter's delay keeps the first calls short).
  int Convert() {
    const uint8_t* inPlanes[1] = {block_.data()};
    uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(out_.data())};
    const int frames = swr_convert(swr_, outPlanes, 1024, inPlanes, kBlockFrames44k);
    benchmark::ClobberMemory();
    return frames;
  }

 private:
  SwrContext* swr_;
  std::vector<unsigned char> block_;
  std::vector<int16_t> out_;
};

void Resample44kSwr(benchmark::State& state, bool converterSettings) {
  Swr44kBlock swr(converterSettings);
  if (!swr.Ready()) {
    state.SkipWithError("no libswresample context");
    return;
  }
  int64_t framesOut = 0;
  for (auto _ : state) framesOut += swr.Convert();
  state.counters["frames_out"] = benchmark::Counter(static_cast<double>(framesOut), benchmark::Counter::kAvgIterations);
}
// Set up as the framework's rate converter is.
void BM_Resample44k_Swr(benchmark::State& state) { Resample44kSwr(state, true); }
// libswresample's defaults (16-bit filtering, 32 taps): cheaper, lower quality.
void BM_Resample44k_SwrDefaults(benchmark::State& state) { Resample44kSwr(state, false); }
BENCHMARK(BM_Resample44k_Swr);
BENCHMARK(BM_Resample44k_SwrDefaults);

// The delivery and libswresample alone, as above, in alternate turns of 32
// blocks: the ratio of the two on one and the same machine.
void BM_Resample44k_ReceiveVsSwrPaired(benchmark::State& state) {
  GroupRef group(new kaBufferGroup2());
  BenchHost::Ptr host = BenchHost::Make(false);
  BenchAudioRenderer::Ptr renderer = BenchAudioRenderer::Make("mic", *group, *host);
  Swr44kBlock swr(true);
  if (!swr.Ready()) {
    state.SkipWithError("no libswresample context");
    return;
  }
  std::vector<unsigned char> block = swr.Block();
  uint32_t n = 0;
  RunPaired(
      state,
      [&] {
        renderer->OnReceive(veTimeRange{}, block.data(), static_cast<int>(block.size()), 44100, kStereo, kSowt);
        if ((++n % kDrainInterval) == 0) renderer->DrainRing();
      },
      [&] { benchmark::DoNotOptimize(swr.Convert()); });
}
BENCHMARK(BM_Resample44k_ReceiveVsSwrPaired);
#endif

#if KASP2_BENCH_HAVE_SOXR
// libsoxr at its high quality, 16-bit interleaved in and out.
void BM_Resample44k_Soxr(benchmark::State& state) {
  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_t soxr = soxr_create(44100, 48000, kStereo, &error, &io, &quality, nullptr);
  if (!soxr || error) {
    state.SkipWithError("no libsoxr resampler");
    return;
  }
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames44k);
  std::vector<int16_t> out(static_cast<size_t>(1024) * kStereo);
  int64_t framesOut = 0;
  for (auto _ : state) {
    size_t used = 0;
    size_t made = 0;
    soxr_process(soxr, block.data(), kBlockFrames44k, &used, out.data(), 1024, &made);
    framesOut += static_cast<int64_t>(made);
    benchmark::ClobberMemory();
  }
  soxr_delete(soxr);
  state.counters["frames_out"] = benchmark::Counter(static_cast<double>(framesOut), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Resample44k_Soxr);
#endif

}  // namespace
}  // namespace kasp2bench
