#include "support/AllocationCounter.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/resource.h>
#endif

#if defined(__has_feature)
#define KASP2_HAS_FEATURE(x) __has_feature(x)
#else
#define KASP2_HAS_FEATURE(x) 0
#endif

// ThreadSanitizer's runtime defines operator new and delete itself (a second
// definition does not link), so nothing is counted in those builds.
#if defined(__SANITIZE_THREAD__) || KASP2_HAS_FEATURE(thread_sanitizer)
#define KASP2_ALLOCATION_COUNTER_TSAN 1
#else
#define KASP2_ALLOCATION_COUNTER_TSAN 0
#endif

// Sanitizers bring their own malloc; interposing it would bypass them.
#if KASP2_ALLOCATION_COUNTER_TSAN || defined(__SANITIZE_ADDRESS__) || KASP2_HAS_FEATURE(address_sanitizer) || \
    KASP2_HAS_FEATURE(memory_sanitizer) || !defined(__GLIBC__)
#define KASP2_INTERPOSE_MALLOC 0
#else
#define KASP2_INTERPOSE_MALLOC 1
#endif

namespace {

// Trivial thread-locals in the initial-exec model: reading them never calls
// into the dynamic loader or the allocator, which matters inside malloc.
__attribute__((tls_model("initial-exec"))) thread_local int64_t tAllocations = 0;
__attribute__((tls_model("initial-exec"))) thread_local int64_t tDeallocations = 0;
// Allocations left on this thread until the injected failure (0: none armed).
__attribute__((tls_model("initial-exec"))) thread_local int64_t tFailCountdown = 0;
__attribute__((tls_model("initial-exec"))) thread_local bool tInjectedFailure = false;

// Where an injected failure happens: a place for a debugger's breakpoint.
[[gnu::noinline]] void InjectedAllocationFailure() { asm volatile(""); }

// Counts one allocation; true when it is the one armed to fail.
[[maybe_unused]] inline bool CountAndFail() {
  ++tAllocations;
  if (tFailCountdown == 0 || --tFailCountdown != 0) return false;
  tInjectedFailure = true;
  InjectedAllocationFailure();
  return true;
}

[[maybe_unused]] inline void CountDeallocation(void* p) {
  if (p) ++tDeallocations;
}

}  // namespace

#if KASP2_INTERPOSE_MALLOC
// glibc's own entry points: the interposed functions below forward to them,
// so every block still comes from, and goes back to, the one glibc heap.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);

void* malloc(size_t size) noexcept { return CountAndFail() ? nullptr : __libc_malloc(size); }
void* calloc(size_t count, size_t size) noexcept { return CountAndFail() ? nullptr : __libc_calloc(count, size); }

void* realloc(void* p, size_t size) noexcept {
  // realloc(p, 0) frees; everything else (re)allocates.
  if (p && size == 0) CountDeallocation(p);
  else if (CountAndFail()) return nullptr;
  return __libc_realloc(p, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  if (CountAndFail()) return ENOMEM;
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  return CountAndFail() ? nullptr : __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) noexcept {
  return CountAndFail() ? nullptr : __libc_memalign(alignment, size);
}

void free(void* p) noexcept {
  CountDeallocation(p);
  __libc_free(p);
}
}  // extern "C"
#endif

