// The sample plug-ins: what the tone generator puts in its blocks, byte for
// byte, and how the sample renderers lead the host's cue into the library.
// The pattern generator's pictures, the counter's decoding and the tone
// clock's carried fractions are checked end to end by the host simulator's
// runs (tests/apps/HostSimTest.cpp), which use these plug-ins as sources.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SampleAudioRenderer.h"
#include "SampleVideoRenderer.h"
#include "TestPatternGenerator.h"
#include "ToneGenerator.h"
#include "support/ManualClock.h"
#include "support/TraceCapture.h"

namespace {

// A frame from the group carries its number and time range; delivered to the
// sample renderer it is what the host's two-argument Cue returns, and the
// renderer learns 29.97 frames per second from it.
TEST(SampleVideoRendererTest, HostCueShowsDeliveredFrameAndLearnsRate) {
  std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  std::unique_ptr<kaSourcesPluginMethods, zReleaseDeleter> host(new kaSourcesPluginMethods());
  TestPatternGenerator generator({640, 360, veRasterType::k2vuy, 30000, 1001});
  SampleVideoRenderer::Ptr renderer = SampleVideoRenderer::Make("pattern", *group, *host);
  ASSERT_TRUE(renderer);
  EXPECT_EQ(renderer->RendererKind(), zFourCC("svid"));

  kaBuffer2* first = generator.NextFrame(*group);
  kaBuffer2* second = generator.NextFrame(*group);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(second->AsInt64(TestPatternGenerator::kFrameNumberKey, -1), 1);
  EXPECT_EQ(second->GetBufferTimeRange(), (veTimeRange{30000, 1001, 30000, 1001}));
  renderer->OnReceiveVideo(first);
  renderer->OnReceiveVideo(second);

  kaBuffer2* shown = nullptr;
  kaRenderer2& asHost = *renderer;
  EXPECT_EQ(asHost.Cue(&shown, ka_renderer_params{5'000'000}), 0);
  EXPECT_EQ(shown, second);
  EXPECT_EQ(shown->DirtiedTime(), 5'000'000);
  veMediaRecord format;
  renderer->OutputFormat(veMediaTypeVideo, format, 0);
  EXPECT_EQ(format.AsInt64(veKeyTimeScale, 0), 30000);
  EXPECT_EQ(format.AsUInt64(veKeyDuration, 0), 1001u);
  EXPECT_FLOAT_EQ(format.AsFloat(veKeyFramesPerSecond, 0.0f), 29.97003f);
  EXPECT_EQ(format.RasterType(), veRasterType::k2vuy);
  shown->Release();
  first->Release();
  second->Release();
}

// ---- tone generator -----------------------------------------------------------

struct SampleCase {
  const char* format;
  ToneGenerator::Waveform waveform;
  int32_t channels;
  int64_t firstFrame;  // frames skipped before the ones compared
  int32_t frames;
  std::vector<uint8_t> bytes;
};

uint32_t FourCC(const char* text) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(text[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(text[3]));
}

class ToneFormatTest : public ::testing::TestWithParam<SampleCase> {};

TEST_P(ToneFormatTest, WritesExactSamples) {
  const SampleCase& c = GetParam();
  ToneGenerator::Settings settings;
  settings.format = FourCC(c.format);
  settings.channels = c.channels;
  settings.waveform = c.waveform;
  settings.frequency = 12000.0;  // a quarter of the rate: 0, +A, 0, -A
  settings.amplitude = 0.5;
  ToneGenerator tone(settings);
  ASSERT_TRUE(tone.IsUsable());
  std::vector<uint8_t> skipped(static_cast<size_t>(c.firstFrame) * tone.BytesPerFrame() + 1);
  if (c.firstFrame > 0) {
    ASSERT_GT(tone.Generate(static_cast<int32_t>(c.firstFrame), skipped.data(), static_cast<int64_t>(skipped.size())),
              0);
  }
  std::vector<uint8_t> out(c.bytes.size() + 8, 0xEE);
  EXPECT_EQ(tone.Generate(c.frames, out.data(), static_cast<int64_t>(c.bytes.size())),
            static_cast<int32_t>(c.bytes.size()));
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + static_cast<long>(c.bytes.size())), c.bytes);
  EXPECT_EQ(out[c.bytes.size()], 0xEE) << "wrote past the block";
  EXPECT_EQ(tone.FramesGenerated(), c.firstFrame + c.frames);
  // One byte short of the next block: refused, nothing written or counted.
  EXPECT_EQ(tone.Generate(c.frames, out.data(), static_cast<int64_t>(c.bytes.size()) - 1), -1);
  EXPECT_EQ(tone.FramesGenerated(), c.firstFrame + c.frames);
}

