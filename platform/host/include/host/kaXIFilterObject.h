#pragma once
#include <cstdint>

#include "tolm/xIUnknown.h"

// The object attached to a filter entry of the host's render graph. It is
// asked for kaXIImageFilter by name and reports its current state as one
// 32-bit value (for example a revision counter of its parameters), which the
// filter manager mixes into its cache key: a filter whose state changes no
// longer matches the results it made before. Any thread may ask.
class kaXIFilterObject : public xIUnknown {
 public:
  virtual int32_t State() = 0;

 protected:
  ~kaXIFilterObject() override = default;
};
