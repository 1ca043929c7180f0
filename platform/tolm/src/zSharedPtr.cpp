#include "tolm/zSharedPtr.h"

#include <mutex>

namespace {

// Blocks kept for reuse beyond this number go back to the heap: enough for
// every buffer a busy host keeps in flight, small enough (256 KiB) to keep.
constexpr size_t kMaxIdleBlocks = 4096;

// An idle block holds the link to the next idle block in its first bytes.
struct IdleBlock {
  IdleBlock* next;
};
static_assert(sizeof(IdleBlock) <= zSharedPtrPool::kBlockSize);

struct Pool {
  std::mutex lock;
  IdleBlock* head = nullptr;  // guarded by lock
  size_t idle = 0;            // guarded by lock
};

Pool& ThePool() {
  // Never destroyed: shared pointers held by static objects may be released
  // during process exit.
  static Pool* pool = new Pool();
  return *pool;
}

}  // namespace

namespace zSharedPtrPool {

void* Allocate() noexcept {
  Pool& pool = ThePool();
  {
    std::lock_guard<std::mutex> guard(pool.lock);
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
  Pool& pool = ThePool();
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    if (pool.idle < kMaxIdleBlocks) {
      pool.head = new (block) IdleBlock{pool.head};
      ++pool.idle;
      return;
    }
  }
  ::operator delete(block);
}

size_t IdleBlocksForTesting() noexcept {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.idle;
}

}  // namespace zSharedPtrPool
