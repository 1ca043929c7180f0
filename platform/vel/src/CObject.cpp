#include "Vel/CObject.h"

#include "NoDestroy.h"
#include "ObjectPool.h"

namespace Corvane::Vel {
namespace {
// Counted in the constructor and destructor, so it covers every class.
constinit std::atomic<int64_t> gLiveObjects{0};
}  // namespace

CObject::CObject(uint32_t typeCode) noexcept : typeCode_(typeCode) {
  gLiveObjects.fetch_add(1, std::memory_order_relaxed);
}

CObject::~CObject() { gLiveObjects.fetch_sub(1, std::memory_order_relaxed); }

int32_t CObject::Acquire() const noexcept {
  return references_.fetch_add(1, std::memory_order_relaxed) + 1;
}

int32_t CObject::Release() const noexcept {
  int32_t count = references_.load(std::memory_order_relaxed);
  do {
    if (count <= 0) return 0;
  } while (!references_.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
  if (count == 1) {
    // The acquire half of acq_rel above orders every other thread's writes
    // to the object before this deletion.
    delete this;
    return 0;
  }
  return count - 1;
}

int32_t CObject::GetReferenceCount() const noexcept {
  return references_.load(std::memory_order_acquire);
}

bool CObject::IsType(uint32_t code) const noexcept { return code == kType; }

void* CObject::operator new(std::size_t size) {
  void* block = detail::PoolAllocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* CObject::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return detail::PoolAllocate(size);
}

void CObject::operator delete(void* block, std::size_t) noexcept { detail::PoolFree(block); }

void CObject::operator delete(void* block, const std::nothrow_t&) noexcept {
  detail::PoolFree(block);
}

int64_t CObject::LiveObjectsForTesting() noexcept {
  return gLiveObjects.load(std::memory_order_relaxed);
}

std::size_t CObject::PooledBlocksForTesting() noexcept { return detail::PoolFreeBlockCount(); }

}  // namespace Corvane::Vel