constexpr auto kCounter = ToneGenerator::Waveform::kCounter;
constexpr auto kSine = ToneGenerator::Waveform::kSine;

// Counter codes: frame 0 → 0x0001 / 0x1004 (channel 1 is 4099 ahead),
// frame 1 → 0x0002 / 0x1005; frame 32767 on channel 0 → 0x8000 (-32768).
INSTANTIATE_TEST_SUITE_P(
    Formats, ToneFormatTest,
    ::testing::Values(
        SampleCase{"sowt", kCounter, 2, 0, 2, {0x01, 0x00, 0x04, 0x10, 0x02, 0x00, 0x05, 0x10}},
        SampleCase{"in24", kCounter, 2, 0, 2, {0x00, 0x01, 0x00, 0x10, 0x04, 0x00, 0x00, 0x02, 0x00, 0x10, 0x05, 0x00}},
        SampleCase{"42ni", kCounter, 2, 0, 2, {0x00, 0x01, 0x00, 0x00, 0x04, 0x10, 0x00, 0x02, 0x00, 0x00, 0x05, 0x10}},
        SampleCase{"32ni", kCounter, 2, 0, 2, {0, 0, 0x01, 0x00, 0, 0, 0x04, 0x10, 0, 0, 0x02, 0x00, 0, 0, 0x05, 0x10}},
        SampleCase{"fl32", kCounter, 2, 0, 2,
                   {0x00, 0x00, 0x00, 0x38, 0x00, 0x20, 0x00, 0x3E, 0x00, 0x00, 0x80, 0x38, 0x00, 0x28, 0x00, 0x3E}},
        SampleCase{"sowt", kCounter, 1, 32767, 1, {0x00, 0x80}},
        SampleCase{"in24", kCounter, 1, 32767, 1, {0x80, 0x00, 0x00}},
        SampleCase{"fl32", kCounter, 1, 32767, 1, {0x00, 0x00, 0x80, 0xBF}},
        SampleCase{"sowt", kSine, 1, 0, 4, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0xC0}},
        SampleCase{"42ni", kSine, 1, 0, 4, {0, 0, 0, 0x00, 0x00, 0x40, 0, 0, 0, 0x00, 0x00, 0xC0}},
        SampleCase{"32ni", kSine, 1, 0, 4, {0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xC0}},
        SampleCase{"fl32", kSine, 1, 0, 4, {0, 0, 0, 0, 0, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0xBF}},
        // Channel 1 runs a quarter cycle ahead: +A, 0, -A, 0.
        SampleCase{"sowt", kSine, 2, 0, 2, {0x00, 0x00, 0x00, 0x40, 0x00, 0x40, 0x00, 0x00}}));

// ---- sample audio renderer ------------------------------------------------------

class SampleAudioRendererTest : public ManualClockTest {
 protected:
  SampleAudioRendererTest() {
    group_ = zNewSharedPtr<kaBufferGroup2>();
    host_.reset(new kaSourcesPluginMethods());
    renderer_ = SampleAudioRenderer::Make("tone", *group_, *host_);
  }

