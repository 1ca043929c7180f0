// kaAudioDriftTracker: sources whose clocks are off by up to ±5,000 ppm,
// delivering on the manual clock from start-up, on time, late by random
// amounts, in bursts and in 10 ms blocks; the level it holds, the ratio it
// settles on, and when it starts measuring afresh.
#include "plugins/kaAudioDriftTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>

#include "support/ManualClock.h"

namespace {

using Tracker = kaAudioDriftTracker;
constexpr int64_t kGapMicros = 2'000'000;

// A source whose clock runs `ppm` fast (negative: slow) makes blocks of
// `blockMicros` of its time; block k is due when its last frame is, and
// reaches the tracker up to `maxLateMicros` late (uniform, seeded) or, with
// `burst` above 1, with the blocks of its burst at the time of the burst's
// last. The model counts what the tracker is told and measures the level
// that the ring really has at each due time, so lateness does not show in it.
struct Source {
  const char* name;
  double ppm;
  int64_t blockMicros;
  int64_t maxLateMicros;
  int burst;
  // Bounds: the most the true level may move from its start, in frames
  // (the audio cue keeps about 560 beyond one period and one block), and how
  // far the ratio may wander once settled (after 20 s), in ppm.
  double maxLevelFrames;
  double maxWanderPpm;
};
void PrintTo(const Source& row, std::ostream* out) { *out << row.name; }

const Source kSources[] = {
    {"Slow5000OnTime", -5000, 5000, 0, 1, 200, 0.5},
    {"Slow2750OnTime", -2750, 5000, 0, 1, 120, 0.5},
    {"Fast500OnTime", 500, 5000, 0, 1, 30, 0.5},
    {"Fast5000OnTime", 5000, 5000, 0, 1, 200, 0.5},
    {"Slow5000LateUpTo3ms", -5000, 5000, 3000, 1, 200, 60},
    {"Fast5000In10msBlocksLateUpTo5ms", 5000, 10'000, 5000, 1, 200, 350},
    {"Slow5000InBurstsOf4", -5000, 5000, 0, 4, 200, 0.5},
    {"Fast500InBurstsOf10LateUpTo2ms", 500, 5000, 2000, 10, 60, 400},
};

class DriftTrackerTest : public ManualClockTest, public ::testing::WithParamInterface<Source> {};

TEST_P(DriftTrackerTest, HoldsTheLevelAndSettlesOnTheSourceClock) {
  const Source& row = GetParam();
  Tracker tracker(kGapMicros);
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int64_t> lateness(0, row.maxLateMicros);
  const double rate = 48000.0 * (1.0 + row.ppm * 1e-6);
  const int64_t start = clock().Now();
  double written = 0.0, firstLevel = 0.0, worstLevel = 0.0, settledSum = 0.0, low = 1e9, high = -1e9;
  int64_t made = 0, late = 0, settled = 0;
  const int64_t blocks = 60'000'000 / row.blockMicros;
  for (int64_t k = 1; k <= blocks; ++k) {
    const int64_t due = k * row.blockMicros;
    if ((k - 1) % row.burst == 0) late = lateness(random);
    const int64_t arrival = (k + row.burst - 1) / row.burst * row.burst * row.blockMicros + late;
    clock().Set(start + std::max(arrival, clock().Now() - start));  // deliveries never go back in time
    const auto frames = static_cast<int64_t>(std::floor(rate * static_cast<double>(due) / 1e6)) - made;
    made += frames;
    EXPECT_EQ(tracker.BeginDelivery(zTime::MicroNow(), 2), k == 1) << "block " << k;
    const double ratio = tracker.Ratio();
    ASSERT_LE(std::fabs(ratio - 1.0), Tracker::kMaxRatioDeviation + 1e-12);
    tracker.EndDelivery(static_cast<double>(frames));
    written += static_cast<double>(frames) / ratio;
    const double level = static_cast<double>(due) * 0.048 - written;
    if (k == 1) firstLevel = level;
    worstLevel = std::max(worstLevel, std::fabs(level - firstLevel));
    if (due > 20'000'000) {
      const double ppm = (tracker.Ratio() - 1.0) * 1e6;
      settledSum += ppm, ++settled, low = std::min(low, ppm), high = std::max(high, ppm);
    }
  }
  const double mean = settledSum / static_cast<double>(settled);
  EXPECT_LT(worstLevel, row.maxLevelFrames);
  EXPECT_NEAR(mean, row.ppm, row.maxWanderPpm / 4 + 0.05) << "the mean ratio after 20 s";
  EXPECT_LE(high - low, row.maxWanderPpm) << low << " ... " << high << " ppm";
  EXPECT_EQ(tracker.Restarts(), 0u);
  EXPECT_TRUE(tracker.IsTracking()) << "the level held still long enough for the slower gear";
}

INSTANTIATE_TEST_SUITE_P(Sources, DriftTrackerTest, ::testing::ValuesIn(kSources), ::testing::PrintToStringParamName());

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
  EXPECT_EQ(restartsAfter([&] { return now = std::numeric_limits<int64_t>::min(), deliver(240, 6); }),
            std::tuple(true, 1u, 1.0));
  // Ending a delivery never begun, or with a count that is no count, moves nothing.
  const double ratio = tracker.Ratio(), level = tracker.LevelError();
  tracker.EndDelivery(1e9);
  EXPECT_EQ(std::tuple(tracker.Ratio(), tracker.LevelError()), std::tuple(ratio, level));
  tracker.BeginDelivery(now, 6);
  tracker.EndDelivery(std::nan(""));
  EXPECT_TRUE(std::isfinite(tracker.Ratio()) && std::isfinite(tracker.LevelError()));
}

}  // namespace
