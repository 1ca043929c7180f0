#pragma once
#include <cstdint>
#include <vector>

#include "HostImageFilter.h"

// Scales a "2vuy" or "rgba" picture down to an "rgba" thumbnail of a fixed
// width (nearest sample; "2vuy" converted from BT.709 video range), the first
// filter of the simulator's chain. The thumbnail keeps the picture's aspect,
// rounded to even rows. Video render thread (one pass at a time).
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
  std::vector<int32_t> columns_;  // source column of each output column
  int32_t columnsFor_ = 0;        // the source width columns_ holds them for
};
