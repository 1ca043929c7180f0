#pragma once
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "tolm/tolmExport.h"

// Shared pointers over intrusively counted objects (xCUnknown objects and
// xIUnknown interfaces): the shared pointer owns exactly one reference and
// calls Release() when its last owner lets go.
//
// The control blocks of these pointers come from a process-wide pool of
// fixed-size blocks, so wrapping a recycled buffer on every request allocates
// nothing once the pool has warmed up. Each thread keeps a few blocks of its
// own, so that wrapping and releasing on one thread takes no lock.

namespace zSharedPtrPool {
// Size of one pooled block; control blocks of zAsSharedPtr fit in it.
inline constexpr size_t kBlockSize = 64;
// Returns a block of kBlockSize bytes, or null when memory is short.
TOLM_EXPORT void* Allocate() noexcept;
TOLM_EXPORT void Free(void* block) noexcept;
// Idle blocks in the shared list and the calling thread's own (tests).
TOLM_EXPORT size_t IdleBlocksForTesting() noexcept;
}  // namespace zSharedPtrPool

template <class T>
struct zPoolAllocator {
  using value_type = T;
  zPoolAllocator() noexcept = default;
  template <class U>
  zPoolAllocator(const zPoolAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n * sizeof(T) <= zSharedPtrPool::kBlockSize && alignof(T) <= alignof(std::max_align_t)) {
      void* p = zSharedPtrPool::Allocate();
      if (!p) throw std::bad_alloc();
      return static_cast<T*>(p);
    }
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n * sizeof(T) <= zSharedPtrPool::kBlockSize && alignof(T) <= alignof(std::max_align_t)) {
      zSharedPtrPool::Free(p);
    } else {
      ::operator delete(p);
    }
  }
  template <class U>
  bool operator==(const zPoolAllocator<U>&) const noexcept { return true; }
};

struct zReleaseDeleter {
  template <class T>
  void operator()(T* object) const noexcept {
    if (object) object->Release();
  }
};

// Adopts one reference of `object` (already owned by the caller). Returns an
// empty pointer for a null object. When the wrapper cannot be made the
// reference is released and the result is empty.
template <class T>
std::shared_ptr<T> zAsSharedPtr(T* object) noexcept {
  if (!object) return {};
  try {
    return std::shared_ptr<T>(object, zReleaseDeleter{}, zPoolAllocator<T>{});
  } catch (...) {
    // std::shared_ptr released the object through the deleter already.
    return {};
  }
}

// Makes a new T (which starts with one reference) and wraps it. Empty when
// construction or the wrapper fails.
template <class T, class... Args>
std::shared_ptr<T> zNewSharedPtr(Args&&... args) noexcept {
  T* object = new (std::nothrow) T(std::forward<Args>(args)...);
  return zAsSharedPtr(object);
}

// Adopts one reference of an interface pointer.
template <class T>
std::shared_ptr<T> make_shared_ptr(T* interfacePointer) noexcept {
  return zAsSharedPtr(interfacePointer);
}
