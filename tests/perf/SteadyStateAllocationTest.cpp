// Every steady-state path of a live show, run thousands of times after a
// warm-up, must make no heap allocation: a working-format audio delivery,
// converted deliveries, an audio cue, a video delivery and cue without delay,
// and a buffer request served from the group's cache in each of the group's
// forms. The warm-up lets the caches, pools, converters and record shapes
// settle; after it the counter must stay at zero. Each test also checks that
// the work really happened (bytes in the ring, frames handed out, hits
// counted), so that a path that silently did nothing cannot pass.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "support/AllocationCounter.h"
#include "support/ManualClock.h"
#include "support/TestHostMethods.h"
#include "support/TestVideoRenderer.h"

namespace {

constexpr int kWarmUpIterations = 200;
constexpr int kCountedIterations = 3000;

constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
constexpr int kFl32 = static_cast<int>(zFourCC("fl32"));
constexpr int kStereo = 2;
constexpr int kBlockFrames48k = 480;  // 10 ms
constexpr int kBlockFrames44k = 441;  // 10 ms
constexpr int kPeriodFrames = 1600;   // one cue period
constexpr int64_t kPeriodMicros = 33'333;

using GroupRef = std::unique_ptr<kaBufferGroup2, zReleaseDeleter>;
using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;

// The audio renderer a plug-in would define, showing how much data its ring
// holds.
class CountingAudioRenderer : public kaPluginAudioRenderer {
 public:
  using Ptr = std::unique_ptr<CountingAudioRenderer, zReleaseDeleter>;
  using kaPluginAudioRenderer::Cue;
  static Ptr Make(kaBufferGroup2& group, kaSourcesPluginMethods& methods) {
    return Ptr(new CountingAudioRenderer(group, methods));
  }
  uint32_t RendererKind() const override { return zFourCC("caud"); }
  int32_t Cue(kaBuffer2** out, const ka_renderer_params& params) override {
    return kaPluginAudioRenderer::Cue(out, params, 0, 3);
  }
  uint32_t RingData() { return ringBuffer.AvailableData(); }

 protected:
  CountingAudioRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginAudioRenderer("mic", group, methods) {}
  ~CountingAudioRenderer() override = default;
};

// Interleaved stereo 16-bit samples of a tone that never rests at zero.
std::vector<int16_t> Tone(int frames) {
  std::vector<int16_t> samples(static_cast<size_t>(frames) * kStereo);
  for (int i = 0; i < frames; ++i) {
    const auto value = static_cast<int16_t>(1000 + std::lround(8000.0 * std::sin(i * 0.05)));
    samples[2 * i] = value;
    samples[2 * i + 1] = static_cast<int16_t>(-value);
  }
  return samples;
}

std::vector<float> ToFloat(const std::vector<int16_t>& samples) {
  std::vector<float> out(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) out[i] = static_cast<float>(samples[i]) / 32768.0f;
  return out;
}

bool HasSound(const kaBuffer2& buffer) {
  const unsigned char* bytes = buffer.GetStorage();
  for (uint32_t i = 0; bytes && i < buffer.StorageSize(); ++i) {
    if (bytes[i] != 0) return true;
  }
  return false;
}

veMediaRecord VideoFormat(int32_t width, int32_t height, uint32_t raster) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(raster);
  return format;
}

class SteadyStateAllocationTest : public ManualClockTest {
 protected:
  void SetUp() override {
    if (!AllocationCounter::IsCounting()) {
      GTEST_SKIP() << "this build's runtime owns operator new: allocations are not counted";
    }
    group.reset(new kaBufferGroup2());
    host = TestHostMethods::Make();
    // With recording off the host table itself allocates nothing.
    host->SetRecording(false);
  }

  // Runs `step` kWarmUpIterations times, then kCountedIterations times with
  // the allocations of this thread counted; returns that count. A step that
  // reports a failure stops the run (and fails the test).
  int64_t CountSteadyStateAllocations(const std::function<bool(int)>& step) {
    for (int i = 0; i < kWarmUpIterations; ++i) {
      if (!step(i)) {
        ADD_FAILURE() << "warm-up step " << i << " failed";
        return -1;
      }
    }
    AllocationCounter counter;
    for (int i = 0; i < kCountedIterations; ++i) {
      if (!step(kWarmUpIterations + i)) {
        ADD_FAILURE() << "step " << i << " failed";
        return -1;
      }
    }
    return counter.Allocations();
  }

  GroupRef group;
  TestHostMethods::Ptr host;
};

// ---- audio delivery -----------------------------------------------------------

