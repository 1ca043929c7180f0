// kaPluginRingBuffer against the byte model over a seeded random walk through
// its byte operations (the fuzz target drives the typed ones against the same
// model), and a writer and a reader thread on one ring.
#include "plugins/kaPluginRingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <thread>

#include "support/ManualClock.h"
#include "support/RingBufferModel.h"

namespace {

// One operation. Written bytes come from a running counter (passing through
// zero now and then), so every byte read back tells where it came from.
enum class Op { kWrite, kRead, kReadAndSeek, kSeekRelative, kSeek, kSeekBack, kWrap, kEmpty, kAdvance };
struct Step { Op op; long long arg = 0; };

class kaPluginRingBufferTest : public ManualClockTest {
 protected:
  // Runs `step` on the ring and the model and expects the same result, bytes
  // read and state.
  void Apply(kaPluginRingBuffer& ring, RingBufferModel& model, const Step& step) {
    const auto n = static_cast<uint32_t>(step.arg);  // bytes to move are few; positions may be large
    std::vector<uint8_t> in(n <= 1024 ? n : 0), out(in.size() + 1, 0xEE), expected(in.size() + 1, 0xEE);
    for (uint8_t& byte : in) byte = next_++;
    const int64_t now = clock().Now();
    long long got = 0, want = 0;
    switch (step.op) {
      case Op::kWrite: want = model.Write(in.data(), n, now), got = ring.Write(in.data(), n); break;
      case Op::kRead: want = model.Read(expected.data(), n), got = ring.Read(out.data(), n); break;
      case Op::kReadAndSeek: want = model.ReadAndSeek(expected.data(), n), got = ring.ReadAndSeek(out.data(), n); break;
      case Op::kSeekRelative: want = model.SeekRelative(step.arg), got = ring.SeekRelative(step.arg); break;
      case Op::kSeek: model.Seek(n), ring.Seek(n); break;
      case Op::kSeekBack: want = model.SeekBackwards(n), got = ring.SeekBackwardsRelativeToWritePosition(n); break;
      case Op::kWrap: model.SetWrap(n), ring.SetWrapBufferSize(n); break;
      case Op::kEmpty: model.MakeEmpty(), ring.MakeEmpty(); break;
      case Op::kAdvance: clock().Advance(step.arg); break;
    }
    EXPECT_EQ(std::tuple(got, out), std::tuple(want, expected)) << "result, bytes read";
    EXPECT_EQ(std::tuple(ring.WrapSize(), ring.AvailableData(), ring.availableDataWithoutTakingLock(),
                         ring.AvailableSpace(), ring.CurrentReadPosition(), ring.CurrentWritePosition(),
                         ring.LastWriteTime(), ring.ElapseTimeSinceLastWrite()),
              std::tuple(model.wrap, model.count, model.count, model.wrap - model.count, model.read, model.write,
                         model.lastWrite, model.Elapsed(clock().Now())))
        << "wrap, count, unlocked count, space, read, write, last write, elapsed";
  }
  uint8_t next_ = 1;
};

// Rings of 1 to 40 bytes, so that every step is near a boundary: lengths and
// distances cluster around 0, the count, the space and the wrap size, now and
// then far beyond; emptying and new wrap sizes are rare.
TEST_F(kaPluginRingBufferTest, MatchesTheModelOverASeededRandomWalk) {
  const char* fixed = std::getenv("KASP2_TEST_SEED");
  const uint32_t seed = fixed ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
  std::printf("[ seed     ] %u (replay with KASP2_TEST_SEED=%u)\n", seed, seed);
  std::mt19937 random(seed);
  auto uniform = [&random](long long low, long long high) { return std::uniform_int_distribution(low, high)(random); };
  for (int round = 0; round < 20; ++round) {
    const auto capacity = static_cast<uint32_t>(uniform(1, 40));
    kaPluginRingBuffer ring(capacity, true);
    RingBufferModel model(capacity);
    for (int i = 0; i < 2000 && !HasFailure(); ++i) {
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

// Numbers go in native byte order at their own sizes. Text goes without its
// terminator; reading text stops before a zero byte (left in the ring) or at
// the end of the data.
TEST(kaPluginRingBufferTypedTest, ValuesAndTextTravelAtTheirOwnSizes) {
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
  zString first("x"), stopped("x"), last("x");
  char zero = 1;
  ring << zString("ab") << char{0} << zString("") << zString("cd");
  ring >> first >> stopped >> zero >> last;
  EXPECT_EQ(std::tuple(std::string(first.Text()), std::string(stopped.Text()), zero, std::string(last.Text())),
            std::tuple("ab", "", '\0', "cd"));
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
    for (uint64_t produced = 0; produced < kTotalBytes && !failed.load(); std::this_thread::yield()) {
      const auto length = static_cast<uint32_t>(std::min<uint64_t>(1 + random() % 300, kTotalBytes - produced));
      for (uint32_t i = 0; i < length; ++i) block[i] = static_cast<uint8_t>((produced + i) % 251);
      produced += ring.Write(block, length);  // what did not fit is offered again
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
  for (uint8_t block[400]; consumed < kTotalBytes && !failed.load(); std::this_thread::yield()) {
    const uint32_t length = 1 + random() % 400;
    const bool peek = random() % 4 == 0;  // a peek consumes half of what it saw: the rest must be seen again
    const uint32_t got = peek ? ring.Read(block, length) / 2 : ring.ReadAndSeek(block, length);
    if (peek && got > 0 && !ring.SeekRelative(got)) failed.store(true);
    for (uint32_t i = 0; i < got; ++i) {
      if (block[i] != static_cast<uint8_t>((consumed + i) % 251)) failed.store(true);
    }
    consumed += got;
  }
  for (std::thread* thread : {&writer, &observer}) thread->join();
  EXPECT_EQ(std::tuple(failed.load(), consumed, ring.AvailableData()), std::tuple(false, kTotalBytes, 0u));
}

}  // namespace
