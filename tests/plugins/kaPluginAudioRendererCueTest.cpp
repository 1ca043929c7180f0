// The audio renderer's cue path: priming, writer silence, backlog, underruns
// and flushes as scripts; the read base, resolution changes, the live delay
// and extreme cue times. The keys of cued buffers are checked by the thread
// test, their recycling by the resolution change.
#include <algorithm>
#include <cmath>
#include <limits>

#include "AudioRendererTestSupport.h"

namespace audiotest {
namespace {

constexpr int64_t kPeriod = 33'333;  // µs

// True when the buffer carries any of the selections and the four bus quads:
// every cue does, but for the silent ones that follow a resolution change.
bool Tagged(const kaBuffer2& buffer) {
  const zKey keys[] = {zRecord::KeyForString("input_channel_selection"), zFourCC("rams"), zFourCC("cBs0"),
                       zFourCC("cBs1"), zFourCC("cBs2"), zFourCC("cBs3")};
  return std::any_of(std::begin(keys), std::end(keys), [&buffer](zKey key) { return buffer.Has(key); });
}

// True when the buffer holds the 1600 counter frames from counter value `first` on.
bool HoldsRun(const kaBuffer2& buffer, uint32_t first) { return Samples(buffer) == CounterFrames(first - 1, 1600); }

// ---- scripts -------------------------------------------------------------------------

// A script delivers counter frames, moves the clock, flushes, and cues at now
// + `arg` µs with `tolerance` periods, expecting the 1600 frames from counter
// `first` on (0: tagged silence) and the priming state after the cue.
enum Do { D, A, C, F };  // deliver, advance, cue, flush
struct CueStep { Do what; int64_t arg; uint32_t first = 0; bool primed = true; int tolerance = 3; };
struct CueScript { const char* name; std::vector<CueStep> steps; int32_t base; };  // base: after the last step
void PrintTo(const CueScript& row, std::ostream* out) { *out << row.name; }

const CueScript kScripts[] = {
    // 2400 frames (9600 bytes) prime: the base is pinned that far behind the writer.
    {"PrimesAtThePrimeThreshold", {{D, 2399}, {C, 0, 0, false}, {D, 1}, {C, 0, 1}}, 0},
    // Cues repeat, and a flush keeps the ring's data and the priming.
    {"CuesRepeatAreSilentBeforeThePrimeTimeAndAdvanceWithIt",
     {{D, 4800}, {C, 0, 2401}, {F, 0}, {C, 0, 2401}, {C, -1, 0}, {D, 1600}, {C, kPeriod + 1, 4001}}, 9600},
    // Writer silence of the tolerance silences cues and leaves the ring alone.
    {"AWriterSilentForTheToleranceIsSilent",
     {{D, 2400}, {C, 0, 1}, {A, 200'000}, {D, 14'600}, {A, 3 * kPeriod - 1}, {C, 0, 14'401}, {A, 1}, {C, 0, 0}}, 0},
    // Beyond 2 s it empties the ring: 2399 new frames do not prime.
    {"AWriterSilentBeyondTwoSecondsIsForgotten",
     {{D, 4800}, {C, 0, 2401}, {A, 2'000'000}, {C, 0, 0}, {A, 1}, {C, 0, 0, false}, {D, 2399}, {C, 0, 0, false},
      {D, 1}, {C, 0, 4801}}, 0},
    // Three periods of backlog are tolerated; beyond, the cue still reads and
    // the next one pins a new base behind the writer.
    {"BacklogBeyondTheToleranceRepinsTheBase",
     {{D, 2400}, {C, 0, 1}, {D, 4000}, {A, kPeriod}, {C, 0, 1601}, {D, 1601}, {A, kPeriod}, {C, 0, 3201, false},
      {C, 10, 5602}}, 32'004 - 9600},
    // An underrun moves the base back one period: the stream waits for the writer.
    {"AnUnderrunMovesTheBaseBackOnePeriod",
     {{D, 2400}, {C, 0, 1}, {A, kPeriod}, {C, 0, 0}, {D, 1600}, {A, kPeriod}, {C, 0, 1601}}, -6400},
};

class CueScriptTest : public AudioRendererTest, public ::testing::WithParamInterface<CueScript> {};

TEST_P(CueScriptTest, CuesWhatTheScriptExpects) {
  int64_t next = 0;
  for (size_t i = 0; i < GetParam().steps.size(); ++i) {
    const CueStep& step = GetParam().steps[i];
    if (step.what == D) Deliver(CounterFrames(next, static_cast<int>(step.arg))), next += step.arg;
    if (step.what == A) clock().Advance(step.arg);
    if (step.what == F) renderer->FlushAudio();
    if (step.what != C) continue;
    BufferRef out = CueAt(clock().Now() + step.arg, step.tolerance);
    EXPECT_TRUE(step.first ? HoldsRun(*out, step.first) : AllZero(*out) && Tagged(*out))
        << "step " << i << " holds counter " << CounterOf(Samples(*out).data());
    EXPECT_EQ(renderer->State().primed, step.primed) << "step " << i;
  }
  EXPECT_EQ(renderer->State().base, GetParam().base);
}

INSTANTIATE_TEST_SUITE_P(Scripts, CueScriptTest, ::testing::ValuesIn(kScripts), ::testing::PrintToStringParamName());

// ---- the rest --------------------------------------------------------------------------

using CueTest = AudioRendererTest;

// Six channels: 12-byte frames, a prime threshold of 28,800 bytes. Stream
// byte s holds 7s + 1. Written to near the end of the ring, consumed, and
// written on across the end, the writer lands at 18,004: the base is 18,004 -
// 28,800 = -10,796, whose remainder by 12 is -8: aligned up, -10,776.
TEST_F(CueTest, TheBaseIsAlignedUpToAFrameAndMayLieBeforeTheRingsOrigin) {
  std::vector<int16_t> frame(6, 1);
  renderer->OnReceive(veTimeRange{}, frame.data(), 12, 48000, 6, kSowt);
  renderer->ringBuffer.MakeEmpty();
  std::vector<uint8_t> bytes(33'810'004);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(renderer->ringBuffer.Write(bytes.data(), 33'780'000), 33'780'000u);
  renderer->ringBuffer.Seek(33'780'000);
  ASSERT_EQ(renderer->ringBuffer.Write(bytes.data() + 33'780'000, 30'004), 30'004u);
  BufferRef out = CueAt(clock().Now());
  ASSERT_EQ(std::tuple(renderer->State().base, out->StorageSize()), std::tuple(-10'776, 19'200u));
  EXPECT_EQ(std::memcmp(out->GetStorage(), bytes.data() + (33'792'000 - 10'776), 19'200), 0) << "read across the end";
}

// While the resolution changes every cue is silent; the first change after it
// gives 12 silent cues without keys (recycled buffers keep none), every later
// one a single cue. Cues that take the silence path (here: unprimed) do not
// count.
TEST_F(CueTest, AResolutionChangeSilencesTwelveCuesThenOne) {
  renderer->SetChangingResolution(false);
  int64_t next = 0;
  auto period = [&](bool sound, bool tagged) {  // one period delivered and cued: sound or silence, keys or none
    Deliver(CounterFrames(next, 1600)), next += 1600, clock().Advance(kPeriod);
    BufferRef out = CueAt(clock().Now());
    return AllZero(*out) != sound && Tagged(*out) == tagged && out->DirtiedTime() == clock().Now();
  };
  EXPECT_TRUE(period(false, true)) << "unprimed";
  renderer->SetChangingResolution(true);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(period(false, true) && renderer->State().primed) << i;
  for (int silent : {12, 1}) {
    renderer->SetChangingResolution(false);
    for (int i = 0; i < silent; ++i) EXPECT_TRUE(period(false, false)) << i;
    EXPECT_TRUE(period(true, true)) << "after " << silent;
  }
  EXPECT_EQ(renderer->State().resolutionSilentCues, 13);
}

// Delays without meaning read live; huge ones are held at 10 s (before
// anything was written here). A cue time whose distance from the prime time
// overflows gives silence, and the renderer stays primed.
TEST_F(CueTest, TheLiveDelayAndTheCueTimeAreHeldWithinRange) {
  Deliver(CounterFrames(0, 2400));
  const int64_t primeTime = std::numeric_limits<int64_t>::min();
  for (const double delay : {std::nan(""), -1.0, 1.0e-6, 200.0, std::numeric_limits<double>::infinity()}) {
    renderer->SetAudioDelay(delay);
    const double held = delay > 10.0 ? 10.0 : (delay > 0.0 ? delay : 0.0);
    BufferRef out = CueAt(primeTime);
    EXPECT_TRUE(renderer->GetAudioDelay() == held && (held < 1.0 ? HoldsRun(*out, 1) : AllZero(*out))) << delay;
  }
  EXPECT_TRUE(AllZero(*CueAt(std::numeric_limits<int64_t>::max())) && renderer->State().primed);
}

// Lip sync: 4800 frames written, the prime cue `sinceWrite` µs after the
// write (negative: a cue time before it). The cue path's latency is 50 ms plus
// that; the asked latency tops it up by whole frames on top of the live
// delay, so the prime cue starts at counter 2401 less the top-up and delay.
struct LipSyncRow {
  const char* name;
  double asked;       // seconds
  double delay;       // seconds
  int64_t sinceWrite; // µs
  int64_t latency;    // µs measured
  uint32_t first;     // counter the prime cue starts at (0: silence)
};
void PrintTo(const LipSyncRow& row, std::ostream* out) { *out << row.name; }

const LipSyncRow kLipSyncRows[] = {
    {"OffReadsAtTheBase", 0.0, 0.0, 2000, 52'000, 2401},
    {"NaNAndNegativeAreOff", std::nan(""), 0.0, 2000, 52'000, 2401},
    {"NegativeIsOff", -1.0, 0.0, 2000, 52'000, 2401},
    {"TopsUpTheMissingFrames", 0.06, 0.0, 2000, 52'000, 2401 - 384},
    {"AddsToTheLiveDelay", 0.06, 0.01, 2000, 52'000, 2401 - 384 - 480},
    {"ALongerLatencyStaysAsItIs", 0.05, 0.0, 20'000, 70'000, 2401},
    {"ALateCueHasAShorterLatency", 0.05, 0.0, -1000, 49'000, 2401 - 48},
    {"BeforeTheFirstWriteIsLeadInSilence", 0.2, 0.0, 0, 50'000, 0},
};

class LipSyncTest : public AudioRendererTest, public ::testing::WithParamInterface<LipSyncRow> {};

TEST_P(LipSyncTest, ThePrimeMeasuresTheCueLatencyAndTopsItUp) {
  const LipSyncRow& row = GetParam();
  renderer->SetLipSyncLatency(row.asked);
  renderer->SetAudioDelay(row.delay);
  EXPECT_EQ(renderer->GetCueLatency(), -1.0) << "before the first prime";
  Deliver(CounterFrames(0, 4800));
  clock().Advance(std::max<int64_t>(row.sinceWrite, 0));
  BufferRef out = CueAt(clock().Now() + std::min<int64_t>(row.sinceWrite, 0));
  EXPECT_EQ(renderer->GetCueLatency(), static_cast<double>(row.latency) / 1e6);
  EXPECT_TRUE(row.first ? HoldsRun(*out, row.first) : AllZero(*out)) << CounterOf(Samples(*out).data());
  // A primed stream keeps its top-up when the asked latency changes.
  renderer->SetLipSyncLatency(1.0);
  Deliver(CounterFrames(4800, 1600));
  clock().Advance(kPeriod + 1);
  out = CueAt(clock().Now() + std::min<int64_t>(row.sinceWrite, 0));
  if (row.first) {
    EXPECT_TRUE(HoldsRun(*out, row.first + 1600)) << CounterOf(Samples(*out).data());
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, LipSyncTest, ::testing::ValuesIn(kLipSyncRows), ::testing::PrintToStringParamName());

TEST_F(CueTest, TheAskedLipSyncLatencyIsHeldAtTheCeiling) {
  renderer->SetLipSyncLatency(std::numeric_limits<double>::infinity());
  EXPECT_DOUBLE_EQ(renderer->GetLipSyncLatency(), 10.05);
  renderer->SetLipSyncLatency(0.25);
  EXPECT_EQ(renderer->GetLipSyncLatency(), 0.25);
}

}  // namespace
}  // namespace audiotest
