#include "ContactSheet.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "PatternFont.h"

ContactSheet::ContactSheet(int32_t columns, int32_t rows, int32_t tileWidth, int32_t tileHeight)
    : columns_(columns), rows_(rows), tileWidth_(tileWidth), tileHeight_(tileHeight) {
  if (columns < 1 || rows < 1 || tileWidth < 1 || tileHeight < 1) return;
  const int64_t width = static_cast<int64_t>(columns) * (tileWidth + kMargin) + kMargin;
  const int64_t height = static_cast<int64_t>(rows) * (tileHeight + kLabelHeight + kMargin) + kMargin;
  if (width * height > kMaxPixels) return;
  width_ = static_cast<int32_t>(width);
  height_ = static_cast<int32_t>(height);
  canvas_.assign(static_cast<size_t>(width * height * 3), kBackground);
}

const uint8_t* ContactSheet::Pixel(int32_t x, int32_t y) const {
  if (!IsUsable() || x < 0 || y < 0 || x >= width_ || y >= height_) return nullptr;
  return &canvas_[(static_cast<size_t>(y) * width_ + x) * 3];
}

bool ContactSheet::SetTile(int32_t row, int32_t column, kaBuffer2& image, const char* label) {
  if (!IsUsable() || row < 0 || row >= rows_ || column < 0 || column >= columns_) return false;
  const uint8_t* pixels = image.GetStorage();
  const int32_t rowBytes = image.BytesPerRow();
  const int32_t width = std::min(image.Width(), tileWidth_);
  const int32_t height = std::min(image.Height(), tileHeight_);
  if (!pixels || image.RasterType() != veRasterType::kRgba || width < 1 || height < 1 ||
      rowBytes < image.Width() * 4 ||
      static_cast<int64_t>(rowBytes) * image.Height() > static_cast<int64_t>(image.StorageSize())) {
    return false;
  }
  const int32_t left = kMargin + column * (tileWidth_ + kMargin);
  const int32_t top = kMargin + row * (tileHeight_ + kLabelHeight + kMargin);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* in = pixels + static_cast<int64_t>(y) * rowBytes;
    uint8_t* out = &canvas_[(static_cast<size_t>(top + y) * width_ + left) * 3];
    for (int32_t x = 0; x < width; ++x) {
      out[x * 3] = in[x * 4];
      out[x * 3 + 1] = in[x * 4 + 1];
      out[x * 3 + 2] = in[x * 4 + 2];
    }
  }
  if (label) DrawLabel(left, top + tileHeight_ + 3, label);
  return true;
}

void ContactSheet::DrawLabel(int32_t left, int32_t top, const char* label) {
  for (int i = 0; label[i] != '\0'; ++i) {
    const int32_t x0 = left + i * PatternFont::kAdvance * kLabelScale;
    if (x0 + PatternFont::kGlyphWidth * kLabelScale > left + tileWidth_) break;  // the tile's width bounds it
    for (int gy = 0; gy < PatternFont::kGlyphHeight; ++gy) {
      for (int gx = 0; gx < PatternFont::kGlyphWidth; ++gx) {
        if (!PatternFont::GlyphPixel(label[i], gx, gy)) continue;
        for (int32_t y = top + gy * kLabelScale; y < top + (gy + 1) * kLabelScale; ++y) {
          for (int32_t x = x0 + gx * kLabelScale; x < x0 + (gx + 1) * kLabelScale; ++x) {
            uint8_t* px = &canvas_[(static_cast<size_t>(y) * width_ + x) * 3];
            px[0] = px[1] = px[2] = 235;
          }
        }
      }
    }
  }
}

bool ContactSheet::WritePng(const std::string& path) const {
  if (!IsUsable()) return false;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  // libpng reports errors by longjmp to here; nothing with a destructor
  // lives between this point and the calls that may jump.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width_), static_cast<png_uint_32>(height_), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int32_t y = 0; y < height_; ++y) {
    png_write_row(png, const_cast<png_bytep>(&canvas_[static_cast<size_t>(y) * width_ * 3]));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}
