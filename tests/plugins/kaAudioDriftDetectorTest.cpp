// kaAudioDriftDetector: the thresholds that turn the drift level into an
// adjustment, and its trace lines, which show the levels it records. Sources
// that drift for a minute are simulated through the renderer (the stream
// tests).
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

// Trace lines are checked where they matter and kept off stderr everywhere.
struct kaAudioDriftDetectorTest : ::testing::Test { TraceCapture trace_; };

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
    {"FractionalNegativeResetAdjustmentIsTruncated", -900, -900, 77, 0, "Over max adjustment -500"},  // -900.304
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
  if (*row.reset) {  // statistics, then the reset: the next delivery measures afresh (see the trace lines)
    EXPECT_EQ(std::tuple(trace_.Count(), trace_.Lines().back(), detector.IsMeasuring()),
              std::tuple(2u, "Drift 'cam 1' RESET [" + std::string(row.reset) + "]\n", false));
    return;
  }
  // An adjustment moves every recorded level (so their sum) and the frames counted.
  EXPECT_EQ(std::tuple(trace_.Count(), detector.TotalAdjustment(), detector.SamplesReceived(), detector.LevelSum()),
            std::tuple(size_t{0}, 0LL + row.adjustment, before + 1920 + row.adjustment,
                       row.first + 117 * row.level - 118 * row.adjustment));
}

INSTANTIATE_TEST_SUITE_P(Rows, ThresholdTest, ::testing::ValuesIn(kThresholds), ::testing::PrintToStringParamName());

// ---- trace lines ---------------------------------------------------------------------

// Deliveries to a detector that reports every `interval` seconds (0: never),
// and the lines it writes, its destructor's last. Nothing is reported before
// something was measured. `min` is the recorded level of smallest magnitude
// (the older of equals), `avg` their mean, `rate` counts every frame
// received, the last block's too.
struct Delivery { int64_t us; int frames, rate = 48000; };  // µs after kStart; rate set just before
struct TraceRun { const char* name; double interval; std::vector<Delivery> run; std::vector<std::string> lines; };
void PrintTo(const TraceRun& row, std::ostream* out) { *out << row.name; }

const TraceRun kTraceRuns[] = {
    {"NothingMeasuredWritesNothing", 0, {{0, 480}}, {}},
    {"StatisticsShowMinutesAndTwoDigitSeconds", 0, {{0, 4'343'988}, {90'500'000, 12}},  // 4,344,000 expected then
     {"Drift 'd' 1'30\" : buff/s=0.02 max(min)=0.00 min=12.00 adj=0 avg=12.00 rate=48000\n"}},
    // 999.984 frames expected at the second delivery, 1001.04 at the third:
    // levels 0.984, below one frame, recorded as 0, and 2.04.
    {"ALevelBelowOneFrameIsRecordedAsZero", 0, {{0, 999}, {20'833, 0}, {20'855, 0}},
     {"Drift 'd' 0'00\" : buff/s=143.85 max(min)=0.00 min=0.00 adj=0 avg=1.02 rate=47902\n"}},
    // Every 1/64 s (750 frames), levels -7, 7, 5, -3, -3, 4, 0: once two are
    // recorded, one whose sign differs from the newest non-zero one is jitter,
    // recorded as 0: -7, 7, 5, 0, -3, 0, 0 (mean 2/7).
    {"ALevelFlippingSignIsRecordedAsZero", 0,
     {{0, 757}, {15'625, 736}, {31'250, 752}, {46'875, 758}, {62'500, 750}, {78'125, 743}, {93'750, 754},
      {109'375, 750}},
     {"Drift 'd' 0'00\" : buff/s=73.14 max(min)=0.00 min=0.00 adj=0 avg=0.29 rate=54857\n"}},
    // The first periodic report comes at the second measured delivery, before
    // its level is recorded: the mean of no levels is not a number.
    {"PeriodicReportsStartWithAnEmptyHistoryAndFollowTheInterval", 0.5,
     {{0, 12'000}, {250'000, 12'000}, {500'000, 12'000}, {750'000, 12'000}, {1'000'000, 12'000}},
     {"Drift 'd' 0'00\" : buff/s=8.00 max(min)=0.00 min=0.00 adj=0 avg=nan rate=48000\n",
      "Drift 'd' 0'01\" : buff/s=5.00 max(min)=0.00 min=0.00 adj=0 avg=0.00 rate=48000\n",
      "Drift 'd' 0'01\" : buff/s=5.00 max(min)=0.00 min=0.00 adj=0 avg=0.00 rate=60000\n"}},
    // A rate other than 48000 reports, resets, and measures afresh from that delivery.
    {"ARateChangeResetsTheMeasurement", 0,
     {{0, 24'000}, {500'000, 24'000}, {1'000'000, 24'000}, {2'000'000, 48'000, 44'100}, {3'000'000, 48'000}},
     {"Drift 'd' 0'01\" : buff/s=3.00 max(min)=0.00 min=0.00 adj=0 avg=0.00 rate=72000\n",
      "Drift 'd' RESET [Sample Rate Change]\n",
      "Drift 'd' 0'01\" : buff/s=2.00 max(min)=0.00 min=0.00 adj=0 avg=0.00 rate=96000\n"}},
};

class TraceTest : public kaAudioDriftDetectorTest, public ::testing::WithParamInterface<TraceRun> {};

TEST_P(TraceTest, WritesTheExpectedLines) {
  {
    Detector detector = Make(0);
    detector.SetLogInterval(GetParam().interval);
    for (const Delivery& delivery : GetParam().run) {
      detector.SetSampleRateForTesting(delivery.rate);
      EXPECT_EQ(detector.DriftCorrect(delivery.frames, kStart + delivery.us), 0);
    }
  }
  EXPECT_EQ(trace_.Lines(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Runs, TraceTest, ::testing::ValuesIn(kTraceRuns), ::testing::PrintToStringParamName());

}  // namespace
