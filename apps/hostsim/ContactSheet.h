#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "kasp2/kasp2.h"

// A picture of many small video frames in a grid, each with a text line
// under it (drawn with PatternFont), written as an 8-bit RGB PNG. Rows are
// sources, columns moments of the run. Owns its canvas, allocated once.
// Not thread-safe.
class ContactSheet {
 public:
  static constexpr int32_t kMargin = 8;       // pixels around and between tiles
  static constexpr int32_t kLabelScale = 2;   // picture pixels per font pixel
  static constexpr int32_t kLabelHeight = 7 * kLabelScale + 6;
  static constexpr uint8_t kBackground = 40;  // dark grey
  // Canvases larger than this are refused (PNG rows are 32-bit sized, and a
  // contact sheet has no use for more).
  static constexpr int64_t kMaxPixels = 64LL * 1024 * 1024;

  ContactSheet(int32_t columns, int32_t rows, int32_t tileWidth, int32_t tileHeight);

  // False when the grid was empty, a tile had no size, or the canvas would
  // exceed kMaxPixels; every call below then fails.
  bool IsUsable() const { return !canvas_.empty(); }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  // The RGB pixel at (x, y); null outside the canvas.
  const uint8_t* Pixel(int32_t x, int32_t y) const;

  // Copies the "rgba" image (cut to the tile's size) into tile (row,
  // column), and writes `label` under it (characters without a glyph stay
  // blank). False, with the canvas unchanged, for a tile outside the grid or
  // an image that is not readable "rgba".
  bool SetTile(int32_t row, int32_t column, kaBuffer2& image, const char* label);
  // Writes the canvas to `path`; false when the file cannot be written.
  bool WritePng(const std::string& path) const;

 private:
  void DrawLabel(int32_t left, int32_t top, const char* label);

  int32_t columns_;
  int32_t rows_;
  int32_t tileWidth_;
  int32_t tileHeight_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::vector<uint8_t> canvas_;  // RGB, rows tight
};
