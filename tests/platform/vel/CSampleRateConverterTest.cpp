// The 'asrc' converter: signal quality against a least-squares sine fit,
// stream continuity across blocks, steady block sizes and latency.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "VelTestHelpers.h"

namespace Corvane::Vel {
namespace {

using veltest::ConvertBlock;
using veltest::Describe;
using veltest::MakeConverter;
using veltest::VelObjectTest;

constexpr uint32_t kSowt = FourCC("sowt");
constexpr int kOutputRate = 48000;
constexpr double kMinusOneDbfs = 32768.0 * 0.8912509381337456;  // 10^(-1/20) of full scale
constexpr int kBlocks = 50;                 // 0.5 s of audio in 10 ms blocks
constexpr int kTransientFrames = 960;       // 20 ms of output left out of the fits
constexpr double kMinSinadDb = 80.0;
constexpr double kMaxAmplitudeErrorDb = 0.1;
constexpr double kMaxFrequencyErrorHz = 0.01;

// Interleaved 16-bit test signal: channel c is a sine of `frequency` at
// -1 dBFS whose phase leads by c x kChannelPhaseStep, so a swapped or mixed
// channel shows in the fitted phases.
constexpr double kChannelPhaseStep = 0.7;  // radians

std::vector<int16_t> MakeSine(double frequency, int rate, int channels, int64_t firstFrame,
                              int frames) {
  std::vector<int16_t> block(static_cast<std::size_t>(frames * channels));
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(firstFrame + i) / rate;
    for (int c = 0; c < channels; ++c) {
      const double phase = 2 * std::numbers::pi * frequency * t + c * kChannelPhaseStep;
      block[static_cast<std::size_t>(i * channels + c)] =
          static_cast<int16_t>(std::lround(kMinusOneDbfs * std::sin(phase)));
    }
  }
  return block;
}

struct SineFit {
  double amplitude = 0;
  double phase = 0;  // of sin(2 pi f n / rate + phase)
  double sinadDb = 0;
};

// Least-squares fit of a cos + b sin + dc at `frequency` to y[first, last),
// with n counted from the start of y; SINAD is the fitted sine's power over
// the power of what it leaves.
SineFit FitSine(const std::vector<double>& y, std::size_t first, std::size_t last,
                double frequency, double rate) {
  double m[3][4] = {};
  for (std::size_t n = first; n < last; ++n) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
    const double v[3] = {std::cos(w), std::sin(w), 1.0};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] += v[i] * v[j];
      m[i][3] += v[i] * y[n];
    }
  }
  for (int i = 0; i < 3; ++i) {  // Gauss-Jordan; the normal matrix is well conditioned
    for (int k = 0; k < 3; ++k) {
      if (k == i) continue;
      const double r = m[k][i] / m[i][i];
      for (int j = 0; j < 4; ++j) m[k][j] -= r * m[i][j];
    }
  }
  const double a = m[0][3] / m[0][0];
  const double b = m[1][3] / m[1][1];
  const double dc = m[2][3] / m[2][2];
  double signal = 0;
  double error = 0;
  for (std::size_t n = first; n < last; ++n) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
    const double sine = a * std::cos(w) + b * std::sin(w);
    signal += sine * sine;
    error += (y[n] - sine - dc) * (y[n] - sine - dc);
  }
  SineFit fit;
  fit.amplitude = std::hypot(a, b);
  fit.phase = std::atan2(a, b);
  fit.sinadDb = 10 * std::log10(signal / error);
  return fit;
}

double WrapPhase(double phase) { return std::remainder(phase, 2 * std::numbers::pi); }

class CSampleRateConverterTest : public VelObjectTest {
 protected:
  static RObject<CAudioConverter> Started(int inputRate, int channels) {
    Result started;
    auto converter =
        MakeConverter(FourCC("asrc"), *Describe(kSowt, channels, inputRate, 16), kOutputRate, &started);
    EXPECT_FALSE(started.Failed());
    return converter;
  }

  // Streams kBlocks 10 ms blocks of the test sine; returns the output
  // interleaved and the frame count of every output block.
  static std::vector<int16_t> Stream(CAudioConverter& converter, double frequency, int inputRate,
                                     int channels, std::vector<int>* blockFrames) {
    const int framesPerBlock = inputRate / 100;
    std::vector<int16_t> output;
    for (int b = 0; b < kBlocks; ++b) {
      const std::vector<int16_t> block = MakeSine(
          frequency, inputRate, channels, static_cast<int64_t>(b) * framesPerBlock, framesPerBlock);
      const std::vector<int16_t> converted =
          ConvertBlock(converter, block.data(), static_cast<int32_t>(block.size() * 2));
      blockFrames->push_back(static_cast<int>(converted.size()) / channels);
      output.insert(output.end(), converted.begin(), converted.end());
    }
    return output;
  }
};

