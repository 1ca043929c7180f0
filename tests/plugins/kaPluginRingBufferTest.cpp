// kaPluginRingBuffer against the byte model: the boundary cases as table rows,
// a seeded random walk over every operation, typed values, and a writer and a
// reader thread on one ring.
#include "plugins/kaPluginRingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "support/ManualClock.h"
#include "support/RingBufferModel.h"

namespace {

// One operation. Written bytes come from a running counter (passing through
// zero now and then), so every byte read back tells where it came from.
enum class Op { kWrite, kRead, kReadAndSeek, kSeekRelative, kSeek, kSeekBack, kWrap, kEmpty, kIntIn, kShortOut,
                kStringIn, kStringOut, kAdvance };
struct Step { Op op; long long arg = 0; };

class kaPluginRingBufferTest : public ManualClockTest {
 protected:
  // Runs `step` on the ring and the model and expects the same result, bytes
  // read and state. Returns the ring's result: bytes moved, 1/0 for a seek
  // that moved or not, 0 for the rest.
  long long Apply(kaPluginRingBuffer& ring, RingBufferModel& model, const Step& step) {
    const auto n = static_cast<uint32_t>(step.arg);  // bytes to move are few; positions may be large
    std::vector<uint8_t> in(n <= 1024 ? n : 0), out(in.size() + 1, 0xEE), expected(in.size() + 1, 0xEE);
    for (uint8_t& byte : in) byte = next_++;
    const int64_t now = clock().Now();
    long long got = 0, want = 0;
    int value = 0x5A5B5C5D, expectedValue = value;
    const auto sample = static_cast<short>(next_ * 257);
    zString text("stale");
    std::string expectedText = "stale";
    switch (step.op) {
      case Op::kWrite: want = model.Write(in.data(), n, now), got = ring.Write(in.data(), n); break;
      case Op::kRead: want = model.Read(expected.data(), n), got = ring.Read(out.data(), n); break;
      case Op::kReadAndSeek: want = model.ReadAndSeek(expected.data(), n), got = ring.ReadAndSeek(out.data(), n); break;
      case Op::kSeekRelative: want = model.SeekRelative(step.arg), got = ring.SeekRelative(step.arg); break;
      case Op::kSeek: model.Seek(n), ring.Seek(n); break;
      case Op::kSeekBack: want = model.SeekBackwards(n), got = ring.SeekBackwardsRelativeToWritePosition(n); break;
      case Op::kWrap: model.SetWrap(n), ring.SetWrapBufferSize(n); break;
      case Op::kEmpty: model.MakeEmpty(), ring.MakeEmpty(); break;
      case Op::kIntIn: model.ReadAndSeek(reinterpret_cast<uint8_t*>(&expectedValue), 4), ring >> value; break;
      case Op::kShortOut: model.Write(reinterpret_cast<const uint8_t*>(&sample), 2, now), ring << sample; break;
      case Op::kStringIn: expectedText = model.ReadString(), ring >> text; break;
      case Op::kStringOut:
        model.Write(in.data(), n, now), ring << zString(reinterpret_cast<char*>(in.data()), n);
        break;
      case Op::kAdvance: clock().Advance(step.arg); break;
    }
    EXPECT_EQ(std::tuple(got, out, value, text.String()), std::tuple(want, expected, expectedValue, expectedText))
        << "result, bytes read, typed value, string";
    EXPECT_EQ(std::tuple(ring.WrapSize(), ring.AvailableData(), ring.availableDataWithoutTakingLock(),
                         ring.AvailableSpace(), ring.CurrentReadPosition(), ring.CurrentWritePosition(),
                         ring.LastWriteTime(), ring.ElapseTimeSinceLastWrite()),
              std::tuple(model.wrap, model.count, model.count, model.wrap - model.count, model.read, model.write,
                         model.lastWrite, model.Elapsed(clock().Now())))
        << "wrap, count, unlocked count, space, read, write, last write, elapsed";
    return got;
  }
  uint8_t next_ = 1;
};

// ---- boundary cases ------------------------------------------------------------

// A ring of `capacity` bytes after `steps`: its wrap size, count, read and write positions, last result.
using State = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, long long>;
struct Boundary { const char* name; uint32_t capacity; std::vector<Step> steps; State end; };
void PrintTo(const Boundary& row, std::ostream* out) { *out << row.name; }

constexpr Op W = Op::kWrite, R = Op::kRead, C = Op::kReadAndSeek, S = Op::kSeekRelative, P = Op::kSeek,
             B = Op::kSeekBack, Z = Op::kWrap, E = Op::kEmpty, T = Op::kAdvance;

const Boundary kBoundaries[] = {
    {"ExactFillWrapsTheWriterToZero", 8, {{W, 8}}, {8, 8, 0, 0, 8}},
    {"WriteIntoAFullRingStampsTheTimeOnly", 8, {{W, 8}, {T, 5'000'000}, {W, 3}}, {8, 8, 0, 0, 0}},
    {"WriteEndingAtTheWrapSize", 10, {{W, 4}, {C, 4}, {W, 6}}, {10, 6, 4, 0, 6}},
    {"WriteAndReadSplitAcrossTheEnd", 10, {{W, 7}, {C, 7}, {W, 6}, {C, 6}}, {10, 0, 3, 3, 6}},
    {"OverLongWriteKeepsItsLeadingBytes", 16, {{W, 12}, {W, 10}, {R, 20}}, {16, 16, 0, 0, 16}},
    {"ZeroLengthReadAndWrite", 8, {{W, 3}, {R, 0}, {C, 0}, {W, 0}}, {8, 3, 0, 3, 0}},
    {"ReadBeyondTheCountDoesNotConsume", 16, {{W, 6}, {R, 16}, {R, 16}}, {16, 6, 0, 6, 6}},
    {"SeekRelativeBeyondTheData", 20, {{W, 8}, {S, 3}, {S, 6}}, {20, 5, 3, 8, 0}},
    {"SeekRelativeBackBeyondTheRing", 20, {{W, 8}, {S, 3}, {S, -16}}, {20, 5, 3, 8, 0}},
    {"SeekRelativeBackByTheWholeRing", 20, {{W, 8}, {S, 8}, {S, -20}}, {20, 20, 8, 8, 1}},
    {"SeekRelativeLandsOnTheWrapSize", 10, {{W, 10}, {S, 10}, {S, -3}, {S, 3}, {W, 4}, {R, 4}}, {10, 4, 10, 4, 4}},
    {"SeekToTheWriterHoldsNothing", 100, {{W, 30}, {P, 30}}, {100, 0, 30, 30, 0}},
    {"SeekOnePastTheWriterHoldsAllButOne", 100, {{W, 30}, {P, 31}}, {100, 99, 31, 30, 0}},
    {"SeekCountsOnlyModuloTheWrapSize", 100, {{W, 30}, {P, 4'000'000'010LL}, {R, 20}}, {100, 20, 10, 30, 20}},
    {"SeekBackFromTheWriter", 50, {{W, 40}, {S, 35}, {B, 12}}, {50, 12, 28, 40, 1}},
    {"SeekBackThroughTheEnd", 50, {{W, 40}, {B, 45}}, {50, 45, 45, 40, 1}},
    {"SeekBackBeyondTheRingLeavesNoData", 50, {{W, 40}, {B, 51}}, {50, 0, 40, 40, 0}},
    {"WrapSizeMayWidenButNeverToTheCapacity", 100, {{Z, 97}, {Z, 98}, {Z, 100}}, {98, 0, 0, 0, 0}},
    {"WrapSizeKeepsPositionsThatFit", 100, {{W, 30}, {S, 10}, {Z, 40}, {W, 20}, {R, 40}}, {40, 40, 10, 10, 40}},
    {"WrapSizeBelowTheWriterEmpties", 100, {{W, 60}, {S, 55}, {Z, 50}}, {50, 0, 0, 0, 0}},
    {"WrapSizeBelowTheReaderEmpties", 100, {{W, 90}, {S, 85}, {W, 20}, {Z, 60}}, {60, 0, 0, 0, 0}},
    {"WrapSizeBelowTheCountEmpties", 100, {{W, 100}, {Z, 50}}, {50, 0, 0, 0, 0}},
    {"MakeEmptyKeepsBytesWrapSizeAndTime", 20, {{Z, 16}, {W, 9}, {T, 7}, {E}, {P, 1}, {R, 8}}, {16, 15, 1, 0, 8}},
    {"StorageStartsZeroFilled", 64, {{P, 1}, {R, 63}}, {64, 63, 1, 0, 63}},
};

class RingBoundaryTest : public kaPluginRingBufferTest, public ::testing::WithParamInterface<Boundary> {};

TEST_P(RingBoundaryTest, MatchesTheModelAndTheExpectedState) {
  kaPluginRingBuffer ring(GetParam().capacity, true);
  RingBufferModel model(GetParam().capacity);
  long long last = 0;
  for (const Step& step : GetParam().steps) last = Apply(ring, model, step);
  EXPECT_EQ(std::tuple(ring.WrapSize(), ring.AvailableData(), ring.CurrentReadPosition(), ring.CurrentWritePosition(),
                       last), GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(Rows, RingBoundaryTest, ::testing::ValuesIn(kBoundaries), ::testing::PrintToStringParamName());

// ---- random walk -------------------------------------------------------------------

TEST_F(kaPluginRingBufferTest, MatchesTheModelOverASeededRandomWalk) {
  const char* fixed = std::getenv("KASP2_TEST_SEED");
  const uint32_t seed = fixed ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
  std::printf("[ seed     ] %u (replay with KASP2_TEST_SEED=%u)\n", seed, seed);
  std::mt19937 random(seed);
  auto uniform = [&random](long long low, long long high) {
    return std::uniform_int_distribution<long long>(low, high)(random);
  };
  for (int round = 0; round < 20; ++round) {
    const auto capacity = static_cast<uint32_t>(uniform(1, 40));
    kaPluginRingBuffer ring(capacity, true);
    RingBufferModel model(capacity);
    for (int i = 0; i < 2000 && !HasFailure(); ++i) {
      // Lengths and distances cluster around 0, the count, the space and the
      // wrap size, now and then far beyond; emptying and new wrap sizes are rare.
      const long long wrap = model.wrap;
      Step step{static_cast<Op>(uniform(0, static_cast<long long>(Op::kAdvance))), uniform(0, wrap + 3)};
      constexpr long long kFar = 1LL << 40;
      if (step.op == Op::kSeekRelative) step.arg = uniform(0, 20) ? uniform(-wrap - 2, wrap + 2) : uniform(-kFar, kFar);
      if (step.op == Op::kSeek && uniform(0, 3) == 0) step.arg = random();
      if (step.op == Op::kWrap) step.arg = uniform(0, 3) ? capacity : uniform(0, capacity + 1);
      if (step.op == Op::kEmpty && uniform(0, 3)) step.op = Op::kWrite;
      SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) + " step " + std::to_string(i) +
                   " op " + std::to_string(static_cast<int>(step.op)) + " arg " + std::to_string(step.arg));
      Apply(ring, model, step);
    }
  }
}

TEST_F(kaPluginRingBufferTest, TypedValuesTravelInNativeByteOrderAtTheirOwnSizes) {
  kaPluginRingBuffer ring(64, true);
  using Values = std::tuple<char, unsigned char, short, unsigned short, int, unsigned, long long, unsigned long long>;
  const Values sent{-5, 250, -30000, 60000, -2'000'000'000, 4'000'000'000u, -9'000'000'000'000'000'000LL,
                    18'000'000'000'000'000'000ULL};
  std::apply([&ring](const auto&... value) { (ring << ... << value); }, sent);
  uint8_t raw[31] = {};
  ASSERT_EQ(ring.Read(raw, 31), 30u) << "1 + 1 + 2 + 2 + 4 + 4 + 8 + 8 bytes";
  EXPECT_EQ(std::tuple(raw[6], raw[9]), std::tuple(0x00, 0x88)) << "-2,000,000,000 is 0x88CA6C00, low byte first";
  Values received{};
  std::apply([&ring](auto&... value) { (ring >> ... >> value); }, received);
  EXPECT_EQ(std::tuple(received, ring.AvailableData()), std::tuple(sent, 0u));
}

// One writer and one reader stream a known byte sequence through a small ring
// (so that it wraps thousands of times); the reader checks every byte, and an
// observer reads the two unlocked fields. Bounded by the byte count.
TEST(kaPluginRingBufferConcurrencyTest, WriterAndReaderThreadsSeeTheSameByteSequence) {
  constexpr uint64_t kTotalBytes = 2'000'000;
  kaPluginRingBuffer ring(997, true);
  std::atomic<bool> failed{false}, writerDone{false};
  std::thread writer([&] {
    std::minstd_rand random(7);
    uint8_t block[300];
    for (uint64_t produced = 0; produced < kTotalBytes && !failed.load();) {
      const auto length = static_cast<uint32_t>(std::min<uint64_t>(1 + random() % 300, kTotalBytes - produced));
      for (uint32_t i = 0; i < length; ++i) block[i] = static_cast<uint8_t>((produced + i) % 251);
      const uint32_t written = ring.Write(block, length);  // what did not fit is offered again
      produced += written;
      if (written == 0) std::this_thread::yield();
    }
    writerDone.store(true);
  });
  std::thread observer([&] {
    for (; !writerDone.load(); std::this_thread::yield()) {
      if (ring.availableDataWithoutTakingLock() > 997 || ring.ElapseTimeSinceLastWrite() < -1) failed.store(true);
    }
  });
  std::minstd_rand random(11);
  uint64_t consumed = 0;
  uint8_t block[400];
  while (consumed < kTotalBytes && !failed.load()) {
    const uint32_t length = 1 + random() % 400;
    // A peek consumes half of what it saw: the rest must be seen again.
    const bool peek = random() % 4 == 0;
    const uint32_t got = peek ? ring.Read(block, length) / 2 : ring.ReadAndSeek(block, length);
    if (peek && got > 0 && !ring.SeekRelative(got)) failed.store(true);
    for (uint32_t i = 0; i < got; ++i) {
      if (block[i] != static_cast<uint8_t>((consumed + i) % 251)) failed.store(true);
    }
    consumed += got;
    if (got == 0) std::this_thread::yield();
  }
  writer.join();
  observer.join();
  EXPECT_EQ(std::tuple(failed.load(), consumed, ring.AvailableData()), std::tuple(false, kTotalBytes, 0u));
}

}  // namespace
