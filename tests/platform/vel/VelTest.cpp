// The media framework stand-in (Vel) as the audio renderer drives it: counted
// objects under concurrent use, the converter inventory, and the two built-in
// converters ('afc ' to 'sowt', 'asrc' to the rate set on it): their values,
// quality and streaming. Handles, the integer formats the renderer uses and
// the allocation-free steady state are proven where the audio renderer drives
// them (tests/plugins, tests/perf). Every test leaves no framework object alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <tuple>
#include <thread>
#include <vector>

#include "Vel/CAudioConverter.h"
#include "Vel/CComponentInventory.h"
#include "vesk/veVelBridge.h"

namespace Corvane::Vel {
namespace {

constexpr uint32_t kAfc = FourCC("afc "), kAsrc = FourCC("asrc"), kSowt = FourCC("sowt");
using Samples = std::vector<int16_t>;

class VelTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(CObject::LiveObjectsForTesting(), live_) << "framework objects leaked"; }
  const int64_t live_ = CObject::LiveObjectsForTesting();
};
using CObjectTest = VelTest;
using CComponentInventoryTest = VelTest;
using CAudioConverterTest = VelTest;

// A converter of `type` from the inventory, set up as the audio renderer sets
// one up; empty when Start fails. Fields given as 0 fail their setters and stay unset.
RObject<CAudioConverter> Started(uint32_t type, uint32_t code, int channels, int rate, int bits, int64_t outputRate = 0) {
  auto description = RObject<CContainerReaderAudioProperties>::Adopt(new CContainerReaderAudioProperties());
  description->SetChannels(channels), description->SetSampleRate(rate), description->SetBitsPerSample(bits);
  description->SetBytesPerPacket(bits * channels / 8), description->SetFramesPerPacket(1), description->SetFormatCode(code);
  auto converter = RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(type));
  converter->SetInputFormat(*description);
  converter->SetFourProperty(CodeBookProperty::MediaFilter::OutputFormat, kSowt);
  if (outputRate > 0) converter->SetProperty(CodeBookProperty::AudioConverter::SampleRate, outputRate);
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

