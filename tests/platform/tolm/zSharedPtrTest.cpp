#include "tolm/zSharedPtr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "support/AllocationCounter.h"
#include "tolm/xCUnknown.h"

namespace {

class Tracked : public xCUnknown {
 public:
  explicit Tracked(int value = 0) : value(value) {}
  int value;
};

// The control block that zAsSharedPtr makes must fit one pooled block, or
// the allocator silently falls back to the heap.
#if defined(__GLIBCXX__)
static_assert(sizeof(std::_Sp_counted_deleter<Tracked*, zReleaseDeleter, zPoolAllocator<Tracked>,
                                              __gnu_cxx::_S_atomic>) <= zSharedPtrPool::kBlockSize,
              "shared pointer control block outgrew the pool block");
#endif

TEST(zSharedPtrTest, AdoptsOneReferenceAndReleasesItWithTheLastOwner) {
  const int64_t liveBefore = xCUnknown::LiveObjectsForTesting();
  auto* object = new Tracked(5);
  object->AddRef();  // the test keeps one reference of its own
  {
    std::shared_ptr<Tracked> first = zAsSharedPtr(object);
    ASSERT_EQ(first.get(), object);
    std::shared_ptr<Tracked> second = first;
    EXPECT_EQ(object->RefCountForTesting(), 2);
    first.reset();
    EXPECT_EQ(object->RefCountForTesting(), 2);
  }
  EXPECT_EQ(object->RefCountForTesting(), 1);
  object->Release();
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveBefore);
}

TEST(zSharedPtrTest, NullObjectsGiveEmptyPointers) {
  EXPECT_EQ(zAsSharedPtr<Tracked>(nullptr), nullptr);
  EXPECT_EQ(make_shared_ptr<xIUnknown>(nullptr), nullptr);
}

TEST(zSharedPtrTest, NewSharedPtrOwnsTheOnlyReference) {
  const int64_t liveBefore = xCUnknown::LiveObjectsForTesting();
  {
    auto object = zNewSharedPtr<Tracked>(17);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->value, 17);
    EXPECT_EQ(object->RefCountForTesting(), 1);
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveBefore + 1);
  }
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveBefore);
}

TEST(zSharedPtrTest, InterfacePointersAreReleasedThroughTheInterface) {
  const int64_t liveBefore = xCUnknown::LiveObjectsForTesting();
  auto* object = new Tracked();
  void* out = nullptr;
  ASSERT_EQ(object->QueryInterface("xIUnknown", &out), 0);
  object->Release();  // only the interface's reference is left
  {
    std::shared_ptr<xIUnknown> held = make_shared_ptr(static_cast<xIUnknown*>(out));
    EXPECT_EQ(object->RefCountForTesting(), 1);
  }
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveBefore);
}

TEST(zSharedPtrTest, WrappingReusesPooledControlBlocks) {
  auto* object = new Tracked();
  // Warm the pool with a few blocks.
  {
    std::vector<std::shared_ptr<Tracked>> warm;
    for (int i = 0; i < 4; ++i) {
      object->AddRef();
      warm.push_back(zAsSharedPtr(object));
    }
  }
  const size_t idle = zSharedPtrPool::IdleBlocksForTesting();
  ASSERT_GE(idle, 4u);
  AllocationCounter counter;
  for (int i = 0; i < 100; ++i) {
    object->AddRef();
    std::shared_ptr<Tracked> wrapped = zAsSharedPtr(object);
    EXPECT_EQ(zSharedPtrPool::IdleBlocksForTesting(), idle - 1);
  }
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_EQ(zSharedPtrPool::IdleBlocksForTesting(), idle);
  EXPECT_EQ(object->RefCountForTesting(), 1);
  object->Release();
}

TEST(zSharedPtrPoolTest, BlocksAreDistinctAndUsableAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  constexpr int kHeld = 16;
  std::atomic<bool> corrupted{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &corrupted] {
      void* held[kHeld] = {};
      for (int round = 0; round < kRounds; ++round) {
        for (auto& block : held) {
          block = zSharedPtrPool::Allocate();
          if (block) std::memset(block, t + 1, zSharedPtrPool::kBlockSize);
        }
        // A block handed to two owners at once would show another pattern.
        for (auto* block : held) {
          const auto* bytes = static_cast<const unsigned char*>(block);
          if (!bytes) continue;
          for (size_t i = 0; i < zSharedPtrPool::kBlockSize; ++i) {
            if (bytes[i] != t + 1) corrupted = true;
          }
        }
        for (auto* block : held) zSharedPtrPool::Free(block);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(corrupted.load());
}

// Blocks that a thread keeps for itself are not lost when it ends: they go
// to the shared list, where the next thread finds them.
TEST(zSharedPtrPoolTest, BlocksOfAnEndedThreadReturnToTheSharedList) {
  constexpr int kBlocks = 8;
  // Empty the shared list and this thread's own, so that the other thread's
  // blocks come from the heap and are the only idle ones afterwards.
  std::vector<void*> drained;
  while (zSharedPtrPool::IdleBlocksForTesting() > 0 && drained.size() < 10'000) {
    drained.push_back(zSharedPtrPool::Allocate());
  }
  ASSERT_EQ(zSharedPtrPool::IdleBlocksForTesting(), 0u);
  std::thread([] {
    void* blocks[kBlocks] = {};
    for (auto& block : blocks) block = zSharedPtrPool::Allocate();
    for (auto* block : blocks) zSharedPtrPool::Free(block);
  }).join();
  EXPECT_EQ(zSharedPtrPool::IdleBlocksForTesting(), static_cast<size_t>(kBlocks));
  // ... and the next allocations take them.
  void* again = zSharedPtrPool::Allocate();
  EXPECT_EQ(zSharedPtrPool::IdleBlocksForTesting(), static_cast<size_t>(kBlocks - 1));
  zSharedPtrPool::Free(again);
  for (void* block : drained) zSharedPtrPool::Free(block);
}

TEST(zSharedPtrPoolTest, FreeListIsBounded) {
  constexpr size_t kMany = 5000;
  std::vector<void*> blocks;
  for (size_t i = 0; i < kMany; ++i) blocks.push_back(zSharedPtrPool::Allocate());
  for (void* block : blocks) {
    ASSERT_NE(block, nullptr);
    zSharedPtrPool::Free(block);
  }
  EXPECT_LE(zSharedPtrPool::IdleBlocksForTesting(), 4096u);
  EXPECT_GE(zSharedPtrPool::IdleBlocksForTesting(), 4096u - 64u);
  zSharedPtrPool::Free(nullptr);
}

}  // namespace
