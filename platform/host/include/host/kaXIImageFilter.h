#pragma once
#include <cstdint>
#include <memory>

#include "host/kaFilterArguments.h"
#include "tolm/xIUnknown.h"

class kaBuffer2;
class kaBufferGroup2;
class kaOutputDevice;
class luXITexture;

// An image filter of the host's render graph, asked for by its name on a
// filter entry's object. Render runs on the thread of the caller (the host's
// render thread, through the filter manager) and returns the filter's output
// buffer, which the caller then shares; it may return an empty pointer.
class kaXIImageFilter : public xIUnknown {
 public:
  static constexpr const char* kInterfaceName = "kaXIImageFilter";

  // Arguments, in this order: the entry's settings, the entry's render state,
  // the current input texture (possibly empty), the buffer group to allocate
  // the output from, the output device, and the same group as a shared
  // pointer. All references are valid for the length of the call only.
  virtual std::shared_ptr<kaBuffer2> Render(kaFilterSettings& settings,
                                            kaFilterRenderState& renderState,
                                            const std::shared_ptr<luXITexture>& input,
                                            kaBufferGroup2& group, kaOutputDevice& device,
                                            const std::shared_ptr<kaBufferGroup2>& groupPointer) = 0;

 protected:
  ~kaXIImageFilter() override = default;
};
