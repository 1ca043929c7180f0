#pragma once
#include <cstdint>

// Counts heap allocations, to prove that a steady-state path allocates
// nothing after warm-up:
//
//   WarmUp();                      // first calls may fill pools and caches
//   AllocationCounter counter;     // starts counting on this thread
//   RunTheHotPath();
//   EXPECT_EQ(counter.Allocations(), 0);
//
// Linking the test support library replaces the global operator new and
// operator delete (every form: plain, array, nothrow, aligned, sized) in the
// whole test executable; the replacements count and forward to malloc/free.
// Outside sanitizer builds the malloc family (malloc, calloc, realloc,
// posix_memalign, aligned_alloc, memalign) is interposed as well, so C-level
// allocations made by any library in the process are counted too; sanitizer
// builds keep their own malloc and count operator new only
// (MallocIsCounted() tells which).
//
// Counts are kept per thread: a counter sees only the allocations of the
// thread that made it, so work done by other test threads does not disturb
// it. A counter is used on the thread that made it; it is not copyable.
class AllocationCounter {
 public:
  AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  // Allocations (and frees of non-null pointers) on this thread since the
  // counter was made or last Reset.
  int64_t Allocations() const;
  int64_t Deallocations() const;
  // Minor page faults this thread took since then: a steady-state path that
  // writes only into memory made resident up front takes none. -1 in
  // sanitizer builds (their shadow memory faults on its own) and where the
  // system does not count faults per thread.
  int64_t PageFaults() const;
  // Starts counting afresh.
  void Reset();

  // True when malloc and its relatives are counted, not only operator new.
  static bool MallocIsCounted();
  // False in ThreadSanitizer builds, whose runtime owns operator new: nothing
  // is counted there, and allocation tests should skip.
  static bool IsCounting();

  // Makes the `n`th allocation from now on this thread fail (operator new
  // throws std::bad_alloc, the nothrow forms and the malloc family return
  // null), and every one after it succeed again. 0 turns it off. Returns
  // whether the armed failure has happened since (so a sweep over n knows
  // when its scenario made fewer than n allocations).
  static void FailNthAllocationForTesting(int64_t n);
  static bool InjectedFailureHappened();

 private:
  int64_t startAllocations_;
  int64_t startDeallocations_;
  int64_t startPageFaults_;
};
