#pragma once
#include <cstdint>

#include <gtest/gtest.h>

#include "tolm/zTime.h"

// Fixture base for tests of time-dependent behaviour: while the test runs,
// zTime::MicroNow() returns the manual clock's value (starting at
// kManualClockStartMicros) and moves only when the test calls
// clock().Advance / clock().Set. The clock is installed before the derived
// fixture's constructor runs and removed after its destructor, so objects
// held by the fixture read it throughout their lives.
class ManualClockTest : public ::testing::Test {
 protected:
  static constexpr int64_t kManualClockStartMicros = 1'000'000;

  zTestClock& clock() { return clock_; }

 private:
  zTestClock clock_{kManualClockStartMicros};
};
