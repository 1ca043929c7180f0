// Every steady-state path of a live show, run thousands of times after a
// warm-up, must make no heap allocation and take no page fault: audio deliveries in the working
// format, converted, drift-corrected (step and smooth), an audio cue, a
// video delivery and cue without delay, and a buffer request served from the
// group's cache in each of the group's forms. The warm-up lets caches, pools, converters and
// record shapes settle. Each row also checks that the work really happened
// (bytes in the ring, frames handed out, hits counted), so that a path that
// silently did nothing cannot pass.
#include <gtest/gtest.h>

#include <cstring>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "support/AllocationCounter.h"
#include "support/ManualClock.h"
#include "support/TestAudioRenderer.h"
#include "support/TestHostMethods.h"
#include "support/TestRecords.h"
#include "support/TestVideoRenderer.h"

namespace {

constexpr int kWarmUp = 200;
constexpr int kCounted = 3000;
constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
constexpr int kFl32 = static_cast<int>(zFourCC("fl32"));
constexpr int kStereo = 2;
constexpr int64_t kPeriodMicros = 33'333;  // a cue period: 1600 frames

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;
// Test names are the rows' names.
constexpr auto kRowName = [](const auto& row) { return std::string(row.param.name); };

class SteadyStateAllocationTest : public ManualClockTest {
 protected:
  void SetUp() override {
    if (!AllocationCounter::IsCounting()) GTEST_SKIP() << "this build's runtime owns operator new";
    host->SetRecording(false);  // then the host table itself allocates nothing
  }

  // Runs `step` warmUp times, calls `warmedUp`, then runs it kCounted times;
  // returns how many allocations this thread made meanwhile. Every step must
  // return true: it did its work. Nor may the steady state take a page fault
  // (where faults are counted): a fault is a kernel entry on the live path,
  // and memory touched for the first time in the middle of a show.
  static int64_t CountSteadyStateAllocations(const std::function<bool()>& step, int warmUp = kWarmUp,
                                             const std::function<void()>& warmedUp = {}) {
    AllocationCounter counter;
    int failed = 0;
    for (int i = 0; i < warmUp + kCounted; ++i) {
      if (i == warmUp && warmedUp) warmedUp();
      if (i == warmUp) counter.Reset();
      failed += step() ? 0 : 1;
    }
    EXPECT_EQ(failed, 0) << "steps that did not do their work";
    EXPECT_LE(counter.PageFaults(), 0) << "page faults in the steady state";
    return counter.Allocations();
  }

