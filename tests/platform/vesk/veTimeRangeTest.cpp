#include "vesk/veTimeRange.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "tolm/zRecord.h"
#include "vesk/veMediaRecord.h"

namespace {

class veTimeRangeTest : public ::testing::Test {
 protected:
  zRecord record_;
};

TEST_F(veTimeRangeTest, SameScalesWriteTimeScaleTimeAndDuration) {
  const veTimeRange range{48000, 123456789012345ull, 48000, 1600};
  range.WriteTo(record_);
  EXPECT_EQ(record_.Count(), 3);
  ASSERT_NE(record_.Find(veKeyTimeScale), nullptr);
  EXPECT_EQ(record_.Find(veKeyTimeScale)->Tag(), kzTypeInt64);
  EXPECT_EQ(record_.AsInt64(veKeyTimeScale, 0), 48000);
  ASSERT_NE(record_.Find(veKeyTime), nullptr);
  EXPECT_EQ(record_.Find(veKeyTime)->Tag(), kzTypeUInt64);
  EXPECT_EQ(record_.AsUInt64(veKeyTime, 0), 123456789012345ull);
  ASSERT_NE(record_.Find(veKeyDuration), nullptr);
  EXPECT_EQ(record_.Find(veKeyDuration)->Tag(), kzTypeUInt64);
  EXPECT_EQ(record_.AsUInt64(veKeyDuration, 0), 1600u);
}

TEST_F(veTimeRangeTest, DifferentScalesWriteNoDuration) {
  const veTimeRange range{90000, 3003, 30000, 1001};
  range.WriteTo(record_);
  EXPECT_EQ(record_.AsInt64(veKeyTimeScale, 0), 90000);
  EXPECT_EQ(record_.AsUInt64(veKeyTime, 0), 3003u);
  EXPECT_FALSE(record_.Has(veKeyDuration));
  EXPECT_EQ(record_.Count(), 2);

  zRecord noDurationScale;
  veTimeRange{600, 20, 0, 5}.WriteTo(noDurationScale);
  EXPECT_EQ(noDurationScale.AsInt64(veKeyTimeScale, 0), 600);
  EXPECT_EQ(noDurationScale.AsUInt64(veKeyTime, 0), 20u);
  EXPECT_FALSE(noDurationScale.Has(veKeyDuration));
}

TEST_F(veTimeRangeTest, DurationAloneUsesTheDurationScale) {
  const veTimeRange range{0, 777, 44100, 441};
  range.WriteTo(record_);
  EXPECT_EQ(record_.AsInt64(veKeyTimeScale, 0), 44100);
  EXPECT_EQ(record_.AsUInt64(veKeyDuration, 0), 441u);
  EXPECT_FALSE(record_.Has(veKeyTime));
  EXPECT_EQ(record_.Count(), 2);
}

TEST_F(veTimeRangeTest, NoScaleWritesNothingAndKeepsWhatIsThere) {
  ASSERT_TRUE(record_.SetInt64(veKeyTimeScale, 25));
  ASSERT_TRUE(record_.SetUInt64(veKeyTime, 4));
  veTimeRange{0, 99, 0, 99}.WriteTo(record_);
  EXPECT_EQ(record_.Count(), 2);
  EXPECT_EQ(record_.AsInt64(veKeyTimeScale, 0), 25);
  EXPECT_EQ(record_.AsUInt64(veKeyTime, 0), 4u);
  EXPECT_FALSE(record_.Has(veKeyDuration));
}

TEST_F(veTimeRangeTest, ReplacesEarlierValuesAndKeepsFullWidth) {
  veTimeRange{1000, 1, 1000, 2}.WriteTo(record_);
  // Negative scales are non-zero scales; unsigned times keep all 64 bits.
  const veTimeRange range{-7, UINT64_MAX, -7, (1ull << 63) + 5};
  range.WriteTo(record_);
  EXPECT_EQ(record_.Count(), 3);
  EXPECT_EQ(record_.AsInt64(veKeyTimeScale, 0), -7);
  EXPECT_EQ(record_.AsUInt64(veKeyTime, 0), UINT64_MAX);
  EXPECT_EQ(record_.AsUInt64(veKeyDuration, 0), (1ull << 63) + 5);
}

TEST_F(veTimeRangeTest, MediaRecordWritesIntoItsKeyedEntries) {
  veMediaRecord media(veMediaTypeAudio);
  media.SetTimeRange(veTimeRange{48000, 96000, 48000, 480});
  EXPECT_EQ(media.AsInt64(veKeyTimeScale, 0), 48000);
  EXPECT_EQ(media.AsUInt64(veKeyTime, 0), 96000u);
  EXPECT_EQ(media.AsUInt64(veKeyDuration, 0), 480u);
  EXPECT_EQ(media.Count(), 3);
  EXPECT_EQ(media.MediaType(), veMediaTypeAudio);
}

}  // namespace
