#pragma once
#include <pthread.h>

#include <new>

// One T per thread, made on the thread's first Get() and destroyed when the
// thread ends. Unlike a C++ thread_local with a destructor, registering the
// per-thread destruction allocates nothing, so a first use on a thread that
// meets a shortage of memory gets null back instead of the C library ending
// the process. The main thread's instance lives until the process exits.
//
// Meant for objects that live as long as the process (a function-local
// static, never destroyed): the key is never deleted. T's default
// constructor must not throw. Any thread may call Get(); each gets its own.
template <class T>
class zThreadLocal {
 public:
  zThreadLocal() noexcept { made_ = pthread_key_create(&key_, &Destroy) == 0; }
  ~zThreadLocal() = default;
  zThreadLocal(const zThreadLocal&) = delete;
  zThreadLocal& operator=(const zThreadLocal&) = delete;

  // The calling thread's instance, made now if it has none; null when it
  // cannot be made (memory short, or no key could be had).
  T* Get() noexcept {
    if (!made_) return nullptr;
    if (void* existing = pthread_getspecific(key_)) return static_cast<T*>(existing);
    T* created = new (std::nothrow) T();
    if (created && pthread_setspecific(key_, created) != 0) {
      delete created;
      created = nullptr;
    }
    return created;
  }

 private:
  static void Destroy(void* instance) { delete static_cast<T*>(instance); }

  pthread_key_t key_{};
  bool made_ = false;
};
