#include "support/AllocationCounter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

// Sanitizers bring their own malloc; interposing it would bypass them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KASP2_ALLOCATION_COUNTER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KASP2_ALLOCATION_COUNTER_SANITIZED 1
#endif
#endif

// ThreadSanitizer's runtime defines operator new and delete itself (a second
// definition does not link), so nothing is counted in those builds.
#if defined(__SANITIZE_THREAD__)
#define KASP2_ALLOCATION_COUNTER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KASP2_ALLOCATION_COUNTER_TSAN 1
#endif
#endif

#if defined(KASP2_ALLOCATION_COUNTER_SANITIZED) || !defined(__GLIBC__)
#define KASP2_INTERPOSE_MALLOC 0
#else
#define KASP2_INTERPOSE_MALLOC 1
#endif

namespace {

// Trivial thread-locals in the initial-exec model: reading them never calls
// into the dynamic loader or the allocator, which matters inside malloc.
__attribute__((tls_model("initial-exec"))) thread_local int64_t tAllocations = 0;
__attribute__((tls_model("initial-exec"))) thread_local int64_t tDeallocations = 0;
std::atomic<int64_t> gProcessAllocations{0};
// Allocations left on this thread until the injected failure (0: none armed).
__attribute__((tls_model("initial-exec"))) thread_local int64_t tFailCountdown = 0;
__attribute__((tls_model("initial-exec"))) thread_local bool tInjectedFailure = false;

[[maybe_unused]] inline void CountAllocation() {
  ++tAllocations;
  gProcessAllocations.fetch_add(1, std::memory_order_relaxed);
}

// Where an injected failure happens: a place for a debugger's breakpoint.
[[gnu::noinline]] void InjectedAllocationFailure() { asm volatile(""); }

// Counts one allocation; true when it is the one armed to fail.
[[maybe_unused]] inline bool CountAndFail() {
  CountAllocation();
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
}

namespace {
inline void* RawMalloc(size_t size) { return __libc_malloc(size); }
inline void* RawMemalign(size_t alignment, size_t size) { return __libc_memalign(alignment, size); }
inline void RawFree(void* p) { __libc_free(p); }
}  // namespace

extern "C" {

void* malloc(size_t size) noexcept {
  if (CountAndFail()) return nullptr;
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
  if (CountAndFail()) return nullptr;
  return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) noexcept {
  // realloc(p, 0) frees; everything else (re)allocates.
  if (p && size == 0) {
    CountDeallocation(p);
  } else if (CountAndFail()) {
    return nullptr;
  }
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
  if (CountAndFail()) return nullptr;
  return __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
  if (CountAndFail()) return nullptr;
  return __libc_memalign(alignment, size);
}

void free(void* p) noexcept {
  CountDeallocation(p);
  __libc_free(p);
}

}  // extern "C"

#else

namespace {
[[maybe_unused]] inline void* RawMalloc(size_t size) { return std::malloc(size); }
[[maybe_unused]] inline void* RawMemalign(size_t alignment, size_t size) {
  void* p = nullptr;
  return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}
[[maybe_unused]] inline void RawFree(void* p) { std::free(p); }
}  // namespace

#endif

#if !defined(KASP2_ALLOCATION_COUNTER_TSAN)
// ---- operator new / delete ----------------------------------------------
// Each counts once and uses the raw allocator directly, so an allocation is
// never counted twice when malloc is interposed too.

namespace {

void* NewOrNull(size_t size) {
  if (CountAndFail()) return nullptr;
  return RawMalloc(size == 0 ? 1 : size);
}

void* AlignedNewOrNull(size_t size, std::align_val_t alignment) {
  if (CountAndFail()) return nullptr;
  size_t align = static_cast<size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
  return RawMemalign(align, size == 0 ? 1 : size);
}

// The throwing forms follow the standard: call the new-handler and retry,
// or throw std::bad_alloc when there is none.
void* NewOrThrow(size_t size) {
  for (;;) {
    if (void* p = NewOrNull(size)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

void* AlignedNewOrThrow(size_t size, std::align_val_t alignment) {
  for (;;) {
    if (void* p = AlignedNewOrNull(size, alignment)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

void Delete(void* p) noexcept {
  CountDeallocation(p);
  RawFree(p);
}

}  // namespace

void* operator new(size_t size) { return NewOrThrow(size); }
void* operator new[](size_t size) { return NewOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return NewOrNull(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return NewOrNull(size); }
void* operator new(size_t size, std::align_val_t alignment) { return AlignedNewOrThrow(size, alignment); }
void* operator new[](size_t size, std::align_val_t alignment) { return AlignedNewOrThrow(size, alignment); }
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AlignedNewOrNull(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AlignedNewOrNull(size, alignment);
}

void operator delete(void* p) noexcept { Delete(p); }
void operator delete[](void* p) noexcept { Delete(p); }
void operator delete(void* p, size_t) noexcept { Delete(p); }
void operator delete[](void* p, size_t) noexcept { Delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Delete(p); }
void operator delete(void* p, std::align_val_t) noexcept { Delete(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Delete(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { Delete(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { Delete(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Delete(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Delete(p); }
#endif  // !KASP2_ALLOCATION_COUNTER_TSAN

// ---- AllocationCounter ----------------------------------------------------

AllocationCounter::AllocationCounter()
    : startAllocations_(tAllocations),
      startDeallocations_(tDeallocations),
      startProcessAllocations_(gProcessAllocations.load(std::memory_order_relaxed)) {}

int64_t AllocationCounter::Allocations() const { return tAllocations - startAllocations_; }

int64_t AllocationCounter::Deallocations() const { return tDeallocations - startDeallocations_; }

int64_t AllocationCounter::AllAllocations() const {
  return gProcessAllocations.load(std::memory_order_relaxed) - startProcessAllocations_;
}

void AllocationCounter::Reset() {
  startAllocations_ = tAllocations;
  startDeallocations_ = tDeallocations;
  startProcessAllocations_ = gProcessAllocations.load(std::memory_order_relaxed);
}

int64_t AllocationCounter::ThreadAllocationsSoFar() { return tAllocations; }

int64_t AllocationCounter::ThreadDeallocationsSoFar() { return tDeallocations; }

int64_t AllocationCounter::ProcessAllocationsSoFar() { return gProcessAllocations.load(std::memory_order_relaxed); }

bool AllocationCounter::MallocIsCounted() { return KASP2_INTERPOSE_MALLOC != 0; }

void AllocationCounter::FailNthAllocationForTesting(int64_t n) {
  tFailCountdown = n > 0 ? n : 0;
  tInjectedFailure = false;
}

bool AllocationCounter::InjectedFailureHappened() { return tInjectedFailure; }

bool AllocationCounter::IsCounting() {
#if defined(KASP2_ALLOCATION_COUNTER_TSAN)
  return false;
#else
  return true;
#endif
}
