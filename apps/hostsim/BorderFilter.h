#pragma once
#include <cstdint>

#include "HostImageFilter.h"

// Copies an "rgba" image and draws a frame of a fixed colour around it, the
// second filter of the simulator's chain (each video source gets its own
// colour, so the contact sheet shows which chain made a tile). Engine thread.
class BorderFilter final : public HostImageFilter {
 public:
  static constexpr int32_t kBorderPixels = 4;

  // `colour` is 0xRRGGBB.
  static BorderFilter* Make(HostFilterPass& pass, uint32_t colour);

 protected:
  std::shared_ptr<kaBuffer2> RenderImage(kaBuffer2& input, const kaFilterSettings& settings,
                                         kaBufferGroup2& group) override;

 private:
  BorderFilter(HostFilterPass& pass, uint32_t colour) : HostImageFilter(pass), colour_(colour) {}
  ~BorderFilter() override = default;

  uint32_t colour_;
};
