#include "tolm/zTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <thread>
#include <vector>

#include "support/ManualClock.h"

namespace {

int64_t MonotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000;
}

TEST(zTimeTest, RealClockReadsMonotonicMicroseconds) {
  const int64_t before = MonotonicMicros();
  const int64_t now = zTime::MicroNow();
  const int64_t after = MonotonicMicros();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

TEST(zTimeTest, SecondsToMicroTruncatesTowardZero) {
  EXPECT_EQ(zTime::SecondsToMicro(1.5), 1'500'000);
  EXPECT_EQ(zTime::SecondsToMicro(-1.5), -1'500'000);
  EXPECT_EQ(zTime::SecondsToMicro(0.0000019), 1);
  EXPECT_EQ(zTime::SecondsToMicro(-0.0000019), -1);
  EXPECT_EQ(zTime::SecondsToMicro(0.0000009), 0);
  EXPECT_EQ(zTime::SecondsToMicro(0.0), 0);
  EXPECT_EQ(zTime::SecondsToMicro(9e12), 9'000'000'000'000'000'000);
}

TEST(zTimeTest, SecondsToMicroSaturatesAndMapsNaNToZero) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(zTime::SecondsToMicro(1e13), kMax);
  EXPECT_EQ(zTime::SecondsToMicro(-1e13), kMin);
  EXPECT_EQ(zTime::SecondsToMicro(std::numeric_limits<double>::infinity()), kMax);
  EXPECT_EQ(zTime::SecondsToMicro(-std::numeric_limits<double>::infinity()), kMin);
  EXPECT_EQ(zTime::SecondsToMicro(std::nan("")), 0);
  EXPECT_EQ(zTime::SecondsToMicro(std::numeric_limits<double>::max()), kMax);
}

TEST(zTestClockTest, InstallsItselfAndRestoresThePreviousClock) {
  {
    zTestClock outer(500);
    EXPECT_EQ(zTime::MicroNow(), 500);
    outer.Advance(25);
    EXPECT_EQ(zTime::MicroNow(), 525);
    {
      zTestClock inner(-7);
      EXPECT_EQ(zTime::MicroNow(), -7);
      inner.Set(3);
      EXPECT_EQ(zTime::MicroNow(), 3);
    }
    EXPECT_EQ(zTime::MicroNow(), 525);
  }
  // Back on the real clock.
  const int64_t before = MonotonicMicros();
  const int64_t now = zTime::MicroNow();
  EXPECT_LE(before, now);
  EXPECT_LE(now, MonotonicMicros());
}

TEST(zTestClockTest, SetClockForTestingReturnsThePreviousClock) {
  zTestClock first(10);
  zTestClock second(20);
  EXPECT_EQ(zTime::SetClockForTesting(&first), &second);
  EXPECT_EQ(zTime::MicroNow(), 10);
  EXPECT_EQ(zTime::SetClockForTesting(&second), &first);
  EXPECT_EQ(zTime::MicroNow(), 20);
}

TEST(zTestClockTest, AdvancesFromSeveralThreadsAddUp) {
  zTestClock clock(0);
  constexpr int kThreads = 4;
  constexpr int kSteps = 10000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&clock] {
      for (int i = 0; i < kSteps; ++i) clock.Advance(3);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(zTime::MicroNow(), int64_t{3} * kThreads * kSteps);
}

class ManualClockFixtureTest : public ManualClockTest {};

TEST_F(ManualClockFixtureTest, StartsAtOneSecondAndMovesOnlyWhenTold) {
  EXPECT_EQ(zTime::MicroNow(), kManualClockStartMicros);
  EXPECT_EQ(zTime::MicroNow(), 1'000'000);
  clock().Advance(40'000);
  EXPECT_EQ(zTime::MicroNow(), 1'040'000);
  clock().Set(5);
  EXPECT_EQ(clock().Now(), 5);
  EXPECT_EQ(zTime::MicroNow(), 5);
}

}  // namespace