  std::unique_ptr<kaBufferGroup2, zReleaseDeleter> group{new kaBufferGroup2()};
  TestHostMethods::Ptr host = TestHostMethods::Make();
};

// ---- a plug-in delivering 10 ms audio blocks ------------------------------------

// `request` kMetadataThenBuffer: the host takes a buffer of every block. When
// `driftCorrected`, the blocks come 500 ppm slow of the clock, so that
// adjustments are made; `smooth`: in smooth mode, every block resampled, the
// ratio moving. `ringSlack`: bytes the ring may miss 480 frames a block by
// (resampler delay, adjustments).
struct Delivery {
  const char* name; TestHostMethods::Request request; int format, rate, frames; bool driftCorrected;
  uint32_t ringSlack; bool smooth = false;
};

void PrintTo(const Delivery& delivery, std::ostream* os) { *os << delivery.name; }

const Delivery kDeliveries[] = {
    {"SowtAt48kHz", TestHostMethods::Request::kMetadata, kSowt, 48000, 480, false, 0},
    {"SowtWhoseBufferTheHostTakes", TestHostMethods::Request::kMetadataThenBuffer, kSowt, 48000, 480, false, 0},
    {"Fl32At48kHz", TestHostMethods::Request::kMetadata, kFl32, 48000, 480, false, 10'000},
    {"SowtAt44kHz", TestHostMethods::Request::kMetadata, kSowt, 44100, 441, false, 10'000},
    {"SowtAt48kHzDriftCorrected", TestHostMethods::Request::kMetadata, kSowt, 48000, 480, true, 10'000},
    {"SowtAt48kHzSmoothDriftCorrected", TestHostMethods::Request::kMetadata, kSowt, 48000, 480, true, 10'000, true},
    {"Fl32At44kHzSmoothDriftCorrected", TestHostMethods::Request::kMetadata, kFl32, 44100, 441, true, 10'000, true},
};

class DeliveryAllocationTest : public SteadyStateAllocationTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(DeliveryAllocationTest, AudioDeliveryAllocatesNothing) {
  const Delivery& path = GetParam();
  host->SetRequest(path.request);
  TestAudioRenderer::Ptr renderer = TestAudioRenderer::Make("mic", *group, *host);
  renderer->SetDriftCorrectionEnabled(path.driftCorrected);
  renderer->SetDriftCorrectionMode(path.smooth ? kaPluginAudioRenderer::DriftCorrectionMode::kSmooth
                                               : kaPluginAudioRenderer::DriftCorrectionMode::kStep);
  // Drift correction measures 30 s before the counting starts: its history has then filled its window.
  const int warmUp = path.driftCorrected ? 3000 : kWarmUp;
  // 10 ms of 0.25 in every sample; read as 16-bit samples, 0 and 16000.
  std::vector<float> block(static_cast<size_t>(path.frames) * kStereo, 0.25f);
  const int bytes = path.frames * kStereo * (path.format == kFl32 ? 4 : 2);
  const veTimeRange range{path.rate, 0, path.rate, static_cast<uint64_t>(path.frames)};
  long long adjustedInWarmUp = 0;
  double ratioAfterWarmUp = 1.0;
  EXPECT_EQ(CountSteadyStateAllocations(
                [&] {
                  clock().Advance(path.driftCorrected ? 10'005 : 10'000);
                  renderer->OnReceive(range, block.data(), bytes, path.rate, kStereo, path.format);
                  return true;
                },
                warmUp,
                [&] {
                  adjustedInWarmUp = renderer->DriftAdjustment();
                  ratioAfterWarmUp = renderer->GetSmoothDriftStatus().ratio;
                }),
            0);

  const int blocks = warmUp + kCounted;
  EXPECT_EQ(host->AudioCount(), blocks);
  EXPECT_NEAR(renderer->ringBuffer.AvailableData(), blocks * 480.0 * kStereo * 2, path.ringSlack);
  const bool corrected = path.smooth ? renderer->GetSmoothDriftStatus().ratio != ratioAfterWarmUp
                                     : renderer->DriftAdjustment() != adjustedInWarmUp;
  EXPECT_EQ(corrected, path.driftCorrected) << "adjustments (a ratio that moved) while counting";
  EXPECT_TRUE(!path.smooth || renderer->GetSmoothDriftStatus().ratio < 1.0) << "the slow source is stretched";
  if (path.request == TestHostMethods::Request::kMetadataThenBuffer) {
    // The host took a buffer of every block: the first from the factory, the rest from the cache.
    EXPECT_EQ(group->GetStatistics().hits, blocks - 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryDelivery, DeliveryAllocationTest, ::testing::ValuesIn(kDeliveries), kRowName);

// One plug-in delivery and one host cue (and its release) per output period,
// the clock moving one period each time; every cue reads a full period of sound.
TEST_F(SteadyStateAllocationTest, AudioCueAllocatesNothing) {
  TestAudioRenderer::Ptr renderer = TestAudioRenderer::Make("mic", *group, *host);
  std::vector<int16_t> period(1600 * kStereo, 1000);
  const int bytes = static_cast<int>(period.size() * sizeof(int16_t));
  for (int i = 0; i < 2; ++i) renderer->OnReceive(veTimeRange{}, period.data(), bytes, 48000, kStereo, kSowt);
  EXPECT_EQ(CountSteadyStateAllocations([&] {
              clock().Advance(kPeriodMicros);
              renderer->OnReceive(veTimeRange{}, period.data(), bytes, 48000, kStereo, kSowt);
              kaBuffer2* out = nullptr;
              if (renderer->Cue(&out, ka_renderer_params{clock().Now()}, 0, 3) != 0 || !out) return false;
              const BufferRef cued(out);
              return cued->StorageSize() == static_cast<uint32_t>(bytes) &&
                     std::memcmp(cued->GetStorage(), period.data(), bytes) == 0;
            }),
            0);
}

// The plug-in takes a frame from the group, delivers it and lets go; the host
// cues, checks it got that frame, stamped with the cue time, and releases it.
TEST_F(SteadyStateAllocationTest, VideoDeliveryAndCueWithoutDelayAllocateNothing) {
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  TestVideoRenderer::Ptr renderer = TestVideoRenderer::Make("camera", *group, *host);
  int64_t cueTime = 1'000'000;
  EXPECT_EQ(CountSteadyStateAllocations([&] {
              std::shared_ptr<kaGPUAccessibleBuffer> frame =
                  group->CreateGPUAccessibleBuffer(1280, 720, veRasterType::k2vuy);
              if (!frame) return false;
              renderer->OnReceiveVideo(frame.get());
              kaBuffer2* const raw = frame.get();
              frame.reset();
              kaBuffer2* out = nullptr;
              cueTime += kPeriodMicros;
              renderer->CueVideo(&out, ka_renderer_params{cueTime});
              const BufferRef cued(out);
              return out == raw && out->DirtiedTime() == cueTime;
            }),
            0);
  EXPECT_EQ(host->VideoCount(), kWarmUp + kCounted);
}

// ---- cache hits in every request form of the group ------------------------------

// What one request hands out through its out pointer, given back at the end
// of the full expression that made the request.
struct Held {
  kaBuffer2* buffer = nullptr;
  kaGPUAccessibleBuffer* gpu = nullptr;
  ~Held() {
    if (buffer) buffer->Release();
    if (gpu) gpu->Release();
  }
};

// A request form: asks the group for one buffer; false when it refused.
struct RequestForm {
  const char* name;
  bool (*request)(kaBufferGroup2& group, Held&& out);
};

void PrintTo(const RequestForm& form, std::ostream* os) { *os << form.name; }

const veMediaRecord kHdFrame = VideoFormat(1920, 1080, veRasterType::k2vuy, 3840);
const veMediaRecord kFrameWithoutRowBytes = [] {
  veMediaRecord format = VideoFormat(64, 36, veRasterType::k2vuy);
  format.SetInt64(veKeyTimeScale, 600);
  return format;
}();
const veMediaRecord kWorkingAudio = AudioFormat(48000, kStereo);

using G = kaBufferGroup2;

const RequestForm kForms[] = {
    {"allocate_buffer_video", [](G& g, Held&& h) { return g.allocate_buffer(kHdFrame, -1, 1, 0, &h.buffer) == 0; }},
    // The group completes a record without bytes per row on a copy of its own, reusing its entries' storage.
    {"allocate_buffer_video_without_row_bytes",
     [](G& g, Held&& h) { return g.allocate_buffer(kFrameWithoutRowBytes, -1, 1, 0, &h.buffer) == 0; }},
    {"allocate_buffer_audio",
     [](G& g, Held&& h) { return g.allocate_buffer(kWorkingAudio, -1, 1600, 0, &h.buffer) == 0; }},
    {"allocate_buffer_frame_held_while_audio_comes_and_goes",
     [](G& g, Held&& h) {
       // Every other call takes a frame and keeps it; the next takes an audio block, whose request drops the
       // frame's emptied bucket, and lets both go: the frame's return makes its bucket again.
       static kaBuffer2* frame = nullptr;
       if (!frame) return g.allocate_buffer(kHdFrame, -1, 1, 0, &frame) == 0;
       const bool served = g.allocate_buffer(kWorkingAudio, -1, 1600, 0, &h.buffer) == 0;
       std::exchange(frame, nullptr)->Release();
       return served;
     }},
    {"CreateBuffer_count", [](G& g, Held&& h) { return g.CreateBuffer(kHdFrame, 1, 0, &h.buffer) == 0; }},
    {"CreateBuffer_size", [](G& g, Held&& h) { return g.CreateBuffer(kWorkingAudio, 1920, 480, 0, &h.buffer) == 0; }},
    {"CreateGPUAccessibleBuffer_out_pointer",
     [](G& g, Held&& h) { return g.CreateGPUAccessibleBuffer(kHdFrame, &h.gpu) == 0; }},
    {"CreateGPUAccessibleBuffer_size",
     [](G& g, Held&&) { return g.CreateGPUAccessibleBuffer(1920, 1080, veRasterType::k2vuy) != nullptr; }},
    {"CreateGPUAccessibleBuffer_shared_pointer",
     [](G& g, Held&&) {
       std::shared_ptr<kaGPUAccessibleBuffer> out;
       return g.CreateGPUAccessibleBuffer(kHdFrame, out) == 0 && out;
     }},
    {"CreateGPUAccessibleBufferFromData",
     [](G& g, Held&& h) {
       static const std::vector<unsigned char> image(64 * 4 * 32, 0x5A);
       static const veMediaRecord format = VideoFormat(64, 32, veRasterType::kRgba, 64 * 4);
       return g.CreateGPUAccessibleBufferFromData(format, image.data(), image.size(), &h.gpu) == 0 &&
              h.gpu->GetStorage()[0] == 0x5A;
     }},
    {"CreateBlankGPUAccessibleBuffer_out_pointer",
     [](G& g, Held&& h) {
       return g.CreateBlankGPUAccessibleBuffer(VideoFormat(320, 180, veRasterType::k2vuy), false, &h.gpu) == 0;
     }},
    {"CreateBlankGPUAccessibleBuffer_shared_pointer",
     [](G& g, Held&&) {
       std::shared_ptr<kaGPUAccessibleBuffer> out;
       return g.CreateBlankGPUAccessibleBuffer(VideoFormat(320, 180, veRasterType::kRgba), true, out) == 0 && out;
     }},
    {"CreateColoredBuffer",
     [](G& g, Held&& h) { return (h.buffer = g.CreateColoredBuffer(320, 180, 0xFF336699u)) != nullptr; }},
    {"MakeAudioBuffer_with_and_without_a_time_range",
     [](G& g, Held&&) {
       // Alternately three time keys and none: a key left from the previous block would show.
       static std::vector<int16_t> block(480 * kStereo, 1000);
       static bool timed = false;
       timed = !timed;
       const veTimeRange range = timed ? veTimeRange{48000, 960, 48000, 480} : veTimeRange{};
       const std::shared_ptr<kaBuffer2> buffer = g.MakeAudioBuffer(block.data(), 480 * 4, kSowt, 48000, 2, range);
       return buffer && buffer->Has(veKeyTime) == timed && buffer->Has(veKeyTimeScale) == timed;
     }},
};

// A request form warms up with this few requests: the first makes its buffer
// (and the bucket its return files it in), the rest let one-time thread-local
// state settle; from then on no request or return allocates, including the
// first ones whose idle buffer crosses a block of its bucket's queue.
constexpr int kCacheWarmUp = 4;

class CacheHitAllocationTest : public SteadyStateAllocationTest, public ::testing::WithParamInterface<RequestForm> {};

TEST_P(CacheHitAllocationTest, CacheHitAllocatesNothing) {
  // Other formats in the cache, as in a live show: the request walks past their buckets.
  for (const veMediaRecord& other :
       {VideoFormat(720, 486, veRasterType::k2vuy), VideoFormat(64, 64, veRasterType::kRgba)}) {
    Held held;
    ASSERT_EQ(group->allocate_buffer(other, -1, 1, 0, &held.buffer), 0);
  }
  kaCacheStatistics warm;
  EXPECT_EQ(CountSteadyStateAllocations(
                [&] { return GetParam().request(*group, Held{}); }, kCacheWarmUp,
                                        [&] { warm = group->GetStatistics(); }),
            0);
  // Every counted request was a hit.
  const kaCacheStatistics after = group->GetStatistics();
  EXPECT_EQ(after.hits - warm.hits, static_cast<uint64_t>(kCounted));
  EXPECT_EQ(after.misses, warm.misses);
}

INSTANTIATE_TEST_SUITE_P(EveryForm, CacheHitAllocationTest, ::testing::ValuesIn(kForms), kRowName);

}  // namespace
