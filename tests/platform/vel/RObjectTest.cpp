#include "Vel/RObject.h"

#include <gtest/gtest.h>

#include <utility>

#include "Vel/CAudioSample.h"
#include "Vel/CObject.h"

namespace Corvane::Vel {
namespace {

class RObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = CObject::LiveObjectsForTesting(); }
  void TearDown() override { EXPECT_EQ(CObject::LiveObjectsForTesting(), liveBefore_); }
  int64_t Live() const { return CObject::LiveObjectsForTesting() - liveBefore_; }

 private:
  int64_t liveBefore_ = 0;
};

TEST_F(RObjectTest, AdoptTakesOverTheCreatorsReference) {
  auto* raw = new CAudioSample(4);
  {
    auto handle = RObject<CAudioSample>::Adopt(raw);
    EXPECT_EQ(raw->GetReferenceCount(), 1);
    EXPECT_EQ(handle.Get(), raw);
  }
  EXPECT_EQ(Live(), 0);
}

TEST_F(RObjectTest, RetainAddsAReferenceAndGivesItBack) {
  auto* raw = new CAudioSample(4);
  {
    auto handle = RObject<CAudioSample>::Retain(raw);
    EXPECT_EQ(raw->GetReferenceCount(), 2);
  }
  EXPECT_EQ(raw->GetReferenceCount(), 1);
  raw->Release();
  EXPECT_EQ(Live(), 0);
}

TEST_F(RObjectTest, CopyAcquiresAndMoveTransfers) {
  auto a = RObject<CAudioSample>::Adopt(new CAudioSample(1));
  RObject<CAudioSample> b = a;
  EXPECT_EQ(a->GetReferenceCount(), 2);
  RObject<CAudioSample> c = std::move(b);
  EXPECT_FALSE(b);  // NOLINT: moved-from state is part of the contract
  EXPECT_EQ(a->GetReferenceCount(), 2);
  EXPECT_EQ(c.Get(), a.Get());
  c.Reset();
  EXPECT_EQ(a->GetReferenceCount(), 1);
}

TEST_F(RObjectTest, AssignmentReleasesTheOldObject) {
  auto a = RObject<CAudioSample>::Adopt(new CAudioSample(1));
  auto b = RObject<CAudioSample>::Adopt(new CAudioSample(2));
  EXPECT_EQ(Live(), 2);
  a = b;
  EXPECT_EQ(Live(), 1);
  EXPECT_EQ(b->GetReferenceCount(), 2);
  RObject<CAudioSample>& same = a;
  a = same;  // self-assignment keeps the object
  EXPECT_EQ(a->GetFrameCount(), 2);
  EXPECT_EQ(b->GetReferenceCount(), 2);
  a = nullptr;
  EXPECT_EQ(b->GetReferenceCount(), 1);
}

TEST_F(RObjectTest, UpcastSharesTheReference) {
  auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(1));
  RObject<CMediaSample> media = sample;
  EXPECT_EQ(sample->GetReferenceCount(), 2);
  RObject<CObject> object = std::move(media);
  EXPECT_FALSE(media);  // NOLINT
  EXPECT_EQ(sample->GetReferenceCount(), 2);
  EXPECT_EQ(object.Get(), static_cast<CObject*>(sample.Get()));
}

TEST_F(RObjectTest, DetachHandsTheReferenceToTheCaller) {
  auto handle = RObject<CAudioSample>::Adopt(new CAudioSample(1));
  CAudioSample* raw = handle.Detach();
  EXPECT_FALSE(handle);
  EXPECT_EQ(raw->GetReferenceCount(), 1);
  EXPECT_EQ(Live(), 1);
  raw->Release();
}

TEST_F(RObjectTest, NullPointersGiveEmptyHandles) {
  auto adopted = RObject<CAudioSample>::Adopt(nullptr);
  auto retained = RObject<CAudioSample>::Retain(nullptr);
  EXPECT_FALSE(adopted);
  EXPECT_TRUE(retained == nullptr);
  retained.Reset();  // resetting an empty handle is harmless
  EXPECT_TRUE(adopted == retained);
}

}  // namespace
}  // namespace Corvane::Vel
