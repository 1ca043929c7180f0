#pragma once
#include "tolm/xIUnknown.h"

// A texture of the host's graphics library: the image a filter reads. Filters
// and buffers that carry pixels on the graphics side answer this interface by
// its name. The filter manager only asks for it and passes it on; what a
// texture offers beyond reference counting belongs to the graphics library.
class luXITexture : public xIUnknown {
 public:
  static constexpr const char* kInterfaceName = "luXITexture";

 protected:
  ~luXITexture() override = default;
};
