// The audio renderer from delivery to cue over long simulated runs on the
// manual clock: every frame accounted for, a converted sine unbroken, sources
// that drift held to a bounded backlog; and a delivery thread racing a cue
// thread.
#include <atomic>
#include <cmath>
#include <numbers>
#include <random>
#include <thread>

#include "AudioRendererTestSupport.h"

namespace audiotest {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Follows channel 0 of a stream of cues that should hold one unbroken sine of
// amplitude 12000 at `hz` (as heard at 48000): each cue must have the full
// amplitude, and the worst departure from the sine's second-order
// recurrence, across the joins between cues too, is kept. One frame lost or
// repeated leaves a residual of about A × omega² (200).
class SineFollower {
 public:
  explicit SineFollower(double hz) : recurrence_(2.0 * std::cos(kTwoPi * hz / 48000.0)) {}
  bool Check(int64_t cue, const kaBuffer2& out) {
    const std::vector<int16_t> s = Samples(out);
    double power = 0.0;
    for (int i = 0; i < 1600; ++i) x_.push_back(s[2 * i]), power += s[2 * i] * s[2 * i] / 800.0;
    for (size_t i = 1; i + 1 < x_.size(); ++i) {
      worstResidual_ = std::max(worstResidual_, std::abs(x_[i + 1] + x_[i - 1] - recurrence_ * x_[i]));
    }
    x_.erase(x_.begin(), x_.end() - 2);
    if (std::abs(std::sqrt(power) - 12000) < 240) return true;
    ADD_FAILURE() << "cue " << cue << " amplitude " << std::sqrt(power);
    return false;
  }
  double WorstResidual() const { return worstResidual_; }

