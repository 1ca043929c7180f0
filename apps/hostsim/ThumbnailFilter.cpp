#include "ThumbnailFilter.h"

#include <algorithm>
#include <new>

namespace {

uint8_t Clamp8(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// BT.709 video range to full-range RGB, in 1/1024 steps.
void YCbCrToRgb(int32_t y, int32_t cb, int32_t cr, uint8_t* rgba) {
  const int32_t l = 1192 * (y - 16);
  const int32_t u = cb - 128;
  const int32_t v = cr - 128;
  rgba[0] = Clamp8((l + 1836 * v + 512) >> 10);
  rgba[1] = Clamp8((l - 218 * u - 546 * v + 512) >> 10);
  rgba[2] = Clamp8((l + 2163 * u + 512) >> 10);
  rgba[3] = 255;
}

}  // namespace

ThumbnailFilter* ThumbnailFilter::Make(HostFilterPass& pass, int32_t width) {
  return new (std::nothrow) ThumbnailFilter(pass, width);
}

std::shared_ptr<kaBuffer2> ThumbnailFilter::RenderImage(kaBuffer2& input, const kaFilterSettings&,
                                                        kaBufferGroup2& group) {
  const int32_t sourceWidth = input.Width();
  const int32_t sourceHeight = input.Height();
  const uint32_t raster = input.RasterType();
  const int32_t sourceRowBytes = input.BytesPerRow();
  const uint8_t* source = input.GetStorage();
  if (!source || sourceWidth < 2 || sourceHeight < 2 || width_ < 2) return {};
  if (raster != veRasterType::k2vuy && raster != veRasterType::kRgba) return {};
  const int32_t pixelBytes = raster == veRasterType::kRgba ? 4 : 2;
  if (sourceRowBytes < sourceWidth * pixelBytes ||
      static_cast<int64_t>(sourceRowBytes) * sourceHeight > static_cast<int64_t>(input.StorageSize())) {
    return {};
  }

  const int32_t height = std::max(2, static_cast<int32_t>(static_cast<int64_t>(width_) * sourceHeight / sourceWidth) & ~1);
  std::shared_ptr<kaGPUAccessibleBuffer> output = group.CreateGPUAccessibleBuffer(width_, height, veRasterType::kRgba);
  if (!output || !output->GetStorage()) return {};
  uint8_t* pixels = output->GetStorage();
  const int32_t rowBytes = output->BytesPerRow();
  if (static_cast<int64_t>(rowBytes) * height > static_cast<int64_t>(output->StorageSize())) return {};

  // The source column of every output column, worked out once per picture
  // width rather than divided out per pixel (most of a long run's time).
  if (columnsFor_ != sourceWidth) {
    try {
      columns_.resize(static_cast<size_t>(width_));
    } catch (const std::bad_alloc&) {
      columnsFor_ = 0;
      return {};
    }
    for (int32_t x = 0; x < width_; ++x) {
      columns_[static_cast<size_t>(x)] = static_cast<int32_t>(static_cast<int64_t>(x) * sourceWidth / width_);
    }
    columnsFor_ = sourceWidth;
  }

  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* sourceRow = source + static_cast<int64_t>(y) * sourceHeight / height * sourceRowBytes;
    uint8_t* row = pixels + static_cast<int64_t>(y) * rowBytes;
    for (int32_t x = 0; x < width_; ++x) {
      const int32_t sx = columns_[static_cast<size_t>(x)];
      uint8_t* out = row + static_cast<int64_t>(x) * 4;
      if (raster == veRasterType::kRgba) {
        const uint8_t* in = sourceRow + static_cast<int64_t>(sx) * 4;
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out[3] = 255;
      } else {
        const uint8_t* pair = sourceRow + static_cast<int64_t>(sx / 2) * 4;  // Cb Y0 Cr Y1
        YCbCrToRgb(pair[sx % 2 == 0 ? 1 : 3], pair[0], pair[2], out);
      }
    }
  }
  return output;
}
