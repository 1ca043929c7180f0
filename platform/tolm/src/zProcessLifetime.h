#pragma once
#include <new>

// Internal: the one object of type T that lives as long as the process. It is
// built in static storage on first use (thread-safe, and without a heap
// allocation, so a first use when memory is short cannot fail or throw as
// long as T's default constructor does not), and its destructor never runs:
// threads and static destructors may still use it while the process exits.
template <class T>
T& zProcessLifetime() noexcept {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const object = ::new (static_cast<void*>(storage)) T();
  return *object;
}
