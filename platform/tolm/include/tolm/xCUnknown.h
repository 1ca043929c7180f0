#pragma once
#include <atomic>
#include <cstdint>

#include "tolm/tolmExport.h"
#include "tolm/xIUnknown.h"

// Reference-counted object base. An object starts with one reference, owned by
// its creator; when Release brings the count to zero, DeleteObject runs on the
// releasing thread (by default it deletes the object; buffers override it to
// offer themselves for recycling). The count is atomic: AddRef and Release may
// be called from any thread. Interfaces are looked up by name through
// Concrete_QueryInterface, which subclasses extend.
class TOLM_EXPORT xCUnknown : public xIUnknown {
 public:
  xCUnknown();
  xCUnknown(const xCUnknown&) = delete;
  xCUnknown& operator=(const xCUnknown&) = delete;

  // Forward to Concrete_QueryInterface / Concrete_AddRef / Concrete_Release.
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  ~xCUnknown() override;

  // Hands out `subObject` (an interface of this object): stores it in *out and
  // adds a reference, returning 0. With a null `out` it returns 0 and adds
  // nothing; with a null `subObject` it returns -1 and stores null.
  virtual int32_t GetInterface(xIUnknown* subObject, void** out);
  // Clears a non-null *out, then answers "xIUnknown" with this object; every
  // other name (and a null name) gives -1. Subclasses answer their own names
  // first and fall back to this one.
  virtual int32_t Concrete_QueryInterface(const char* name, void** out);
  // Runs when the count reaches zero. Default: delete this. An override may
  // instead keep the object (a recycled buffer adds a reference back from
  // zero with Concrete_AddRef); the releasing call does not touch the object
  // after DeleteObject returns.
  virtual void DeleteObject();

  // Return the count after the change. Releasing an object whose count is
  // already zero is a caller error: it is ignored (returns 0) rather than
  // deleting the object twice.
  int32_t Concrete_AddRef();
  int32_t Concrete_Release();

  // True when both names are non-null and equal byte for byte.
  static bool CompareInterfaceName(const char* a, const char* b);

  // The current count. For tests and diagnostics; racy by nature.
  int32_t RefCountForTesting() const { return refCount_.load(std::memory_order_acquire); }
  // Number of xCUnknown objects alive in the process (all libraries).
  static int64_t LiveObjectsForTesting();

 private:
  std::atomic<int32_t> refCount_{1};
};
