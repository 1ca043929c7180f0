#pragma once
#include <mutex>

#include "tolm/zCritical.h"

// A plain, non-recursive mutex (one std::mutex, nothing else) that clang's
// thread-safety analysis knows as a lock, so members it guards can say so
// (Z_GUARDED_BY) and be checked. Taken with zMutexGuard. For locks that a
// thread must never take twice; zCritical is the re-entrant kind.
class Z_CAPABILITY("mutex") zMutex {
 public:
  zMutex() = default;
  zMutex(const zMutex&) = delete;
  zMutex& operator=(const zMutex&) = delete;

  void lock() Z_ACQUIRE() { mutex_.lock(); }
  void unlock() Z_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Scoped holding of a zMutex.
class Z_SCOPED_CAPABILITY zMutexGuard {
 public:
  explicit zMutexGuard(zMutex& mutex) Z_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~zMutexGuard() Z_RELEASE() { mutex_.unlock(); }
  zMutexGuard(const zMutexGuard&) = delete;
  zMutexGuard& operator=(const zMutexGuard&) = delete;

 private:
  zMutex& mutex_;
};
