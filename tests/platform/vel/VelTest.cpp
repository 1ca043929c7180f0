// The media framework stand-in (Vel) as the audio renderer drives it: counted
// objects under concurrent use and the two built-in converters ('afc ' to
// 'sowt', 'asrc' to the rate set on it): their values and quality in blocks of
// any size. Handles, the integer formats the renderer uses, formats the
// converters refuse and the allocation-free steady state are proven where the
// audio renderer drives them (tests/plugins, tests/perf). Every test leaves no
// framework object alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <numbers>
#include <thread>
#include <vector>

#include "Vel/CAudioConverter.h"
#include "Vel/CComponentInventory.h"
#include "vesk/veVelBridge.h"

namespace Corvane::Vel {
namespace {

constexpr uint32_t kAfc = FourCC("afc "), kAsrc = FourCC("asrc"), kSowt = FourCC("sowt");
using Samples = std::vector<int16_t>;

// ctest runs each test in a process of its own: none may leave a framework object alive.
class NoLiveObjectsAtExit : public ::testing::Environment {
  void TearDown() override { EXPECT_EQ(CObject::LiveObjectsForTesting(), 0) << "framework objects leaked"; }
};
[[maybe_unused]] auto* const kNoLiveObjectsAtExit = ::testing::AddGlobalTestEnvironment(new NoLiveObjectsAtExit);

// A converter of `type` from the inventory, set up as the audio renderer sets
// one up (but for the packet sizes, which no converter reads); empty when
// Start fails.
RObject<CAudioConverter> Started(uint32_t type, uint32_t code, int channels, int rate, int bits, int outRate = 0) {
  auto description = RObject<CContainerReaderAudioProperties>::Adopt(new CContainerReaderAudioProperties());
  description->SetChannels(channels);
  description->SetSampleRate(rate);
  description->SetBitsPerSample(bits);
  description->SetFormatCode(code);
  auto converter = RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(type));
  converter->SetInputFormat(*description);
  converter->SetFourProperty(CodeBookProperty::MediaFilter::OutputFormat, kSowt);
  if (outRate > 0) converter->SetProperty(CodeBookProperty::AudioConverter::SampleRate, outRate);
  if (converter->Start().Failed()) converter.Reset();
  return converter;
}

// Pushes `length` bytes as one block; returns the pulled samples, checking the
// frame count the output states.
Samples Convert(CAudioConverter& converter, const void* bytes, size_t length, int channels) {
  auto input = RObject<CAudioSample>::Adopt(new CAudioSample(0));
  RObject<CMediaSample> output;
  if (VEL_SetAudioSampleData(input.Get(), const_cast<void*>(bytes), static_cast<int>(length), false) != 0 ||
      converter.PushSample(0, input.Get()).Failed() || converter.PullSample(0, output).Failed()) {
    ADD_FAILURE() << "push or pull failed";
    return {};
  }
  EXPECT_EQ(static_cast<CAudioSample*>(output.Get())->GetFrameCount() * channels * 2, output->GetLength());
  const auto* samples = reinterpret_cast<const int16_t*>(output->GetData());
  return Samples(samples, samples + output->GetLength() / 2);
}

// Four threads take and give back references to one sample and make their
// own: a sample handed to two threads would show another frame count.
TEST(CObjectTest, ConcurrentAcquireReleaseAndPoolUseKeepCountsAndObjectsApart) {
  auto* shared = new CAudioSample(1);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared, &mismatches, t] {
      for (int i = 0; i < 20000; ++i) shared->Acquire(), shared->Release();
      RObject<CAudioSample> held[8];
      for (int i = 0; i < 5000; ++i) {
        if (held[i % 8]) mismatches += held[i % 8]->GetFrameCount() != t * 5000 + i - 8;
        held[i % 8] = RObject<CAudioSample>::Adopt(new CAudioSample(t * 5000 + i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::pair(mismatches.load(), shared->Release()), std::pair(0, 0));
}

// Floats scale by 32768, round half to even and saturate, whatever rounding
// mode the caller's thread has set (the default mode has vector paths of its
// own, 16 and 8 samples wide: the 15 values, three times over, pass through
// each width and the tail), from bytes of any alignment.
TEST(CAudioConverterTest, FormatConverterScalesRoundsToEvenAndSaturatesFloatsInEveryRoundingMode) {
  const double kTable[] = {0.0,          -0.5,        1.0,          -1.0,        32766.5 / 32768, 1e10, -1e300,
                           HUGE_VAL,     -HUGE_VAL,   std::nan(""), 1.5 / 32768, 2.5 / 32768,     -1.5 / 32768,
                           -0.75 / 32768, 1.25 / 32768};
  const Samples kTableExpected = {0, -16384, 32767, -32768, 32766, 32767, -32768, 32767, -32768, 0, 2, 2, -2, -1, 1};
  std::vector<double> values;
  Samples expected;
  for (int copy = 0; copy < 3; ++copy) {
    values.insert(values.end(), std::begin(kTable), std::end(kTable));
    expected.insert(expected.end(), kTableExpected.begin(), kTableExpected.end());
  }
  const std::vector<float> singles(values.begin(), values.end());
  auto fl32 = Started(kAfc, FourCC("fl32"), 1, 48000, 32), lf23 = Started(kAfc, FourCC("23lf"), 3, 48000, 32);
  auto fl64 = Started(kAfc, FourCC("fl64"), 1, 48000, 64);
  ASSERT_TRUE(fl32 && lf23 && fl64);
  std::vector<char> unaligned(singles.size() * 4 + 1);
  std::memcpy(unaligned.data() + 1, singles.data(), singles.size() * 4);
  const int saved = std::fegetround();
  for (const int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    const Samples results[] = {Convert(*fl32, singles.data(), singles.size() * 4, 1),
                               Convert(*lf23, unaligned.data() + 1, singles.size() * 4, 3),
                               Convert(*fl64, values.data(), values.size() * sizeof(double), 1)};
    std::fesetround(saved);
    for (const Samples& result : results) EXPECT_EQ(result, expected) << "rounding mode " << mode;
  }
}

// -1 dBFS tones pushed in blocks of uneven sizes come out at 48 kHz clean
// (SINAD), at their level, and each channel in its own phase: channel c
// leads by c x 0.7 rad, so that a swapped or mixed channel shows.
TEST(CAudioConverterTest, RateConverterKeepsTonesCleanInBlocksOfAnySize) {
  constexpr double kAmplitude = 32768.0 * 0.8912509381337456;
  struct Case { int rate; double tone; int channels; };
  for (const Case c : {Case{44100, 19000, 2}, Case{96000, 1000, 1}, Case{32000, 10000, 6}}) {
    SCOPED_TRACE(::testing::Message() << c.tone << " Hz from " << c.rate << " Hz, " << c.channels << " channels");
    auto converter = Started(kAsrc, kSowt, c.channels, c.rate, 16, 48000);
    ASSERT_TRUE(converter);
    Samples output, in;
    constexpr int kSizes[] = {441, 1, 17, 1000, 440, 2, 333};
    for (int frame = 0, i = 0, frames = 0; frame < c.rate / 2; frame += frames, ++i) {
      frames = std::min(kSizes[i % 7], c.rate / 2 - frame);
      in.resize(static_cast<size_t>(frames * c.channels));
      for (size_t s = 0; s < in.size(); ++s) {
        const double t = static_cast<double>(frame + static_cast<int>(s) / c.channels) / c.rate;
        const double phase = 2 * std::numbers::pi * c.tone * t + 0.7 * static_cast<double>(s % c.channels);
        in[s] = static_cast<int16_t>(std::lround(kAmplitude * std::sin(phase)));
      }
      const Samples out = Convert(*converter, in.data(), in.size() * 2, c.channels);
      output.insert(output.end(), out.begin(), out.end());
    }
    // Half a second in, less the delay (1 ms at most) and a few frames held back.
    ASSERT_TRUE(output.size() >= (24000u - 112) * c.channels && output.size() <= 24000u * c.channels) << output.size();
    // Over 480 x 47 frames, whole periods of every tone here, projections
    // onto the tone are its least-squares fit; SINAD is what the fit leaves.
    // The fit's energy is a² + b² over 2 a frame; what it leaves is noise and distortion.
    const size_t first = 960, count = 480 * 47;
    double phase0 = 0;
    for (int ch = 0; ch < c.channels; ++ch) {
      double a = 0, b = 0, energy = 0;
      for (size_t n = first; n < first + count; ++n) {
        const double y = output[n * c.channels + ch];
        const double w = 2 * std::numbers::pi * c.tone * static_cast<double>(n) / 48000;
        a += y * std::cos(w) * 2 / count;
        b += y * std::sin(w) * 2 / count;
        energy += y * y;
      }
      const double signal = (a * a + b * b) / 2 * count;
      EXPECT_GT(10 * std::log10(signal / (energy - signal)), 80.0) << "SINAD of channel " << ch;
      EXPECT_LT(std::abs(20 * std::log10(std::hypot(a, b) / kAmplitude)), 0.1) << "gain of channel " << ch;
      if (ch == 0) phase0 = std::atan2(a, b);
      EXPECT_NEAR(std::remainder(std::atan2(a, b) - phase0 - 0.7 * ch, 2 * std::numbers::pi), 0.0, 1e-3) << ch;
    }
  }
}

}  // namespace
}  // namespace Corvane::Vel