  // Delivers `blocks` blocks of 5 ms (240 frames, or what the tone's clock
  // makes) of `tone`, moving the clock along.
  void Deliver(ToneGenerator& tone, int blocks) {
    std::vector<uint8_t> block(4096);
    const ToneGenerator::Settings& s = tone.GetSettings();
    for (int i = 0; i < blocks; ++i) {
      clock().Advance(5000);
      const int32_t frames = tone.FramesForInterval(5000);
      const int32_t bytes = tone.Generate(frames, block.data(), static_cast<int64_t>(block.size()));
      ASSERT_GT(bytes, 0);
      renderer_->Deliver({s.sampleRate, 0, s.sampleRate, static_cast<uint64_t>(frames)}, block.data(), bytes,
                         s.sampleRate, s.channels, static_cast<int>(s.format));
    }
  }

  // The host's cue; returns the source frame that the period starts with
  // (-1 for silence).
  int32_t Cue(int64_t cueTime) {
    kaBuffer2* out = nullptr;
    EXPECT_EQ(static_cast<kaRenderer2&>(*renderer_).Cue(&out, ka_renderer_params{cueTime}), 0);
    if (!out) return -2;
    int32_t position = -1;
    ToneGenerator::CounterPosition(reinterpret_cast<const int16_t*>(out->GetStorage())[0], 0, &position);
    out->Release();
    return position;
  }

  std::shared_ptr<kaBufferGroup2> group_;
  std::unique_ptr<kaSourcesPluginMethods, zReleaseDeleter> host_;
  SampleAudioRenderer::Ptr renderer_;
};

// The tolerance reaches the library's cue. Right after a read base is pinned
// 2400 frames wait behind the read position: within three periods of
// backlog, beyond one, so with a tolerance of 1 every cue pins a new base.
TEST_F(SampleAudioRendererTest, HostCueUsesTheTolerance) {
  for (int tolerance : {3, 1}) {
    renderer_ = SampleAudioRenderer::Make("tone", *group_, *host_);
    ASSERT_TRUE(renderer_);
    renderer_->SetTolerancePeriods(tolerance);
    ToneGenerator::Settings settings;
    settings.waveform = kCounter;
    ToneGenerator tone(settings);
    Deliver(tone, 20);  // 4800 frames
    const int64_t t0 = clock().Now();
    EXPECT_EQ(Cue(t0), 2400) << "the base is pinned 2400 frames behind the writer";
    EXPECT_EQ(renderer_->PrimeCount(), 1u);
    Deliver(tone, 10);  // 2400 more
    if (tolerance == 3) {
      EXPECT_EQ(Cue(t0 + 33'334), 4000) << "one period on";
      EXPECT_EQ(renderer_->PrimeCount(), 1u);
      EXPECT_EQ(renderer_->BacklogBytes(), 3200u * 4u);
    } else {
      EXPECT_EQ(Cue(t0 + 33'334), 4800) << "a new base behind the writer";
      EXPECT_EQ(renderer_->PrimeCount(), 2u);
      EXPECT_EQ(renderer_->BacklogBytes(), 2400u * 4u);
    }
  }
  renderer_->SetTolerancePeriods(0);
  EXPECT_EQ(renderer_->TolerancePeriods(), 1);
}

// A source whose clock runs 0.25 % fast with drift correction on: once the
// detector's window is full, it drops frames, and the renderer counts each
// drop the detector reports.
TEST_F(SampleAudioRendererTest, CountsTheDriftCorrectionsItMade) {
  TraceCapture trace;
  renderer_->SetDriftCorrectionEnabled(true);
  ToneGenerator::Settings settings;
  settings.ppm = 2500;  // 120 frames per second too many
  ToneGenerator tone(settings);
  Deliver(tone, 1600);  // 8 s
  EXPECT_GT(renderer_->DriftShrinks(), 0u);
  EXPECT_EQ(renderer_->DriftStretches(), 0u);
  renderer_->LogDriftStatistics();
  const std::string adjusted = "adj=-" + std::to_string(renderer_->DriftShrinks()) + " ";
  EXPECT_TRUE(trace.Contains(adjusted)) << trace.Text();
}

}  // namespace
