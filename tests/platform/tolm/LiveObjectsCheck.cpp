// Every test of this executable must give back every reference it takes: at
// the end of the run no xCUnknown object may be left alive.
#include <gtest/gtest.h>

#include "tolm/xCUnknown.h"

namespace {

class LiveObjectsCheck : public ::testing::Environment {
 public:
  void TearDown() override {
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), 0) << "xCUnknown objects leaked by the tests";
  }
};

[[maybe_unused]] ::testing::Environment* const kLiveObjectsCheck =
    ::testing::AddGlobalTestEnvironment(new LiveObjectsCheck());

}  // namespace
