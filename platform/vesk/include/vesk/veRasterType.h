#pragma once
#include <cstdint>

#include "tolm/zFourCC.h"
#include "vesk/veskExport.h"

// Pixel formats (raster types) and their sizes. Pure functions of their
// arguments, callable from any thread.
//
// Every size is a signed 32-bit value. A result below 1 marks a format or a
// size that cannot be used: -1 for an unknown code, a negative dimension or a
// size that would exceed INT32_MAX; 0 for a width (or height) of 0. Rows are
// tight (no padding) unless the aligned form is asked for.
//
// Planar 4:2:0 formats store a luma plane of `height` rows of `width` bytes
// followed by `height / 2` chroma rows of `width` bytes; their chroma planes
// therefore cover (width / 2) × (height / 2) samples, rounded down. Producers
// of odd-sized images leave the last odd column and row without chroma.
struct VESK_EXPORT veRasterType {
  static constexpr uint32_t kRGB = zFourCC("rgb ");
  static constexpr uint32_t kRGBA = zFourCC("RGBA");
  static constexpr uint32_t kRgba = zFourCC("rgba");
  static constexpr uint32_t kBGRA = zFourCC("BGRA");
  static constexpr uint32_t k2vuy = zFourCC("2vuy");
  static constexpr uint32_t kYuvs = zFourCC("yuvs");
  static constexpr uint32_t kV210 = zFourCC("v210");
  static constexpr uint32_t kI420 = zFourCC("I420");
  static constexpr uint32_t kYV12 = zFourCC("YV12");
  static constexpr uint32_t kNV12 = zFourCC("NV12");
  static constexpr uint32_t kIMC4 = zFourCC("IMC4");
  static constexpr uint32_t kYM16 = zFourCC("YM16");

  // Alignment of rows in the aligned form, in bytes.
  static constexpr int32_t kRowAlignment = 16;

  // Bytes from one row to the next for `width` pixels: the active bytes of a
  // row, rounded up to a multiple of kRowAlignment when `aligned`. -1 when
  // the code is unknown, `width` is negative or the result exceeds INT32_MAX;
  // 0 for a width of 0.
  static int32_t BytesPerRow(int32_t width, uint32_t rasterType, bool aligned);
  // Bytes that hold the pixels of one row (no alignment): 4w for the 32-bit
  // RGB formats, 2·w rounded up to even for packed 4:2:2, 128 per started
  // group of 48 pixels for v210, w for planar 4:2:0, 2w for YM16. Same
  // failure results as BytesPerRow.
  static int32_t ActiveBytesPerRow(int32_t width, uint32_t rasterType);
  // Rows of storage for an image `height` rows tall: `height`, or
  // `height + height / 2` for the planar 4:2:0 formats (chroma rows follow
  // the luma rows). -1 when the code is unknown, `height` is negative or the
  // result exceeds INT32_MAX; 0 for a height of 0.
  static int32_t RowCount(int32_t height, uint32_t rasterType);
  // Average bits per pixel; 0 for unknown codes.
  static int32_t BitsPerPixel(uint32_t rasterType);
  // False for unknown codes.
  static bool IsYUVFormat(uint32_t rasterType);
  static bool IsPlanarFormat(uint32_t rasterType);
  static bool IsKnown(uint32_t rasterType) { return BitsPerPixel(rasterType) > 0; }
};
