// The sample plug-ins: what the test-pattern and tone generators put in their
// buffers, byte for byte, and how the sample renderers lead the host's cue
// into the library.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PatternFont.h"
#include "SampleAudioRenderer.h"
#include "SampleVideoRenderer.h"
#include "TestPatternGenerator.h"
#include "ToneGenerator.h"
#include "support/ManualClock.h"
#include "support/TraceCapture.h"

namespace {

using Rgb = TestPatternGenerator::Rgb;
using YCbCr = TestPatternGenerator::YCbCr;

// 75 % bars in SMPTE order and their BT.709 video-range values.
constexpr Rgb kExpectedBarsRgb[8] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                     {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
constexpr YCbCr kExpectedBarsYCbCr[8] = {{180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {133, 63, 52},
                                         {63, 193, 204},  {51, 109, 212}, {28, 212, 120}, {16, 128, 128}};

// One drawn frame and a reader of its pixels in either format.
struct Picture {
  TestPatternGenerator::Settings settings;
  std::vector<uint8_t> bytes;
  int32_t rowBytes = 0;

  YCbCr YuvAt(int32_t x, int32_t y) const {
    const uint8_t* pair = &bytes[static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x / 2) * 4];
    return {pair[x % 2 == 0 ? 1 : 3], pair[0], pair[2]};
  }
  Rgb RgbAt(int32_t x, int32_t y) const {
    const uint8_t* px = &bytes[static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x) * 4];
    return {px[0], px[1], px[2]};
  }
  bool IsYuv() const { return settings.rasterType == veRasterType::k2vuy; }
  bool IsWhite(int32_t x, int32_t y) const { return IsYuv() ? YuvAt(x, y).y == 235 : RgbAt(x, y).r == 255; }
  // Reads `length` glyphs back from the text at `rect`.
  std::string ReadText(const TestPatternGenerator::Rect& rect, int scale, int length) const {
    std::string text;
    for (int i = 0; i < length; ++i) {
      const int32_t left = rect.x + i * PatternFont::kAdvance * scale;
      text += PatternFont::Recognise(
          [&](int gx, int gy) { return IsWhite(left + gx * scale + scale / 2, rect.y + gy * scale + scale / 2); });
    }
    return text;
  }
};

Picture Draw(const TestPatternGenerator& generator, int64_t frame) {
  Picture picture;
  picture.settings = generator.GetSettings();
  picture.rowBytes = veRasterType::BytesPerRow(picture.settings.width, picture.settings.rasterType, false);
  picture.bytes.assign(static_cast<size_t>(picture.rowBytes) * picture.settings.height, 0xEE);
  EXPECT_TRUE(generator.Render(frame, picture.bytes.data(), picture.rowBytes,
                               static_cast<int64_t>(picture.bytes.size())));
  return picture;
}

struct PatternCase {
  int32_t width, height;
  uint32_t raster;
  int64_t timeScale, duration;
  int64_t frame;
  const char* counter;
  const char* timecode;
  int32_t boxX;  // where the box of `frame` starts
};

class TestPatternTest : public ::testing::TestWithParam<PatternCase> {};

TEST_P(TestPatternTest, DrawsBarsBoxAndReadableNumbers) {
  const PatternCase& c = GetParam();
  TestPatternGenerator generator({c.width, c.height, c.raster, c.timeScale, c.duration});
  ASSERT_TRUE(generator.IsUsable());
  const Picture picture = Draw(generator, c.frame);

  // Bars, on a row above the box.
  for (int bar = 0; bar < TestPatternGenerator::kBarCount; ++bar) {
    const int32_t x = (generator.BarStart(bar) + generator.BarStart(bar + 1)) / 2;
    if (picture.IsYuv()) {
      const YCbCr got = picture.YuvAt(x, 2);
      EXPECT_EQ(got.y, kExpectedBarsYCbCr[bar].y) << "bar " << bar;
      EXPECT_EQ(got.cb, kExpectedBarsYCbCr[bar].cb) << "bar " << bar;
      EXPECT_EQ(got.cr, kExpectedBarsYCbCr[bar].cr) << "bar " << bar;
    } else {
      const Rgb got = picture.RgbAt(x, 2);
      EXPECT_EQ(got.r, kExpectedBarsRgb[bar].r) << "bar " << bar;
      EXPECT_EQ(got.g, kExpectedBarsRgb[bar].g) << "bar " << bar;
      EXPECT_EQ(got.b, kExpectedBarsRgb[bar].b) << "bar " << bar;
      EXPECT_EQ(picture.bytes[static_cast<size_t>(2) * picture.rowBytes + static_cast<size_t>(x) * 4 + 3], 255);
    }
  }

  // The box: white inside, bars just left of it, and one step on next frame.
  const TestPatternGenerator::Rect box = generator.BoxRect(c.frame);
  EXPECT_EQ(box.x, c.boxX);
  EXPECT_TRUE(picture.IsWhite(box.x, box.y));
  EXPECT_TRUE(picture.IsWhite(box.x + box.width - 1, box.y + box.height - 1));
  EXPECT_FALSE(picture.IsWhite(box.x + box.width, box.y + box.height / 2));
  EXPECT_NE(generator.BoxRect(c.frame + 1).x, box.x);

  // The strip below the bars is black around the text.
  const int32_t bottom = c.height - 1;
  if (picture.IsYuv()) {
    EXPECT_EQ(picture.YuvAt(c.width / 2, bottom).y, 16);
    EXPECT_EQ(picture.YuvAt(c.width / 2, bottom).cb, 128);
  } else {
    EXPECT_EQ(picture.RgbAt(c.width / 2, bottom).r, 0);
  }

  // The counter and the timecode read back through the font.
  EXPECT_EQ(picture.ReadText(generator.CounterRect(), generator.FontScale(), 7), c.counter);
  EXPECT_EQ(picture.ReadText(generator.TimecodeRect(), generator.FontScale(), 11), c.timecode);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TestPatternTest,
    ::testing::Values(
        // 1920 wide: step 14, side 180, travel 1741; frame 10 starts at 140.
        PatternCase{1920, 1080, veRasterType::k2vuy, 30000, 1001, 10, "0000010", "00:00:00:10", 140},
        // 30 fps timecode: 1234567 frames = 11:25:52 and 7 frames; box at
        // (1234567 mod 1741 = 198) × 14 mod 1741 = 1031, made even.
        PatternCase{1920, 1080, veRasterType::kRgba, 30000, 1001, 1234567, "1234567", "11:25:52:07", 1030},
        // 60 fps: 05:42:56 and 7 frames; 1280 wide: step 10, side 120,
        // travel 1161: (1234567 mod 1161 = 424) × 10 mod 1161 = 757.
        PatternCase{1280, 720, veRasterType::kRgba, 60000, 1001, 1234567, "1234567", "05:42:56:07", 756},
        PatternCase{1280, 720, veRasterType::k2vuy, 60000, 1001, 61, "0000061", "00:00:01:01", 610},
        // The smallest picture: font scale 1, 10 px box moving 2 px.
        PatternCase{128, 72, veRasterType::k2vuy, 25, 1, 3, "0000003", "00:00:00:03", 6}));

TEST(TestPatternGeneratorTest, RefusesWhatItCannotDraw) {
  for (const TestPatternGenerator::Settings& settings : std::vector<TestPatternGenerator::Settings>{
           {1920, 1080, veRasterType::kI420, 30000, 1001},   // not 2vuy or rgba
           {127, 72, veRasterType::kRgba, 30000, 1001},      // too narrow for the texts
           {129, 72, veRasterType::k2vuy, 30000, 1001},      // odd width in 4:2:2
           {640, 360, veRasterType::kRgba, 30000, 0}}) {     // no frame duration
    TestPatternGenerator generator(settings);
    EXPECT_FALSE(generator.IsUsable());
    uint8_t pixel[16] = {};
    EXPECT_FALSE(generator.Render(0, pixel, 64, sizeof pixel));
  }
  TestPatternGenerator generator({640, 360, veRasterType::kRgba, 30000, 1001});
  std::vector<uint8_t> bytes(640 * 4 * 360, 0xEE);
  EXPECT_FALSE(generator.Render(0, nullptr, 640 * 4, static_cast<int64_t>(bytes.size())));
  EXPECT_FALSE(generator.Render(0, bytes.data(), 640 * 4 - 4, static_cast<int64_t>(bytes.size())));  // short rows
  EXPECT_FALSE(generator.Render(0, bytes.data(), 640 * 4, static_cast<int64_t>(bytes.size()) - 1));  // short image
  EXPECT_FALSE(generator.Render(-1, bytes.data(), 640 * 4, static_cast<int64_t>(bytes.size())));
  for (uint8_t b : bytes) ASSERT_EQ(b, 0xEE) << "a refused render wrote pixels";
}

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

TEST(ToneGeneratorTest, CounterDecodesOnEveryChannelAndNeverMakesSilence) {
  for (int64_t frame : {0LL, 1LL, 32767LL, 65534LL, 65535LL, 1'000'000'007LL}) {
    for (int32_t channel : {0, 1, 5, 31}) {
      const int16_t sample = ToneGenerator::CounterSample(frame, channel);
      EXPECT_NE(sample, 0);
      int32_t position = -1;
      ASSERT_TRUE(ToneGenerator::CounterPosition(sample, channel, &position));
      EXPECT_EQ(position, frame % ToneGenerator::kCounterPeriod) << frame << " on " << channel;
    }
  }
  int32_t position = 7;
  EXPECT_FALSE(ToneGenerator::CounterPosition(0, 0, &position));
  EXPECT_EQ(position, 7);
}

struct ClockCase {
  int32_t rate;
  double ppm;
  int64_t blockMicros;
  int blocks;
  int64_t total;  // frames after all blocks
};

class ToneClockTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ToneClockTest, CarriesFractionsSoNoFrameIsLostToRounding) {
  const ClockCase& c = GetParam();
  ToneGenerator::Settings settings;
  settings.sampleRate = c.rate;
  settings.ppm = c.ppm;
  ToneGenerator tone(settings);
  ASSERT_TRUE(tone.IsUsable());
  const double perBlock = c.rate * (1.0 + c.ppm * 1e-6) * static_cast<double>(c.blockMicros) / 1e6;
  int64_t total = 0;
  for (int i = 0; i < c.blocks; ++i) {
    const int32_t frames = tone.FramesForInterval(c.blockMicros);
    EXPECT_GE(frames, static_cast<int32_t>(perBlock)) << "block " << i;
    EXPECT_LE(frames, static_cast<int32_t>(perBlock) + 1) << "block " << i;
    total += frames;
  }
  EXPECT_EQ(total, c.total);
  EXPECT_EQ(tone.ElapsedMicros(), c.blockMicros * c.blocks);
}

INSTANTIATE_TEST_SUITE_P(Rates, ToneClockTest,
                         ::testing::Values(ClockCase{48000, 0, 5000, 200, 48000},
                                           ClockCase{44100, 0, 5000, 3, 661},       // 220.5 per block: 220, 221, 220
                                           ClockCase{48000, 300, 5000, 200, 48014},  // 48014.4
                                           ClockCase{96000, -250, 10000, 100, 95976},
                                           ClockCase{44100, 300, 5000, 2000, 441132}));  // 441132.3

TEST(ToneGeneratorTest, RefusesSettingsItCannotPlay) {
  const auto usable = [](ToneGenerator::Settings s) { return ToneGenerator(s).IsUsable(); };
  ToneGenerator::Settings s;
  EXPECT_TRUE(usable(s));
  s.format = zFourCC("twos");
  EXPECT_FALSE(usable(s));
  s = {};
  s.sampleRate = 7999;
  EXPECT_FALSE(usable(s));
  s = {};
  s.channels = 0;
  EXPECT_FALSE(usable(s));
  s = {};
  s.ppm = 200000;
  EXPECT_FALSE(usable(s));
  s = {};
  s.frequency = 24000;  // Nyquist
  EXPECT_FALSE(usable(s));
  s.waveform = kCounter;  // the counter has no frequency
  EXPECT_TRUE(usable(s));
  ToneGenerator tone(ToneGenerator::Settings{});
  EXPECT_EQ(tone.FramesForInterval(-1), 0);
  EXPECT_EQ(tone.Generate(-1, &s, 4), -1);
}

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