TEST_F(SteadyStateAllocationTest, SowtDeliveryAt48kHzAllocatesNothing) {
  host->SetRequest(TestHostMethods::Request::kMetadata);
  CountingAudioRenderer::Ptr renderer = CountingAudioRenderer::Make(*group, *host);
  std::vector<int16_t> block = Tone(kBlockFrames48k);
  const int bytes = static_cast<int>(block.size() * sizeof(int16_t));
  const int64_t allocations = CountSteadyStateAllocations([&](int) {
    renderer->OnReceive(veTimeRange{}, block.data(), bytes, 48000, kStereo, kSowt);
    return true;
  });
  EXPECT_EQ(allocations, 0);
  constexpr int kBlocks = kWarmUpIterations + kCountedIterations;
  EXPECT_EQ(host->AudioCount(), kBlocks);
  EXPECT_EQ(renderer->RingData(), static_cast<uint32_t>(kBlocks * bytes));
}

TEST_F(SteadyStateAllocationTest, SowtDeliveryWhoseBufferTheHostTakesAllocatesNothing) {
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  CountingAudioRenderer::Ptr renderer = CountingAudioRenderer::Make(*group, *host);
  std::vector<int16_t> block = Tone(kBlockFrames48k);
  const int bytes = static_cast<int>(block.size() * sizeof(int16_t));
  const veTimeRange range{48000, 0, 48000, kBlockFrames48k};
  const kaCacheStatistics before = group->GetStatistics();
  const int64_t allocations = CountSteadyStateAllocations([&](int) {
    renderer->OnReceive(range, block.data(), bytes, 48000, kStereo, kSowt);
    return true;
  });
  EXPECT_EQ(allocations, 0);
  // Every offer made the host a buffer: the first from the factory, the
  // rest from the cache.
  const kaCacheStatistics after = group->GetStatistics();
  EXPECT_EQ(after.hits + after.misses - before.hits - before.misses,
            static_cast<uint64_t>(kWarmUpIterations + kCountedIterations));
  EXPECT_LE(after.misses - before.misses, 1u);
}

TEST_F(SteadyStateAllocationTest, Fl32DeliveryAt48kHzAllocatesNothingOnceTheConverterExists) {
  host->SetRequest(TestHostMethods::Request::kMetadata);
  CountingAudioRenderer::Ptr renderer = CountingAudioRenderer::Make(*group, *host);
  std::vector<float> block = ToFloat(Tone(kBlockFrames48k));
  const int bytes = static_cast<int>(block.size() * sizeof(float));
  const int64_t allocations = CountSteadyStateAllocations([&](int) {
    renderer->OnReceive(veTimeRange{}, block.data(), bytes, 48000, kStereo, kFl32);
    return true;
  });
  EXPECT_EQ(allocations, 0);
  // Each block became 480 working-format frames in the ring.
  EXPECT_EQ(renderer->RingData(),
            static_cast<uint32_t>((kWarmUpIterations + kCountedIterations) * kBlockFrames48k * kStereo * 2));
}

