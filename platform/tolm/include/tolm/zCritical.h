#pragma once
#include <memory>

#include "tolm/tolmExport.h"

#if defined(__clang__)
#define Z_CAPABILITY(x) __attribute__((capability(x)))
#define Z_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define Z_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define Z_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define Z_GUARDED_BY(x) __attribute__((guarded_by(x)))
#define Z_PT_GUARDED_BY(x) __attribute__((pt_guarded_by(x)))
#define Z_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#define Z_EXCLUDES(...) __attribute__((locks_excluded(__VA_ARGS__)))
#define Z_ACQUIRED_BEFORE(...) __attribute__((acquired_before(__VA_ARGS__)))
#define Z_RETURN_CAPABILITY(x) __attribute__((lock_returned(x)))
#define Z_NO_THREAD_SAFETY_ANALYSIS __attribute__((no_thread_safety_analysis))
#else
#define Z_CAPABILITY(x)
#define Z_SCOPED_CAPABILITY
#define Z_ACQUIRE(...)
#define Z_RELEASE(...)
#define Z_GUARDED_BY(x)
#define Z_PT_GUARDED_BY(x)
#define Z_REQUIRES(...)
#define Z_EXCLUDES(...)
#define Z_ACQUIRED_BEFORE(...)
#define Z_RETURN_CAPABILITY(x)
#define Z_NO_THREAD_SAFETY_ANALYSIS
#endif

// A lock of the foundation. Factory(1) makes a re-entrant lock: the thread that
// holds it may enter it again (each Enter needs its Leave). The lock dies with
// the object it guards; it must not be held when deleted.
class TOLM_EXPORT Z_CAPABILITY("mutex") zCritical {
 public:
  // Kind 1 (and every other kind here) gives a re-entrant lock. Returns null
  // only when memory is short.
  static zCritical* Factory(int kind);

  virtual ~zCritical();
  virtual void Enter() Z_ACQUIRE() = 0;
  virtual void Leave() Z_RELEASE() = 0;

 protected:
  zCritical() = default;
};

// Owning handle of a lock made by zCritical::Factory.
using zCriticalPtr = std::unique_ptr<zCritical>;

// Scoped holding of a zCritical. A null lock is accepted and means "no
// locking", for the one object allowed to run unguarded when its lock could
// not be made (the audio ring).
class Z_SCOPED_CAPABILITY zCriticalGuard {
 public:
  explicit zCriticalGuard(zCritical* lock) Z_ACQUIRE(lock) : lock_(lock) {
    if (lock_) lock_->Enter();
  }
  explicit zCriticalGuard(const zCriticalPtr& lock) Z_ACQUIRE(lock) : zCriticalGuard(lock.get()) {}
  ~zCriticalGuard() Z_RELEASE() {
    if (lock_) lock_->Leave();
  }
  zCriticalGuard(const zCriticalGuard&) = delete;
  zCriticalGuard& operator=(const zCriticalGuard&) = delete;

 private:
  zCritical* lock_;
};