struct QualityCase {
  int inputRate;
  double frequency;
  int channels;
};

void PrintTo(const QualityCase& c, std::ostream* os) {
  *os << c.frequency << " Hz from " << c.inputRate << " Hz, " << c.channels << " channels";
}

class ResamplerQualityTest : public CSampleRateConverterTest,
                             public ::testing::WithParamInterface<QualityCase> {};

TEST_P(ResamplerQualityTest, KeepsFrequencyAmplitudeAndSinad) {
  const QualityCase& param = GetParam();
  auto converter = Started(param.inputRate, param.channels);
  ASSERT_TRUE(converter);
  std::vector<int> blockFrames;
  const std::vector<int16_t> output =
      Stream(*converter, param.frequency, param.inputRate, param.channels, &blockFrames);

  // Steady block sizes: after the first block (shorter by the filter's
  // delay, under 2 ms), every 10 ms block gives exactly 10 ms of output.
  ASSERT_EQ(blockFrames.size(), static_cast<std::size_t>(kBlocks));
  EXPECT_LT(kOutputRate / 100 - blockFrames[0], kOutputRate / 500);
  EXPECT_GT(blockFrames[0], 0);
  for (std::size_t b = 1; b < blockFrames.size(); ++b) EXPECT_EQ(blockFrames[b], kOutputRate / 100);

  const std::size_t frames = output.size() / static_cast<std::size_t>(param.channels);
  ASSERT_GT(frames, static_cast<std::size_t>(kTransientFrames) * 4);
  const std::size_t middle = (kTransientFrames + frames) / 2;
  std::vector<double> firstPhases;
  for (int c = 0; c < param.channels; ++c) {
    std::vector<double> y(frames);
    for (std::size_t n = 0; n < frames; ++n) {
      y[n] = output[n * static_cast<std::size_t>(param.channels) + static_cast<std::size_t>(c)];
    }
    const SineFit whole = FitSine(y, kTransientFrames, frames, param.frequency, kOutputRate);
    const SineFit early = FitSine(y, kTransientFrames, middle, param.frequency, kOutputRate);
    const SineFit late = FitSine(y, middle, frames, param.frequency, kOutputRate);
    // A frequency off by df turns the phase by 2 pi df over the distance
    // between the two halves' centres.
    const double seconds = static_cast<double>(frames - kTransientFrames) / 2 / kOutputRate;
    const double frequencyError =
        WrapPhase(late.phase - early.phase) / (2 * std::numbers::pi * seconds);
    const double amplitudeErrorDb = 20 * std::log10(whole.amplitude / kMinusOneDbfs);
    SCOPED_TRACE(::testing::Message() << param.inputRate << " Hz, " << param.frequency << " Hz tone, channel "
                                      << c << ": SINAD " << whole.sinadDb << " dB, amplitude "
                                      << amplitudeErrorDb << " dB, frequency error "
                                      << frequencyError << " Hz");
    EXPECT_GE(whole.sinadDb, kMinSinadDb);
    EXPECT_LT(std::abs(amplitudeErrorDb), kMaxAmplitudeErrorDb);
    EXPECT_LT(std::abs(frequencyError), kMaxFrequencyErrorHz);
    if (c == 0) RecordProperty("sinad_db", std::to_string(whole.sinadDb));
    firstPhases.push_back(whole.phase);
    // Channels keep their order and their own signal.
    EXPECT_NEAR(WrapPhase(whole.phase - firstPhases[0] - c * kChannelPhaseStep), 0.0, 1e-3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ToFortyEightKilohertz, ResamplerQualityTest,
    ::testing::Values(QualityCase{44100, 1000, 2}, QualityCase{44100, 10000, 2},
                      QualityCase{44100, 19000, 2}, QualityCase{96000, 1000, 2},
                      QualityCase{96000, 10000, 2}, QualityCase{96000, 19000, 2},
                      QualityCase{32000, 1000, 2}, QualityCase{32000, 10000, 2},
                      QualityCase{44100, 19000, 6}, QualityCase{96000, 10000, 6},
                      QualityCase{44100, 1000, 1}),
    [](const ::testing::TestParamInfo<QualityCase>& caseInfo) {
      return "From" + std::to_string(caseInfo.param.inputRate) + "Tone" +
             std::to_string(static_cast<int>(caseInfo.param.frequency)) + "Channels" +
             std::to_string(caseInfo.param.channels);
    });

// Cutting the stream into blocks of any size gives the same output as one
// block: no gap, repeat or discontinuity at block joins.
TEST_F(CSampleRateConverterTest, BlockJoinsMatchAnUncutStream) {
  constexpr int kChannels = 2;
  constexpr int kFrames = 44100 / 5;
  const std::vector<int16_t> signal = MakeSine(997, 44100, kChannels, 0, kFrames);

  auto whole = Started(44100, kChannels);
  const std::vector<int16_t> reference =
      ConvertBlock(*whole, signal.data(), static_cast<int32_t>(signal.size() * 2));

  auto cut = Started(44100, kChannels);
  std::vector<int16_t> joined;
  const std::array<int, 7> sizes = {441, 1, 17, 1000, 440, 2, 333};
  int frame = 0;
  for (std::size_t i = 0; frame < kFrames; ++i) {
    const int frames = std::min(sizes[i % sizes.size()], kFrames - frame);
    const std::vector<int16_t> part =
        ConvertBlock(*cut, signal.data() + static_cast<std::ptrdiff_t>(frame) * kChannels, frames * 2 * kChannels);
    joined.insert(joined.end(), part.begin(), part.end());
    frame += frames;
  }
  ASSERT_GT(reference.size(), 9000u * kChannels);
  // The last partial block may hold back a few frames more or less.
  const std::size_t common = std::min(reference.size(), joined.size());
  EXPECT_LT(reference.size() - common, 64u * kChannels);
  EXPECT_LT(joined.size() - common, 64u * kChannels);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < common; ++i) differing += reference[i] != joined[i] ? 1 : 0;
  EXPECT_EQ(differing, 0u);
}

TEST_F(CSampleRateConverterTest, StopAndStartBeginAFreshStream) {
  const std::vector<int16_t> block = MakeSine(440, 44100, 2, 0, 441);
  auto fresh = Started(44100, 2);
  const std::vector<int16_t> expected = ConvertBlock(*fresh, block.data(), 441 * 4);

  auto restarted = Started(44100, 2);
  ConvertBlock(*restarted, block.data(), 441 * 4);
  ConvertBlock(*restarted, block.data(), 441 * 4);
  restarted->Stop();
  ASSERT_FALSE(restarted->Start().Failed());
  EXPECT_EQ(ConvertBlock(*restarted, block.data(), 441 * 4), expected);
}

TEST_F(CSampleRateConverterTest, LatencyIsUnderOneMillisecondAtUsualRates) {
  // An impulse at input frame 100 appears in the output near frame
  // 100 x 48000 / rate plus the converter's delay.
  for (const int rate : {44100, 96000, 32000}) {
    auto converter = Started(rate, 1);
    std::vector<int16_t> block(static_cast<std::size_t>(rate / 100), 0);
    block[100] = 20000;
    std::vector<int16_t> output = ConvertBlock(*converter, block.data(), static_cast<int32_t>(block.size() * 2));
    const std::vector<int16_t> silence(block.size(), 0);
    const std::vector<int16_t> more = ConvertBlock(*converter, silence.data(), static_cast<int32_t>(silence.size() * 2));
    output.insert(output.end(), more.begin(), more.end());
    std::size_t peak = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
      if (std::abs(output[i]) > std::abs(output[peak])) peak = i;
    }
    const double delayMs = (static_cast<double>(peak) - 100.0 * kOutputRate / rate) * 1000.0 / kOutputRate;
    EXPECT_GE(delayMs, -0.05) << rate;
    EXPECT_LT(delayMs, 1.0) << rate;
  }
}

TEST_F(CSampleRateConverterTest, SameRatePassesTheSignalThroughUnchanged) {
  auto converter = Started(kOutputRate, 2);
  const std::vector<int16_t> block = MakeSine(1000, kOutputRate, 2, 0, 480);
  std::vector<int16_t> output;
  for (int i = 0; i < 3; ++i) {
    const std::vector<int16_t> part = ConvertBlock(*converter, block.data(), 480 * 4);
    output.insert(output.end(), part.begin(), part.end());
  }
  ASSERT_GE(output.size(), block.size());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), output.begin()));
}

}  // namespace
}  // namespace Corvane::Vel
