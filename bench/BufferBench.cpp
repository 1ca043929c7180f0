// Cache hits of the buffer group: a request served from a bucket and the
// release that files the buffer back, beside FFmpeg's buffer pool and plain
// malloc + first touch + free of the same size.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#if KASP2_BENCH_HAVE_FFMPEG
extern "C" {
#include <libavutil/buffer.h>
}
#endif

namespace kasp2bench {
namespace {

// Buckets other than the measured one are kept alive by requesting and
// releasing their buffers this often (the cache destroys buffers idle for
// more than 2 s); each keeps two idle buffers, so a refresh never empties
// it and the bucket order never changes.
constexpr auto kRefreshInterval = std::chrono::milliseconds(500);
constexpr int kIdlePerOtherBucket = 2;
// Idle buffers of the measured format: more than the threads that hold one
// at a time, so its bucket never empties either.
constexpr int kIdleMeasured = 3;
constexpr uint32_t kClockCheckMask = 4095;

// The eight formats a host typically has in flight besides 1080p 2vuy, then
// small distinct video formats for the longer walks.
veMediaRecord OtherFormat(int index, int* size) {
  struct Video {
    int32_t width, height;
    uint32_t raster;
  };
  static const Video kTypical[] = {
      {1280, 720, veRasterType::k2vuy}, {1920, 1080, veRasterType::kBGRA}, {720, 486, veRasterType::k2vuy},
      {3840, 2160, veRasterType::k2vuy}, {1920, 1080, veRasterType::kV210}, {1920, 1080, veRasterType::kI420}};
  if (index < 6) {
    veMediaRecord format(veMediaTypeVideo);
    format.SetWidth(kTypical[index].width);
    format.SetHeight(kTypical[index].height);
    format.SetRasterType(kTypical[index].raster);
    format.SetBytesPerRowBasedOnFormat();
    *size = -1;
    return format;
  }
  if (index < 8) {
    // One cue period and one 10 ms block of working-format stereo.
    *size = index == 6 ? static_cast<int>(kPeriodBytes) : kBlockFrames48k * 4;
    return WorkingAudioFormat(kStereo);
  }
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(16 + 2 * index);
  format.SetHeight(16);
  format.SetRasterType(veRasterType::kRgba);
  format.SetBytesPerRowBasedOnFormat();
  *size = -1;
  return format;
}

// Which buffer the measured request asks for.
enum class Measured { kHdFrame, kAudioPeriod, kAudioBlock };

veMediaRecord MeasuredFormat(Measured measured, int* size) {
  switch (measured) {
    case Measured::kHdFrame:
      *size = -1;
      return HdFrameFormat();
    case Measured::kAudioPeriod:
      *size = static_cast<int>(kPeriodBytes);
      return WorkingAudioFormat(kStereo);
    case Measured::kAudioBlock:
      break;
  }
  *size = kBlockFrames48k * 4;
  return WorkingAudioFormat(kStereo);
}

// A group whose cache holds buckets of `others` other formats, made before
// the measured format's bucket: with a walk over the buckets every request
// would pass them all; with the index the count should not matter.
struct CacheScene {
  GroupRef group;
  std::vector<veMediaRecord> otherFormats;
  std::vector<int> otherSizes;
  veMediaRecord format;
  int size = -1;
  std::chrono::steady_clock::time_point lastRefresh;

  bool Request(const veMediaRecord& f, int s, std::vector<BufferRef>& into) {
    kaBuffer2* out = nullptr;
    if (group->allocate_buffer(f, s, 1, 0, &out) != 0 || !out) return false;
    into.emplace_back(out);
    return true;
  }

  bool Build(int others, Measured measured) {
    group.reset(new kaBufferGroup2());
    std::vector<BufferRef> held;
    for (int i = 0; i < others; ++i) {
      int s = 0;
      otherFormats.push_back(OtherFormat(i, &s));
      otherSizes.push_back(s);
    }
    format = MeasuredFormat(measured, &size);
    // Audio buckets match by size alone: an "other" audio bucket of the
    // measured size would be the measured bucket itself.
    for (int i = 0; i < others; ++i) {
      for (int k = 0; k < kIdlePerOtherBucket; ++k) {
        if (!Request(otherFormats[i], otherSizes[i], held)) return false;
      }
      held.clear();  // released in request order: the bucket is made now
    }
    for (int k = 0; k < kIdleMeasured; ++k) {
      if (!Request(format, size, held)) return false;
    }
    held.clear();
    lastRefresh = std::chrono::steady_clock::now();
    return true;
  }

  void MaybeRefresh() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastRefresh < kRefreshInterval) return;
    lastRefresh = now;
    std::vector<BufferRef> held;
    for (size_t i = 0; i < otherFormats.size(); ++i) {
      for (int k = 0; k < kIdlePerOtherBucket; ++k) {
        // One at a time: the bucket keeps its other buffer meanwhile.
        if (Request(otherFormats[i], otherSizes[i], held)) held.clear();
      }
    }
  }
};

CacheScene* gScene = nullptr;

