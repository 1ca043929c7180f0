#include "Vel/CMediaSample.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "Vel/CAudioSample.h"
#include "Vel/RObject.h"
#include "vesk/veVelBridge.h"

namespace Corvane::Vel {
namespace {

class CMediaSampleTest : public ::testing::Test {
 protected:
  void TearDown() override {
    sample_.Reset();
    EXPECT_EQ(CObject::LiveObjectsForTesting(), liveBefore_);
  }

  const int64_t liveBefore_ = CObject::LiveObjectsForTesting();
  RObject<CAudioSample> sample_ = RObject<CAudioSample>::Adopt(new CAudioSample(0));
};

TEST_F(CMediaSampleTest, NewSampleHoldsNothing) {
  EXPECT_EQ(sample_->GetData(), nullptr);
  EXPECT_EQ(sample_->GetLength(), 0);
  EXPECT_TRUE(sample_->GetLockedDataReference(CMediaSample::kAccessReadWrite).IsEmpty());
  auto negative = RObject<CAudioSample>::Adopt(new CAudioSample(-5));
  EXPECT_EQ(negative->GetFrameCount(), 0);
}

TEST_F(CMediaSampleTest, ExternalBytesAreReferredToWithoutCopy) {
  unsigned char bytes[12] = {1, 2, 3};
  ASSERT_FALSE(sample_->SetExternalData(bytes, 12, false).Failed());
  CLockedDataReference locked = sample_->GetLockedDataReference(3);
  EXPECT_EQ(locked.GetData(), bytes);
  EXPECT_EQ(locked.GetLength(), 12);
  bytes[0] = 9;  // the sample sees the caller's bytes, not a copy
  EXPECT_EQ(sample_->GetData()[0], 9);
  EXPECT_FALSE(sample_->OwnsData());
}

TEST_F(CMediaSampleTest, BridgeRefersToCallerBytesAndRejectsBadArguments) {
  unsigned char bytes[8] = {};
  EXPECT_EQ(VEL_SetAudioSampleData(sample_.Get(), bytes, 8, false), 0);
  EXPECT_EQ(sample_->GetData(), bytes);
  EXPECT_EQ(sample_->GetLength(), 8);
  EXPECT_EQ(VEL_SetAudioSampleData(nullptr, bytes, 8, false), -1);
  EXPECT_EQ(VEL_SetAudioSampleData(sample_.Get(), bytes, -1, false), -1);
  EXPECT_EQ(VEL_SetAudioSampleData(sample_.Get(), nullptr, 4, false), -1);
  EXPECT_EQ(sample_->GetData(), bytes);  // failures left it as it was
  EXPECT_EQ(sample_->GetLength(), 8);
  EXPECT_EQ(VEL_SetAudioSampleData(sample_.Get(), nullptr, 0, false), 0);
  EXPECT_EQ(sample_->GetLength(), 0);
}

TEST_F(CMediaSampleTest, OwnedExternalBytesAreFreedWithTheSample) {
  // Leak or double free would show under the sanitizers.
  void* bytes = std::malloc(64);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(VEL_SetAudioSampleData(sample_.Get(), bytes, 64, true), 0);
  EXPECT_TRUE(sample_->OwnsData());
  void* more = std::malloc(32);
  ASSERT_NE(more, nullptr);
  EXPECT_EQ(VEL_SetAudioSampleData(sample_.Get(), more, 32, true), 0);  // frees the first
  EXPECT_EQ(sample_->GetData(), more);
}

TEST_F(CMediaSampleTest, ReserveGrowsAndKeepsValidBytes) {
  ASSERT_FALSE(sample_->Reserve(4).Failed());
  std::memcpy(sample_->GetData(), "abcd", 4);
  ASSERT_FALSE(sample_->SetLength(4).Failed());
  uint8_t* before = sample_->GetData();
  ASSERT_FALSE(sample_->Reserve(2).Failed());  // smaller: nothing moves
  EXPECT_EQ(sample_->GetData(), before);
  ASSERT_FALSE(sample_->Reserve(4096).Failed());
  EXPECT_GE(sample_->GetCapacity(), 4096);
  EXPECT_EQ(sample_->GetLength(), 4);
  EXPECT_EQ(std::memcmp(sample_->GetData(), "abcd", 4), 0);
  EXPECT_TRUE(sample_->OwnsData());
}

TEST_F(CMediaSampleTest, ReserveReplacesExternalBytesWithOwnedStorage) {
  unsigned char bytes[4] = {};
  ASSERT_FALSE(sample_->SetExternalData(bytes, 4, false).Failed());
  ASSERT_FALSE(sample_->Reserve(2).Failed());
  EXPECT_NE(sample_->GetData(), bytes);
  EXPECT_EQ(sample_->GetLength(), 0);
  EXPECT_TRUE(sample_->OwnsData());
}

TEST_F(CMediaSampleTest, BadSizesFailAndChangeNothing) {
  ASSERT_FALSE(sample_->Reserve(16).Failed());
  ASSERT_FALSE(sample_->SetLength(10).Failed());
  EXPECT_TRUE(sample_->Reserve(-1).Failed());
  EXPECT_TRUE(sample_->SetLength(17).Failed());
  EXPECT_TRUE(sample_->SetLength(-1).Failed());
  EXPECT_EQ(sample_->GetLength(), 10);
  EXPECT_EQ(sample_->GetCapacity(), 16);
}

TEST_F(CMediaSampleTest, LockedReferenceRejectsUnknownModes) {
  ASSERT_FALSE(sample_->Reserve(8).Failed());
  ASSERT_FALSE(sample_->SetLength(8).Failed());
  EXPECT_TRUE(sample_->GetLockedDataReference(0).IsEmpty());
  EXPECT_TRUE(sample_->GetLockedDataReference(4).IsEmpty());
  EXPECT_EQ(sample_->GetLockedDataReference(CMediaSample::kAccessRead).GetLength(), 8);
  EXPECT_EQ(sample_->GetLockedDataReference(CMediaSample::kAccessWrite).GetLength(), 8);
}

TEST_F(CMediaSampleTest, LockedReferenceKeepsTheSampleAlive) {
  ASSERT_FALSE(sample_->Reserve(8).Failed());
  ASSERT_FALSE(sample_->SetLength(8).Failed());
  std::memset(sample_->GetData(), 0x5A, 8);
  CLockedDataReference locked = sample_->GetLockedDataReference(CMediaSample::kAccessRead);
  EXPECT_EQ(sample_->GetReferenceCount(), 2);
  sample_.Reset();  // the reference still holds the sample and its bytes
  EXPECT_EQ(locked.GetData()[7], 0x5A);
}

}  // namespace
}  // namespace Corvane::Vel