TEST_F(SteadyStateAllocationTest, SowtDeliveryAt44kHzAllocatesNothingOnceTheConverterExists) {
  host->SetRequest(TestHostMethods::Request::kMetadata);
  CountingAudioRenderer::Ptr renderer = CountingAudioRenderer::Make(*group, *host);
  std::vector<int16_t> block = Tone(kBlockFrames44k);
  const int bytes = static_cast<int>(block.size() * sizeof(int16_t));
  const int64_t allocations = CountSteadyStateAllocations([&](int) {
    renderer->OnReceive(veTimeRange{}, block.data(), bytes, 44100, kStereo, kSowt);
    return true;
  });
  EXPECT_EQ(allocations, 0);
  // 10 ms at 44.1 kHz is 480 frames at 48 kHz, less the resampler's short
  // start-up delay.
  constexpr int kBlocks = kWarmUpIterations + kCountedIterations;
  const uint32_t expected = kBlocks * kBlockFrames48k * kStereo * 2;
  EXPECT_GT(renderer->RingData(), expected - 10'000u);
  EXPECT_LE(renderer->RingData(), expected);
}

// ---- audio cue ------------------------------------------------------------------

TEST_F(SteadyStateAllocationTest, AudioCueAllocatesNothing) {
  host->SetRequest(TestHostMethods::Request::kNothing);
  CountingAudioRenderer::Ptr renderer = CountingAudioRenderer::Make(*group, *host);
  std::vector<int16_t> period = Tone(kPeriodFrames);
  const int bytes = static_cast<int>(period.size() * sizeof(int16_t));
  // Two periods ahead, so that the first cue finds enough to prime.
  renderer->OnReceive(veTimeRange{}, period.data(), bytes, 48000, kStereo, kSowt);
  renderer->OnReceive(veTimeRange{}, period.data(), bytes, 48000, kStereo, kSowt);
  int withSound = 0;
  // One plug-in delivery and one host cue (and its release) per output
  // period, the clock moving one period each time.
  const int64_t allocations = CountSteadyStateAllocations([&](int) {
    clock().Advance(kPeriodMicros);
    renderer->OnReceive(veTimeRange{}, period.data(), bytes, 48000, kStereo, kSowt);
    kaBuffer2* out = nullptr;
    if (renderer->Cue(&out, ka_renderer_params{clock().Now()}, 0, 3) != 0 || !out) return false;
    BufferRef cued(out);
    if (cued->StorageSize() != static_cast<uint32_t>(bytes)) return false;
    withSound += HasSound(*cued) ? 1 : 0;
    return true;
  });
  EXPECT_EQ(allocations, 0);
  // The first cue primes (three periods are in the ring by then) and every
  // cue reads audio.
  EXPECT_EQ(withSound, kWarmUpIterations + kCountedIterations);
}

// ---- video ------------------------------------------------------------------------

TEST_F(SteadyStateAllocationTest, VideoDeliveryAndCueWithoutDelayAllocateNothing) {
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  TestVideoRenderer::Ptr renderer = TestVideoRenderer::Make("camera", *group, *host);
  int64_t cueTime = 1'000'000;
  // The plug-in takes a frame from the group, delivers it and lets go; the
  // host cues, checks it got that frame and releases it.
  const int64_t allocations = CountSteadyStateAllocations([&](int) {
    std::shared_ptr<kaGPUAccessibleBuffer> frame =
        group->CreateGPUAccessibleBuffer(1280, 720, static_cast<int>(veRasterType::k2vuy));
    if (!frame) return false;
    renderer->OnReceiveVideo(frame.get());
    kaBuffer2* raw = frame.get();
    frame.reset();
    kaBuffer2* out = nullptr;
    if (renderer->CueVideo(&out, ka_renderer_params{cueTime}) != 0 || out != raw) {
      if (out) out->Release();
      return false;
    }
    cueTime += kPeriodMicros;
    const bool stamped = out->DirtiedTime() == cueTime - kPeriodMicros;
    out->Release();
    return stamped;
  });
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(host->VideoCount(), kWarmUpIterations + kCountedIterations);
}

// ---- cache hits in every form of the group -------------------------------------------

struct AllocationForm {
  const char* name;
  // Asks the group for one buffer and lets it go; false when nothing came.
  std::function<bool(kaBufferGroup2& group)> allocateAndRelease;
};

// Test names and failure messages show the form's name.
void PrintTo(const AllocationForm& form, std::ostream* os) { *os << form.name; }

const veMediaRecord& HdFrame() {
  static const veMediaRecord format = [] {
    veMediaRecord f = VideoFormat(1920, 1080, veRasterType::k2vuy);
    f.SetBytesPerRow(3840);
    return f;
  }();
  return format;
}

const veMediaRecord& WorkingAudio() {
  static const veMediaRecord format = [] {
    veMediaRecord f(veMediaTypeAudio);
    f.SetSampleRate(48000);
    f.SetChannelBuffers(1);
    f.SetChannels(kStereo);
    f.SetBitsPerSample(16);
    return f;
  }();
  return format;
}

bool Released(kaBuffer2* buffer) {
  if (!buffer) return false;
  buffer->Release();
  return true;
}

const std::vector<AllocationForm>& AllocationForms() {
  static const std::vector<AllocationForm> forms = {
      {"allocate_buffer_video",
       [](kaBufferGroup2& g) {
         kaBuffer2* out = nullptr;
         return g.allocate_buffer(HdFrame(), -1, 1, 0, &out) == 0 && Released(out);
       }},
      {"allocate_buffer_video_without_row_bytes",
       [](kaBufferGroup2& g) {
         // The group completes the record on a copy of its own.
         static const veMediaRecord format = VideoFormat(640, 360, veRasterType::kBGRA);
         kaBuffer2* out = nullptr;
         return g.allocate_buffer(format, -1, 1, 0, &out) == 0 && Released(out);
       }},
      {"allocate_buffer_audio",
       [](kaBufferGroup2& g) {
         kaBuffer2* out = nullptr;
         return g.allocate_buffer(WorkingAudio(), -1, kPeriodFrames, 0, &out) == 0 && Released(out);
       }},
      {"CreateBuffer_count",
       [](kaBufferGroup2& g) {
         kaBuffer2* out = nullptr;
         return g.CreateBuffer(HdFrame(), 1, 0, &out) == 0 && Released(out);
       }},
      {"CreateBuffer_size",
       [](kaBufferGroup2& g) {
         kaBuffer2* out = nullptr;
         return g.CreateBuffer(WorkingAudio(), 1920, 480, 0, &out) == 0 && Released(out);
       }},
      {"CreateGPUAccessibleBuffer_out_pointer",
       [](kaBufferGroup2& g) {
         kaGPUAccessibleBuffer* out = nullptr;
         return g.CreateGPUAccessibleBuffer(HdFrame(), &out) == 0 && Released(out);
       }},
      {"CreateGPUAccessibleBuffer_size",
       [](kaBufferGroup2& g) {
         return g.CreateGPUAccessibleBuffer(1920, 1080, static_cast<int>(veRasterType::k2vuy)) != nullptr;
       }},
      {"CreateGPUAccessibleBuffer_shared_pointer",
       [](kaBufferGroup2& g) {
         std::shared_ptr<kaGPUAccessibleBuffer> out;
         return g.CreateGPUAccessibleBuffer(HdFrame(), out) == 0 && out != nullptr;
       }},
      {"CreateGPUAccessibleBufferFromData",
       [](kaBufferGroup2& g) {
         static const std::vector<unsigned char> image(64 * 4 * 32, 0x5A);
         static const veMediaRecord format = [] {
           veMediaRecord f = VideoFormat(64, 32, veRasterType::kRgba);
           f.SetBytesPerRow(64 * 4);
           return f;
         }();
         kaGPUAccessibleBuffer* out = nullptr;
         if (g.CreateGPUAccessibleBufferFromData(format, image.data(), image.size(), &out) != 0 || !out) return false;
         const bool copied = out->GetStorage() && out->GetStorage()[0] == 0x5A;
         return Released(out) && copied;
       }},
      {"CreateBlankGPUAccessibleBuffer_out_pointer",
       [](kaBufferGroup2& g) {
         kaGPUAccessibleBuffer* out = nullptr;
         return g.CreateBlankGPUAccessibleBuffer(VideoFormat(320, 180, veRasterType::k2vuy), false, &out) == 0 &&
                Released(out);
       }},
      {"CreateBlankGPUAccessibleBuffer_shared_pointer",
       [](kaBufferGroup2& g) {
         std::shared_ptr<kaGPUAccessibleBuffer> out;
         return g.CreateBlankGPUAccessibleBuffer(VideoFormat(320, 180, veRasterType::kRgba), true, out) == 0 &&
                out != nullptr;
       }},
      {"CreateColoredBuffer",
       [](kaBufferGroup2& g) { return Released(g.CreateColoredBuffer(320, 180, 0xFF336699u)); }},
      {"MakeAudioBuffer",
       [](kaBufferGroup2& g) {
         static std::vector<int16_t> block = Tone(kBlockFrames48k);
         const veTimeRange range{48000, 960, 48000, kBlockFrames48k};
         return g.MakeAudioBuffer(block.data(), static_cast<int>(block.size() * sizeof(int16_t)), kSowt, 48000,
                                  kStereo, range) != nullptr;
       }},
  };
  return forms;
}

class CacheHitAllocationTest : public SteadyStateAllocationTest,
                               public ::testing::WithParamInterface<AllocationForm> {};

TEST_P(CacheHitAllocationTest, CacheHitAllocatesNothing) {
  const AllocationForm& form = GetParam();
  // A few other formats in the cache, as in a live show: the request walks
  // past their buckets.
  for (const veMediaRecord& other : {VideoFormat(720, 486, veRasterType::k2vuy), VideoFormat(64, 64, veRasterType::kRgba)}) {
    kaBuffer2* out = nullptr;
    ASSERT_EQ(group->allocate_buffer(other, -1, 1, 0, &out), 0);
    out->Release();
  }
  const kaCacheStatistics warm = [&] {
    for (int i = 0; i < kWarmUpIterations; ++i) EXPECT_TRUE(form.allocateAndRelease(*group)) << form.name;
    return group->GetStatistics();
  }();
  AllocationCounter counter;
  int served = 0;
  for (int i = 0; i < kCountedIterations; ++i) served += form.allocateAndRelease(*group) ? 1 : 0;
  const int64_t allocations = counter.Allocations();
  EXPECT_EQ(allocations, 0) << form.name;
  EXPECT_EQ(served, kCountedIterations);
  // Every counted request was a hit.
  const kaCacheStatistics after = group->GetStatistics();
  EXPECT_EQ(after.hits - warm.hits, static_cast<uint64_t>(kCountedIterations));
  EXPECT_EQ(after.misses, warm.misses);
}

INSTANTIATE_TEST_SUITE_P(EveryForm, CacheHitAllocationTest, ::testing::ValuesIn(AllocationForms()),
                         [](const ::testing::TestParamInfo<AllocationForm>& param) { return param.param.name; });

}  // namespace
