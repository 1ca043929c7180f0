// kaLipSync: the delays a host sets so that a source's sound is heard with
// its picture, as a table of asked delays, trims and path latencies.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "render/kaLipSync.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct AlignRow {  // asked: videoDelay ... videoCue
  const char* name; double videoDelay, soundOffset, audioCue, videoCue, expectedVideo, expectedAudio; bool exact;
};
void PrintTo(const AlignRow& row, std::ostream* out) { *out << row.name; }

const AlignRow kRows[] = {
    // Undelayed 29.97 picture, 55 ms sound path: the picture waits for the sound.
    {"UndelayedPictureWaitsForTheSound", 0.0, 0.0, 0.055, 1.0 / 60, 0.055 - 1.0 / 60, 0.055, true},
    // A picture delayed 0.1 s: the sound is delayed to meet it.
    {"DelayedPictureDelaysTheSound", 0.1, 0.0, 0.055, 1001.0 / 120000, 0.1, 0.1 + 1001.0 / 120000, true},
    {"ATrimMakesTheSoundLater", 0.1, 0.02, 0.055, 0.0, 0.1, 0.12, true},
    {"AnEarlierTrimDelaysThePictureMore", 0.0, -0.02, 0.055, 0.0, 0.075, 0.055, true},
    {"ASoundEstimateBelowThePrimeDistanceCountsAsIt", 0.0, 0.0, 0.01, 0.0, 0.05, 0.05, true},
    {"NotANumberCountsAsZero", kNaN, kNaN, kNaN, kNaN, 0.05, 0.05, true},
    {"NegativeDelaysCountAsZero", -1.0, 0.0, 0.05, -1.0, 0.05, 0.05, true},
    {"APictureDelayBeyondTheCeilingIsHeld", 20.0, 0.0, 0.05, 0.0, 10.0, 10.0, false},
    {"ATrimBeyondTheCeilingIsHeld", 9.0, 5.0, 0.05, 0.0, 9.0, 10.05, false},
    {"ATrimSoEarlyThePictureCannotWaitIsHeld", 0.0, -20.0, 0.05, 0.0, 10.0, 0.05, false},
    {"AnInfinitePictureDelayIsHeld", kInf, 0.0, 0.05, 0.0, 10.0, 10.0, false},
};

class LipSyncAlignTest : public ::testing::TestWithParam<AlignRow> {};

TEST_P(LipSyncAlignTest, PlansTheDelays) {
  const AlignRow& row = GetParam();
  const kaLipSync::Plan plan = kaLipSync::Align(row.videoDelay, row.soundOffset, row.audioCue, row.videoCue);
  EXPECT_NEAR(plan.videoDelay, row.expectedVideo, 1e-12);
  EXPECT_NEAR(plan.audioLatency, row.expectedAudio, 1e-12);
  EXPECT_EQ(plan.exact, row.exact);
  // Whenever the plan is exact, both paths take equally long, trimmed.
  const double audioCue = std::max(kaLipSync::kMinAudioCueLatency, std::isfinite(row.audioCue) ? row.audioCue : 0.0);
  if (plan.exact) {
    EXPECT_GE(plan.audioLatency, audioCue);
    EXPECT_GE(plan.videoDelay, std::isfinite(row.videoDelay) ? row.videoDelay : 0.0);
    EXPECT_NEAR(plan.audioLatency - plan.videoDelay, (std::isfinite(row.videoCue) ? std::max(row.videoCue, 0.0) : 0.0) +
                                                        (std::isfinite(row.soundOffset) ? row.soundOffset : 0.0),
                1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, LipSyncAlignTest, ::testing::ValuesIn(kRows), ::testing::PrintToStringParamName());

TEST(LipSyncTest, TheVideoWaitIsHalfTheShorterOfPeriodAndFrame) {
  EXPECT_EQ(kaLipSync::VideoCueLatency(1.0 / 30, 1001.0 / 30000), 1.0 / 60);
  EXPECT_EQ(kaLipSync::VideoCueLatency(1.0 / 30, 1001.0 / 60000), 1001.0 / 120000);
  EXPECT_EQ(kaLipSync::VideoCueLatency(kNaN, 0.04), 0.02);
  EXPECT_EQ(kaLipSync::VideoCueLatency(0.04, -1.0), 0.02);
  EXPECT_EQ(kaLipSync::VideoCueLatency(kInf, 0.0), 0.0);
}

}  // namespace
