#pragma once
#include <atomic>
#include <cstdint>

#include "tolm/tolmExport.h"

// Minimal reference-counted base with non-virtual AddRef/Release. An object
// starts with one reference owned by its creator; the last Release deletes it
// through the virtual destructor. Thread-safe counting.
class TOLM_EXPORT zRefCount {
 public:
  zRefCount() = default;
  zRefCount(const zRefCount&) = delete;
  zRefCount& operator=(const zRefCount&) = delete;
  virtual ~zRefCount();

  int32_t AddRef();
  // Returns the count left; at zero the object has been deleted. A release
  // at zero is ignored.
  int32_t Release();
  int32_t RefCountForTesting() const { return refCount_.load(std::memory_order_acquire); }

 private:
  std::atomic<int32_t> refCount_{1};
};
