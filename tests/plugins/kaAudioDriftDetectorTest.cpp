#include "plugins/kaAudioDriftDetector.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/AllocationCounter.h"
#include "support/TraceCapture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int64_t kStart = 10'000'000;  // microseconds
constexpr double kLevelTolerance = 1e-6;

// Drives a detector so that chosen levels get recorded: before each delivery it
// picks the frame count that makes the next delivery measure the level asked
// for (expected frames at that time minus what the detector has received).
class ScriptedSource {
 public:
  explicit ScriptedSource(kaAudioDriftDetector& detector) : detector_(detector) {}

  // Delivers at `now` the frames that make the delivery at `nextTime` record
  // `nextLevel`. `firstTime` is the detector's first measured delivery.
  int Deliver(int64_t now, int64_t nextTime, double nextLevel, int64_t firstTime) {
    const double expected = static_cast<double>(nextTime - firstTime) / 1e6 * 48000.0;
    const auto frames =
        static_cast<int>(std::llround(expected - nextLevel) - detector_.SamplesReceived());
    return detector_.DriftCorrect(frames, now);
  }

 private:
  kaAudioDriftDetector& detector_;
};

std::vector<double> Levels(const kaAudioDriftDetector& detector) {
  std::vector<double> levels;
  for (size_t i = 0; i < detector.HistorySize(); ++i) levels.push_back(detector.HistoryEntry(i).level);
  return levels;
}

double SumOfLevels(const kaAudioDriftDetector& detector) {
  double sum = 0.0;
  for (double level : Levels(detector)) sum += level;
  return sum;
}

