#pragma once
#include <atomic>
#include <cstdint>

#include "tolm/tolmExport.h"

class zTestClock;

// The foundation clock: signed 64-bit microseconds of CLOCK_MONOTONIC, the unit
// of every time stamp, delay and age in the library. Tests replace it
// process-wide with a zTestClock.
class TOLM_EXPORT zTime {
 public:
  static int64_t MicroNow();
  // Seconds to microseconds, truncated toward zero and saturated to int64
  // (infinities included); NaN gives 0.
  static int64_t SecondsToMicro(double seconds);

  // Installs `clock` as the process-wide time source (null restores the real
  // clock). Returns the clock that was installed before.
  static zTestClock* SetClockForTesting(zTestClock* clock);
};

// A manual clock for tests: MicroNow() returns what the test set. Installs
// itself on construction and restores the previous clock on destruction.
// Set/Advance may be called from any thread.
class TOLM_EXPORT zTestClock {
 public:
  explicit zTestClock(int64_t startMicros = 1'000'000);
  ~zTestClock();
  zTestClock(const zTestClock&) = delete;
  zTestClock& operator=(const zTestClock&) = delete;

  int64_t Now() const { return now_.load(std::memory_order_acquire); }
  void Set(int64_t micros) { now_.store(micros, std::memory_order_release); }
  void Advance(int64_t micros) { now_.fetch_add(micros, std::memory_order_acq_rel); }

 private:
  std::atomic<int64_t> now_;
  zTestClock* previous_;
};
