#include "plugins/kaSingleBufferAudioResampler.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "support/AllocationCounter.h"

namespace {

using Method = void (kaSingleBufferAudioResampler::*)(short*, int, int, int, std::function<void(short*, int)>);

// What one call delivered: the pointer, the frame count, a copy of the samples
// and how often deliver ran.
struct Delivery {
  short* pointer = nullptr;
  int frames = -1;
  int calls = 0;
  std::vector<short> samples;
};

class kaSingleBufferAudioResamplerTest : public ::testing::Test {
 protected:
  Delivery Run(Method method, std::vector<short> source, int channels, int sourceFrames, int destinationFrames) {
    source_ = std::move(source);
    Delivery delivery;
    (resampler_.get()->*method)(source_.data(), channels, sourceFrames, destinationFrames,
                          [&delivery, channels](short* out, int frames) {
                            delivery.pointer = out;
                            delivery.frames = frames;
                            ++delivery.calls;
                            if (out && frames > 0) delivery.samples.assign(out, out + frames * channels);
                          });
    return delivery;
  }

  std::shared_ptr<kaSingleBufferAudioResampler> resampler_ = std::make_shared<kaSingleBufferAudioResampler>();
  std::vector<short> source_;
};

constexpr Method kNearest = &kaSingleBufferAudioResampler::Nearest;
constexpr Method kNearestLinear = &kaSingleBufferAudioResampler::NearestLinear;
constexpr Method kLinear = &kaSingleBufferAudioResampler::Linear;
constexpr Method kParabolic = &kaSingleBufferAudioResampler::Parabolic;

TEST_F(kaSingleBufferAudioResamplerTest, EqualCountsPassTheSourceThroughUntouched) {
  for (Method method : {kNearest, kNearestLinear, kLinear, kParabolic}) {
    std::vector<short> source = {1, 2, 3, 4, 5, 6};
    short* sourcePointer = nullptr;
    Delivery delivery;
    source_ = source;
    sourcePointer = source_.data();
    (resampler_.get()->*method)(sourcePointer, 2, 3, 3, [&](short* out, int frames) {
      delivery.pointer = out;
      delivery.frames = frames;
      ++delivery.calls;
    });
    EXPECT_EQ(delivery.calls, 1);
    EXPECT_EQ(delivery.pointer, sourcePointer);
    EXPECT_EQ(delivery.frames, 3);
    EXPECT_EQ(source_, source);
  }
  EXPECT_EQ(resampler_->DestinationBuffer(0, 0), nullptr);  // the buffer was never grown
}

TEST_F(kaSingleBufferAudioResamplerTest, StretchingThreeFramesToFiveFollowsEachMethodsRule) {
  const std::vector<short> ramp = {0, 100, 200};
  EXPECT_EQ(Run(kNearest, ramp, 1, 3, 5).samples, (std::vector<short>{0, 100, 100, 200, 200}));
  EXPECT_EQ(Run(kNearestLinear, ramp, 1, 3, 5).samples, (std::vector<short>{0, 100, 100, 200, 200}));
  EXPECT_EQ(Run(kLinear, ramp, 1, 3, 5).samples, (std::vector<short>{0, 50, 100, 200, 200}));
  EXPECT_EQ(Run(kParabolic, ramp, 1, 3, 5).samples, (std::vector<short>{0, 50, 100, 200, 200}));
}

TEST_F(kaSingleBufferAudioResamplerTest, NearestShrinkingFiveFramesToThreeTakesEveryOther) {
  const Delivery d = Run(kNearest, {0, 10, 20, 30, 40}, 1, 5, 3);
  EXPECT_EQ(d.frames, 3);
  EXPECT_EQ(d.samples, (std::vector<short>{0, 20, 40}));
}

TEST_F(kaSingleBufferAudioResamplerTest, NearestLinearBlendsRepeatedFramesWithTheLastFrameClamped) {
  EXPECT_EQ(Run(kNearestLinear, {0, 90}, 1, 2, 4).samples, (std::vector<short>{0, 30, 90, 90}));
}

TEST_F(kaSingleBufferAudioResamplerTest, NearestLinearShrinkingIsAPlainNearestCopy) {
  const std::vector<short> source = {5, -7, 300, 1234, -32768, 32767, 17, 0, 9};
  EXPECT_EQ(Run(kNearestLinear, source, 1, 9, 4).samples, Run(kNearest, source, 1, 9, 4).samples);
}

TEST_F(kaSingleBufferAudioResamplerTest, LinearBlendsTruncateTowardZeroOnBothSigns) {
  const Delivery d = Run(kLinear, {0, 0, 100, -100, 200, -200}, 2, 3, 4);
  EXPECT_EQ(d.frames, 4);
  EXPECT_EQ(d.samples, (std::vector<short>{0, 0, 66, -66, 133, -133, 200, -200}));
}

TEST_F(kaSingleBufferAudioResamplerTest, BlendsRoundEachProductToSinglePrecisionBeforeAdding) {
  // At x = 2/3 between -300 and -279 the sum is -285.99999962 in double
  // precision (truncating to -285) but exactly -286 once each product is
  // rounded to float and the two are added in float.
  EXPECT_EQ(Run(kLinear, {-300, -279, 0}, 1, 3, 4).samples[1], -286);
  // The same for the repeated-frame blend at x = 1/3 between -300 and -90.
  EXPECT_EQ(Run(kNearestLinear, {-300, -90}, 1, 2, 4).samples[1], -230);
}

TEST_F(kaSingleBufferAudioResamplerTest, ParabolicOvershootWrapsInsteadOfSaturating) {
  const Delivery d = Run(kParabolic, {0, 32767, 32767, 0}, 1, 4, 7);
  // The fourth value is 36,863 before it is stored.
  EXPECT_EQ(d.samples, (std::vector<short>{0, 20479, 32767, -28673, 32767, 0, 0}));
}

TEST_F(kaSingleBufferAudioResamplerTest, ParabolicNegativeOvershootWrapsToo) {
  // -36,864 at x = 1.5 stores its low 16 bits: 28,672.
  const Delivery d = Run(kParabolic, {0, -32768, -32768, 0}, 1, 4, 7);
  EXPECT_EQ(d.samples[3], 28672);
  EXPECT_EQ(d.samples[1], -20480);  // -20,480 exactly, no rounding needed
}

TEST_F(kaSingleBufferAudioResamplerTest, ParabolicFollowsALineAndCopiesTheLastFrame) {
  const Delivery d = Run(kParabolic, {0, 10, 20, 30, 40}, 1, 5, 9);
  EXPECT_EQ(d.samples, (std::vector<short>{0, 5, 10, 15, 20, 25, 30, 40, 40}));
}

TEST_F(kaSingleBufferAudioResamplerTest, ParabolicRoundsHalvesAwayFromZero) {
  // On the line 0, 1, 2 the value at x = 0.5 is exactly 0.5 (and -0.5).
  EXPECT_EQ(Run(kParabolic, {0, 1, 2}, 1, 3, 5).samples[1], 1);
  EXPECT_EQ(Run(kParabolic, {0, -1, -2}, 1, 3, 5).samples[1], -1);
}

TEST_F(kaSingleBufferAudioResamplerTest, LinearOnADriftAdjustedBlockKeepsEndsAndFollowsTheRamp) {
  // The renderer's use: one frame more than received, stereo.
  constexpr int kFrames = 480;
  std::vector<short> source(kFrames * 2);
  for (int k = 0; k < kFrames; ++k) {
    source[2 * k] = static_cast<short>(k * 60);
    source[2 * k + 1] = static_cast<short>(-k * 60);
  }
  for (int destination : {kFrames + 1, kFrames - 1}) {
    const Delivery d = Run(kLinear, source, 2, kFrames, destination);
    ASSERT_EQ(d.frames, destination);
    ASSERT_EQ(d.samples.size(), static_cast<size_t>(destination * 2));
    EXPECT_EQ(d.samples[0], 0);
    EXPECT_EQ(d.samples[d.samples.size() - 2], (kFrames - 1) * 60);
    EXPECT_EQ(d.samples.back(), -(kFrames - 1) * 60);
    for (int i = 0; i < destination; ++i) {
      const double x = (kFrames - 1.0) * i / (destination - 1.0);
      EXPECT_LE(std::abs(d.samples[2 * i] - 60.0 * x), 1.0) << "frame " << i;
      EXPECT_LE(std::abs(d.samples[2 * i + 1] + 60.0 * x), 1.0) << "frame " << i;
    }
  }
}

TEST_F(kaSingleBufferAudioResamplerTest, OneDestinationFrameDeliversSourceFrameZero) {
  for (Method method : {kNearest, kNearestLinear, kLinear, kParabolic}) {
    const Delivery d = Run(method, {11, -12, 21, -22, 31, -32}, 2, 3, 1);
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(d.frames, 1);
    EXPECT_NE(d.pointer, source_.data());  // a copy in the own buffer
    EXPECT_EQ(d.samples, (std::vector<short>{11, -12}));
  }
}

TEST_F(kaSingleBufferAudioResamplerTest, ZeroDestinationFramesDeliversTheBufferWithNoFrames) {
  for (Method method : {kNearest, kNearestLinear, kLinear, kParabolic}) {
    const Delivery d = Run(method, {1, 2, 3}, 1, 3, 0);
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(d.frames, 0);
    EXPECT_NE(d.pointer, source_.data());
  }
  // Once a block was produced, the buffer itself is what arrives.
  const Delivery grown = Run(kLinear, {1, 2, 3}, 1, 3, 5);
  const Delivery empty = Run(kLinear, {1, 2, 3}, 1, 3, 0);
  EXPECT_EQ(empty.pointer, grown.pointer);
  EXPECT_EQ(empty.frames, 0);
}

TEST_F(kaSingleBufferAudioResamplerTest, BadBlocksDeliverNothingAndLeaveTheBufferAlone) {
  for (Method method : {kNearest, kNearestLinear, kLinear, kParabolic}) {
    EXPECT_EQ(Run(method, {1, 2, 3}, 1, 3, -1).calls, 0);  // negative destination
    EXPECT_EQ(Run(method, {1, 2, 3}, 0, 3, 5).calls, 0);   // no channels
    EXPECT_EQ(Run(method, {1, 2, 3}, -2, 3, 5).calls, 0);
    EXPECT_EQ(Run(method, {1, 2, 3}, 1, 0, 5).calls, 0);   // no source frames
    EXPECT_EQ(Run(method, {1, 2, 3}, 1, -3, 5).calls, 0);
    EXPECT_EQ(Run(method, {1, 2, 3}, 1, -3, -3).calls, 0);  // equal but invalid
    int calls = 0;
    (resampler_.get()->*method)(nullptr, 1, 3, 5, [&calls](short*, int) { ++calls; });
    EXPECT_EQ(calls, 0);
  }
  EXPECT_EQ(resampler_->DestinationBuffer(0, 0), nullptr);
}

TEST_F(kaSingleBufferAudioResamplerTest, DestinationBufferGrowsWithZerosAndNeverShrinks) {
  short* small = resampler_->DestinationBuffer(2, 3);
  ASSERT_NE(small, nullptr);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(small[i], 0);
  small[5] = 77;
  short* same = resampler_->DestinationBuffer(1, 4);
  EXPECT_EQ(same, small);
  EXPECT_EQ(same[5], 77);
  short* large = resampler_->DestinationBuffer(4, 100);
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(large[5], 77);  // contents move with the buffer
  for (int i = 6; i < 400; ++i) ASSERT_EQ(large[i], 0);
  EXPECT_EQ(resampler_->DestinationBuffer(-1, 4), nullptr);
  EXPECT_EQ(resampler_->DestinationBuffer(4, -1), nullptr);
  EXPECT_EQ(resampler_->DestinationBuffer(1, 1), large);
}

TEST_F(kaSingleBufferAudioResamplerTest, ASmallerBlockReusesTheLargerBufferWithoutAllocating) {
  std::vector<short> big(20);
  for (int i = 0; i < 20; ++i) big[i] = static_cast<short>(1000 + i);
  std::vector<short> small = {1, 2, 3};
  short* first = nullptr;
  short* second = nullptr;
  std::function<void(short*, int)> keepFirst = [&first](short* out, int) { first = out; };
  std::function<void(short*, int)> keepSecond = [&second](short* out, int) { second = out; };
  resampler_->Nearest(big.data(), 1, 20, 30, keepFirst);
  ASSERT_NE(first, nullptr);
  const std::vector<short> before(first, first + 30);

  AllocationCounter counter;
  resampler_->Linear(small.data(), 1, 3, 5, keepSecond);
  EXPECT_EQ(counter.Allocations(), 0);

  EXPECT_EQ(second, first);
  short* buffer = resampler_->DestinationBuffer(0, 0);
  EXPECT_EQ(buffer, first);
  EXPECT_EQ(std::vector<short>(buffer, buffer + 5), (std::vector<short>{1, 1, 2, 3, 3}));
  // Beyond the delivered block the buffer keeps the earlier samples.
  EXPECT_EQ(std::vector<short>(buffer + 5, buffer + 30), std::vector<short>(before.begin() + 5, before.end()));
}

TEST_F(kaSingleBufferAudioResamplerTest, SteadyStateDriftBlocksDoNotAllocate) {
  std::vector<short> block(480 * 2, 100);
  int delivered = 0;
  std::function<void(short*, int)> deliver = [&delivered](short*, int frames) { delivered += frames; };
  resampler_->Linear(block.data(), 2, 480, 481, deliver);  // warm-up grows the buffer
  AllocationCounter counter;
  for (int i = 0; i < 100; ++i) {
    resampler_->Linear(block.data(), 2, 480, (i % 2) ? 481 : 479, deliver);
  }
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_EQ(delivered, 481 + 50 * 481 + 50 * 479);
}

TEST_F(kaSingleBufferAudioResamplerTest, AnEmptyDeliverFunctionThrowsOnceTheOutputIsComputed) {
  std::vector<short> source = {1, 2, 3};
  for (Method method : {kNearest, kNearestLinear, kLinear, kParabolic}) {
    EXPECT_THROW((resampler_.get()->*method)(source.data(), 1, 3, 5, std::function<void(short*, int)>()),
                 std::bad_function_call);
    EXPECT_THROW((resampler_.get()->*method)(source.data(), 1, 3, 3, nullptr), std::bad_function_call);
  }
  ASSERT_NE(resampler_->DestinationBuffer(0, 0), nullptr) << "the output was computed first";
  EXPECT_EQ(resampler_->DestinationBuffer(0, 0)[4], 3) << "the last output frame lands on the last source frame";
}

}  // namespace
