#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "Vel/VelExport.h"
#include "Vel/VelFourCC.h"

namespace Corvane::Vel {

// Base of every framework object: an intrusive, thread-safe reference count
// (the creator holds the first reference; the last Release deletes the object
// through its virtual destructor), a four-character type code, and a pooled
// allocator so that objects made per audio block or per frame cost no heap
// allocation once the pool is warm. Objects live on the heap only; hold them
// in RObject<T> (Vel/RObject.h).
class VEL_EXPORT CObject {
 public:
  static constexpr uint32_t kType = FourCC("cobj");

  // `typeCode` is the code of the most derived class, reported by GetTypeCode.
  explicit CObject(uint32_t typeCode = kType) noexcept;
  CObject(const CObject&) = delete;
  CObject& operator=(const CObject&) = delete;

  // Adds a reference; returns the count after the increment.
  int32_t Acquire() const noexcept;
  // Drops a reference; returns the count left. At zero the object has been
  // deleted and must not be touched. A release on a count already at zero
  // (an object being destroyed) is ignored and returns 0.
  int32_t Release() const noexcept;
  // A snapshot of the count. Exact when the caller holds the only reference
  // (nobody else can add one then), which is how the converters find output
  // samples that nobody holds any more.
  int32_t GetReferenceCount() const noexcept;

  uint32_t GetTypeCode() const noexcept { return typeCode_; }
  // True when the object is of the class with this code or derives from it.
  // Each class answers its own code and asks its base for any other;
  // CObject answers only kType.
  virtual bool IsType(uint32_t code) const noexcept;

  // Allocation from the framework's pool (per size class free lists, shared
  // by all threads, bounded; blocks are 16-byte aligned, so classes aligned
  // beyond that cannot derive from CObject). The plain form throws std::bad_alloc when
  // memory is exhausted, like any operator new; the framework itself makes
  // its objects with the nothrow form and reports a failed Result instead.
  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;
  // Called only when a constructor run by the nothrow form throws.
  static void operator delete(void* block, const std::nothrow_t&) noexcept;
  static void* operator new[](std::size_t) = delete;
  static void operator delete[](void*) = delete;

  // Objects constructed and not yet destroyed, process-wide. Tests compare
  // it before and after to prove that nothing leaks.
  static int64_t LiveObjectsForTesting() noexcept;
  // Blocks waiting in the pool's free lists, all size classes together.
  static std::size_t PooledBlocksForTesting() noexcept;

 protected:
  // Objects are destroyed by their last Release, never directly.
  virtual ~CObject();

 private:
  mutable std::atomic<int32_t> references_{1};
  uint32_t typeCode_;
};

}  // namespace Corvane::Vel
