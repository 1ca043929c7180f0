#pragma once
#include <cstdint>

#include "tolm/tolmExport.h"

// Base of every interface that crosses a library boundary. An interface pointer
// always leads to a reference-counted object: AddRef and Release act on that
// object's single count, whichever of its interfaces is used. Objects are never
// deleted through an interface pointer; the last Release destroys them.
class TOLM_EXPORT xIUnknown {
 public:
  // Asks the object for the interface named `name` (NUL-terminated). On success
  // stores the interface in *out with one reference added and returns 0;
  // otherwise returns -1 and leaves *out null (when out is not null).
  virtual int32_t QueryInterface(const char* name, void** out) = 0;
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;

 protected:
  virtual ~xIUnknown() = default;
};