void CacheHitKasp2(benchmark::State& state, Measured measured) {
  const int others = static_cast<int>(state.range(0));
  if (state.thread_index() == 0) {
    gScene = new CacheScene();
    if (!gScene->Build(others, measured)) state.SkipWithError("the group made no buffer");
  }
  // Other threads see the scene only once the timing loop has started (the
  // loop's start is a barrier for all threads).
  const kaCacheStatistics before = state.thread_index() == 0 ? gScene->group->GetStatistics() : kaCacheStatistics{};
  uint32_t n = 0;
  for (auto _ : state) {
    CacheScene& scene = *gScene;
    kaBuffer2* out = nullptr;
    scene.group->allocate_buffer(scene.format, scene.size, 1, 0, &out);
    benchmark::DoNotOptimize(out);
    if (out) out->Release();
    if (state.thread_index() == 0 && (++n & kClockCheckMask) == 0) scene.MaybeRefresh();
  }
  if (state.thread_index() == 0) {
    const kaCacheStatistics after = gScene->group->GetStatistics();
    // Every request should have been a hit; a miss means the scene was not
    // the steady state it claims to be.
    state.counters["misses"] = static_cast<double>(after.misses - before.misses);
    delete gScene;
    gScene = nullptr;
  }
}

void BM_CacheHit_Kasp2_HdFrame(benchmark::State& state) { CacheHitKasp2(state, Measured::kHdFrame); }
void BM_CacheHit_Kasp2_AudioPeriod(benchmark::State& state) { CacheHitKasp2(state, Measured::kAudioPeriod); }
void BM_CacheHit_Kasp2_AudioBlock(benchmark::State& state) { CacheHitKasp2(state, Measured::kAudioBlock); }

// 8 other buckets is a typical host; 128 shows whether the lookup and the
// age sweep still depend on the number of buckets ("128 vs 8 buckets").
BENCHMARK(BM_CacheHit_Kasp2_HdFrame)->Arg(8)->Threads(1)->Threads(2);
BENCHMARK(BM_CacheHit_Kasp2_HdFrame)->Arg(0)->Arg(32)->Arg(64)->Arg(128)->Threads(1);
BENCHMARK(BM_CacheHit_Kasp2_AudioPeriod)->Arg(0)->Threads(1);
BENCHMARK(BM_CacheHit_Kasp2_AudioBlock)->Arg(0)->Threads(1);

// malloc, one write per 4 KiB page, free: what a buffer without any pool
// costs (the memory is reused by glibc, so few pages fault).
void BM_CacheHit_MallocTouchFree(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    auto* p = static_cast<volatile unsigned char*>(std::malloc(bytes));
    if (!p) {
      state.SkipWithError("malloc failed");
      break;
    }
    for (size_t offset = 0; offset < bytes; offset += 4096) p[offset] = 1;
    std::free(const_cast<unsigned char*>(p));
  }
}
BENCHMARK(BM_CacheHit_MallocTouchFree)->Arg(static_cast<int64_t>(kHdFrameBytes))->Threads(1)->Threads(2);

#if KASP2_BENCH_HAVE_FFMPEG
AVBufferPool* gPool = nullptr;

// FFmpeg's pool of equal-size buffers: av_buffer_pool_get + av_buffer_unref.
void BM_CacheHit_FFmpegPool(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  if (state.thread_index() == 0) {
    gPool = av_buffer_pool_init(bytes, nullptr);
    AVBufferRef* warm[kIdleMeasured] = {};
    for (auto*& ref : warm) ref = av_buffer_pool_get(gPool);
    for (auto*& ref : warm) av_buffer_unref(&ref);
  }
  for (auto _ : state) {
    AVBufferRef* ref = av_buffer_pool_get(gPool);
    benchmark::DoNotOptimize(ref);
    av_buffer_unref(&ref);
  }
  if (state.thread_index() == 0) av_buffer_pool_uninit(&gPool);
}
BENCHMARK(BM_CacheHit_FFmpegPool)->Arg(static_cast<int64_t>(kHdFrameBytes))->Threads(1)->Threads(2);

// The 8-bucket hit and FFmpeg's pool, as above, on one thread in alternate
// turns of 256 calls: the ratio of the two on one and the same machine.
void BM_CacheHit_HdFrameVsFFmpegPoolPaired(benchmark::State& state) {
  CacheScene scene;
  if (!scene.Build(8, Measured::kHdFrame)) {
    state.SkipWithError("the group made no buffer");
    return;
  }
  AVBufferPool* pool = av_buffer_pool_init(kHdFrameBytes, nullptr);
  AVBufferRef* warm[kIdleMeasured] = {};
  for (auto*& ref : warm) ref = av_buffer_pool_get(pool);
  for (auto*& ref : warm) av_buffer_unref(&ref);
  const uint64_t missesBefore = scene.group->GetStatistics().misses;
  uint32_t n = 0;
  RunPaired(
      state,
      [&] {
        kaBuffer2* out = nullptr;
        scene.group->allocate_buffer(scene.format, scene.size, 1, 0, &out);
        benchmark::DoNotOptimize(out);
        if (out) out->Release();
        if ((++n & kClockCheckMask) == 0) scene.MaybeRefresh();
      },
      [&] {
        AVBufferRef* ref = av_buffer_pool_get(pool);
        benchmark::DoNotOptimize(ref);
        av_buffer_unref(&ref);
      },
      256);
  state.counters["misses"] = static_cast<double>(scene.group->GetStatistics().misses - missesBefore);
  av_buffer_pool_uninit(&pool);
}
BENCHMARK(BM_CacheHit_HdFrameVsFFmpegPoolPaired);
#endif

}  // namespace
}  // namespace kasp2bench
