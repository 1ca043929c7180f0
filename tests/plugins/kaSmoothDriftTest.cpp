// Smooth drift correction's two parts. kaSmoothDriftResampler: 16-bit tones
// up to 20 kHz through it at the ratios drift correction uses, against the
// ideal resampled sine; one stream cut into blocks of odd sizes at changing
// ratios; the 16-bit rounding. kaAudioDriftTracker: at its bound and where the
// stream breaks; sources off by up to ±5,000 ppm, on time and late, are rows
// of the smooth drift stream test (kaPluginAudioRendererStreamTest.cpp),
// through the renderer that owns both. Refused arguments are rows of the
// bad-input table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <tuple>
#include <vector>

#include "plugins/kaAudioDriftTracker.h"
#include "plugins/kaSmoothDriftResampler.h"

namespace {

using Resampler = kaSmoothDriftResampler;
using Tracker = kaAudioDriftTracker;
constexpr int64_t kGapMicros = 2'000'000;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// A stream of `frames` stereo frames of a -6 dBFS sine (channel 1 a quarter
// cycle ahead), quantized to 16 bits.
std::vector<int16_t> Sine(double tone, int frames) {
  std::vector<int16_t> out(static_cast<size_t>(frames) * 2);
  const double omega = kTwoPi * tone / 48000.0;
  for (int i = 0; i < frames; ++i) {
    out[2 * i] = static_cast<int16_t>(std::lround(16384.0 * std::sin(omega * i)));
    out[2 * i + 1] = static_cast<int16_t>(std::lround(16384.0 * std::cos(omega * i)));
  }
  return out;
}

// Feeds `input` in blocks of the sizes in `blocks` (cycled), block k at
// ratios[k % size]; returns every output frame and, in `positions`, the input
// position each was read at (the stream's frame 0 is read first).
std::vector<int16_t> Stream(Resampler& resampler, const std::vector<int16_t>& input, const std::vector<int>& blocks,
                         const std::vector<double>& ratios, std::vector<double>* positions = nullptr) {
  std::vector<int16_t> out;
  double position = 0.0;
  const int total = static_cast<int>(input.size() / 2);
  for (int at = 0, k = 0; at < total; ++k) {
    const int frames = std::min(blocks[k % blocks.size()], total - at);
    const double ratio = ratios[k % ratios.size()];
    const int64_t made = resampler.Process(input.data() + 2 * at, 2, frames, ratio, [&](const int16_t* f, int n) {
      out.insert(out.end(), f, f + 2 * n);
      for (int i = 0; i < n && positions; ++i, position += ratio) positions->push_back(position);
    });
    EXPECT_GE(made, 0);
    at += frames;
  }
  return out;
}

// 16-bit in, 16-bit out, tones up to 20 kHz at each ratio, and at a ratio
// that changes with every block of odd sizes: once the filter has left the
// silence before the stream, every output sample lies within 2 steps of the
// ideal sine at its read position (no block joint shows), the error's power
// is that of the two roundings (input and output) and no more (the filter's
// own passband error, images and phase interpolation stay below -100 dB), and
// the output count follows the ratio (the last kLatencyFrames of input are
// still held). The same stream in one block and in blocks of odd sizes gives
// the same samples at one ratio: the read position moves in exact steps.
TEST(kaSmoothDriftResamplerTest, ASixteenBitToneComesOutAsTheIdealResampledSine) {
  constexpr int kFrames = 48'000;
  const std::vector<int> oddSizes = {1, 7, 479, 1023, 1025, 4099};
  // 1, ±500 ppm, ±5,000 ppm, and one ratio for each block in turn.
  const std::vector<std::vector<double>> ratioRows = {{1.0},   {1.0005}, {0.9995}, {1.005},
                                                      {0.995}, {1.004, 0.997, 1.0, 0.991, 1.009}};
  for (const double tone : {1000.0, 15000.0, 20000.0}) {
    const std::vector<int16_t> input = Sine(tone, kFrames);
    const double omega = kTwoPi * tone / 48000.0;
    for (const std::vector<double>& ratios : ratioRows) {
      const double ratio = ratios[0];
      Resampler resampler;
      std::vector<double> positions;
      const std::vector<int16_t> out =
          Stream(resampler, input, ratios.size() > 1 ? oddSizes : std::vector<int>{480}, ratios, &positions);
      const double expectedCount = (kFrames - Resampler::kLatencyFrames) / ratio;
      EXPECT_TRUE(ratios.size() > 1 || std::fabs(static_cast<double>(positions.size()) - expectedCount) <= 1.0)
          << tone << " Hz at " << ratio << ": " << positions.size();
      double worst = 0.0, errorPower = 0.0;
      size_t counted = 0;
      for (size_t j = Resampler::kLatencyFrames; j < positions.size(); ++j, ++counted) {
        for (int c = 0; c < 2; ++c) {
          const double ideal = 16384.0 * std::sin(omega * positions[j] + c * std::numbers::pi / 2);
          const double error = out[2 * j + c] - ideal;
          worst = std::max(worst, std::fabs(error));
          errorPower += error * error / 2;
        }
      }
      // Two roundings of uniform error: 2 × 1/12 of a step squared.
      EXPECT_LE(worst, 2.0) << tone << " Hz at " << ratio;
      EXPECT_LT(errorPower / static_cast<double>(counted), 2.0 / 12.0 * 1.1) << tone << " Hz at " << ratio;
    }
  }
  Resampler whole, cut;
  const std::vector<int16_t> input = Sine(10000.0, 30'000);
  EXPECT_EQ(Stream(whole, input, {30'000}, {1.0005}), Stream(cut, input, oddSizes, {1.0005}));
  EXPECT_EQ(std::tuple(whole.InputFrames(), whole.OutputFrames()), std::tuple(30'000, cut.OutputFrames()));
}

// A full-scale square wave overshoots at its edges (the filter's ringing):
// those samples saturate at the 16-bit limits instead of wrapping, and a new
// channel count restarts the stream against silence.
TEST(kaSmoothDriftResamplerTest, OvershootSaturatesAndANewChannelCountRestarts) {
  std::vector<int16_t> square(2 * 4800);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 2) % 96 < 48 ? 32767 : -32768;
  Resampler resampler;
  std::vector<int16_t> out = Stream(resampler, square, {480}, {1.0});
  int saturated = 0, wrapped = 0;
  for (size_t j = 2 * Resampler::kLatencyFrames; j < out.size(); j += 2) {
    const bool high = (j / 2) % 96 < 48, nearEdge = (j / 2) % 48 < 4 || (j / 2) % 48 >= 44;
    saturated += out[j] == (high ? 32767 : -32768);
    wrapped += !nearEdge && (high ? out[j] < 0 : out[j] > 0);
  }
  EXPECT_GT(saturated, 100);
  EXPECT_EQ(wrapped, 0);

  const std::vector<int16_t> mono(480, 1000);
  std::vector<int16_t> first;
  EXPECT_EQ(resampler.Process(mono.data(), 1, 480, 1.0, [&](const int16_t* f, int n) { first.assign(f, f + n); }),
            480 - Resampler::kLatencyFrames);
  EXPECT_EQ(std::tuple(resampler.Channels(), resampler.InputFrames()), std::tuple(1, 480));
  ASSERT_FALSE(first.empty());
  EXPECT_LT(first.front(), 1000) << "the first frame's taps reach back into silence, not the stereo stream";
  EXPECT_EQ(first.back(), 1000);
}

// A source 3 % fast is beyond the bound: the ratio holds at 1.01 without
// winding up, the level it cannot hold is taken afresh each time it has run
// past the ring's cushion, and the ratio comes back within seconds when the
// source comes back to the clock.
// Gaps beyond the restart gap, time going back, a new channel count and
// Restart each start a new measurement at ratio 1; a gap within it does not.
TEST(kaAudioDriftTrackerTest, HoldsItsBoundAndRestartsWhereTheStreamBreaks) {
  Tracker tracker(kGapMicros);
  int64_t now = 1'000'000;
  const auto deliver = [&](double frames, int32_t channels = 2) {
    const bool restarted = tracker.BeginDelivery(now, channels);
    tracker.EndDelivery(frames);
    now += 5000;
    return restarted;
  };
  double highest = 0.0, worstLevel = 0.0;
  for (int k = 0; k < 2000; ++k) {
    deliver(240 * 1.03);
    highest = std::max(highest, tracker.Ratio());
    worstLevel = std::max(worstLevel, std::fabs(tracker.LevelError()));
  }
  EXPECT_DOUBLE_EQ(highest, 1.0 + Tracker::kMaxRatioDeviation);
  EXPECT_LE(worstLevel, Tracker::kMaxLevelErrorFrames);
  // 2 % beyond the bound is 960 frames a second: a new level every 2.5 s or so.
  EXPECT_TRUE(tracker.Restarts() >= 3 && tracker.Restarts() <= 5) << tracker.Restarts();
  int settle = 0;
  for (; settle < 2000 && std::fabs(tracker.Ratio() - 1.0) > 1e-4; ++settle) deliver(240);
  EXPECT_LT(settle, 1200) << "wound up: it took more than 6 s to let go of the bound";
  const auto state = [&] { return std::tuple(tracker.Ratio(), tracker.LevelError(), tracker.Restarts()); };
  const auto held = state();
  tracker.EndDelivery(1e9);  // no delivery begun: moves nothing (extreme times and counts: bad-input rows)
  EXPECT_EQ(state(), held);

  const auto restartsAfter = [&](auto&& step) {
    for (int k = 0; k < 200; ++k) deliver(240 * 1.003);
    const uint64_t before = tracker.Restarts();
    const bool restarted = step();
    return std::tuple(restarted, tracker.Restarts() - before, restarted ? tracker.Ratio() : 1.0);
  };
  // Deliveries are 5 ms apart: these come the restart gap and 1 µs more after the one before.
  EXPECT_EQ(std::get<0>(restartsAfter([&] { return now += kGapMicros - 5000, deliver(240); })), false);
  EXPECT_EQ(restartsAfter([&] { return now += kGapMicros - 4999, deliver(240); }), std::tuple(true, 1u, 1.0));
  EXPECT_EQ(restartsAfter([&] { return now -= 10'000, deliver(240); }), std::tuple(true, 1u, 1.0));
  EXPECT_EQ(restartsAfter([&] { return deliver(240, 6); }), std::tuple(true, 1u, 1.0));
  EXPECT_EQ(restartsAfter([&] { return tracker.Restart(), deliver(240, 6); }), std::tuple(true, 1u, 1.0));
}

}  // namespace