TEST_F(CObjectTest, ConcurrentAcquireReleaseAndPoolUseKeepCountsAndObjectsApart) {
  auto* shared = new CAudioSample(1);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([shared, &mismatches, t] {
      for (int i = 0; i < 20000; ++i) shared->Acquire(), shared->Release();
      RObject<CAudioSample> held[8];  // a block handed to two threads shows another frame count
      for (int i = 0; i < 5000; ++i) {
        if (held[i % 8]) mismatches += held[i % 8]->GetFrameCount() != t * 5000 + i - 8;
        held[i % 8] = RObject<CAudioSample>::Adopt(new CAudioSample(t * 5000 + i));
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::pair(mismatches.load(), shared->Release()), std::pair(0, 0));
}

// A factory that counts its calls and makes nothing: the inventory returns
// null for its type, and the counts show which factory was asked.
struct CountingFactory final : CComponentFactory<CAudioConverter> {
  explicit CountingFactory(uint32_t type) : type(type) {}
  uint32_t GetType() const noexcept override { return type; }
  CAudioConverter* CreateInstance() noexcept override { return ++made, nullptr; }
  uint32_t type;
  int made = 0;
};
bool Makes(uint32_t type) { return !!RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(type)); }

TEST_F(CComponentInventoryTest, AsksTheFirstMatchingFactoryAndStaysConsistentUnderConcurrentChurn) {
  using Inventory = CAudioConverterInventory;
  const int builtIns = Inventory::GetFactoryCount();
  CountingFactory first(FourCC("tst1")), second(FourCC("tst1")), shadow(kAfc), churn(FourCC("tst2"));
  ASSERT_FALSE(Inventory::Register(&first).Failed() || Inventory::Register(&second).Failed() ||
               Inventory::Register(&shadow, InventoryPosition::kFront).Failed());
  EXPECT_TRUE(Inventory::Register(&first).Failed() && Inventory::Register(nullptr).Failed());
  EXPECT_EQ(std::tuple(Makes(FourCC("tst1")), Makes(kAfc), Makes(FourCC("none")), Makes(kAsrc)),
            std::tuple(false, false, false, true));
  EXPECT_EQ(std::tuple(first.made, second.made, shadow.made), std::tuple(1, 0, 1));
  ASSERT_FALSE(Inventory::Unregister(&first).Failed() || Inventory::Unregister(&shadow).Failed() ||
               !Inventory::Unregister(&first).Failed());
  std::atomic<bool> done{false};
  std::thread registrar([&] {  // registers and unregisters while this thread creates
    for (int i = 0; i < 2000; ++i) {
      Inventory::Register(&churn, i % 2 ? InventoryPosition::kBack : InventoryPosition::kFront);
      Inventory::Unregister(&churn);
    }
    done = true;
  });
  int made = 0, lookups = 0;
  for (; !done || lookups == 0; ++lookups) made += Makes(kAfc) + !Makes(FourCC("tst1"));
  registrar.join();
  EXPECT_EQ(std::tuple(made, second.made), std::tuple(2 * lookups, lookups));
  EXPECT_FALSE(Inventory::Unregister(&second).Failed() || Inventory::GetFactoryCount() != builtIns);
}

TEST_F(CAudioConverterTest, StartsOnlyOnDescriptionsItCanReadAndTakesWholeFramesOneBlockAtATime) {
  struct Row { uint32_t type, code; int channels, rate, bits, outputRate; bool starts; };
  const Row kRows[] = {{kAfc, FourCC("fl64"), 3, 0, 0, 0, true},  // a format code and channels are enough
      {kAfc, FourCC("lpcm"), 2, 48000, 16, 0, false}, {kAfc, 0, 2, 48000, 16, 0, false},
      {kAfc, FourCC("fl32"), 0, 48000, 32, 0, false}, {kAfc, FourCC("in24"), 2, 48000, 32, 0, false},
      {kAsrc, kSowt, 64, 44100, 16, 48000, true}, {kAsrc, kSowt, 2, 44100, 16, 0, false},
      {kAsrc, FourCC("fl32"), 2, 44100, 32, 48000, false}, {kAsrc, kSowt, 65, 44100, 16, 48000, false},
      {kAsrc, kSowt, 2, 0, 16, 48000, false}};
  for (const Row& r : kRows) EXPECT_EQ(!!Started(r.type, r.code, r.channels, r.rate, r.bits, r.outputRate), r.starts) << r.code;
  auto converter = Started(kAfc, kSowt, 2, 48000, 16);
  int16_t frames[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto push = [&](int32_t bytes, int input = 0) {
    auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(0));
    sample->SetExternalData(frames, bytes, false);
    return !converter->PushSample(input, sample.Get()).Failed();
  };
  RObject<CMediaSample> held, out;
  EXPECT_FALSE(push(0) || push(6) || push(16, 1) || !converter->PushSample(0, nullptr).Failed());  // 6: 1.5 frames
  EXPECT_TRUE(push(16) && !push(16));  // the last block is not pulled yet
  ASSERT_FALSE(converter->PullSample(0, held).Failed());
  EXPECT_TRUE(converter->PullSample(0, out).Failed());  // one pull per push
  EXPECT_EQ(Convert(*converter, frames, 4, 2), (Samples{1, 2}));  // while the caller holds a block
  EXPECT_EQ(std::memcmp(held->GetData(), frames, 16), 0);        // that block keeps its samples
}

TEST_F(CAudioConverterTest, FormatConverterScalesRoundsToEvenAndSaturatesFloatsInEveryRoundingMode) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, int16_t> kCases[] = {{0.0, 0}, {0.25, 8192}, {-0.5, -16384}, {1.0, 32767}, {-1.0, -32768},
      {32766.5 / 32768, 32766}, {32767.25 / 32768, 32767}, {32767.4999 / 32768, 32767}, {1.5, 32767}, {-1.5, -32768},
      {65536.0, 32767}, {-65537.0, -32768}, {1e10, 32767}, {-1e300, -32768}, {kInf, 32767}, {-kInf, -32768},
      {std::nan(""), 0}, {0.5 / 32768, 0}, {1.5 / 32768, 2}, {2.5 / 32768, 2}, {-0.5 / 32768, 0}, {-1.5 / 32768, -2},
      {-2.5 / 32768, -2}, {0.75 / 32768, 1}, {-0.75 / 32768, -1}, {1.25 / 32768, 1}};
  std::vector<float> singles;
  std::vector<double> doubles;
  Samples expected;
  for (const auto& [value, sample] : kCases) singles.push_back(float(value)), doubles.push_back(value), expected.push_back(sample);
  auto fl32 = Started(kAfc, FourCC("fl32"), 1, 48000, 32), lf23 = Started(kAfc, FourCC("23lf"), 2, 48000, 32),
       fl64 = Started(kAfc, FourCC("fl64"), 1, 48000, 64);
  ASSERT_TRUE(fl32 && lf23 && fl64);
  std::vector<char> unaligned(singles.size() * 4 + 1);  // caller bytes need not be aligned
  std::memcpy(unaligned.data() + 1, singles.data(), singles.size() * 4);
  const int saved = std::fegetround();
  for (const int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {  // the default mode has a path of its own
    ASSERT_EQ(std::fesetround(mode), 0);
    const Samples results[] = {Convert(*fl32, singles.data(), singles.size() * 4, 1),
                               Convert(*lf23, unaligned.data() + 1, singles.size() * 4, 2),
                               Convert(*fl64, doubles.data(), doubles.size() * 8, 1)};
    std::fesetround(saved);
    for (const Samples& result : results) EXPECT_EQ(result, expected) << "rounding mode " << mode;
  }
}

// Interleaved -1 dBFS sines; channel c leads by c x 0.7 rad, so that a
// swapped or mixed channel shows in the fitted phases.
constexpr double kAmplitude = 32768.0 * 0.8912509381337456;
Samples Sine(double frequency, int rate, int channels, int64_t firstFrame, int frames) {
  Samples block(static_cast<size_t>(frames * channels));
  for (size_t i = 0; i < block.size(); ++i) {
    const double t = static_cast<double>(firstFrame + static_cast<int64_t>(i) / channels) / rate;
    block[i] = static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * std::numbers::pi * frequency * t + 0.7 * (i % channels))));
  }
  return block;
}

