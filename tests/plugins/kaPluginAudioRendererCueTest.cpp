// The audio renderer's cue path: priming, time-to-position mapping, silence,
// re-priming, live delay and the keys of cued buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "AudioRendererTestSupport.h"
#include "plugins/kaPluginAudioRenderer.h"

namespace audiotest {
namespace {

constexpr int64_t kPeriodMicros = 100'000 / 3;  // 1/30 s, rounded down

const zKey kInputSelectionKey = zRecord::KeyForString("input_channel_selection");
constexpr zKey kRams = zFourCC("rams");
constexpr zKey kBusKeys[4] = {zFourCC("cBs0"), zFourCC("cBs1"), zFourCC("cBs2"), zFourCC("cBs3")};

bool HasAnyKey(const kaBuffer2& buffer) {
  if (buffer.Has(kInputSelectionKey) || buffer.Has(kRams)) return true;
  for (zKey key : kBusKeys) {
    if (buffer.Has(key)) return true;
  }
  return false;
}

class CueTest : public AudioRendererTest {
 protected:
  // Appends `frames` counter frames to the stream.
  void Deliver(int frames) {
    DeliverCounter(nextFrame_, frames);
    nextFrame_ += frames;
  }
  // Delivers one period and moves the clock on by one period.
  void Step() {
    Deliver(1600);
    clock().Advance(kPeriodMicros);
  }
  // The counter of the buffer's first frame (0 for silence).
  static uint32_t FirstCounter(const kaBuffer2& buffer) {
    const std::vector<int16_t> samples = Samples(buffer);
    return samples.size() >= 2 ? CounterOf(samples.data()) : 0;
  }
  // True when the buffer holds 1600 consecutive counter frames from `first`.
  static bool HoldsCounterRun(const kaBuffer2& buffer, uint32_t first) {
    const std::vector<int16_t> samples = Samples(buffer);
    if (samples.size() != 3200) return false;
    for (uint32_t i = 0; i < 1600; ++i) {
      if (CounterOf(&samples[2 * i]) != first + i) return false;
    }
    return true;
  }

