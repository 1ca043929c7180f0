#include "BorderFilter.h"

#include <cstring>
#include <new>

BorderFilter* BorderFilter::Make(HostFilterPass& pass, uint32_t colour) {
  return new (std::nothrow) BorderFilter(pass, colour);
}

std::shared_ptr<kaBuffer2> BorderFilter::RenderImage(kaBuffer2& input, const kaFilterSettings&,
                                                     kaBufferGroup2& group) {
  const int32_t width = input.Width();
  const int32_t height = input.Height();
  const int32_t sourceRowBytes = input.BytesPerRow();
  const uint8_t* source = input.GetStorage();
  if (!source || input.RasterType() != veRasterType::kRgba || width < 1 || height < 1 ||
      sourceRowBytes < width * 4 ||
      static_cast<int64_t>(sourceRowBytes) * height > static_cast<int64_t>(input.StorageSize())) {
    return {};
  }
  std::shared_ptr<kaGPUAccessibleBuffer> output = group.CreateGPUAccessibleBuffer(width, height, veRasterType::kRgba);
  if (!output || !output->GetStorage()) return {};
  uint8_t* pixels = output->GetStorage();
  const int32_t rowBytes = output->BytesPerRow();
  if (rowBytes < width * 4 || static_cast<int64_t>(rowBytes) * height > static_cast<int64_t>(output->StorageSize())) {
    return {};
  }
  const uint8_t r = static_cast<uint8_t>(colour_ >> 16);
  const uint8_t g = static_cast<uint8_t>(colour_ >> 8);
  const uint8_t b = static_cast<uint8_t>(colour_);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = pixels + static_cast<int64_t>(y) * rowBytes;
    std::memcpy(row, source + static_cast<int64_t>(y) * sourceRowBytes, static_cast<size_t>(width) * 4);
    const bool edgeRow = y < kBorderPixels || y >= height - kBorderPixels;
    for (int32_t x = 0; x < width; ++x) {
      if (!edgeRow && x >= kBorderPixels && x < width - kBorderPixels) {
        x = width - kBorderPixels - 1;  // jump to the right edge
        continue;
      }
      uint8_t* px = row + static_cast<int64_t>(x) * 4;
      px[0] = r;
      px[1] = g;
      px[2] = b;
      px[3] = 255;
    }
  }
  return output;
}
