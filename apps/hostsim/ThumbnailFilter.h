#pragma once
#include <cstdint>

#include "HostImageFilter.h"

// Scales a "2vuy" or "rgba" picture down to an "rgba" thumbnail of a fixed
// width (nearest sample; "2vuy" converted from BT.709 video range), the first
// filter of the simulator's chain. The thumbnail keeps the picture's aspect,
// rounded to even rows. Engine thread.
class ThumbnailFilter final : public HostImageFilter {
 public:
  static ThumbnailFilter* Make(HostFilterPass& pass, int32_t width);

 protected:
  std::shared_ptr<kaBuffer2> RenderImage(kaBuffer2& input, const kaFilterSettings& settings,
                                         kaBufferGroup2& group) override;

 private:
  ThumbnailFilter(HostFilterPass& pass, int32_t width) : HostImageFilter(pass), width_(width) {}
  ~ThumbnailFilter() override = default;

  int32_t width_;
};
