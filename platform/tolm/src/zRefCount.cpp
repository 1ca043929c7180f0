#include "tolm/zRefCount.h"

zRefCount::~zRefCount() = default;

int32_t zRefCount::AddRef() { return refCount_.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t zRefCount::Release() {
  // Decrement only from a positive count, so that a stray release at zero
  // cannot delete the object twice.
  int32_t current = refCount_.load(std::memory_order_relaxed);
  do {
    if (current <= 0) return 0;
  } while (!refCount_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                            std::memory_order_relaxed));
  if (current == 1) {
    delete this;
    return 0;
  }
  return current - 1;
}
