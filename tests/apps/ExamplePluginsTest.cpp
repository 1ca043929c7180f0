// The sample plug-ins: what the tone generator puts in its blocks, byte for
// byte, the pattern generator's time ranges, and how the sample audio renderer
// leads the host's cue into the library. The pattern generator's pictures, the
// sample video renderer, the counter's decoding and the tone clock's carried
// fractions are checked end to end by the host simulator's runs
// (tests/apps/HostSimTest.cpp), which use these plug-ins as sources; the frame
// rate a video renderer learns is checked by its model (tests/render).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SampleAudioRenderer.h"
#include "TestPatternGenerator.h"
#include "ToneGenerator.h"
#include "support/ManualClock.h"
#include "support/TraceCapture.h"

namespace {

// The pattern generator stamps frame n with its time range: n frame durations
// in its time scale.
TEST(TestPatternGeneratorTest, StampsEachFrameWithItsTimeRange) {
  const std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  TestPatternGenerator generator({640, 360, veRasterType::k2vuy, 30000, 1001});
  for (uint64_t n = 0; n < 3; ++n) {
    const std::unique_ptr<kaBuffer2, zReleaseDeleter> frame(generator.NextFrame(*group));
    EXPECT_EQ(frame ? frame->GetBufferTimeRange() : veTimeRange{}, (veTimeRange{30000, n * 1001, 30000, 1001})) << n;
  }
}

// A tone of half full scale at a quarter of the rate (0, +A, 0, -A; channel 1 a quarter cycle
// ahead) and the counter (frame 0 gives 0x0001 on channel 0 and 0x1004 on
// channel 1, which runs 4099 ahead; frame 32767 gives 0x8000, -32768) in
// each format, after `skip` frames; a block one byte short is refused.
TEST(ToneGeneratorTest, WritesExactSamplesInEachFormat) {
  constexpr auto kCounter = ToneGenerator::Waveform::kCounter;
  constexpr auto kSine = ToneGenerator::Waveform::kSine;
  struct Case {
    uint32_t format; ToneGenerator::Waveform waveform; int32_t channels, skip, frames; std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {zFourCC("sowt"), kCounter, 2, 0, 2, {0x01, 0x00, 0x04, 0x10, 0x02, 0x00, 0x05, 0x10}},
      {zFourCC("in24"), kCounter, 2, 0, 2, {0x00, 0x01, 0x00, 0x10, 0x04, 0x00, 0x00, 0x02, 0x00, 0x10, 0x05, 0x00}},
      {zFourCC("32ni"), kCounter, 1, 0, 2, {0, 0, 0x01, 0x00, 0, 0, 0x02, 0x00}},
      {zFourCC("fl32"), kCounter, 2, 0, 1, {0x00, 0x00, 0x00, 0x38, 0x00, 0x20, 0x00, 0x3E}},
      {zFourCC("fl32"), kCounter, 1, 32767, 1, {0x00, 0x00, 0x80, 0xBF}},
      {zFourCC("sowt"), kSine, 2, 0, 2, {0x00, 0x00, 0x00, 0x40, 0x00, 0x40, 0x00, 0x00}},
      {zFourCC("42ni"), kSine, 1, 0, 4, {0, 0, 0, 0x00, 0x00, 0x40, 0, 0, 0, 0x00, 0x00, 0xC0}},
      {zFourCC("fl32"), kSine, 1, 0, 4, {0, 0, 0, 0, 0, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0xBF}},
  };
  for (const Case& c : cases) {
    ToneGenerator tone({.format = c.format, .channels = c.channels, .waveform = c.waveform, .frequency = 12000.0});
    ASSERT_TRUE(tone.IsUsable());
    const int64_t size = static_cast<int64_t>(c.bytes.size());
    std::vector<uint8_t> out(static_cast<size_t>(c.skip) * tone.BytesPerFrame() + c.bytes.size() + 8, 0xEE);
    ASSERT_EQ(tone.Generate(c.skip, out.data(), static_cast<int64_t>(out.size())), c.skip * tone.BytesPerFrame());
    out.assign(out.size(), 0xEE);
    EXPECT_EQ(tone.Generate(c.frames, out.data(), size), size);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + size), c.bytes) << c.format << " after " << c.skip;
    EXPECT_EQ(out[c.bytes.size()], 0xEE) << "wrote past the block";
    EXPECT_EQ(tone.Generate(c.frames, out.data(), size - 1), -1);
    EXPECT_EQ(tone.FramesGenerated(), c.skip + c.frames);
  }
}

// ---- sample audio renderer ------------------------------------------------------

class SampleAudioRendererTest : public ManualClockTest {
 protected:
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
    kaBuffer2* raw = nullptr;
    EXPECT_EQ(static_cast<kaRenderer2&>(*renderer_).Cue(&raw, ka_renderer_params{cueTime}), 0);
    const std::unique_ptr<kaBuffer2, zReleaseDeleter> out(raw);
    int32_t position = -1;
    if (out) ToneGenerator::CounterPosition(reinterpret_cast<const int16_t*>(out->GetStorage())[0], 0, &position);
    return position;
  }

  std::shared_ptr<kaBufferGroup2> group_ = zNewSharedPtr<kaBufferGroup2>();
  std::unique_ptr<kaSourcesPluginMethods, zReleaseDeleter> host_{new kaSourcesPluginMethods()};
  SampleAudioRenderer::Ptr renderer_ = SampleAudioRenderer::Make("tone", *group_, *host_);
};

// The tolerance reaches the library's cue. Right after a read base is pinned
// 2400 frames wait behind the read position: within three periods of
// backlog, beyond one, so with a tolerance of 1 every cue pins a new base.
TEST_F(SampleAudioRendererTest, HostCueUsesTheTolerance) {
  // {tolerance, where the second cue starts, primes, frames in the backlog}
  for (const auto& [tolerance, position, primes, backlog] :
       {std::tuple(3, 4000, 1u, 3200u), std::tuple(1, 4800, 2u, 2400u)}) {
    renderer_ = SampleAudioRenderer::Make("tone", *group_, *host_);
    renderer_->SetTolerancePeriods(tolerance);
    ToneGenerator tone({.waveform = ToneGenerator::Waveform::kCounter});
    Deliver(tone, 20);  // 4800 frames
    const int64_t t0 = clock().Now();
    EXPECT_EQ(Cue(t0), 2400) << "the base is pinned 2400 frames behind the writer";
    Deliver(tone, 10);  // 2400 more
    EXPECT_EQ(Cue(t0 + 33'334), position) << "one period on, or a new base behind the writer";
    EXPECT_EQ(std::pair(renderer_->PrimeCount(), renderer_->BacklogBytes()), std::pair(uint64_t{primes}, backlog * 4));
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
  ToneGenerator tone({.ppm = 2500});  // 120 frames per second too many
  Deliver(tone, 1600);  // 8 s
  EXPECT_TRUE(renderer_->DriftShrinks() > 0 && renderer_->DriftStretches() == 0) << renderer_->DriftStretches();
  renderer_->LogDriftStatistics();
  EXPECT_TRUE(trace.Contains("adj=-" + std::to_string(renderer_->DriftShrinks()) + " ")) << trace.Text();
}

}  // namespace