 private:
  double recurrence_;
  std::vector<double> x_;  // channel 0, after the last two samples before the cue
  double worstResidual_ = 0.0;
};

class StreamTest : public AudioRendererTest {
 protected:
  // Runs `seconds` of simulated time from now: block k is delivered by
  // `deliver(k)` at `blockTime(k)` µs in, cue j is checked by `check(j,
  // buffer)` floor(j × 10^6 / 30) µs in (the 1/30 s grid rounded down, so a
  // cue never runs ahead of the period grid), in time order, a delivery first
  // on a tie, until a check returns false. Returns the cues checked.
  template <class BlockTime, class Deliver, class Check>
  int64_t Run(int64_t seconds, BlockTime blockTime, Deliver deliver, Check check) {
    const int64_t start = clock().Now();
    for (int64_t block = 0, cue = 0;; ++cue) {
      for (; blockTime(block) <= cue * 1'000'000 / 30; ++block) clock().Set(start + blockTime(block)), deliver(block);
      clock().Set(start + cue * 1'000'000 / 30);
      BufferRef out = CueAt(clock().Now());
      if (cue * 1'000'000 / 30 > seconds * 1'000'000 || !out || !check(cue, *out)) return cue;
    }
  }
  static int64_t Every10ms(int64_t k) { return k * 10'000; }
};

// A counter in 10 ms blocks, cued every 1/30 s for ten minutes (three times
// round the ring): from the priming cue on, every cue holds exactly the next
// 1600 frames, moved back by the live delay (frames before the stream's start
// read as the ring's zero fill).
struct CounterRun { const char* name; int format; double delaySeconds; };
void PrintTo(const CounterRun& row, std::ostream* out) { *out << row.name; }

const CounterRun kCounters[] = {
    {"sowt", kSowt, 0.0}, {"sowtDelayed500ms", kSowt, 0.5}, {"fl32", kFl32, 0.0}, {"fl32Delayed250ms", kFl32, 0.25}};

class CounterStreamTest : public StreamTest, public ::testing::WithParamInterface<CounterRun> {};

TEST_P(CounterStreamTest, EveryFrameArrivesOnceInOrder) {
  const CounterRun& row = GetParam();
  renderer->SetAudioDelay(row.delaySeconds);
  int64_t written = 0, primedCue = -1, firstFrame = 0;  // firstFrame: what the priming cue read, less the delay
  const auto deliver = [&](int64_t k) { Deliver(CounterFrames(k * 480, 480), row.format), written += 480; };
  const int64_t cues = Run(600, Every10ms, deliver, [&](int64_t j, const kaBuffer2& out) {
    if (primedCue < 0 && !renderer->State().primed) return AllZero(out);
    if (primedCue < 0) primedCue = j, firstFrame = written - 2400 - static_cast<int64_t>(row.delaySeconds * 48000);
    if (Samples(out) == CounterFrames(firstFrame + (j - primedCue) * 1600, 1600) && renderer->State().primed) {
      return true;
    }
    ADD_FAILURE() << "cue " << j << " holds counter " << CounterOf(Samples(out).data());
    return false;
  });
  EXPECT_EQ(cues, 600 * 30 + 1);
  EXPECT_TRUE(primedCue >= 0 && primedCue <= 2) << "primed as soon as 2400 frames were there";
  EXPECT_GT(written * 4, 3LL * renderer->ringBuffer.WrapSize());
}

INSTANTIATE_TEST_SUITE_P(Runs, CounterStreamTest, ::testing::ValuesIn(kCounters), ::testing::PrintToStringParamName());

// A source whose clock runs `ppm` slow (positive) or fast delivers 480
// counter frames per 10 ms of its own time for 60 s, as 'sowt' or 'fl32',
// from an address that may be misaligned for 16-bit samples (corrected from
// an aligned copy). Uncorrected, 500 ppm is 1440 frames (30 ms) off after a
// minute and a slow source underruns. Corrected, every block is written with
// at most one frame more or less; the drift level (the window minimum) grows
// to its 400-frame threshold and is held there, the first 400 frames being
// tolerated: the backlog after priming stays at least one period (no cue
// short of data) and below the priming backlog plus a block and 480 frames of
// drift, far from the three periods that would re-prime, and nothing resets.
// `level` and `adjustment`: ranges of the largest drift level acted on and of
// the total adjustment, as magnitudes.
struct DriftRun { const char* name; double ppm; int format; bool misaligned, correct; double level[2], adjustment[2]; };
void PrintTo(const DriftRun& row, std::ostream* out) { *out << row.name; }

const DriftRun kDrifts[] = {
    {"SlowSourceIsStretched", 500, kSowt, false, true, {400.0001, 401}, {975, 985}},
    {"FastSourceIsShrunk", -500, kSowt, false, true, {400.0001, 401}, {975, 985}},
    {"SlowMisalignedSourceIsStretched", 500, kSowt, true, true, {400.0001, 401}, {975, 985}},
    {"FastFl32SourceIsShrunk", -500, kFl32, false, true, {400.0001, 401}, {975, 985}},
    {"AnExactSourceIsLeftAlone", 0, kSowt, false, true, {0, 0}, {0, 0}},
    {"WithoutCorrectionASlowSourceUnderruns", 500, kSowt, false, false, {0, 0}, {0, 0}},
};

class DriftStreamTest : public StreamTest, public ::testing::WithParamInterface<DriftRun> {};

TEST_P(DriftStreamTest, TheBacklogStaysBounded) {
  const DriftRun& row = GetParam();
  renderer->SetDriftCorrectionEnabled(row.correct);
  int64_t underruns = 0, primeTime = -1, oddBlocks = 0;
  uint32_t minBacklog = UINT32_MAX, maxBacklog = 0;
  const auto blockTime = [&](int64_t k) { return static_cast<int64_t>(10'000.0 * (1.0 + row.ppm * 1e-6) * k); };
  const auto deliver = [&](int64_t k) {
    const uint32_t before = renderer->ringBuffer.CurrentWritePosition();
    Deliver(CounterFrames(k * 480, 480), row.format, row.misaligned);
    const uint32_t written = renderer->ringBuffer.CurrentWritePosition() - before;  // within the first 176 s
    oddBlocks += written != 1920 && (!row.correct || (written != 1916 && written != 1924));
  };
  Run(60, blockTime, deliver, [&](int64_t, const kaBuffer2& out) {
    if (primeTime < 0 && !renderer->State().primed) return true;
    EXPECT_TRUE(primeTime < 0 || !row.correct || renderer->State().primeTime == primeTime) << "re-primed";
    primeTime = renderer->State().primeTime;
    underruns += AllZero(out);
    minBacklog = std::min(minBacklog, renderer->ringBuffer.AvailableData());
    maxBacklog = std::max(maxBacklog, renderer->ringBuffer.AvailableData());
    return true;
  });
  EXPECT_EQ(std::tuple(oddBlocks, underruns > 0, !!renderer->driftDetector, trace.Contains("RESET")),
            std::tuple(0, !row.correct, row.correct, false))
      << "blocks written with other than 480 frames (479 or 481 when corrected), underruns, a detector, a reset";
  if (!row.correct) return;
  EXPECT_TRUE(minBacklog >= 6400 && maxBacklog <= 9600 + 1920 + 1920)  // bytes: 1600 and 2400 frames
      << minBacklog << " ... " << maxBacklog << " bytes";
  const double sign = row.ppm < 0 ? -1.0 : 1.0, driftLevel = sign * renderer->driftDetector->MaxMinLevel();
  const double adjustment = sign * static_cast<double>(renderer->driftDetector->TotalAdjustment());
  EXPECT_TRUE(driftLevel >= row.level[0] && driftLevel <= row.level[1] && adjustment >= row.adjustment[0] &&
              adjustment <= row.adjustment[1]) << "drift level " << driftLevel << ", adjustment " << adjustment;
}

INSTANTIATE_TEST_SUITE_P(Sources, DriftStreamTest, ::testing::ValuesIn(kDrifts), ::testing::PrintToStringParamName());

// Smooth correction from start-up: a 997 Hz sine from a source whose clock
// runs `ppm` off, in blocks of 10 ms of its own time at `rate`, for 60 s, on
// time or up to `lateMicros` late (uniform, seeded; below a block, so that
// deliveries never go back in time). The read base is pinned
// once, no cue after it is short of data, the step detector is never made, no
// measurement restarts, the tracker used at most `maxLevel` frames of the
// ring's cushion, and once it has settled (20 s) its ratio stays within
// `wanderPpm` of the source clock and every cue holds the sine as the host
// clock hears it, at 997 × (1 + ppm) Hz: full amplitude, and no sample
// straying from the sine's recurrence across the joins (a frame lost or
// repeated leaves about 200, a step correction too). A 44.1 kHz source without
// correction is one unbroken converted sine for ten minutes.
struct SmoothRun {
  const char* name; double ppm; int rate, format; bool misaligned; int64_t lateMicros; double maxLevel, wanderPpm;
  bool corrected = true; int64_t seconds = 60;
};
void PrintTo(const SmoothRun& row, std::ostream* out) { *out << row.name; }

const SmoothRun kSmoothRuns[] = {
    {"Slow5000", -5000, 48000, kSowt, false, 0, 200, 0.5},
    {"Fast5000", 5000, 48000, kSowt, false, 0, 200, 0.5},
    {"Slow2750Misaligned", -2750, 48000, kSowt, true, 0, 120, 0.5},
    {"Fast500Fl32At44100", 500, 44100, kFl32, false, 0, 30, 0.5},
    {"Slow5000LateUpTo3ms", -5000, 48000, kSowt, false, 3000, 320, 150},  // late reads as a higher level
    {"Fast5000LateUpTo5ms", 5000, 48000, kSowt, false, 5000, 260, 200},
    {"Fast500LateUpTo2ms", 500, 48000, kSowt, false, 2000, 120, 100},
    {"UncorrectedConvertedFor10Minutes", 0, 44100, kSowt, false, 0, 0, 0, false, 600},
};

class SmoothDriftStreamTest : public StreamTest, public ::testing::WithParamInterface<SmoothRun> {};

TEST_P(SmoothDriftStreamTest, HoldsTheStreamToTheClockWithoutABreak) {
  const SmoothRun& row = GetParam();
  renderer->SetDriftCorrectionEnabled(row.corrected);
  renderer->SetDriftCorrectionMode(kaPluginAudioRenderer::DriftCorrectionMode::kSmooth);
  const int frames = row.rate / 100;
  std::vector<int16_t> block(static_cast<size_t>(frames) * 2);
  const auto deliver = [&](int64_t k) {
    for (int64_t i = 0; i < frames; ++i) {  // the phase from exact integers
      const double phase = kTwoPi * static_cast<double>((k * frames + i) * 997 % row.rate) / row.rate;
      block[2 * i] = block[2 * i + 1] = static_cast<int16_t>(std::lround(12000 * std::sin(phase)));
    }
    Deliver(block, row.format, row.misaligned, row.rate);
  };
  std::mt19937 random(20240611);
  std::vector<int64_t> late(static_cast<size_t>(row.seconds) * 100 + 100);  // block k's last frame is due at k + 1
  for (int64_t& micros : late) micros = std::uniform_int_distribution<int64_t>(0, row.lateMicros)(random);
  const auto blockTime = [&](int64_t k) {
    return static_cast<int64_t>(10'000.0 * static_cast<double>(k + 1) / (1.0 + row.ppm * 1e-6)) + late[k];
  };
  SineFollower sine(997.0 * (1.0 + row.ppm * 1e-6));
  const int64_t settleCue = row.corrected ? 20 * 30 : 3;  // uncorrected: from the cue after the priming one
  int64_t primeTime = -1, shortCues = 0, settledCues = 0;
  double low = 1e9, high = -1e9;
  Run(row.seconds, blockTime, deliver, [&](int64_t j, const kaBuffer2& out) {
    if (primeTime < 0 && !renderer->State().primed) return true;
    if (primeTime < 0) primeTime = renderer->State().primeTime;
    EXPECT_EQ(renderer->State().primeTime, primeTime) << "re-primed at cue " << j;
    shortCues += AllZero(out);
    if (j < settleCue) return true;
    const double ppm = (renderer->GetSmoothDriftStatus().ratio - 1.0) * 1e6;
    ++settledCues, low = std::min(low, ppm), high = std::max(high, ppm);
    return sine.Check(j, out);
  });
  const kaPluginAudioRenderer::SmoothDriftStatus status = renderer->GetSmoothDriftStatus();
  EXPECT_EQ(std::tuple(shortCues, settledCues, !!renderer->driftDetector, status.restarts),
            std::tuple(0, row.seconds * 30 + 1 - settleCue, false, 0u))
      << "cues short of data, settled cues, a step detector, restarts";
  EXPECT_LT(sine.WorstResidual(), 40.0) << "a frame was lost or repeated";
  EXPECT_TRUE(low >= row.ppm - row.wanderPpm && high <= row.ppm + row.wanderPpm) << low << " ... " << high << " ppm";
  EXPECT_LE(status.peakLevelError, row.maxLevel) << "frames of the ring's cushion used";
}

INSTANTIATE_TEST_SUITE_P(Sources, SmoothDriftStreamTest, ::testing::ValuesIn(kSmoothRuns),
                         ::testing::PrintToStringParamName());

// A delivery thread and a cue thread on one renderer, bounded by counts, with
// a host thread changing settings: every cued buffer is silence or 1600
// consecutive counter frames, and carries settings that were set at some
// point (a bus quad only while it differs from the default). The clock
// stands still, so the reader never runs ahead of the writer (a cue ahead of
// it may read stale bytes): each cue pins its base again behind the writer
// once the backlog has grown.
using AudioRendererThreadTest = AudioRendererTest;

TEST_F(AudioRendererThreadTest, DeliveryAndCueThreadsMeetOnlyInTheRing) {
  std::atomic<bool> deliveryDone{false};
  std::thread delivery([&] {
    for (int k = 0; k < 3000; ++k, std::this_thread::yield()) Deliver(CounterFrames(k * 480LL, 480));
    deliveryDone.store(true);
  });
  std::thread settings([&] {
    for (int i = 0; i < 2000 && !deliveryDone.load(); ++i, std::this_thread::yield()) {
      renderer->SetInputChannelSelection(i % 2);
      renderer->SetBusMappingQuad(1, i % 2 == 0 ? 0x0001000100010001ULL : 7);
      renderer->SetMonitorSelection(5);
    }
  });
  for (int j = 0; j < 1500 && !HasFailure(); ++j, std::this_thread::yield()) {
    BufferRef out = CueAt(clock().Now());  // the threads are joined below: no early return
    const std::vector<int16_t> s = out ? Samples(*out) : std::vector<int16_t>(2);
    const bool whole = s.size() == 3200 && (AllZero(*out) || s == CounterFrames(CounterOf(s.data()) - 1, 1600));
    const int32_t selection = whole ? out->AsInt32("input_channel_selection", -1) : -1;
    const int32_t monitor = whole ? out->AsInt32(zFourCC("rams"), -1) : -1;
    EXPECT_TRUE(whole && selection >= 0 && selection <= 1 && (monitor == 0 || monitor == 5) &&
                out->AsUInt64(zFourCC("cBs1"), 7) == 7u) << "cue " << j << " is torn or carries a setting never set";
  }
  for (std::thread* thread : {&delivery, &settings}) thread->join();
  EXPECT_EQ(host->AudioCount(), 3000);
}

}  // namespace
}  // namespace audiotest
