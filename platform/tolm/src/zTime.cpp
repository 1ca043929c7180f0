#include "tolm/zTime.h"

#include <cmath>
#include <ctime>
#include <limits>

namespace {

// The installed manual clock, or null for the real one. Published with
// release so that a reader sees the clock's start value.
std::atomic<zTestClock*> gTestClock{nullptr};

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kNanosPerMicro = 1'000;
// 2^63 as a double: the first value above the int64 range.
constexpr double kTwoPow63 = 9223372036854775808.0;

}  // namespace

int64_t zTime::MicroNow() {
  if (zTestClock* clock = gTestClock.load(std::memory_order_acquire)) return clock->Now();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kMicrosPerSecond + static_cast<int64_t>(now.tv_nsec) / kNanosPerMicro;
}

int64_t zTime::SecondsToMicro(double seconds) {
  if (std::isnan(seconds)) return 0;
  const double micros = seconds * static_cast<double>(kMicrosPerSecond);
  if (micros >= kTwoPow63) return std::numeric_limits<int64_t>::max();
  if (micros <= -kTwoPow63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(micros);  // truncates toward zero
}

zTestClock* zTime::SetClockForTesting(zTestClock* clock) {
  return gTestClock.exchange(clock, std::memory_order_acq_rel);
}

zTestClock::zTestClock(int64_t startMicros) : now_(startMicros), previous_(zTime::SetClockForTesting(this)) {}

zTestClock::~zTestClock() { zTime::SetClockForTesting(previous_); }
