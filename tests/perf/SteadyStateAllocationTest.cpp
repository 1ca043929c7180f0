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
#include "support/TraceCapture.h"

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

// ---- live paths: a plug-in delivering, the host cueing --------------------------

// One steady-state path: made once, then stepped; `check` proves afterwards
// that every step did its work.
struct LivePath {
  const char* name;
  TestHostMethods::Request request;
  int format, rate, blockFrames;  // the plug-in's audio blocks (0 frames: video)
  std::function<void(CountingAudioRenderer&, TestHostMethods&, const kaCacheStatistics& before, int blocks,
                     const kaCacheStatistics& after)>
      check;
};

void PrintTo(const LivePath& path, std::ostream* os) { *os << path.name; }

// Each 10 ms block is 480 working frames in the ring (44.1 kHz: less the
// resampler's start-up delay).
void ExpectRingHoldsEveryBlock(CountingAudioRenderer& renderer, TestHostMethods&, const kaCacheStatistics&,
                               int blocks, const kaCacheStatistics&) {
  const uint32_t expected = static_cast<uint32_t>(blocks) * kBlockFrames48k * kStereo * 2;
  EXPECT_GT(renderer.RingData(), expected - 10'000u);
  EXPECT_LE(renderer.RingData(), expected);
}

const LivePath kLivePaths[] = {
    {"SowtAt48kHz", TestHostMethods::Request::kMetadata, kSowt, 48000, kBlockFrames48k,
     [](CountingAudioRenderer& renderer, TestHostMethods& host, const kaCacheStatistics&, int blocks,
        const kaCacheStatistics&) {
       EXPECT_EQ(host.AudioCount(), blocks);
       EXPECT_EQ(renderer.RingData(), static_cast<uint32_t>(blocks * kBlockFrames48k * kStereo * 2));
     }},
    {"SowtWhoseBufferTheHostTakes", TestHostMethods::Request::kMetadataThenBuffer, kSowt, 48000, kBlockFrames48k,
     [](CountingAudioRenderer&, TestHostMethods&, const kaCacheStatistics& before, int blocks,
        const kaCacheStatistics& after) {
       // Every offer made the host a buffer: the first from the factory, the rest from the cache.
       EXPECT_EQ(after.hits + after.misses - before.hits - before.misses, static_cast<uint64_t>(blocks));
       EXPECT_LE(after.misses - before.misses, 1u);
     }},
    {"Fl32At48kHz", TestHostMethods::Request::kMetadata, kFl32, 48000, kBlockFrames48k, ExpectRingHoldsEveryBlock},
    {"SowtAt44kHz", TestHostMethods::Request::kMetadata, kSowt, 44100, kBlockFrames44k, ExpectRingHoldsEveryBlock},
};

class LivePathAllocationTest : public SteadyStateAllocationTest, public ::testing::WithParamInterface<LivePath> {};

TEST_P(LivePathAllocationTest, AudioDeliveryAllocatesNothing) {
  const LivePath& path = GetParam();
  host->SetRequest(path.request);
  CountingAudioRenderer::Ptr renderer = CountingAudioRenderer::Make(*group, *host);
  std::vector<int16_t> tone = Tone(path.blockFrames);
  std::vector<float> floats = ToFloat(tone);
  void* block = path.format == kFl32 ? static_cast<void*>(floats.data()) : tone.data();
  const int bytes = static_cast<int>(path.format == kFl32 ? floats.size() * sizeof(float) : tone.size() * 2);
  const veTimeRange range{path.rate, 0, path.rate, static_cast<uint64_t>(path.blockFrames)};
  const kaCacheStatistics before = group->GetStatistics();
  EXPECT_EQ(CountSteadyStateAllocations([&](int) {
              renderer->OnReceive(range, block, bytes, path.rate, kStereo, path.format);
              return true;
            }),
            0);
  path.check(*renderer, *host, before, kWarmUpIterations + kCountedIterations, group->GetStatistics());
}

INSTANTIATE_TEST_SUITE_P(EveryDelivery, LivePathAllocationTest, ::testing::ValuesIn(kLivePaths),
                         [](const ::testing::TestParamInfo<LivePath>& param) { return std::string(param.param.name); });

// One plug-in delivery and one host cue (and its release) per output period,
// the clock moving one period each time; the first cue primes and every cue
// reads audio.
TEST_F(SteadyStateAllocationTest, AudioCueAllocatesNothing) {
  CountingAudioRenderer::Ptr renderer = CountingAudioRenderer::Make(*group, *host);
  std::vector<int16_t> period = Tone(kPeriodFrames);
  const int bytes = static_cast<int>(period.size() * sizeof(int16_t));
  for (int i = 0; i < 2; ++i) renderer->OnReceive(veTimeRange{}, period.data(), bytes, 48000, kStereo, kSowt);
  int withSound = 0;
  EXPECT_EQ(CountSteadyStateAllocations([&](int) {
              clock().Advance(kPeriodMicros);
              renderer->OnReceive(veTimeRange{}, period.data(), bytes, 48000, kStereo, kSowt);
              kaBuffer2* out = nullptr;
              if (renderer->Cue(&out, ka_renderer_params{clock().Now()}, 0, 3) != 0 || !out) return false;
              BufferRef cued(out);
              withSound += HasSound(*cued) ? 1 : 0;
              return cued->StorageSize() == static_cast<uint32_t>(bytes);
            }),
            0);
  EXPECT_EQ(withSound, kWarmUpIterations + kCountedIterations);
}

// The audio path's parts on their own: the ring's reads, writes, seeks and
// typed values; the resampler stretching and shrinking blocks by one frame
// (a smaller block reuses the larger buffer); the drift detector measuring
// and adjusting once its history has grown to the window.
TEST_F(SteadyStateAllocationTest, RingResamplerAndDriftDetectorAllocateNothing) {
  kaPluginRingBuffer ring(4096, true);
  std::vector<uint8_t> bytes(1000, 7);
  uint64_t moved = 0;
  EXPECT_EQ(CountSteadyStateAllocations([&](int i) {
              int value = 0;
              moved += ring.Write(bytes.data(), 1000) + ring.Read(bytes.data(), 700);
              moved += ring.ReadAndSeek(bytes.data(), 900);
              ring.Seek(static_cast<unsigned int>(i * 977));
              ring.SeekRelative(-100);
              ring.SeekBackwardsRelativeToWritePosition(300);
              ring << i;
              ring >> value;
              return ring.ElapseTimeSinceLastWrite() == 0;
            }),
            0);
  EXPECT_GT(moved, 0u);

  auto resampler = std::make_shared<kaSingleBufferAudioResampler>();
  std::vector<short> block(kBlockFrames48k * kStereo, 100);
  int64_t delivered = 0;
  const std::function<void(short*, int)> deliver = [&delivered](short*, int frames) { delivered += frames; };
  EXPECT_EQ(CountSteadyStateAllocations([&](int i) {
              resampler->Linear(block.data(), kStereo, kBlockFrames48k, kBlockFrames48k + (i % 2 ? 1 : -1), deliver);
              return true;
            }),
            0);
  EXPECT_EQ(delivered, int64_t{kBlockFrames48k} * (kWarmUpIterations + kCountedIterations));

  // 500 ppm slow, 10 ms and 1 ms blocks; 30 s first, so that the history has
  // reached the window's size and adjustments are being made.
  TraceCapture statistics;
  for (const int64_t periodMicros : {10'000, 1'000}) {
    kaAudioDriftDetector detector("alloc", std::chrono::milliseconds(500), std::chrono::seconds(2));
    const int64_t warm = 30'000'000 / periodMicros;
    auto step = [&](int k) {
      const auto now = static_cast<int64_t>(1e6 + 1.0005 * static_cast<double>(periodMicros) * (warm + k));
      detector.DriftCorrect(static_cast<int>(periodMicros * 48 / 1000), now);
      return true;
    };
    for (int k = -static_cast<int>(warm); k < 0; ++k) step(k);
    const long long adjusted = detector.TotalAdjustment();
    EXPECT_EQ(CountSteadyStateAllocations(step), 0) << periodMicros << " µs blocks";
    EXPECT_GT(detector.TotalAdjustment(), adjusted) << "adjustments were made while counting";
  }
}

// The plug-in takes a frame from the group, delivers it and lets go; the host
// cues, checks it got that frame, stamped, and releases it.
TEST_F(SteadyStateAllocationTest, VideoDeliveryAndCueWithoutDelayAllocateNothing) {
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  TestVideoRenderer::Ptr renderer = TestVideoRenderer::Make("camera", *group, *host);
  int64_t cueTime = 1'000'000;
  EXPECT_EQ(CountSteadyStateAllocations([&](int) {
              std::shared_ptr<kaGPUAccessibleBuffer> frame =
                  group->CreateGPUAccessibleBuffer(1280, 720, static_cast<int>(veRasterType::k2vuy));
              if (!frame) return false;
              renderer->OnReceiveVideo(frame.get());
              kaBuffer2* raw = frame.get();
              frame.reset();
              kaBuffer2* out = nullptr;
              renderer->CueVideo(&out, ka_renderer_params{cueTime});
              BufferRef cued(out);
              cueTime += kPeriodMicros;
              return out == raw && out->DirtiedTime() == cueTime - kPeriodMicros;
            }),
            0);
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
      {"MakeAudioBuffer_with_and_without_a_time_range",
       [](kaBufferGroup2& g) {
         // Alternately three time keys and none: a key left from the previous block would show.
         static std::vector<int16_t> block = Tone(kBlockFrames48k);
         static bool timed = false;
         timed = !timed;
         const veTimeRange range = timed ? veTimeRange{48000, 960, 48000, kBlockFrames48k} : veTimeRange{};
         const std::shared_ptr<kaBuffer2> buffer = g.MakeAudioBuffer(
             block.data(), static_cast<int>(block.size() * sizeof(int16_t)), kSowt, 48000, kStereo, range);
         return buffer && buffer->Has(veKeyTime) == timed && buffer->Has(veKeyTimeScale) == timed;
       }},
      {"allocate_buffer_video_with_a_keyed_entry",
       [](kaBufferGroup2& g) {
         // No row bytes and a keyed entry: the group's completed copy must reuse its storage.
         static const veMediaRecord format = [] {
           veMediaRecord f = VideoFormat(64, 36, veRasterType::k2vuy);
           f.SetInt64(veKeyTimeScale, 600);
           return f;
         }();
         kaBuffer2* out = nullptr;
         return g.allocate_buffer(format, -1, 1, 0, &out) == 0 && Released(out);
       }},
      {"allocate_buffer_frame_held_while_audio_comes_and_goes",
       [](kaBufferGroup2& g) {
         // Every other call takes a frame and keeps it; the next takes an audio block, whose request drops the
         // frame's emptied bucket, and lets both go: the frame's return makes its bucket again.
         static kaBuffer2* held = nullptr;
         if (!held) return g.allocate_buffer(HdFrame(), -1, 1, 0, &held) == 0 && held != nullptr;
         kaBuffer2* out = nullptr;
         const bool served = g.allocate_buffer(WorkingAudio(), -1, kPeriodFrames, 0, &out) == 0 && Released(out);
         return Released(std::exchange(held, nullptr)) && served;
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
