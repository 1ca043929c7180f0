// The audio renderer's receive path for working-format blocks and its cue
// path, beside the bare ring write, JACK's lock-free ring and memcpy of the
// same bytes.
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#if KASP2_BENCH_HAVE_JACK
#include <jack/ringbuffer.h>
#endif

namespace kasp2bench {
namespace {

constexpr unsigned int kBlockBytes48k = kBlockFrames48k * kStereo * 2;  // 1920

// ---- receive ----------------------------------------------------------------

// OnReceive of one 10 ms 'sowt' stereo block at 48 kHz: the host is offered
// the block (and looks at its format only), the block goes into the ring.
void BM_AudioReceive_Sowt48k(benchmark::State& state) {
  GroupRef group(new kaBufferGroup2());
  BenchHost::Ptr host = BenchHost::Make(false);
  BenchAudioRenderer::Ptr renderer = BenchAudioRenderer::Make("mic", *group, *host);
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames48k);
  uint32_t n = 0;
  for (auto _ : state) {
    renderer->OnReceive(veTimeRange{}, block.data(), static_cast<int>(block.size()), 48000, kStereo, kSowt);
    if ((++n % kDrainInterval) == 0) renderer->DrainRing();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockBytes48k);
}
BENCHMARK(BM_AudioReceive_Sowt48k);

// The same bytes written straight into a ring of the renderer's size.
void BM_AudioReceive_RingWrite(benchmark::State& state) {
  kaPluginRingBuffer ring(kaPluginAudioRenderer::kRingCapacityBytes, true);
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames48k);
  uint32_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ring.Write(block.data(), kBlockBytes48k));
    if ((++n % kDrainInterval) == 0) ring.Seek(ring.CurrentWritePosition());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockBytes48k);
}
BENCHMARK(BM_AudioReceive_RingWrite);

#if KASP2_BENCH_HAVE_JACK
// JACK's single-reader single-writer lock-free ring of at least that size.
void BM_AudioReceive_JackRingWrite(benchmark::State& state) {
  jack_ringbuffer_t* ring = jack_ringbuffer_create(kaPluginAudioRenderer::kRingCapacityBytes);
  if (!ring) {
    state.SkipWithError("no JACK ring");
    return;
  }
  std::memset(ring->buf, 0, ring->size);
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames48k);
  uint32_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        jack_ringbuffer_write(ring, reinterpret_cast<const char*>(block.data()), kBlockBytes48k));
    if ((++n % kDrainInterval) == 0) jack_ringbuffer_read_advance(ring, jack_ringbuffer_read_space(ring));
  }
  jack_ringbuffer_free(ring);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockBytes48k);
}
BENCHMARK(BM_AudioReceive_JackRingWrite);
#endif

// memcpy of the block into successive places of a ring-sized area.
void BM_AudioReceive_Memcpy(benchmark::State& state) {
  std::vector<unsigned char> area(kaPluginAudioRenderer::kRingCapacityBytes, 0);
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames48k);
  size_t offset = 0;
  for (auto _ : state) {
    std::memcpy(area.data() + offset, block.data(), kBlockBytes48k);
    benchmark::ClobberMemory();
    offset += kBlockBytes48k;
    if (offset + kBlockBytes48k > area.size()) offset = 0;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockBytes48k);
}
BENCHMARK(BM_AudioReceive_Memcpy);

// ---- cue ---------------------------------------------------------------------

// Cue of one period (1600 stereo frames) from a primed ring holding 2 s of
// audio, and the release of the cued buffer. The foundation clock is a
// frozen manual clock, so the writer never counts as silent and every cue
// reads the same 6400 bytes.
void BM_AudioCue_Period(benchmark::State& state) {
  zTestClock clock(1'000'000);
  GroupRef group(new kaBufferGroup2());
  BenchHost::Ptr host = BenchHost::Make(false);
  BenchAudioRenderer::Ptr renderer = BenchAudioRenderer::Make("mic", *group, *host);
  std::vector<unsigned char> block = ToneBytes(kSowt, kBlockFrames48k);
  for (int i = 0; i < 200; ++i) {
    renderer->OnReceive(veTimeRange{}, block.data(), static_cast<int>(block.size()), 48000, kStereo, kSowt);
  }
  const ka_renderer_params params{clock.Now()};
  {
    kaBuffer2* first = nullptr;
    renderer->Cue(&first, params, 0, 3);  // primes
    if (!first) {
      state.SkipWithError("the cue gave no buffer");
      return;
    }
    // The scene is only valid when the cue really reads audio.
    bool silent = true;
    for (uint32_t i = 0; i < first->StorageSize() && silent; ++i) silent = first->GetStorage()[i] == 0;
    first->Release();
    if (silent) {
      state.SkipWithError("the primed cue read silence");
      return;
    }
  }
  for (auto _ : state) {
    kaBuffer2* out = nullptr;
    renderer->Cue(&out, params, 0, 3);
    benchmark::DoNotOptimize(out);
    if (out) out->Release();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPeriodBytes));
}
BENCHMARK(BM_AudioCue_Period);

void BM_AudioCue_Memcpy6400(benchmark::State& state) {
  std::vector<unsigned char> from(kPeriodBytes, 0x11);
  std::vector<unsigned char> to(kPeriodBytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kPeriodBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPeriodBytes));
}
BENCHMARK(BM_AudioCue_Memcpy6400);

}  // namespace
}  // namespace kasp2bench
