// kaSingleBufferAudioResampler: the four methods on small blocks as table
// rows, the quality in dB of the stretch the receive path asks for, and the
// one buffer it keeps.
#include "plugins/kaSingleBufferAudioResampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

using Resampler = kaSingleBufferAudioResampler;
using Method = void (Resampler::*)(short*, int, int, int, std::function<void(short*, int)>);

// Output frame i sits at source position x = (S-1) i / (D-1).
struct Resampling { const char* name; Method method; int channels, frames; std::vector<short> source, expected; };
void PrintTo(const Resampling& row, std::ostream* out) { *out << row.name; }

const Resampling kResamplings[] = {
    {"NearestRoundsToTheNearestFrame", &Resampler::Nearest, 1, 5, {0, 100, 200}, {0, 100, 100, 200, 200}},
    {"NearestLinearBlendsRepeatsWithTheLastFrameClamped", &Resampler::NearestLinear, 1, 4, {0, 90}, {0, 30, 90, 90}},
    {"LinearTruncatesTowardZero", &Resampler::Linear, 2, 4, {0, 0, 100, -100, 200, -200},
     {0, 0, 66, -66, 133, -133, 200, -200}},
    // -285.99999962 in double precision, exactly -286 with each product
    // rounded to float and the two added in float.
    {"LinearRoundsEachProductToFloat", &Resampler::Linear, 1, 4, {-300, -279, 0}, {-300, -286, -186, 0}},
    // x = 0.5: the parabola through (0, 12), (1, 40), (2, 52) is
    // 12 + 36x - 8x², 28 there; x = 1.5: through (1, 40), (2, 52), (3, 40) it
    // is 52 - 12(x-2)², 49. x = 2.5 rounds to the last frame, copied.
    {"ParabolicPassesThroughTheThreeNearestFrames", &Resampler::Parabolic, 1, 7, {12, 40, 52, 40},
     {12, 28, 40, 49, 52, 40, 40}},
    // At x = 1.5 the parabola through (1, 32767), (2, 32767), (3, 0) is 36862.875: 36863 wraps to -28673.
    {"ParabolicOvershootWraps", &Resampler::Parabolic, 1, 7, {0, 32767, 32767, 0},
     {0, 20479, 32767, -28673, 32767, 0, 0}},
    {"OneDestinationFrameIsSourceFrameZero", &Resampler::Linear, 2, 1, {11, -12, 21, -22, 31, -32}, {11, -12}},
    {"ZeroDestinationFramesDeliverNone", &Resampler::Parabolic, 1, 0, {1, 2, 3}, {}},
    {"EqualCountsPassTheSourceItself", &Resampler::NearestLinear, 2, 3, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
};

class ResamplingTest : public ::testing::TestWithParam<Resampling> {};

TEST_P(ResamplingTest, DeliversTheExpectedFramesOnce) {
  const Resampling& row = GetParam();
  std::vector<short> source = row.source, got;
  const int sourceFrames = static_cast<int>(source.size()) / row.channels;
  auto resampler = std::make_shared<Resampler>();
  int calls = 0;
  short* delivered = nullptr;
  (resampler.get()->*row.method)(source.data(), row.channels, sourceFrames, row.frames, [&](short* out, int frames) {
    delivered = out, ++calls, got.assign(out, out + frames * row.channels);
  });
  EXPECT_EQ(std::tuple(calls, got, source), std::tuple(1, row.expected, row.source)) << "once, as expected";
  EXPECT_EQ(delivered == source.data(), sourceFrames == row.frames) << "only equal counts pass the source";
  EXPECT_TRUE(sourceFrames != row.frames || !resampler->DestinationBuffer(0, 0)) << "nor grow the buffer";
}

INSTANTIATE_TEST_SUITE_P(Rows, ResamplingTest, ::testing::ValuesIn(kResamplings), ::testing::PrintToStringParamName());

// The receive path stretches or shrinks a block by one frame with Linear.
// Against the ideal tone at the positions of the map, a 1 kHz and a 3 kHz
// tone keep about the error linear interpolation allows (-57 and -38 dB); a
// blend from the wrong frames or with the wrong weights costs tens of dB.
// The end frames are copied exactly.
TEST(kaSingleBufferAudioResamplerTest, ALinearStretchByOneFrameKeepsTheSignal) {
  auto tone = [](int channel, double x) { return 16000 * std::sin((channel ? 0.39269908 : 0.13089969) * x); };
  std::vector<short> source(2 * 480), out;
  for (int i = 0; i < 960; ++i) source[i] = static_cast<short>(std::lround(tone(i % 2, i / 2 + 0.3)));
  auto resampler = std::make_shared<Resampler>();
  for (int frames : {481, 479}) {
    resampler->Linear(source.data(), 2, 480, frames, [&out](short* s, int n) { out.assign(s, s + 2 * n); });
    for (int c : {0, 1}) {
      double signal = 0.0, error = 0.0;
      for (int i = 0; i < frames; ++i) {
        const double ideal = tone(c, 479.0 * i / (frames - 1) + 0.3), sample = out[2 * i + c];
        signal += ideal * ideal, error += (sample - ideal) * (sample - ideal);
      }
      EXPECT_GT(10.0 * std::log10(signal / error), c ? 35.0 : 54.0) << frames << " frames, channel " << c;
      EXPECT_EQ(std::tuple(out[c], out[2 * frames - 2 + c]), std::tuple(source[c], source[958 + c]));
    }
  }
}

}  // namespace
