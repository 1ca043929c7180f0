// kaSingleBufferAudioResampler: the four methods on small blocks as table
// rows, the quality in dB of the stretch the receive path asks for, and the
// one buffer it keeps.
#include "plugins/kaSingleBufferAudioResampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

using Method = void (kaSingleBufferAudioResampler::*)(short*, int, int, int, std::function<void(short*, int)>);
constexpr Method kNearest = &kaSingleBufferAudioResampler::Nearest;
constexpr Method kNearestLinear = &kaSingleBufferAudioResampler::NearestLinear;
constexpr Method kLinear = &kaSingleBufferAudioResampler::Linear;
constexpr Method kParabolic = &kaSingleBufferAudioResampler::Parabolic;

struct Resampling { const char* name; Method method; int channels, frames; std::vector<short> source, expected; };
void PrintTo(const Resampling& row, std::ostream* out) { *out << row.name; }

const Resampling kResamplings[] = {
    {"NearestStretches3To5", kNearest, 1, 5, {0, 100, 200}, {0, 100, 100, 200, 200}},
    {"LinearStretches3To5", kLinear, 1, 5, {0, 100, 200}, {0, 50, 100, 200, 200}},
    {"ParabolicStretches3To5", kParabolic, 1, 5, {0, 100, 200}, {0, 50, 100, 200, 200}},
    {"NearestShrinks5To3", kNearest, 1, 3, {0, 10, 20, 30, 40}, {0, 20, 40}},
    {"NearestLinearBlendsRepeatsWithTheLastFrameClamped", kNearestLinear, 1, 4, {0, 90}, {0, 30, 90, 90}},
    {"NearestLinearShrinkingCopiesTheNearest", kNearestLinear, 1, 4, {5, -7, 300, 1234, -32768, 32767, 17, 0, 9},
     {5, 1234, 32767, 9}},
    {"LinearTruncatesTowardZero", kLinear, 2, 4, {0, 0, 100, -100, 200, -200}, {0, 0, 66, -66, 133, -133, 200, -200}},
    // -285.99999962 in double precision, exactly -286 with each product
    // rounded to float and the two added in float.
    {"LinearRoundsEachProductToFloat", kLinear, 1, 4, {-300, -279, 0}, {-300, -286, -186, 0}},
    {"NearestLinearRoundsEachProductToFloat", kNearestLinear, 1, 4, {-300, -90}, {-300, -230, -90, -90}},
    {"ParabolicOvershootWraps", kParabolic, 1, 7, {0, 32767, 32767, 0}, {0, 20479, 32767, -28673, 32767, 0, 0}},
    {"ParabolicUndershootWraps", kParabolic, 1, 7, {0, -32768, -32768, 0}, {0, -20480, -32768, 28672, -32768, 0, 0}},
    {"ParabolicFollowsALineCopyingTheEnd", kParabolic, 1, 9, {0, 10, 20, 30, 40}, {0, 5, 10, 15, 20, 25, 30, 40, 40}},
    {"ParabolicRoundsHalvesAwayFromZero", kParabolic, 1, 5, {0, 1, 2}, {0, 1, 1, 2, 2}},
    {"OneDestinationFrameIsSourceFrameZero", kLinear, 2, 1, {11, -12, 21, -22, 31, -32}, {11, -12}},
    {"ZeroDestinationFramesDeliverNone", kParabolic, 1, 0, {1, 2, 3}, {}},
    {"EqualCountsPassTheSourceItself", kNearestLinear, 2, 3, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
};

class ResamplingTest : public ::testing::TestWithParam<Resampling> {};

TEST_P(ResamplingTest, DeliversTheExpectedFramesOnce) {
  const Resampling& row = GetParam();
  std::vector<short> source = row.source, got;
  const int sourceFrames = static_cast<int>(source.size()) / row.channels;
  auto resampler = std::make_shared<kaSingleBufferAudioResampler>();
  int calls = 0;
  short* delivered = nullptr;
  (resampler.get()->*row.method)(source.data(), row.channels, sourceFrames, row.frames,
                                 [&](short* out, int frames) {
                                   delivered = out, ++calls, got.assign(out, out + frames * row.channels);
                                 });
  EXPECT_EQ(std::tuple(calls, got, source), std::tuple(1, row.expected, row.source)) << "once, as expected";
  EXPECT_EQ(delivered == source.data(), sourceFrames == row.frames) << "only equal counts pass the source";
  EXPECT_TRUE(sourceFrames != row.frames || !resampler->DestinationBuffer(0, 0)) << "nor grow the buffer";
}

INSTANTIATE_TEST_SUITE_P(Rows, ResamplingTest, ::testing::ValuesIn(kResamplings), ::testing::PrintToStringParamName());

// The receive path stretches or shrinks a block by one frame with Linear.
// Against the ideal tone at the positions of the map x = (S-1) i / (D-1), a
// 1 kHz and a 3 kHz tone keep about the error linear interpolation allows
// (-57 and -38 dB); a blend from the wrong frames or with the wrong weights
// costs tens of dB. The end frames are copied exactly.
TEST(kaSingleBufferAudioResamplerTest, ALinearStretchByOneFrameKeepsTheSignal) {
  auto tone = [](int channel, double x) { return 16000 * std::sin((channel ? 0.39269908 : 0.13089969) * x); };
  std::vector<short> source(2 * 480), out;
  for (int i = 0; i < 960; ++i) source[i] = static_cast<short>(std::lround(tone(i % 2, i / 2 + 0.3)));
  auto resampler = std::make_shared<kaSingleBufferAudioResampler>();
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
