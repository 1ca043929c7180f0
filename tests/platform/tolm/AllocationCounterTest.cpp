// Checks of the test support's allocation counter, which the no-allocation
// tests of every folder depend on.
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>

namespace {

// Keeps the optimiser from removing an allocation whose result is unused.
void* volatile gSink = nullptr;

TEST(AllocationCounterTest, CountsEveryFormOfOperatorNew) {
  AllocationCounter counter;
  gSink = new int(1);
  delete static_cast<int*>(gSink);
  gSink = new int[4];
  delete[] static_cast<int*>(gSink);
  gSink = new (std::nothrow) char;
  delete static_cast<char*>(gSink);
  struct alignas(128) Wide {
    char bytes[128];
  };
  gSink = new Wide;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(gSink) % 128, 0u);
  delete static_cast<Wide*>(gSink);
  EXPECT_EQ(counter.Allocations(), 4);
  EXPECT_EQ(counter.Deallocations(), 4);
}

TEST(AllocationCounterTest, CountsLibraryContainers) {
  AllocationCounter counter;
  std::string text(100, 'x');  // longer than the small-string buffer
  auto shared = std::make_shared<int>(3);
  EXPECT_EQ(counter.Allocations(), 2);
  counter.Reset();
  EXPECT_EQ(counter.Allocations(), 0);
  std::string copy = text;
  EXPECT_EQ(counter.Allocations(), 1);
}

TEST(AllocationCounterTest, CountsMallocWhenInterposed) {
  if (!AllocationCounter::MallocIsCounted()) GTEST_SKIP() << "sanitizer build: operator new only";
  AllocationCounter counter;
  gSink = std::malloc(10);
  gSink = std::realloc(gSink, 1000);
  std::free(gSink);
  gSink = std::calloc(3, 8);
  std::free(gSink);
  void* aligned = nullptr;
  ASSERT_EQ(posix_memalign(&aligned, 64, 100), 0);
  std::free(aligned);
  EXPECT_EQ(counter.Allocations(), 4);
  EXPECT_EQ(counter.Deallocations(), 3);
}

TEST(AllocationCounterTest, CountsOnlyTheCurrentThreadButTracksTheProcess) {
  if (!AllocationCounter::IsCounting()) GTEST_SKIP() << "ThreadSanitizer build: its runtime owns operator new";
  AllocationCounter counter;
  std::thread other([] {
    for (int i = 0; i < 10; ++i) {
      gSink = new int(i);
      delete static_cast<int*>(gSink);
    }
  });
  other.join();
  const int64_t mine = counter.Allocations();
  // Starting the thread may allocate on this thread; the ten ints may not.
  EXPECT_LT(mine, 10);
  EXPECT_GE(counter.AllAllocations(), mine + 10);
}

}  // namespace
