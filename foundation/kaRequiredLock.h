#pragma once
#include <new>

#include "tolm/zCritical.h"

// The re-entrant foundation lock of an object that must never run without
// it (renderers, the delay queue). When the lock cannot be made (memory is
// short) the object's construction fails with std::bad_alloc, as the `new`
// that makes the object would have: the object never exists unguarded.
inline zCriticalPtr kaMakeRequiredLock() {
  zCriticalPtr lock(zCritical::Factory(1));
  if (!lock) throw std::bad_alloc();
  return lock;
}
