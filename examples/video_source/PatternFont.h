#pragma once
#include <cstdint>

// A tiny built-in bitmap font for burning numbers into test frames: 5 × 7
// pixel glyphs for the digits and the few marks that frame counters and
// timecodes need (':', '.', '-', ' '). Pure functions of their arguments,
// callable from any thread; no state.
class PatternFont {
 public:
  static constexpr int kGlyphWidth = 5;   // pixels
  static constexpr int kGlyphHeight = 7;  // pixels
  // Distance from one glyph to the next, one blank column included.
  static constexpr int kAdvance = kGlyphWidth + 1;

  // Whether the font has a glyph for `c`.
  static bool HasGlyph(char c);
  // Whether the glyph of `c` lights the pixel at column `x` (0 … 4), row `y`
  // (0 … 6, top first). False outside the cell and for characters without a
  // glyph.
  static bool GlyphPixel(char c, int x, int y);
  // The character whose glyph matches the 5 × 7 cell that `lit(x, y)`
  // describes, or 0 when no glyph matches. Reads numbers back from pictures.
  template <class LitFunction>
  static char Recognise(LitFunction lit) {
    for (const char* c = kCharacters; *c; ++c) {
      bool same = true;
      for (int y = 0; y < kGlyphHeight && same; ++y) {
        for (int x = 0; x < kGlyphWidth && same; ++x) same = GlyphPixel(*c, x, y) == static_cast<bool>(lit(x, y));
      }
      if (same) return *c;
    }
    return 0;
  }

 private:
  static constexpr const char* kCharacters = "0123456789:.- ";
};
