// kaAudioDriftDetector: the levels it records, the thresholds that turn the
// drift level into an adjustment, and its trace lines. The warm-up and the
// window are pinned through the renderer (the first correction comes at an
// exact block), and sources that drift for a minute are simulated through it
// too (the stream tests).
#include "plugins/kaAudioDriftDetector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "support/TraceCapture.h"

namespace {

using Detector = kaAudioDriftDetector;
constexpr int64_t kStart = 10'000'000;  // microseconds

Detector Make(int warmupMs) { return Detector("d", std::chrono::milliseconds(warmupMs), std::chrono::seconds(2)); }

// Delivers at `now` the frames that make the next delivery, at `next`,
// record `level`: the frames expected by then (counted from the first
// measured delivery, at kStart) minus `level`, less those received.
int DeliverFor(Detector& detector, int64_t now, int64_t next, double level) {
  const double expected = static_cast<double>(next - kStart) / 1e6 * 48000.0;
  return detector.DriftCorrect(static_cast<int>(std::llround(expected - level) - detector.SamplesReceived()), now);
}

std::vector<double> Levels(const Detector& detector) {
  std::vector<double> levels;
  for (size_t i = 0; i < detector.HistorySize(); ++i) levels.push_back(detector.HistoryEntry(i).level);
  return levels;
}

class kaAudioDriftDetectorTest : public ::testing::Test {
 protected:
  TraceCapture trace_;  // lines are checked where they matter and kept off stderr everywhere
};

// Below one frame a level is recorded as 0. A level whose sign differs from
// the newest non-zero one is jitter, recorded as 0, once two entries exist.
TEST_F(kaAudioDriftDetectorTest, LevelsInTheDeadBandOrFlippingSignAreRecordedAsZero) {
  Detector band = Make(0);
  band.DriftCorrect(999, kStart);
  band.DriftCorrect(0, kStart + 20'833);  // 999.98 expected: 0.98
  band.DriftCorrect(0, kStart + 20'855);  // 1001.04 expected: 2.04
  EXPECT_TRUE(Levels(band)[0] == 0.0 && std::abs(Levels(band)[1] - 2.04) < 1e-6) << Levels(band)[0];
  Detector sign = Make(0);
  const double asked[] = {-7, 7, 5, -3, -3, 4, 0};
  for (int64_t k = 0; k < 7; ++k) DeliverFor(sign, kStart + k * 15'625, kStart + (k + 1) * 15'625, asked[k]);
  EXPECT_EQ(Levels(sign), (std::vector<double>{-7, 7, 5, 0, -3, 0}));  // every 1/64 s: exact levels
}

// Entries as old as the window are dropped before each append, and the
// older of equal magnitudes is the drift level.
TEST_F(kaAudioDriftDetectorTest, TheHistorySpansTheWindowAndItsSmallestMagnitudeIsTheDriftLevel) {
  Detector detector = Make(0);
  for (int64_t k = 0; k < 60; ++k) {  // every 100 ms, levels -7, +7, then 9, 10, ...
    DeliverFor(detector, kStart + k * 100'000, kStart + (k + 1) * 100'000, k < 2 ? (k ? 7 : -7) : 7.0 + k);
    EXPECT_TRUE(k != 21 || detector.MaxMinLevel() == -7.0) << "the older of -7 and +7 at the first evaluation";
    double sum = 0.0;
    for (double level : Levels(detector)) sum += level;
    ASSERT_NEAR(detector.LevelSum(), sum, 1e-6);
  }
  EXPECT_EQ(std::tuple(detector.HistorySize(), detector.HistoryEntry(0).time, detector.HistoryEntry(20).time),
            std::tuple(size_t{21}, kStart + 3'900'000, kStart + 5'900'000));
}

// ---- thresholds --------------------------------------------------------------------

// Measured deliveries 1/8 s, 3/16 s and then every 1/64 s apart (exact in
// binary; the long first gaps let the first level have any sign and size),
// all but the first moved by `offset` µs to give the levels a fraction:
// the first level is `first`, the 117 others `level`; the last delivery is
// the first whose history spans the 2 s window. `reset` is the reason of the
// reset it causes, or "".
struct Threshold { const char* name; double first, level; int64_t offset; int adjustment; const char* reset; };
void PrintTo(const Threshold& row, std::ostream* out) { *out << row.name; }

const Threshold kThresholds[] = {
    {"SlowLevelAndAverageBeyond400StretchByOne", -550, 450, 0, 1, ""},  // average 441.5
    {"FastLevelAndAverageBeyond400ShrinkByOne", 550, -450, 0, -1, ""},
    {"AnAverageBelow400HoldsBack", -6630, 450, 0, 0, ""},  // average 390
    {"AnAverageOfExactly400HoldsBack", -5450, 450, 0, 0, ""},
    {"ADriftLevelOfExactly400HoldsBack", 1000, 400, 0, 0, ""},  // average 405
    {"AQuietEntryInTheWindowHoldsBack", 100, 450, 0, 0, ""},
    {"ADriftLevelOfExactly800StillStretchesByOne", 900, 800, 0, 1, ""},
    {"BeyondEightHundredResetsWithTheTruncatedAdjustment", 801, 801, 0, 0, "Over max adjustment 401"},
    {"NegativeResetAdjustmentTruncatesTowardZero", -900, -900, 0, 0, "Over max adjustment -500"},
    {"FractionalNegativeResetAdjustmentIsTruncated", -900, -900, 77, 0, "Over max adjustment -500"},  // -900.304
    {"FractionalPositiveResetAdjustmentIsTruncated", 900, 900, 48, 0, "Over max adjustment 500"},     // 900.304
};

class ThresholdTest : public kaAudioDriftDetectorTest, public ::testing::WithParamInterface<Threshold> {};

TEST_P(ThresholdTest, TurnsTheWindowIntoTheExpectedAdjustment) {
  const Threshold& row = GetParam();
  Detector detector("cam 1", std::chrono::milliseconds(0), std::chrono::seconds(2));
  std::vector<int64_t> times = {kStart};
  for (int64_t t = 125'000; t <= 2'140'625; t += t == 125'000 ? 187'500 : 15'625) {
    times.push_back(kStart + t + row.offset);
  }
  for (int k = 0; k < 118; ++k) ASSERT_FALSE(DeliverFor(detector, times[k], times[k + 1], k ? row.level : row.first));
  const long long before = detector.SamplesReceived();
  EXPECT_EQ(detector.DriftCorrect(1920, times[118]), row.adjustment);
  if (*row.reset) {
    ASSERT_EQ(std::tuple(trace_.Count(), detector.IsMeasuring()), std::tuple(2u, false));
    EXPECT_EQ(trace_.Lines()[0].rfind("Drift 'cam 1' 0'02\" : buff/s=", 0), 0u) << trace_.Lines()[0];
    EXPECT_EQ(trace_.Lines()[1], "Drift 'cam 1' RESET [" + std::string(row.reset) + "]\n");
    detector.DriftCorrect(480, times[119]);  // restarts from scratch
    EXPECT_EQ(std::tuple(detector.IsMeasuring(), detector.HistorySize(), detector.DeliveryCount(),
                         detector.SamplesReceived(), detector.FirstTime()),
              std::tuple(true, size_t{0}, 1ULL, 480LL, times[119]));
    return;
  }
  // An adjustment moves every recorded level, the sum and the frames counted.
  std::vector<double> levels(118, row.level - row.adjustment);
  levels[0] = row.first - row.adjustment;
  EXPECT_EQ(std::tuple(trace_.Count(), detector.TotalAdjustment(), detector.SamplesReceived(), Levels(detector),
                       detector.LevelSum()),
            std::tuple(size_t{0}, 0LL + row.adjustment, before + 1920 + row.adjustment, levels,
                       row.first + 117 * row.level - 118 * row.adjustment));
}

INSTANTIATE_TEST_SUITE_P(Rows, ThresholdTest, ::testing::ValuesIn(kThresholds), ::testing::PrintToStringParamName());

// ---- trace lines ---------------------------------------------------------------------

// Statistics appear once something was measured (here: by the destructor,
// after 90.5 s), with minutes and two-digit seconds.
TEST_F(kaAudioDriftDetectorTest, StatisticsShowMinutesAndTwoDigitSecondsOnceSomethingWasMeasured) {
  {
    Detector nothingMeasured = Make(0), measured = Make(0);
    nothingMeasured.DriftCorrect(480, kStart);
    nothingMeasured.LogStats();
    measured.DriftCorrect(4'344'000 - 12, kStart);
    measured.DriftCorrect(12, kStart + 90'500'000);  // 4,344,000 frames expected by then
  }
  EXPECT_EQ(trace_.Lines(), std::vector<std::string>{
                                "Drift 'd' 1'30\" : buff/s=0.02 max(min)=0.00 min=12.00 adj=0 avg=12.00 rate=48000\n"});
}

}  // namespace
