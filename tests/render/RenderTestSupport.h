#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "buffers/kaBufferGroup2.h"
#include "foundation/kaFoundation.h"
#include "support/ManualClock.h"
#include "support/TestHostMethods.h"

// Shared pieces of the renderer tests.

// One adopted reference of a counted object.
using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;
using GroupRef = std::unique_ptr<kaBufferGroup2, zReleaseDeleter>;

// A plain video buffer (no storage) with the given fixed fields; the caller
// owns its one reference.
inline BufferRef MakeFrame(int32_t width, int32_t height, uint32_t raster) {
  BufferRef frame(new kaBuffer2(veMediaTypeVideo));
  frame->SetWidth(width);
  frame->SetHeight(height);
  frame->SetRasterType(raster);
  return frame;
}

// Every renderer test runs on the manual clock and must leave no counted
// object and no host table alive.
class RenderTest : public ManualClockTest {
 protected:
  void SetUp() override {
    liveObjectsAtStart_ = xCUnknown::LiveObjectsForTesting();
    liveTablesAtStart_ = TestHostMethods::LiveCount();
    group.reset(new kaBufferGroup2());
    host = TestHostMethods::Make();
  }
  void TearDown() override {
    host.reset();
    group.reset();
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveObjectsAtStart_) << "counted objects leaked";
    EXPECT_EQ(TestHostMethods::LiveCount(), liveTablesAtStart_) << "host tables leaked";
  }

  // Counted objects made since the test started (the group included).
  int64_t LiveSinceStart() const { return xCUnknown::LiveObjectsForTesting() - liveObjectsAtStart_; }

  GroupRef group;
  TestHostMethods::Ptr host;

 private:
  int64_t liveObjectsAtStart_ = 0;
  int64_t liveTablesAtStart_ = 0;
};
