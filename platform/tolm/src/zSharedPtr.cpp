#include "tolm/zSharedPtr.h"

#include "tolm/zMutex.h"
#include "tolm/zThreadLocal.h"
#include "zProcessLifetime.h"

namespace {

// Blocks kept for reuse beyond this number go back to the heap: enough for
// every buffer a busy host keeps in flight, small enough (256 KiB) to keep.
// The shared list and the calling thread's own list together stay within it.
constexpr size_t kMaxIdleBlocks = 4096;
// Blocks each thread keeps for itself. A request that wraps a buffer and the
// release that frees the wrapper usually run on one thread: with a few blocks
// at hand they take no lock at all, and threads do not meet on the pool's
// lock. Past this number a thread's frees go to the shared list.
constexpr size_t kThreadBlocks = 32;

// An idle block holds the link to the next idle block in its first bytes.
struct IdleBlock {
  IdleBlock* next;
};
static_assert(sizeof(IdleBlock) <= zSharedPtrPool::kBlockSize);

struct Pool {
  zMutex lock;
  IdleBlock* head Z_GUARDED_BY(lock) = nullptr;
  size_t idle Z_GUARDED_BY(lock) = 0;
};

// Never destroyed: shared pointers held by static objects may be released
// during process exit, and exiting threads hand their blocks back to it.
// Building it allocates nothing, so Allocate stays noexcept in truth.
Pool& ThePool() { return zProcessLifetime<Pool>(); }

// Set once the calling thread's own list is gone (its thread is ending):
// pointers released after that use the shared list only.
thread_local bool tThreadBlocksGone = false;

// The calling thread's own blocks; handed to the shared list when the thread
// ends. Used by its thread only. Kept through zThreadLocal rather than a C++
// thread_local: the C library ends the process when it cannot register a
// thread_local's destructor, which a first use with memory short would do.
struct ThreadBlocks {
  IdleBlock* head = nullptr;
  size_t count = 0;
  ~ThreadBlocks() {
    tThreadBlocksGone = true;
    Pool& pool = ThePool();
    zMutexGuard guard(pool.lock);
    while (IdleBlock* block = head) {
      head = block->next;
      if (pool.idle < kMaxIdleBlocks - kThreadBlocks) {
        block->next = pool.head;
        pool.head = block;
        ++pool.idle;
      } else {
        ::operator delete(block);
      }
    }
    count = 0;
  }
};

// The calling thread's blocks, or null when its list is gone or cannot be
// made (the shared list serves then).
ThreadBlocks* MyBlocks() {
  if (tThreadBlocksGone) return nullptr;
  return zProcessLifetime<zThreadLocal<ThreadBlocks>>().Get();
}

}  // namespace

namespace zSharedPtrPool {

void* Allocate() noexcept {
  if (ThreadBlocks* mine = MyBlocks()) {
    if (IdleBlock* block = mine->head) {
      mine->head = block->next;
      --mine->count;
      return block;
    }
  }
  Pool& pool = ThePool();
  {
    zMutexGuard guard(pool.lock);
    if (IdleBlock* block = pool.head) {
      pool.head = block->next;
      --pool.idle;
      return block;
    }
  }
  return ::operator new(kBlockSize, std::nothrow);
}

void Free(void* block) noexcept {
  if (!block) return;
  if (ThreadBlocks* mine = MyBlocks()) {
    if (mine->count < kThreadBlocks) {
      mine->head = new (block) IdleBlock{mine->head};
      ++mine->count;
      return;
    }
  }
  Pool& pool = ThePool();
  {
    zMutexGuard guard(pool.lock);
    if (pool.idle < kMaxIdleBlocks - kThreadBlocks) {
      pool.head = new (block) IdleBlock{pool.head};
      ++pool.idle;
      return;
    }
  }
  ::operator delete(block);
}

size_t IdleBlocksForTesting() noexcept {
  Pool& pool = ThePool();
  zMutexGuard guard(pool.lock);
  const ThreadBlocks* mine = MyBlocks();
  return pool.idle + (mine ? mine->count : 0);
}

}  // namespace zSharedPtrPool