#if !KASP2_ALLOCATION_COUNTER_TSAN
// ---- operator new / delete ----------------------------------------------
// Each counts once and takes its block from glibc directly (or from the
// sanitizer's malloc), so an allocation is never counted twice when malloc
// is interposed too.
namespace {

#if KASP2_INTERPOSE_MALLOC
void* RawAllocate(size_t size, size_t alignment) { return __libc_memalign(alignment, size); }
void RawFree(void* p) { __libc_free(p); }
#else
void* RawAllocate(size_t size, size_t alignment) {
  void* p = nullptr;
  return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}
void RawFree(void* p) { std::free(p); }
#endif

void* NewOrNull(size_t size, size_t alignment = alignof(std::max_align_t)) {
  if (CountAndFail()) return nullptr;
  return RawAllocate(size == 0 ? 1 : size, alignment < sizeof(void*) ? sizeof(void*) : alignment);
}

// The throwing forms follow the standard: call the new-handler and retry,
// or throw std::bad_alloc when there is none.
void* NewOrThrow(size_t size, size_t alignment = alignof(std::max_align_t)) {
  for (;;) {
    if (void* p = NewOrNull(size, alignment)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

constexpr size_t Bytes(std::align_val_t alignment) { return static_cast<size_t>(alignment); }

void Delete(void* p) noexcept {
  CountDeallocation(p);
  RawFree(p);
}

}  // namespace

using Align = std::align_val_t;
void* operator new(size_t size) { return NewOrThrow(size); }
void* operator new[](size_t size) { return NewOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return NewOrNull(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return NewOrNull(size); }
void* operator new(size_t size, Align a) { return NewOrThrow(size, Bytes(a)); }
void* operator new[](size_t size, Align a) { return NewOrThrow(size, Bytes(a)); }
void* operator new(size_t size, Align a, const std::nothrow_t&) noexcept { return NewOrNull(size, Bytes(a)); }
void* operator new[](size_t size, Align a, const std::nothrow_t&) noexcept { return NewOrNull(size, Bytes(a)); }

void operator delete(void* p) noexcept { Delete(p); }
void operator delete[](void* p) noexcept { Delete(p); }
void operator delete(void* p, size_t) noexcept { Delete(p); }
void operator delete[](void* p, size_t) noexcept { Delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Delete(p); }
void operator delete(void* p, Align) noexcept { Delete(p); }
void operator delete[](void* p, Align) noexcept { Delete(p); }
void operator delete(void* p, size_t, Align) noexcept { Delete(p); }
void operator delete[](void* p, size_t, Align) noexcept { Delete(p); }
void operator delete(void* p, Align, const std::nothrow_t&) noexcept { Delete(p); }
void operator delete[](void* p, Align, const std::nothrow_t&) noexcept { Delete(p); }
#endif  // !KASP2_ALLOCATION_COUNTER_TSAN

// ---- AllocationCounter ----------------------------------------------------

namespace {

// This thread's minor page faults so far, or -1 where they are not counted.
int64_t ThreadPageFaults() {
#if defined(RUSAGE_THREAD) && KASP2_INTERPOSE_MALLOC
  rusage usage{};
  if (getrusage(RUSAGE_THREAD, &usage) == 0) return usage.ru_minflt;
#endif
  return -1;
}

}  // namespace

AllocationCounter::AllocationCounter()
    : startAllocations_(tAllocations), startDeallocations_(tDeallocations), startPageFaults_(ThreadPageFaults()) {}

int64_t AllocationCounter::Allocations() const { return tAllocations - startAllocations_; }
int64_t AllocationCounter::Deallocations() const { return tDeallocations - startDeallocations_; }

int64_t AllocationCounter::PageFaults() const {
  const int64_t now = ThreadPageFaults();
  return now < 0 || startPageFaults_ < 0 ? -1 : now - startPageFaults_;
}

void AllocationCounter::Reset() {
  startAllocations_ = tAllocations;
  startDeallocations_ = tDeallocations;
  startPageFaults_ = ThreadPageFaults();
}

bool AllocationCounter::MallocIsCounted() { return KASP2_INTERPOSE_MALLOC != 0; }

void AllocationCounter::FailNthAllocationForTesting(int64_t n) {
  tFailCountdown = n > 0 ? n : 0;
  tInjectedFailure = false;
}

bool AllocationCounter::InjectedFailureHappened() { return tInjectedFailure; }

bool AllocationCounter::IsCounting() { return !KASP2_ALLOCATION_COUNTER_TSAN; }