// Schedule used for the threshold cases: measured deliveries every 40 ms, but
// the second one at 120 ms so that the first recorded level may have any sign
// and size; with a 2 s window the first evaluation sees 50 entries.
std::vector<int64_t> ThresholdSchedule() {
  std::vector<int64_t> times = {kStart, kStart + 40'000};
  for (int64_t t = 120'000; t <= 2'040'000; t += 40'000) times.push_back(kStart + t);
  return times;
}

// Records `firstLevel` at the second delivery and `level` at every later
// one, up to (not including) the last delivery of `times`, whose level is
// `level` too; returns the last delivery's result.
int RunLevels(kaAudioDriftDetector& detector, const std::vector<int64_t>& times, double firstLevel, double level) {
  ScriptedSource source(detector);
  int result = 0;
  for (size_t k = 0; k < times.size(); ++k) {
    const double nextLevel = (k == 0) ? firstLevel : level;
    const int64_t nextTime = (k + 1 < times.size()) ? times[k + 1] : times[k] + 40'000;
    result = source.Deliver(times[k], nextTime, nextLevel, times[0]);
    if (k + 1 < times.size()) {
      EXPECT_EQ(result, 0) << "delivery " << k;
    }
  }
  return result;
}

// Every test captures the trace log: the detectors' statistics lines are
// checked where they matter and kept off stderr everywhere.
class kaAudioDriftDetectorTest : public ::testing::Test {
 protected:
  TraceCapture trace_;
};

TEST_F(kaAudioDriftDetectorTest, WarmUpDeliveriesAreNeitherMeasuredNorCounted) {
  kaAudioDriftDetector detector("warm", milliseconds(500), seconds(2));
  for (int64_t t = 0; t < 500'000; t += 10'000) {
    EXPECT_EQ(detector.DriftCorrect(480, kStart + t), 0);
    EXPECT_TRUE(detector.IsMeasuring());
  }
  EXPECT_EQ(detector.DeliveryCount(), 0u);
  EXPECT_EQ(detector.SamplesReceived(), 0);
  EXPECT_EQ(detector.HistorySize(), 0u);

  EXPECT_EQ(detector.DriftCorrect(480, kStart + 500'000), 0);  // first measured: no level
  EXPECT_EQ(detector.DeliveryCount(), 1u);
  EXPECT_EQ(detector.FirstTime(), kStart + 500'000);
  EXPECT_EQ(detector.SamplesReceived(), 480);
  EXPECT_EQ(detector.HistorySize(), 0u);

  EXPECT_EQ(detector.DriftCorrect(480, kStart + 510'000), 0);
  EXPECT_EQ(detector.HistorySize(), 1u);
  EXPECT_EQ(detector.HistoryEntry(0).time, kStart + 510'000);
  EXPECT_EQ(detector.HistoryEntry(0).level, 0.0);
}

TEST_F(kaAudioDriftDetectorTest, ASourceAtExactlyTheNominalRateRecordsZeroAndNeverAdjusts) {
  kaAudioDriftDetector detector("exact", milliseconds(500), seconds(2));
  for (int64_t k = 0; k < 1000; ++k) {  // 10 s of 480-frame blocks every 10 ms
    ASSERT_EQ(detector.DriftCorrect(480, kStart + k * 10'000), 0);
  }
  for (double level : Levels(detector)) ASSERT_EQ(level, 0.0);
  EXPECT_EQ(detector.LevelSum(), 0.0);
  EXPECT_EQ(detector.TotalAdjustment(), 0);
}

TEST_F(kaAudioDriftDetectorTest, LevelsBelowOneFrameAreRecordedAsZero) {
  kaAudioDriftDetector detector("band", milliseconds(0), seconds(2));
  detector.DriftCorrect(999, kStart);
  detector.DriftCorrect(0, kStart + 20'833);  // 999.98 expected: level 0.98
  detector.DriftCorrect(0, kStart + 20'855);  // 1001.04 expected: level 2.04
  ASSERT_EQ(detector.HistorySize(), 2u);
  EXPECT_EQ(detector.HistoryEntry(0).level, 0.0);
  EXPECT_NEAR(detector.HistoryEntry(1).level, 2.04, kLevelTolerance);
}

TEST_F(kaAudioDriftDetectorTest, ALevelFlippingSignAgainstTheNewestIsRecordedAsZero) {
  kaAudioDriftDetector detector("sign", milliseconds(0), seconds(2));
  ScriptedSource source(detector);
  const std::vector<double> asked = {5, 5, -3, -3, 4};
  for (size_t k = 0; k < asked.size(); ++k) {
    source.Deliver(kStart + static_cast<int64_t>(k) * 10'000, kStart + static_cast<int64_t>(k + 1) * 10'000,
                   asked[k], kStart);
  }
  detector.DriftCorrect(0, kStart + 50'000);
  const std::vector<double> levels = Levels(detector);
  ASSERT_EQ(levels.size(), 5u);
  EXPECT_NEAR(levels[0], 5, kLevelTolerance);
  EXPECT_NEAR(levels[1], 5, kLevelTolerance);
  EXPECT_EQ(levels[2], 0.0);                   // -3 after +5
  EXPECT_NEAR(levels[3], -3, kLevelTolerance);  // the newest was 0
  EXPECT_EQ(levels[4], 0.0);                   // +4 after -3
}

TEST_F(kaAudioDriftDetectorTest, TheFirstTwoLevelsMayDifferInSign) {
  kaAudioDriftDetector detector("first", milliseconds(0), seconds(2));
  ScriptedSource source(detector);
  source.Deliver(kStart, kStart + 100'000, -7, kStart);
  source.Deliver(kStart + 100'000, kStart + 200'000, 7, kStart);
  detector.DriftCorrect(0, kStart + 200'000);
  ASSERT_EQ(detector.HistorySize(), 2u);
  EXPECT_NEAR(detector.HistoryEntry(0).level, -7, kLevelTolerance);
  EXPECT_NEAR(detector.HistoryEntry(1).level, 7, kLevelTolerance);
}

TEST_F(kaAudioDriftDetectorTest, HistoryIsPrunedToTheWindowAndTheSumFollows) {
  kaAudioDriftDetector detector("prune", milliseconds(0), seconds(2));
  ScriptedSource source(detector);
  for (int64_t k = 0; k < 60; ++k) {  // deliveries every 100 ms, levels 2, 3, 4, ...
    source.Deliver(kStart + k * 100'000, kStart + (k + 1) * 100'000, 2.0 + static_cast<double>(k), kStart);
    ASSERT_NEAR(detector.LevelSum(), SumOfLevels(detector), kLevelTolerance);
  }
  // Before each append the entries older than the window are dropped, so the
  // history spans exactly the window: 21 entries, 2 s apart at the ends.
  ASSERT_EQ(detector.HistorySize(), 21u);
  EXPECT_EQ(detector.HistoryEntry(20).time - detector.HistoryEntry(0).time, 2'000'000);
  EXPECT_EQ(detector.HistoryEntry(20).time, kStart + 59 * 100'000);
  EXPECT_NEAR(detector.HistoryEntry(0).level, 40.0, kLevelTolerance);  // recorded at 3.9 s
  EXPECT_EQ(detector.TotalAdjustment(), 0);
}

TEST_F(kaAudioDriftDetectorTest, TheDriftLevelIsTheSmallestMagnitudeWithTheOlderWinningTies) {
  kaAudioDriftDetector detector("min", milliseconds(0), seconds(2));
  ScriptedSource source(detector);
  // -7 first, then +7 and larger: -7 and +7 tie, the older -7 is the drift
  // level. Deliveries every 1/8 s keep every level an exact integer.
  constexpr int64_t kPeriod = 125'000;
  source.Deliver(kStart, kStart + kPeriod, -7, kStart);
  for (int64_t k = 1; k <= 16; ++k) {
    const double next = (k == 1) ? 7.0 : 30.0 + static_cast<double>(k);
    source.Deliver(kStart + k * kPeriod, kStart + (k + 1) * kPeriod, next, kStart);
  }
  detector.DriftCorrect(0, kStart + 17 * kPeriod);  // span 2 s: evaluated
  ASSERT_EQ(detector.HistorySize(), 17u);
  EXPECT_NEAR(detector.MaxMinLevel(), -7.0, kLevelTolerance);
  detector.LogStats();
  ASSERT_EQ(trace_.Count(), 1u);
  EXPECT_NE(trace_.Lines()[0].find(" max(min)=-7.00 min=-7.00 adj=0 "), std::string::npos) << trace_.Lines()[0];
}

TEST_F(kaAudioDriftDetectorTest, LevelAndAverageBeyondFourHundredStretchByOneFrame) {
  kaAudioDriftDetector detector("slow", milliseconds(0), seconds(2));
  // 50 entries: -550 first, 49 at +450: average 430, drift level 450.
  const int result = RunLevels(detector, ThresholdSchedule(), -550.0, 450.0);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(detector.HistorySize(), 50u);
  EXPECT_NEAR(detector.HistoryEntry(0).level, -551.0, kLevelTolerance);
  for (size_t i = 1; i < 50; ++i) ASSERT_NEAR(detector.HistoryEntry(i).level, 449.0, kLevelTolerance) << i;
  EXPECT_NEAR(detector.LevelSum(), 430.0 * 50 - 50, 1e-6);
  EXPECT_EQ(detector.TotalAdjustment(), 1);
  EXPECT_NEAR(detector.MaxMinLevel(), 450.0, kLevelTolerance);
}

TEST_F(kaAudioDriftDetectorTest, TheAdjustmentAddsToTheFramesReceived) {
  kaAudioDriftDetector detector("count", milliseconds(0), seconds(2));
  const std::vector<int64_t> times = ThresholdSchedule();
  RunLevels(detector, std::vector<int64_t>(times.begin(), times.end() - 1), -550.0, 450.0);
  const long long before = detector.SamplesReceived();
  ASSERT_EQ(detector.DriftCorrect(1920, times.back()), 1);
  EXPECT_EQ(detector.SamplesReceived(), before + 1920 + 1);
}

TEST_F(kaAudioDriftDetectorTest, ALowWindowAverageHoldsTheAdjustmentBack) {
  kaAudioDriftDetector detector("avg", milliseconds(0), seconds(2));
  // -2550 first, 49 at +450: average 390, drift level 450.
  EXPECT_EQ(RunLevels(detector, ThresholdSchedule(), -2550.0, 450.0), 0);
  EXPECT_NEAR(detector.LevelSum() / 50.0, 390.0, kLevelTolerance);
  EXPECT_NEAR(detector.HistoryEntry(1).level, 450.0, kLevelTolerance);
  EXPECT_EQ(detector.TotalAdjustment(), 0);
}

TEST_F(kaAudioDriftDetectorTest, NegativeDriftShrinksByOneFrame) {
  kaAudioDriftDetector detector("fast", milliseconds(0), seconds(2));
  EXPECT_EQ(RunLevels(detector, ThresholdSchedule(), 550.0, -450.0), -1);
  EXPECT_NEAR(detector.HistoryEntry(1).level, -449.0, kLevelTolerance);
  EXPECT_EQ(detector.TotalAdjustment(), -1);
}

TEST_F(kaAudioDriftDetectorTest, NoCorrectionBeforeTheHistorySpansTheWindow) {
  kaAudioDriftDetector detector("span", milliseconds(0), seconds(2));
  std::vector<int64_t> times = ThresholdSchedule();
  times.pop_back();  // the newest entry is 40 ms short of the window
  const int result = RunLevels(detector, times, 600.0, 600.0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(detector.MaxMinLevel(), 0.0);  // never evaluated
}

TEST_F(kaAudioDriftDetectorTest, DriftBeyondEightHundredResetsWithTheAdjustmentInTheReason) {
  kaAudioDriftDetector detector("cam 1", milliseconds(0), seconds(2));
  EXPECT_EQ(RunLevels(detector, ThresholdSchedule(), -900.0, -900.0), 0);
  EXPECT_FALSE(detector.IsMeasuring());
  EXPECT_EQ(detector.TotalAdjustment(), 0);
  const std::vector<std::string> lines = trace_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("Drift 'cam 1' 0'02\" : buff/s=", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "Drift 'cam 1' RESET [Over max adjustment -500]\n");

  // The next delivery restarts the measurement from scratch.
  EXPECT_EQ(detector.DriftCorrect(480, kStart + 3'000'000), 0);
  EXPECT_TRUE(detector.IsMeasuring());
  EXPECT_EQ(detector.HistorySize(), 0u);
  EXPECT_EQ(detector.DeliveryCount(), 1u);
  EXPECT_EQ(detector.SamplesReceived(), 480);
  EXPECT_EQ(detector.FirstTime(), kStart + 3'000'000);
}

TEST_F(kaAudioDriftDetectorTest, PositiveDriftBeyondEightHundredResetsToo) {
  kaAudioDriftDetector detector("pos", milliseconds(0), seconds(2));
  EXPECT_EQ(RunLevels(detector, ThresholdSchedule(), 811.0, 811.0), 0);
  EXPECT_TRUE(trace_.Contains("RESET [Over max adjustment 411]"));
}

TEST_F(kaAudioDriftDetectorTest, StatisticsLineFormatsMinutesAndTwoDigitSeconds) {
  {
    kaAudioDriftDetector detector("mic", milliseconds(0), seconds(2));
    // 90.5 s between two deliveries: 4,344,000 frames expected.
    detector.DriftCorrect(4'344'000 - 12, kStart);
    detector.DriftCorrect(12, kStart + 90'500'000);
    detector.LogStats();
    ASSERT_EQ(trace_.Count(), 1u);
    EXPECT_EQ(trace_.Lines()[0],
              "Drift 'mic' 1'30\" : buff/s=0.02 max(min)=0.00 min=12.00 adj=0 avg=12.00 rate=48000\n");
  }
  EXPECT_EQ(trace_.Count(), 2u);  // the destructor logs the final statistics
}

TEST_F(kaAudioDriftDetectorTest, NothingIsLoggedBeforeTheFirstMeasuredInterval) {
  { kaAudioDriftDetector unused("a", milliseconds(500), seconds(2)); }
  {
    kaAudioDriftDetector warming("b", milliseconds(500), seconds(2));
    warming.DriftCorrect(480, kStart);
    warming.DriftCorrect(480, kStart + 10'000);
    warming.LogStats();
  }
  {
    kaAudioDriftDetector oneMeasured("c", milliseconds(0), seconds(2));
    oneMeasured.DriftCorrect(480, kStart);
    oneMeasured.LogStats();
  }
  EXPECT_EQ(trace_.Count(), 0u) << trace_.Text();
}

TEST_F(kaAudioDriftDetectorTest, StatisticsOfAnEmptyHistoryPrintANonFiniteAverage) {
  kaAudioDriftDetector detector("nan", milliseconds(500), seconds(2));
  detector.DriftCorrect(480, kStart);
  detector.DriftCorrect(480, kStart + 500'000);
  detector.DriftCorrect(480, kStart + 510'000);
  detector.ResetMeasurement("test");
  // The restart clears the history and firstTime but keeps lastTime, so a
  // delivery still warming up leaves statistics over an empty history.
  detector.DriftCorrect(480, kStart + 600'000);
  trace_.Clear();
  detector.LogStats();
  ASSERT_EQ(trace_.Count(), 1u);
  EXPECT_NE(trace_.Lines()[0].find("avg=nan "), std::string::npos) << trace_.Lines()[0];
}

TEST_F(kaAudioDriftDetectorTest, PeriodicStatisticsFollowTheLogInterval) {
  kaAudioDriftDetector detector("log", milliseconds(0), seconds(2));
  detector.SetLogInterval(1.0);
  // Deliveries every 1/64 s (750 frames, exact in binary): the first line at
  // the second delivery, then whenever the elapsed time passes the last
  // line's time plus 1 s: deliveries 1, 66, 131 and 196 of 200.
  for (int64_t k = 0; k < 200; ++k) detector.DriftCorrect(750, kStart + k * 15'625);
  const std::vector<std::string> lines = trace_.Lines();
  ASSERT_EQ(lines.size(), 4u) << trace_.Text();
  EXPECT_EQ(lines[0].rfind("Drift 'log' 0'00\" : buff/s=128.00 ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("Drift 'log' 0'01\" : buff/s=", 0), 0u) << lines[1];
  EXPECT_EQ(lines[3].rfind("Drift 'log' 0'03\" : buff/s=", 0), 0u) << lines[3];

  detector.SetLogInterval(0.0);
  trace_.Clear();
  for (int64_t k = 200; k < 600; ++k) detector.DriftCorrect(750, kStart + k * 15'625);
  EXPECT_EQ(trace_.Count(), 0u);
}

TEST_F(kaAudioDriftDetectorTest, ASampleRateChangeResetsAndRestoresTheNominalRate) {
  kaAudioDriftDetector detector("rate", milliseconds(0), seconds(2));
  detector.DriftCorrect(480, kStart);
  detector.DriftCorrect(480, kStart + 10'000);
  detector.SetSampleRateForTesting(44100);
  detector.DriftCorrect(480, kStart + 20'000);
  const std::vector<std::string> lines = trace_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Drift 'rate' RESET [Sample Rate Change]\n");
  EXPECT_TRUE(detector.IsMeasuring());
  EXPECT_EQ(detector.DeliveryCount(), 1u);  // restarted at that delivery
  trace_.Clear();
  detector.DriftCorrect(480, kStart + 30'000);
  EXPECT_EQ(trace_.Count(), 0u);  // the rate is 48000 again
}

TEST_F(kaAudioDriftDetectorTest, NegativeFrameCountsAreRefused) {
  kaAudioDriftDetector detector("neg", milliseconds(0), seconds(2));
  detector.DriftCorrect(480, kStart);
  EXPECT_EQ(detector.DriftCorrect(-5, kStart + 10'000), 0);
  EXPECT_EQ(detector.DeliveryCount(), 1u);
  EXPECT_EQ(detector.SamplesReceived(), 480);
}

TEST_F(kaAudioDriftDetectorTest, ExtremeDurationsAndTimesDoNotOverflow) {
  // A negative warm-up measures at once; a window beyond the microsecond range
  // saturates and is never reached, so even a huge level is never acted on.
  kaAudioDriftDetector detector("edge", milliseconds(-5), seconds(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(detector.DriftCorrect(480, INT64_MIN + 1), 0);
  EXPECT_EQ(detector.DeliveryCount(), 1u);
  EXPECT_EQ(detector.DriftCorrect(480, INT64_MAX), 0);
  EXPECT_EQ(detector.HistorySize(), 1u);
  EXPECT_GT(detector.HistoryEntry(0).level, 1e17);
  EXPECT_EQ(detector.TotalAdjustment(), 0);
  detector.LogStats();
  EXPECT_EQ(trace_.Count(), 1u);

  kaAudioDriftDetector late("late", milliseconds(500), seconds(2));
  EXPECT_EQ(late.DriftCorrect(480, INT64_MAX), 0);  // the warm-up end saturates
  EXPECT_EQ(late.DeliveryCount(), 1u);
}

// A source whose clock runs `ppm` parts per million slow (positive) or fast
// (negative) against the host's, delivering 480 frames per 10 ms of its own
// clock, each delivery up to `jitterMicros` early or late, for 60 s; the
// adjustments go where the receive path puts them (into the frames written).
struct DriftRun {
  double maxMinLevel = 0.0;      // largest drift level the detector acted on
  double maxTrueLag = 0.0;       // largest |expected - written| at a nominal delivery time
  double finalTrueLag = 0.0;
  long long totalAdjustment = 0;
  bool reset = false;
};

DriftRun SimulateSource(const TraceCapture& trace, double ppm, int64_t jitterMicros) {
  DriftRun run;
  kaAudioDriftDetector detector("sim", milliseconds(500), seconds(2));
  const double ratio = 1.0 + ppm * 1e-6;  // host time per unit of source time
  uint32_t lcg = 12345;
  long long adjusted = 0;
  for (int k = 0; k < 6000; ++k) {
    lcg = lcg * 1664525u + 1013904223u;
    const int64_t jitter =
        jitterMicros ? static_cast<int64_t>(lcg >> 8) % (2 * jitterMicros + 1) - jitterMicros : 0;
    // Frames the host expects by this block's nominal time, minus those written.
    const double trueLag = 480.0 * k * (ratio - 1.0) - static_cast<double>(adjusted);
    run.maxTrueLag = std::max(run.maxTrueLag, std::fabs(trueLag));
    run.finalTrueLag = trueLag;
    const int a = detector.DriftCorrect(480, kStart + static_cast<int64_t>(10'000.0 * ratio * k) + jitter);
    EXPECT_GE(a, -1);
    EXPECT_LE(a, 1);
    adjusted += a;
  }
  run.maxMinLevel = detector.MaxMinLevel();
  run.totalAdjustment = detector.TotalAdjustment();
  run.reset = trace.Contains("RESET");
  EXPECT_EQ(adjusted, run.totalAdjustment);
  return run;
}

// Without correction a 500 ppm source is 1440 frames (30 ms) off after a
// minute. With it, the detector lets the drift level (the window minimum, the
// oldest entry of a growing level) reach its 400-frame threshold and then holds
// it there one frame at a time. The real lag is then the threshold plus what
// the level grows in one 2 s window (48 frames) plus what went unmeasured in
// the 500 ms warm-up (12 frames): 460 frames, 9.6 ms.
TEST_F(kaAudioDriftDetectorTest, ASlowSourceIsStretchedAndItsLagStaysBounded) {
  const DriftRun run = SimulateSource(trace_, 500.0, 0);
  EXPECT_FALSE(run.reset);
  EXPECT_GT(run.maxMinLevel, 400.0);
  EXPECT_LE(run.maxMinLevel, 401.0);
  EXPECT_LE(run.maxTrueLag, 462.0);
  EXPECT_NEAR(run.finalTrueLag, 460.0, 2.0);
  EXPECT_NEAR(static_cast<double>(run.totalAdjustment), 1440.0 - 460.0, 5.0);
}

TEST_F(kaAudioDriftDetectorTest, AFastSourceIsShrunkAndItsLagStaysBounded) {
  const DriftRun run = SimulateSource(trace_, -500.0, 0);
  EXPECT_FALSE(run.reset);
  EXPECT_LT(run.maxMinLevel, -400.0);
  EXPECT_GE(run.maxMinLevel, -401.0);
  EXPECT_LE(run.maxTrueLag, 462.0);
  EXPECT_NEAR(run.finalTrueLag, -460.0, 2.0);
  EXPECT_NEAR(static_cast<double>(run.totalAdjustment), -(1440.0 - 460.0), 5.0);
}

// With +-2 ms of delivery jitter (+-96 frames) the window minimum filters the
// jitter out: the drift level stays within 440 frames, and the real lag within
// the 460 frames above plus the jitter of the first measured delivery and of
// the window minimum, 2 x 96: 652 frames (13.6 ms).
TEST_F(kaAudioDriftDetectorTest, DeliveryJitterDoesNotLetTheLagRunAway) {
  for (double ppm : {500.0, -500.0}) {
    SCOPED_TRACE(ppm);
    const DriftRun run = SimulateSource(trace_, ppm, 2'000);
    EXPECT_FALSE(run.reset);
    EXPECT_GT(std::fabs(run.maxMinLevel), 400.0);
    EXPECT_LE(std::fabs(run.maxMinLevel), 440.0);
    EXPECT_LE(run.maxTrueLag, 652.0);
    EXPECT_GT(std::fabs(static_cast<double>(run.totalAdjustment)), 750.0);
  }
}

TEST_F(kaAudioDriftDetectorTest, SteadyStateDeliveriesDoNotAllocate) {
  for (int64_t periodMicros : {10'000, 1'000}) {
    kaAudioDriftDetector detector("alloc", milliseconds(500), seconds(2));
    int64_t now = kStart;
    // 500 ppm slow, so the steady state includes adjustments.
    const double period = static_cast<double>(periodMicros) * 1.0005;
    const int frames = static_cast<int>(periodMicros * 48 / 1000);
    int k = 0;
    for (; k * periodMicros < 30'000'000; ++k) detector.DriftCorrect(frames, kStart + static_cast<int64_t>(period * k));
    ASSERT_GT(detector.TotalAdjustment(), 0);
    const long long adjustmentBefore = detector.TotalAdjustment();
    AllocationCounter counter;
    for (int i = 0; i < 2000; ++i, ++k) {
      now = kStart + static_cast<int64_t>(period * k);
      detector.DriftCorrect(frames, now);
    }
    EXPECT_EQ(counter.Allocations(), 0) << "period " << periodMicros;
    EXPECT_GT(detector.TotalAdjustment(), adjustmentBefore);
  }
}

}  // namespace
