#include "vesk/veRasterType.h"

#include <cstdint>

namespace {

// Result for an unknown code, a negative dimension or an overflowing size.
constexpr int32_t kUnusable = -1;

// Pixels that one 128-byte v210 block carries (six groups of 4:2:2 samples
// packed three 10-bit values per 32-bit word).
constexpr int64_t kV210PixelsPerBlock = 48;
constexpr int64_t kV210BytesPerBlock = 128;

enum class Layout { kUnknown, kPacked32, kPacked422, kV210, kPlanar420, kPlanar422 };

Layout LayoutOf(uint32_t rasterType) {
  switch (rasterType) {
    case veRasterType::kRGB:
    case veRasterType::kRGBA:
    case veRasterType::kRgba:
    case veRasterType::kBGRA:
      return Layout::kPacked32;
    case veRasterType::k2vuy:
    case veRasterType::kYuvs:
      return Layout::kPacked422;
    case veRasterType::kV210:
      return Layout::kV210;
    case veRasterType::kI420:
    case veRasterType::kYV12:
    case veRasterType::kNV12:
    case veRasterType::kIMC4:
      return Layout::kPlanar420;
    case veRasterType::kYM16:
      return Layout::kPlanar422;
    default:
      return Layout::kUnknown;
  }
}

// Narrows a non-negative 64-bit size, or reports it unusable.
int32_t Narrow(int64_t size) { return size > INT32_MAX ? kUnusable : static_cast<int32_t>(size); }

}  // namespace

int32_t veRasterType::ActiveBytesPerRow(int32_t width, uint32_t rasterType) {
  const Layout layout = LayoutOf(rasterType);
  if (layout == Layout::kUnknown || width < 0) return kUnusable;
  // All arithmetic in 64 bits: no product of a 31-bit width below overflows.
  const int64_t w = width;
  switch (layout) {
    case Layout::kPacked32:
      return Narrow(4 * w);
    case Layout::kPacked422:
      // Two pixels share one chroma pair, so an odd width still stores a pair.
      return Narrow(2 * (w + (w & 1)));
    case Layout::kV210:
      return Narrow(kV210BytesPerBlock * ((w + kV210PixelsPerBlock - 1) / kV210PixelsPerBlock));
    case Layout::kPlanar420:
      return Narrow(w);
    case Layout::kPlanar422:
      return Narrow(2 * w);
    case Layout::kUnknown:
      break;
  }
  return kUnusable;
}

int32_t veRasterType::BytesPerRow(int32_t width, uint32_t rasterType, bool aligned) {
  const int32_t active = ActiveBytesPerRow(width, rasterType);
  if (active < 1 || !aligned) return active;
  const int64_t alignment = kRowAlignment;
  return Narrow((static_cast<int64_t>(active) + alignment - 1) / alignment * alignment);
}

int32_t veRasterType::RowCount(int32_t height, uint32_t rasterType) {
  const Layout layout = LayoutOf(rasterType);
  if (layout == Layout::kUnknown || height < 0) return kUnusable;
  const int64_t h = height;
  return layout == Layout::kPlanar420 ? Narrow(h + h / 2) : Narrow(h);
}

int32_t veRasterType::BitsPerPixel(uint32_t rasterType) {
  switch (LayoutOf(rasterType)) {
    case Layout::kPacked32:
      return 32;
    case Layout::kPacked422:
    case Layout::kPlanar422:
      return 16;
    case Layout::kV210:
      return 20;
    case Layout::kPlanar420:
      return 12;
    case Layout::kUnknown:
      break;
  }
  return 0;
}

bool veRasterType::IsYUVFormat(uint32_t rasterType) {
  const Layout layout = LayoutOf(rasterType);
  return layout != Layout::kUnknown && layout != Layout::kPacked32;
}

bool veRasterType::IsPlanarFormat(uint32_t rasterType) {
  const Layout layout = LayoutOf(rasterType);
  return layout == Layout::kPlanar420 || layout == Layout::kPlanar422;
}