  int64_t nextFrame_ = 0;
};

TEST_F(CueTest, NewRendererCuesTaggedSilence) {
  const int64_t time = clock().Now() + 5;
  BufferRef out = CueAt(time);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->RefCountForTesting(), 1) << "the caller owns the one reference";
  EXPECT_EQ(out->StorageSize(), kStereoPeriodBytes);
  EXPECT_TRUE(AllZero(*out));
  EXPECT_EQ(out->MediaType(), veMediaTypeAudio);
  EXPECT_EQ(out->SampleRate(), 48000);
  EXPECT_EQ(out->Channels(), 2);
  EXPECT_EQ(out->BitsPerSample(), 16);
  EXPECT_EQ(out->ChannelBuffers(), 1);
  EXPECT_EQ(out->DirtiedTime(), time);
  ASSERT_TRUE(out->Has(kInputSelectionKey));
  EXPECT_EQ(out->AsInt32("input_channel_selection", -1), 0);
  ASSERT_TRUE(out->Has(kRams));
  EXPECT_EQ(out->AsInt32(kRams, -1), 0);
  for (zKey key : kBusKeys) EXPECT_FALSE(out->Has(key));
  EXPECT_FALSE(renderer->ReadPrimed());
}

TEST_F(CueTest, SelectionsAreCopiedIntoEveryCuedBuffer) {
  renderer->SetInputChannelSelection(3);
  renderer->SetMonitorSelection(-9);
  BufferRef out = CueAt(clock().Now());
  EXPECT_EQ(out->AsInt32(kInputSelectionKey, 0), 3);
  EXPECT_EQ(out->AsInt32(kRams, 0), -9);
}

TEST_F(CueTest, PrimesOnlyOnceThePrimeThresholdIsBuffered) {
  std::vector<uint8_t> bytes(kStereoPrimeBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  renderer->Ring().Write(bytes.data(), kStereoPrimeBytes - 1);
  BufferRef unprimed = CueAt(clock().Now());
  EXPECT_FALSE(renderer->ReadPrimed());
  EXPECT_TRUE(AllZero(*unprimed));

  renderer->Ring().Write(&bytes[kStereoPrimeBytes - 1], 1);
  const int64_t time = clock().Now() + 1;
  BufferRef primed = CueAt(time);
  EXPECT_TRUE(renderer->ReadPrimed()) << "3 × 6400 >= 9600: stays primed";
  EXPECT_EQ(renderer->ReadBase(), 0) << "9600 bytes behind the writer";
  EXPECT_EQ(renderer->PrimeTime(), time);
  ASSERT_EQ(primed->StorageSize(), kStereoPeriodBytes);
  EXPECT_EQ(std::memcmp(primed->GetStorage(), bytes.data(), kStereoPeriodBytes), 0);
}

TEST_F(CueTest, WithToleranceOneThePrimingCueReadsAndUnprimes) {
  std::vector<uint8_t> bytes(kStereoPrimeBytes, 0x5A);
  renderer->Ring().Write(bytes.data(), kStereoPrimeBytes);
  BufferRef out = CueAt(clock().Now(), 1);
  EXPECT_FALSE(renderer->ReadPrimed()) << "6400 < 9600 bytes of backlog";
  ASSERT_EQ(out->StorageSize(), kStereoPeriodBytes);
  EXPECT_EQ(std::memcmp(out->GetStorage(), bytes.data(), kStereoPeriodBytes), 0) << "this cue still read";
}

TEST_F(CueTest, BaseIsPinnedAlignedUpToAFrameBehindTheWriter) {
  // One stereo frame, then six channels: 12-byte frames, a prime threshold of
  // 28,800 bytes, and a writer at 28,816, not on a 12-byte boundary.
  std::vector<int16_t> block(6 * 2401, 1);
  renderer->OnReceive(veTimeRange{}, block.data(), 4, 48000, 2, kSowt);
  renderer->OnReceive(veTimeRange{}, block.data(), 6 * 2 * 2401, 48000, 6, kSowt);
  BufferRef out = CueAt(clock().Now());
  ASSERT_TRUE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->ReadBase(), 24);  // 16, aligned up to the next frame
  EXPECT_EQ(out->StorageSize(), 1600u * 12);
  EXPECT_EQ(out->Channels(), 6);
  EXPECT_FALSE(AllZero(*out));
}

TEST_F(CueTest, BaseBehindTheRingsOriginIsNegativeAndReadsAcrossTheWrap) {
  std::vector<int16_t> six(6, 0);
  renderer->OnReceive(veTimeRange{}, six.data(), 12, 48000, 6, kSowt);  // six channels from now on
  renderer->Ring().MakeEmpty();
  // Stream byte s holds (7s + 1) mod 256. Fill to near the end of the ring,
  // consume it, then write on across the end: the writer lands at 18,004.
  constexpr uint32_t kFirst = 33'780'000;
  constexpr uint32_t kSecond = 30'004;
  std::vector<uint8_t> bytes(kFirst + kSecond);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(renderer->Ring().Write(bytes.data(), kFirst), kFirst);
  renderer->Ring().Seek(kFirst);
  ASSERT_EQ(renderer->Ring().Write(bytes.data() + kFirst, kSecond), kSecond);
  ASSERT_EQ(renderer->Ring().CurrentWritePosition(), 18'004u);

  BufferRef out = CueAt(clock().Now());
  ASSERT_TRUE(renderer->ReadPrimed());
  // 18,004 - 28,800 = -10,796, whose remainder by 12 is -8: up by 12 + 8.
  EXPECT_EQ(renderer->ReadBase(), -10'776);
  // That is stream byte 33,792,000 - 10,776; the period runs across the wrap.
  ASSERT_EQ(out->StorageSize(), 19'200u);
  EXPECT_EQ(std::memcmp(out->GetStorage(), bytes.data() + (33'792'000 - 10'776), 19'200), 0);
}

TEST_F(CueTest, TwoCuesForOneTimeReturnTheSameAudio) {
  for (int i = 0; i < 4; ++i) Step();
  BufferRef first = CueAt(clock().Now());
  BufferRef second = CueAt(clock().Now());
  ASSERT_FALSE(AllZero(*first));
  EXPECT_EQ(Samples(*first), Samples(*second));
  // One period later reads the next 1600 frames.
  Step();
  BufferRef next = CueAt(clock().Now());
  EXPECT_TRUE(HoldsCounterRun(*next, FirstCounter(*first) + 1600));
}

TEST_F(CueTest, OneSecondAfterPrimingReadsOneSecondOfFramesLater) {
  Deliver(2400);
  const int64_t primeTime = clock().Now();
  BufferRef primed = CueAt(primeTime);
  ASSERT_TRUE(HoldsCounterRun(*primed, 1));
  clock().Advance(1'000'000);
  Deliver(48000);
  BufferRef later = CueAt(primeTime + 1'000'000);
  EXPECT_TRUE(HoldsCounterRun(*later, 1 + 48000)) << "readBase + 192,000 bytes";
}

TEST_F(CueTest, CueBeforeThePrimeTimeIsSilentButStaysPrimed) {
  Deliver(4800);
  const int64_t primeTime = clock().Now();
  BufferRef primed = CueAt(primeTime);
  ASSERT_TRUE(renderer->ReadPrimed());
  BufferRef early = CueAt(primeTime - 1);
  EXPECT_TRUE(AllZero(*early));
  EXPECT_TRUE(renderer->ReadPrimed());
  EXPECT_TRUE(HasAnyKey(*early)) << "silence of the silence path is tagged";
  BufferRef again = CueAt(primeTime);
  EXPECT_EQ(Samples(*again), Samples(*primed));
}

TEST_F(CueTest, ShortWriterSilenceIsSilentWithoutEmptyingTheRing) {
  Deliver(2400);
  const int64_t primeTime = clock().Now();
  BufferRef primed = CueAt(primeTime);
  ASSERT_TRUE(renderer->ReadPrimed());
  // The writer delivers far enough ahead once, 200 ms later, then stops.
  clock().Advance(200'000);
  Deliver(17'000 - 2400);

  clock().Advance(3 * 33'333 - 1);  // just within three periods of silence
  BufferRef within = CueAt(clock().Now());
  EXPECT_TRUE(HoldsCounterRun(*within, 14'400 + 1)) << "still the normal path";
  const uint32_t held = renderer->Ring().AvailableData();

  clock().Advance(1);
  BufferRef atTolerance = CueAt(clock().Now());
  EXPECT_TRUE(AllZero(*atTolerance));
  clock().Advance(100'000 - 3 * 33'333);
  BufferRef silent = CueAt(clock().Now());
  EXPECT_TRUE(AllZero(*silent));
  EXPECT_TRUE(HasAnyKey(*silent));
  EXPECT_TRUE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->Ring().AvailableData(), held) << "the silence path leaves the ring alone";
}

TEST_F(CueTest, WriterSilentBeyondTwoSecondsEmptiesTheRingAndReprimes) {
  Deliver(4800);
  BufferRef primed = CueAt(clock().Now());
  ASSERT_TRUE(renderer->ReadPrimed());

  clock().Advance(2'000'000);
  BufferRef atTwo = CueAt(clock().Now());
  EXPECT_TRUE(renderer->ReadPrimed()) << "exactly 2 s is not beyond the time-out";
  EXPECT_GT(renderer->Ring().AvailableData(), 0u);

  clock().Advance(1);
  BufferRef beyond = CueAt(clock().Now());
  EXPECT_TRUE(AllZero(*beyond));
  EXPECT_FALSE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->Ring().AvailableData(), 0u);
  EXPECT_EQ(renderer->Ring().CurrentWritePosition(), 0u);

  // New audio primes afresh against the emptied ring.
  const int64_t resumed = clock().Now();
  Deliver(2400);
  BufferRef reprimed = CueAt(resumed);
  EXPECT_TRUE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->ReadBase(), 0);
  EXPECT_EQ(renderer->PrimeTime(), resumed);
  EXPECT_TRUE(HoldsCounterRun(*reprimed, 4800 + 1));
}

TEST_F(CueTest, BacklogBeyondTheToleranceReadsThenRepinsTheBase) {
  Deliver(2400);
  BufferRef primed = CueAt(clock().Now());
  ASSERT_TRUE(renderer->ReadPrimed());
  ASSERT_EQ(renderer->ReadBase(), 0);

  // The writer runs far ahead: 3 × 6400 bytes is the most tolerated.
  Deliver(1600 * 5);
  clock().Advance(kPeriodMicros);
  BufferRef behind = CueAt(clock().Now());
  EXPECT_TRUE(HoldsCounterRun(*behind, 1 + 1600)) << "this cue still reads";
  EXPECT_FALSE(renderer->ReadPrimed());

  const int64_t repin = clock().Now() + 10;
  BufferRef repinned = CueAt(repin);
  EXPECT_TRUE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->PrimeTime(), repin);
  const uint32_t writer = renderer->Ring().CurrentWritePosition();
  EXPECT_EQ(static_cast<uint32_t>(renderer->ReadBase()), writer - kStereoPrimeBytes);
  EXPECT_TRUE(HoldsCounterRun(*repinned, static_cast<uint32_t>(nextFrame_ - 2400 + 1)));
}

TEST_F(CueTest, BacklogOfExactlyTheToleranceStaysPrimed) {
  Deliver(2400);
  BufferRef primed = CueAt(clock().Now());
  Deliver(4000);  // 19,200 bytes ahead of the next position
  clock().Advance(kPeriodMicros);
  BufferRef next = CueAt(clock().Now());
  EXPECT_TRUE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->Ring().AvailableData(), 3 * kStereoPeriodBytes);
}

TEST_F(CueTest, UnderrunMovesTheBaseBackOnePeriodSoTheStreamWaits) {
  Deliver(2400);
  const int64_t primeTime = clock().Now();
  BufferRef primed = CueAt(primeTime);
  ASSERT_TRUE(HoldsCounterRun(*primed, 1));

  // One period later only 800 frames are there: an underrun.
  clock().Advance(kPeriodMicros);
  BufferRef under = CueAt(clock().Now());
  EXPECT_TRUE(AllZero(*under));
  EXPECT_TRUE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->ReadBase(), -static_cast<int32_t>(kStereoPeriodBytes));

  // The writer catches up; the next cue reads what the underrun would have.
  Deliver(1600);
  clock().Advance(kPeriodMicros);
  BufferRef caught = CueAt(clock().Now());
  EXPECT_TRUE(HoldsCounterRun(*caught, 1 + 1600));
}

TEST_F(CueTest, ManyUnderrunsKeepTheBaseWithinTheRing) {
  Deliver(2400);
  BufferRef primed = CueAt(clock().Now());
  // Writes stay a trickle, so every cue underruns and moves the base back.
  for (int i = 0; i < 6000; ++i) {
    Deliver(2);  // keeps the writer from going silent
    clock().Advance(kPeriodMicros);
    BufferRef under = CueAt(clock().Now());
    ASSERT_TRUE(renderer->ReadPrimed());
    ASSERT_GT(renderer->ReadBase(), -static_cast<int64_t>(renderer->Ring().WrapSize()));
    ASSERT_LT(renderer->ReadBase(), static_cast<int64_t>(renderer->Ring().WrapSize()));
  }
}

TEST_F(CueTest, BusMappingQuadIsWrittenOnlyWhileItDiffersFromTheDefault) {
  renderer->SetBusMappingQuad(2, 5);
  for (int i = 0; i < 2; ++i) {
    BufferRef out = CueAt(clock().Now());
    ASSERT_TRUE(out->Has(kBusKeys[2]));
    EXPECT_EQ(out->AsUInt64(kBusKeys[2], 0), 5u);
    EXPECT_FALSE(out->Has(kBusKeys[0]));
    EXPECT_FALSE(out->Has(kBusKeys[1]));
    EXPECT_FALSE(out->Has(kBusKeys[3]));
  }
  renderer->SetBusMappingQuad(0, 0);
  renderer->SetBusMappingQuad(2, kDefaultQuad);
  BufferRef out = CueAt(clock().Now());
  EXPECT_FALSE(out->Has(kBusKeys[2])) << "a recycled buffer carries no stale key";
  ASSERT_TRUE(out->Has(kBusKeys[0]));
  EXPECT_EQ(out->AsUInt64(kBusKeys[0], 1), 0u);
}

TEST_F(CueTest, ChangingResolutionSilencesCuesAndAPendingChangeSilencesTwelveThenOne) {
  for (int i = 0; i < 2; ++i) Step();
  BufferRef primed = CueAt(clock().Now());
  ASSERT_TRUE(renderer->ReadPrimed());

  renderer->SetChangingResolution(true);
  for (int i = 0; i < 3; ++i) {
    Step();
    BufferRef out = CueAt(clock().Now());
    EXPECT_TRUE(AllZero(*out));
    EXPECT_TRUE(HasAnyKey(*out)) << "the silence path tags";
  }
  EXPECT_EQ(renderer->ResolutionSilenceCount(), 0);

  renderer->SetChangingResolution(false);
  for (int i = 0; i < 12; ++i) {
    Step();
    BufferRef out = CueAt(clock().Now());
    EXPECT_TRUE(AllZero(*out)) << i;
    EXPECT_FALSE(HasAnyKey(*out)) << i;
    EXPECT_EQ(out->DirtiedTime(), clock().Now());
  }
  EXPECT_FALSE(renderer->ResolutionChangePending());
  Step();
  BufferRef resumed = CueAt(clock().Now());
  EXPECT_FALSE(AllZero(*resumed));
  EXPECT_TRUE(HasAnyKey(*resumed));

  renderer->SetChangingResolution(false);
  Step();
  BufferRef once = CueAt(clock().Now());
  EXPECT_TRUE(AllZero(*once));
  EXPECT_FALSE(HasAnyKey(*once));
  Step();
  BufferRef after = CueAt(clock().Now());
  EXPECT_FALSE(AllZero(*after));
  EXPECT_EQ(renderer->ResolutionSilenceCount(), 13);
}

TEST_F(CueTest, PendingChangeWaitsForTheNormalPath) {
  renderer->SetChangingResolution(false);
  // Unprimed cues take the silence path and do not count.
  for (int i = 0; i < 5; ++i) {
    BufferRef out = CueAt(clock().Now());
    EXPECT_TRUE(HasAnyKey(*out));
  }
  EXPECT_EQ(renderer->ResolutionSilenceCount(), 0);
  EXPECT_TRUE(renderer->ResolutionChangePending());
}

TEST_F(CueTest, LiveDelayReadsThatMuchEarlier) {
  Deliver(2400);
  const int64_t primeTime = clock().Now();
  BufferRef primed = CueAt(primeTime);
  for (int i = 0; i < 60; ++i) Step();
  const int64_t time = primeTime + 2'000'000;
  clock().Set(time);
  BufferRef live = CueAt(time);
  ASSERT_TRUE(HoldsCounterRun(*live, 1 + 96000));

  renderer->SetAudioDelay(0.5);
  BufferRef delayed = CueAt(time);
  EXPECT_TRUE(HoldsCounterRun(*delayed, 1 + 96000 - 24000)) << "96,000 bytes earlier";
  EXPECT_TRUE(renderer->ReadPrimed());
}

TEST_F(CueTest, MeaninglessDelaysReadLiveAndHugeOnesStopAtTenSeconds) {
  Deliver(2400);
  const int64_t primeTime = clock().Now();
  BufferRef primed = CueAt(primeTime);
  ASSERT_TRUE(HoldsCounterRun(*primed, 1));
  for (const double delay : {std::nan(""), -1.0, 1.0e-6}) {
    renderer->SetAudioDelay(delay);
    EXPECT_TRUE(HoldsCounterRun(*CueAt(primeTime), 1)) << delay;
  }
  // Held at the ceiling: ten seconds before anything was written is silence.
  for (const double delay : {std::numeric_limits<double>::infinity(), 1.0e300, 200.0}) {
    renderer->SetAudioDelay(delay);
    EXPECT_EQ(renderer->GetAudioDelay(), 10.0) << delay;
    EXPECT_TRUE(AllZero(*CueAt(primeTime))) << delay;
  }
}

TEST_F(CueTest, NullOutReturnsMinusOneAndChangesNothing) {
  Deliver(2400);
  ka_renderer_params params;
  params.cueTime = clock().Now();
  EXPECT_EQ(renderer->Cue(nullptr, params, 0, 3), -1);
  EXPECT_FALSE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->Ring().AvailableData(), 9600u);
}

TEST_F(CueTest, ExtremeCueTimesGiveABufferWithoutOverflow) {
  Deliver(2400);
  BufferRef first = CueAt(std::numeric_limits<int64_t>::min());
  ASSERT_TRUE(renderer->ReadPrimed());
  EXPECT_TRUE(HoldsCounterRun(*first, 1));
  BufferRef far = CueAt(std::numeric_limits<int64_t>::max());  // the difference overflows
  EXPECT_TRUE(AllZero(*far));
  EXPECT_TRUE(renderer->ReadPrimed());
}

TEST_F(CueTest, PositionBeyondTheInt64RangeIsStillReducedIntoTheRing) {
  // 64 channels move 6.144 bytes per microsecond: a cue time centuries after
  // the prime time maps beyond the int64 range.
  std::vector<int16_t> block(static_cast<size_t>(64) * 2400, 3);
  renderer->OnReceive(veTimeRange{}, block.data(), 64 * 2 * 2400, 48000, 64, kSowt);
  BufferRef primed = CueAt(0);
  ASSERT_TRUE(renderer->ReadPrimed());
  ASSERT_EQ(primed->StorageSize(), 1600u * 128);
  BufferRef centuries = CueAt(std::numeric_limits<int64_t>::max());
  ASSERT_TRUE(centuries);
  EXPECT_EQ(centuries->StorageSize(), 1600u * 128);
}

class NoBufferCueTest : public CueTest {
 protected:
  kaBufferGroup2* MakeGroup() override { return failing = new FailingGroup(); }
  FailingGroup* failing = nullptr;
};

TEST_F(NoBufferCueTest, NoBufferFromTheGroupGivesNullAndChangesNothing) {
  Deliver(2400);
  failing->fail = true;
  kaBuffer2* out = reinterpret_cast<kaBuffer2*>(0x10);
  ka_renderer_params params;
  params.cueTime = clock().Now();
  EXPECT_EQ(renderer->Cue(&out, params, 0, 3), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->Ring().AvailableData(), 9600u);

  renderer->SetChangingResolution(false);
  EXPECT_EQ(renderer->Cue(&out, params, 0, 3), 0);
  EXPECT_EQ(renderer->ResolutionSilenceCount(), 0);

  failing->fail = false;
  BufferRef primed = CueAt(params.cueTime);
  EXPECT_TRUE(renderer->ReadPrimed());
}

}  // namespace
}  // namespace audiotest
