#include "Vel/CObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "Vel/CAudioSample.h"
#include "Vel/RObject.h"
#include "support/AllocationCounter.h"

namespace Corvane::Vel {
namespace {

// Counts its own destructions, to show exactly when Release deletes.
class CountedObject : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("tcnt");
  explicit CountedObject(int* destroyed) : CObject(kType), destroyed_(destroyed) {}
  bool IsType(uint32_t code) const noexcept override { return code == kType || CObject::IsType(code); }

 protected:
  ~CountedObject() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

// Objects of a size no other test uses, so pool reuse is observable.
class PaddedObject : public CObject {
 public:
  PaddedObject() = default;
  unsigned char padding[600] = {};
};

class ThrowingObject : public CObject {
 public:
  ThrowingObject() { throw 42; }
};

class CObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = CObject::LiveObjectsForTesting(); }
  void TearDown() override { EXPECT_EQ(CObject::LiveObjectsForTesting(), liveBefore_); }

 private:
  int64_t liveBefore_ = 0;
};

TEST_F(CObjectTest, StartsWithOneReferenceAndLastReleaseDeletes) {
  int destroyed = 0;
  auto* object = new CountedObject(&destroyed);
  EXPECT_EQ(object->GetReferenceCount(), 1);
  EXPECT_EQ(object->Acquire(), 2);
  EXPECT_EQ(object->Acquire(), 3);
  EXPECT_EQ(object->Release(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_EQ(destroyed, 1);
}

TEST_F(CObjectTest, LiveObjectCountFollowsConstructionAndDestruction) {
  const int64_t before = CObject::LiveObjectsForTesting();
  auto* a = new CObject();
  auto* b = new CAudioSample(10);
  EXPECT_EQ(CObject::LiveObjectsForTesting(), before + 2);
  a->Release();
  EXPECT_EQ(CObject::LiveObjectsForTesting(), before + 1);
  b->Release();
  EXPECT_EQ(CObject::LiveObjectsForTesting(), before);
}

TEST_F(CObjectTest, IsTypeAnswersOwnCodeAndBaseCodes) {
  int destroyed = 0;
  auto counted = RObject<CountedObject>::Adopt(new CountedObject(&destroyed));
  EXPECT_TRUE(counted->IsType(CountedObject::kType));
  EXPECT_TRUE(counted->IsType(CObject::kType));
  EXPECT_FALSE(counted->IsType(CAudioSample::kType));
  EXPECT_EQ(counted->GetTypeCode(), CountedObject::kType);

  auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(1));
  EXPECT_TRUE(sample->IsType(CAudioSample::kType));
  EXPECT_TRUE(sample->IsType(CMediaSample::kType));
  EXPECT_TRUE(sample->IsType(CObject::kType));
  EXPECT_FALSE(sample->IsType(CountedObject::kType));
  EXPECT_EQ(FourCC("cobj"), 0x636f626au);
}

TEST_F(CObjectTest, FreedBlockIsReusedForTheNextObjectOfItsSize) {
  auto* first = new PaddedObject();
  void* address = first;
  first->Release();
  auto* second = new PaddedObject();
  EXPECT_EQ(static_cast<void*>(second), address);
  second->Release();
}

TEST_F(CObjectTest, SteadyCreateAndReleaseAllocatesNothing) {
  // Warm the pool: make one block of this size and give it back.
  RObject<CAudioSample>::Adopt(new CAudioSample(1)).Reset();
  AllocationCounter counter;
  for (int i = 0; i < 100; ++i) {
    auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(i));
    ASSERT_EQ(sample->GetFrameCount(), i);
  }
  EXPECT_EQ(counter.Allocations(), 0);
}

TEST_F(CObjectTest, PoolKeepsABoundedNumberOfFreeBlocks) {
  std::vector<PaddedObject*> objects;
  for (int i = 0; i < 500; ++i) objects.push_back(new PaddedObject());
  const std::size_t pooledBefore = CObject::PooledBlocksForTesting();
  for (PaddedObject* object : objects) object->Release();
  const std::size_t pooledAfter = CObject::PooledBlocksForTesting();
  EXPECT_GT(pooledAfter, pooledBefore);
  EXPECT_LE(pooledAfter - pooledBefore, 64u);
}

TEST_F(CObjectTest, OversizedRequestFailsWithBadAllocOrNull) {
  constexpr std::size_t kImpossible = static_cast<std::size_t>(-1) - 8;
  EXPECT_THROW((void)CObject::operator new(kImpossible), std::bad_alloc);
  EXPECT_EQ(CObject::operator new(kImpossible, std::nothrow), nullptr);
}

TEST_F(CObjectTest, ObjectsLargerThanEveryClassStillWork) {
  struct Big : CObject {
    unsigned char bytes[10000] = {};
  };
  auto* big = new Big();
  big->bytes[9999] = 7;
  EXPECT_EQ(big->bytes[9999], 7);
  EXPECT_EQ(big->Release(), 0);
}

TEST_F(CObjectTest, ThrowingConstructorReturnsItsMemory) {
  const int64_t live = CObject::LiveObjectsForTesting();
  EXPECT_THROW(new ThrowingObject(), int);
  EXPECT_THROW(new (std::nothrow) ThrowingObject(), int);
  EXPECT_EQ(CObject::LiveObjectsForTesting(), live);
}

TEST_F(CObjectTest, ConcurrentAcquireAndReleaseKeepTheCountExact) {
  int destroyed = 0;
  auto* object = new CountedObject(&destroyed);
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([object] {
      for (int i = 0; i < kRounds; ++i) {
        object->Acquire();
        object->Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(object->GetReferenceCount(), 1);
  EXPECT_EQ(destroyed, 0);
  object->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(CObjectTest, ConcurrentCreateAndReleaseThroughThePool) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&mismatches, t] {
      std::vector<RObject<CAudioSample>> held;
      for (int i = 0; i < kRounds; ++i) {
        held.push_back(RObject<CAudioSample>::Adopt(new CAudioSample(t * kRounds + i)));
        if (held.size() == 8) {
          for (std::size_t k = 0; k < held.size(); ++k) {
            // A block handed to two threads at once would show another
            // thread's frame count here.
            if (held[k]->GetFrameCount() != t * kRounds + i - 7 + static_cast<int>(k)) ++mismatches;
          }
          held.clear();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace Corvane::Vel
