// kaSmoothDriftResampler: the filter's own error on tones up to 20 kHz at
// the ratios drift correction uses (below the 16-bit floor), a 16-bit
// stream through it against the ideal resampled sine, one stream cut into
// blocks of odd sizes at changing ratios, and the 16-bit rounding. Refused
// arguments are rows of the bad-input table.
#include "plugins/kaSmoothDriftResampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

using Resampler = kaSmoothDriftResampler;
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kRatios[] = {1.0, 1.0005, 0.9995, 1.005, 0.995};  // 1, ±500 ppm, ±5,000 ppm
constexpr double kTones[] = {1000.0, 10000.0, 15000.0, 20000.0};   // Hz at 48 kHz

double Db(double ratio) { return 20.0 * std::log10(ratio); }

// The filter alone, in float, on a unit sine at each tone and ratio: every
// output at a position p = 100.37 + j × ratio is compared with sin(ω p).
// The worst error is the filter's passband error, its images and its phase
// interpolation together; measured -110 dB at 20 kHz, -120 dB at 10 kHz.
TEST(kaSmoothDriftResamplerTest, FilterErrorStaysBelowMinus100DbUpTo20kHz) {
  constexpr int kFrames = 12'000;
  std::vector<float> sine(kFrames);
  for (const double tone : kTones) {
    const double omega = kTwoPi * tone / 48000.0;
    for (int i = 0; i < kFrames; ++i) sine[i] = static_cast<float>(std::sin(omega * i));
    for (const double ratio : kRatios) {
      double worst = 0.0;
      for (int j = 0; j < 10'000; ++j) {
        const double position = 100.37 + j * ratio;
        const double value = Resampler::InterpolateForTesting(sine.data(), kFrames, position);
        worst = std::max(worst, std::fabs(value - std::sin(omega * position)));
      }
      EXPECT_LT(Db(worst), -100.0) << tone << " Hz at ratio " << ratio;
    }
  }
}

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

// 16-bit in, 16-bit out, at each ratio: once the filter has left the
// silence before the stream, every output sample lies within 2 steps of the
// ideal sine at its read position, the error's power is that of the two
// roundings (input and output) and no more, and the output count follows
// the ratio (the last kLatencyFrames of input are still held).
TEST(kaSmoothDriftResamplerTest, ASixteenBitToneComesOutAsTheIdealResampledSine) {
  constexpr int kFrames = 48'000;
  for (const double tone : {1000.0, 15000.0}) {
    const std::vector<int16_t> input = Sine(tone, kFrames);
    const double omega = kTwoPi * tone / 48000.0;
    for (const double ratio : kRatios) {
      Resampler resampler;
      std::vector<double> positions;
      const std::vector<int16_t> out = Stream(resampler, input, {480}, {ratio}, &positions);
      const double expectedCount = (kFrames - Resampler::kLatencyFrames) / ratio;
      EXPECT_NEAR(static_cast<double>(positions.size()), expectedCount, 1.0) << tone << " Hz at " << ratio;
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
}

// The same stream in one block and in blocks of 1, 7, 479, 1023, 1025 and
// 4099 frames gives the same samples at one ratio (the read position moves in
// exact steps). At a ratio that changes with every block the stream stays
// the sine read at the summed positions: no block joint shows.
TEST(kaSmoothDriftResamplerTest, BlocksOfOddSizesMakeOneContinuousStream) {
  const std::vector<int16_t> input = Sine(10000.0, 30'000);
  const std::vector<int> oddSizes = {1, 7, 479, 1023, 1025, 4099};
  Resampler whole, cut, changing;
  EXPECT_EQ(Stream(whole, input, {30'000}, {1.0005}), Stream(cut, input, oddSizes, {1.0005}));
  EXPECT_EQ(whole.InputFrames(), 30'000);
  EXPECT_EQ(whole.OutputFrames(), cut.OutputFrames());

  std::vector<double> positions;
  const std::vector<int16_t> out = Stream(changing, input, oddSizes, {1.004, 0.997, 1.0, 0.991, 1.009}, &positions);
  const double omega = kTwoPi * 10000.0 / 48000.0;
  double worst = 0.0;
  for (size_t j = Resampler::kLatencyFrames; j < positions.size(); ++j) {
    worst = std::max(worst, std::fabs(out[2 * j] - 16384.0 * std::sin(omega * positions[j])));
  }
  EXPECT_LE(worst, 2.0);
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

}  // namespace
