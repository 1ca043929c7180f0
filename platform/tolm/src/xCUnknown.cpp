#include "tolm/xCUnknown.h"

#include <cstring>

namespace {
// Objects alive in the process, counted by constructor and destructor so that
// tests can prove that every reference was given back.
std::atomic<int64_t> gLiveObjects{0};
}  // namespace

xCUnknown::xCUnknown() { gLiveObjects.fetch_add(1, std::memory_order_relaxed); }

xCUnknown::~xCUnknown() { gLiveObjects.fetch_sub(1, std::memory_order_relaxed); }

int32_t xCUnknown::QueryInterface(const char* name, void** out) { return Concrete_QueryInterface(name, out); }

int32_t xCUnknown::AddRef() { return Concrete_AddRef(); }

int32_t xCUnknown::Release() { return Concrete_Release(); }

int32_t xCUnknown::GetInterface(xIUnknown* subObject, void** out) {
  if (!subObject) {
    if (out) *out = nullptr;
    return -1;
  }
  if (!out) return 0;
  *out = subObject;
  subObject->AddRef();
  return 0;
}

int32_t xCUnknown::Concrete_QueryInterface(const char* name, void** out) {
  if (out) *out = nullptr;
  if (CompareInterfaceName(name, "xIUnknown")) return GetInterface(this, out);
  return -1;
}

void xCUnknown::DeleteObject() { delete this; }

int32_t xCUnknown::Concrete_AddRef() { return refCount_.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t xCUnknown::Concrete_Release() {
  // Decrement only from a positive count: a release at zero is a caller error
  // and must not run DeleteObject a second time.
  int32_t current = refCount_.load(std::memory_order_relaxed);
  do {
    if (current <= 0) return 0;
  } while (!refCount_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                            std::memory_order_relaxed));
  if (current == 1) {
    // DeleteObject may destroy the object or resurrect it (a recycled buffer
    // adds a reference back); either way it is not touched afterwards.
    DeleteObject();
    return 0;
  }
  return current - 1;
}

bool xCUnknown::CompareInterfaceName(const char* a, const char* b) {
  return a && b && std::strcmp(a, b) == 0;
}

int64_t xCUnknown::LiveObjectsForTesting() { return gLiveObjects.load(std::memory_order_acquire); }