TEST_F(CAudioConverterTest, RateConverterKeepsTonesCleanInBlocksOfAnySize) {
  struct Case { int rate; double tone; int channels; };
  for (const Case c : {Case{44100, 1000, 2}, Case{44100, 10000, 2}, Case{44100, 19000, 2}, Case{96000, 1000, 2},
                       Case{96000, 19000, 2}, Case{32000, 10000, 2}, Case{44100, 19000, 6}, Case{96000, 10000, 1}}) {
    SCOPED_TRACE(::testing::Message() << c.tone << " Hz from " << c.rate << " Hz, " << c.channels << " channels");
    auto converter = Started(kAsrc, kSowt, c.channels, c.rate, 16, 48000);
    ASSERT_TRUE(converter);
    Samples output;
    constexpr int kSizes[] = {441, 1, 17, 1000, 440, 2, 333};  // blocks of any size join seamlessly
    for (int frame = 0, i = 0, frames = 0; frame < c.rate / 2; frame += frames, ++i) {
      frames = std::min(kSizes[i % 7], c.rate / 2 - frame);
      const Samples in = Sine(c.tone, c.rate, c.channels, frame, frames);
      const Samples out = Convert(*converter, in.data(), in.size() * 2, c.channels);
      output.insert(output.end(), out.begin(), out.end());
    }
    // Half a second in, less the delay (1 ms at most) and a few frames held back.
    ASSERT_TRUE(output.size() >= (24000u - 112) * c.channels && output.size() <= 24000u * c.channels) << output.size();
    // Over 480 x 47 frames, whole periods of every tone here, projections
    // onto the tone are its least-squares fit; SINAD is what the fit leaves.
    const size_t first = 960, count = 480 * 47;
    double phase0 = 0;
    for (int ch = 0; ch < c.channels; ++ch) {
      auto y = [&](size_t n) { return output[n * c.channels + ch]; };
      auto w = [&](size_t n) { return 2 * std::numbers::pi * c.tone * static_cast<double>(n) / 48000; };
      double a = 0, b = 0, signal = 0, error = 0;
      for (size_t n = first; n < first + count; ++n) a += y(n) * std::cos(w(n)) * 2 / count, b += y(n) * std::sin(w(n)) * 2 / count;
      auto fit = [&](size_t n) { return a * std::cos(w(n)) + b * std::sin(w(n)); };
      for (size_t n = first; n < first + count; ++n) signal += fit(n) * fit(n), error += (y(n) - fit(n)) * (y(n) - fit(n));
      EXPECT_GT(10 * std::log10(signal / error), 80.0) << "SINAD of channel " << ch;
      EXPECT_LT(std::abs(20 * std::log10(std::hypot(a, b) / kAmplitude)), 0.1) << "gain of channel " << ch;
      phase0 = ch == 0 ? std::atan2(a, b) : phase0;
      EXPECT_NEAR(std::remainder(std::atan2(a, b) - phase0 - 0.7 * ch, 2 * std::numbers::pi), 0.0, 1e-3) << ch;
    }
  }
}

}  // namespace
}  // namespace Corvane::Vel
