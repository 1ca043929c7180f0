#pragma once
#include <cstdint>
#include <vector>

#include "kasp2/kasp2.h"

// Makes the frames of a test video source: 75 % colour bars over two thirds
// of the picture, a white box that moves across the bars, and a black strip
// below them with the frame counter (seven digits) and a timecode
// (HH:MM:SS:FF) burnt in with PatternFont. Frames come from the host's buffer
// group in "2vuy" (Cb Y Cr Y, BT.709 video range) or "rgba", at any size and
// frame rate; each carries its time range and its frame number.
//
// Owns two pre-built rows (bars, strip), so that drawing a frame costs row
// copies plus the box and the text. Not thread-safe: one delivery thread
// uses it.
class TestPatternGenerator {
 public:
  struct Settings {
    int32_t width = 1920;
    int32_t height = 1080;
    uint32_t rasterType = veRasterType::k2vuy;  // "2vuy" or "rgba"
    // One frame lasts frameDuration / timeScale seconds: 1001 / 30000 is
    // 29.97 frames per second.
    int64_t timeScale = 30000;
    int64_t frameDuration = 1001;
  };

  struct Rect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool Contains(int32_t px, int32_t py) const { return px >= x && px < x + width && py >= y && py < y + height; }
  };
  struct Rgb {
    uint8_t r, g, b;
  };
  struct YCbCr {
    uint8_t y, cb, cr;
  };

  // Record key of the frame number (int64) on every frame made here; a host
  // tells a delivered frame from a blank one by it.
  static constexpr zKey kFrameNumberKey = zFourCC("tpfn");
  static constexpr int kBarCount = 8;
  static constexpr int kCounterDigits = 7;
  static constexpr int kTimecodeLength = 11;  // "HH:MM:SS:FF"
  // Smallest picture that holds the bars, the box and both texts.
  static constexpr int32_t kMinWidth = 128;
  static constexpr int32_t kMinHeight = 72;

  // Bar `index` (0 … 7: white, yellow, cyan, green, magenta, red, blue,
  // black) at 75 % intensity, in RGB and in BT.709 video-range YCbCr. Black
  // for an index outside 0 … 7.
  static Rgb BarRgb(int index);
  static YCbCr BarYCbCr(int index);
  // The box and the burnt-in text: full white.
  static constexpr Rgb kWhiteRgb{255, 255, 255};
  static constexpr YCbCr kWhiteYCbCr{235, 128, 128};
  // The strip below the bars.
  static constexpr Rgb kBlackRgb{0, 0, 0};
  static constexpr YCbCr kBlackYCbCr{16, 128, 128};

  explicit TestPatternGenerator(const Settings& settings);
  TestPatternGenerator(const TestPatternGenerator&) = delete;
  TestPatternGenerator& operator=(const TestPatternGenerator&) = delete;

  // False when the settings cannot make frames: a raster type other than
  // "2vuy" and "rgba", a size below kMinWidth × kMinHeight (or an odd width
  // in "2vuy"), or a time scale or frame duration below 1. Every operation
  // below then fails.
  bool IsUsable() const { return usable_; }
  const Settings& GetSettings() const { return settings_; }

  // Makes frame number FramesMade() from `group`, draws it, and returns it
  // with one reference for the caller (who releases it after delivery). The
  // frame's buffer time range is (timeScale, n × frameDuration, timeScale,
  // frameDuration), so a video renderer learns the rate from it, and its
  // record carries kFrameNumberKey = n. Null, with nothing counted, when the
  // generator is unusable or the group gives no buffer.
  kaBuffer2* NextFrame(kaBufferGroup2& group);
  int64_t FramesMade() const { return framesMade_; }

  // Draws frame `frameIndex` into an image of the settings' format whose rows
  // are `rowBytes` apart in `size` bytes. False, with nothing written, when
  // unusable, `pixels` is null, `frameIndex` is negative, `rowBytes` is below
  // a row's active bytes or the rows do not fit in `size`.
  bool Render(int64_t frameIndex, uint8_t* pixels, int32_t rowBytes, int64_t size) const;

  // Where frame `frameIndex` puts the box, the counter and the timecode.
  Rect BoxRect(int64_t frameIndex) const;
  Rect CounterRect() const;
  Rect TimecodeRect() const;
  // Bars occupy rows 0 … BarsHeight() - 1; bar i spans columns
  // BarStart(i) … BarStart(i + 1) - 1 (BarStart(8) is the width).
  int32_t BarsHeight() const { return barsHeight_; }
  int32_t BarStart(int index) const;
  // Side of one font pixel in picture pixels.
  int32_t FontScale() const { return fontScale_; }
  // Frames per second rounded to a whole number: the frame field's base in
  // the timecode (30 for 29.97).
  int32_t NominalFramesPerSecond() const { return nominalFps_; }

  // The counter text of `frameIndex` (its last seven decimal digits) and its
  // timecode, each NUL-terminated.
  static void FormatCounter(int64_t frameIndex, char (&text)[kCounterDigits + 1]);
  void FormatTimecode(int64_t frameIndex, char (&text)[kTimecodeLength + 1]) const;

  // Start of frame `frameIndex` in microseconds after frame 0 (rounded down).
  int64_t FrameStartMicros(int64_t frameIndex) const;

 private:
  void BuildRows();
  void PutPixel(uint8_t* row, int32_t x, bool white) const;
  void DrawText(uint8_t* pixels, int32_t rowBytes, const Rect& rect, const char* text) const;

  Settings settings_;
  bool usable_ = false;
  int32_t activeBytes_ = 0;
  int32_t barsHeight_ = 0;
  int32_t fontScale_ = 1;
  int32_t nominalFps_ = 1;
  int32_t boxSide_ = 0;
  int32_t boxStep_ = 0;
  std::vector<uint8_t> barRow_;
  std::vector<uint8_t> stripRow_;
  int64_t framesMade_ = 0;
};
