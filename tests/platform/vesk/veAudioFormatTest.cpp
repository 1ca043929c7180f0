#include "vesk/veAudioFormat.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(veAudioFormat, BitsPerSampleOfEveryCode) {
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::kSowt), 16);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::kTwos), 16);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::kIn24), 24);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::k42ni), 24);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::kIn32), 32);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::k23ni), 32);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::k32ni), 32);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::kFl32), 32);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::k23lf), 32);
  EXPECT_EQ(veAudioFormat::BitsPerSample(veAudioFormat::kFl64), 64);
}

TEST(veAudioFormat, UnknownCodesHaveNoSize) {
  for (uint32_t code : {0u, zFourCC("SOWT"), zFourCC("lpcm"), zFourCC("in16"), zFourCC("rgba")}) {
    EXPECT_EQ(veAudioFormat::BitsPerSample(code), 0) << code;
    EXPECT_EQ(veAudioFormat::BytesForSamples(code, 2, 100), 0u) << code;
  }
}

TEST(veAudioFormat, BytesForSamplesCountsEveryChannelOfEveryFrame) {
  // One cue period of the working format.
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kSowt, 2, 1600), 6400u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kIn24, 2, 3), 18u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::k42ni, 1, 7), 21u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kFl32, 6, 480), 11520u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kFl64, 255, 10), 20400u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kTwos, 1, 1), 2u);
}

TEST(veAudioFormat, BytesForSamplesIsZeroForNoChannelsOrNoFrames) {
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kSowt, 0, 1600), 0u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kSowt, 2, 0), 0u);
}

TEST(veAudioFormat, BytesForSamplesAboveInt32MaxIsZero) {
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kSowt, 1, 0x3fffffff), 0x7ffffffeu);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kSowt, 1, 0x40000000), 0u);
  // 8 bytes × 255 channels = 2040 bytes per frame.
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kFl64, 255, 1052688), 2147483520u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kFl64, 255, 1052689), 0u);
  // Would wrap to a small number in 32-bit arithmetic (0x100000000 + 4).
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kIn32, 4, 0x40000001), 0u);
  EXPECT_EQ(veAudioFormat::BytesForSamples(veAudioFormat::kFl64, 255, UINT32_MAX), 0u);
}

}  // namespace
