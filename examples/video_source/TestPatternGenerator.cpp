#include "TestPatternGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "PatternFont.h"

namespace {

__extension__ using Int128 = __int128;

// 75 % colour bars (SMPTE order) and their BT.709 video-range values.
constexpr TestPatternGenerator::Rgb kBarsRgb[TestPatternGenerator::kBarCount] = {
    {191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
    {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
constexpr TestPatternGenerator::YCbCr kBarsYCbCr[TestPatternGenerator::kBarCount] = {
    {180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {133, 63, 52},
    {63, 193, 204},  {51, 109, 212}, {28, 212, 120}, {16, 128, 128}};

// The font grows with the picture: one font pixel per 120 rows, and no wider
// than lets both texts (18 glyphs plus margins, 118 font pixels) fit a row.
constexpr int32_t kRowsPerFontPixel = 120;
constexpr int32_t kFontPixelsAcross = 118;
// The box is a sixth of the picture's height and moves a 128th of its width
// per frame.
constexpr int32_t kBoxFraction = 6;
constexpr int32_t kBoxStepFraction = 128;

constexpr int32_t Even(int32_t value) { return value & ~1; }

bool IsSupportedRaster(uint32_t raster) { return raster == veRasterType::k2vuy || raster == veRasterType::kRgba; }

}  // namespace

TestPatternGenerator::Rgb TestPatternGenerator::BarRgb(int index) {
  return index >= 0 && index < kBarCount ? kBarsRgb[index] : kBlackRgb;
}

TestPatternGenerator::YCbCr TestPatternGenerator::BarYCbCr(int index) {
  return index >= 0 && index < kBarCount ? kBarsYCbCr[index] : kBlackYCbCr;
}

TestPatternGenerator::TestPatternGenerator(const Settings& settings) : settings_(settings) {
  const bool yuv = settings_.rasterType == veRasterType::k2vuy;
  usable_ = IsSupportedRaster(settings_.rasterType) && settings_.width >= kMinWidth &&
            settings_.height >= kMinHeight && !(yuv && settings_.width % 2 != 0) && settings_.timeScale >= 1 &&
            settings_.frameDuration >= 1;
  if (!usable_) return;
  activeBytes_ = veRasterType::ActiveBytesPerRow(settings_.width, settings_.rasterType);
  if (activeBytes_ < 1) {
    usable_ = false;
    return;
  }
  barsHeight_ = settings_.height * 2 / 3;
  fontScale_ = std::max(1, std::min(settings_.height / kRowsPerFontPixel, settings_.width / kFontPixelsAcross));
  const double fps = static_cast<double>(settings_.timeScale) / static_cast<double>(settings_.frameDuration);
  nominalFps_ = static_cast<int32_t>(std::clamp(std::llround(fps), 1LL, 1000000LL));
  boxSide_ = std::max(2, Even(std::min(settings_.height / kBoxFraction, barsHeight_ - 2)));
  boxStep_ = std::max(2, Even(settings_.width / kBoxStepFraction));
  BuildRows();
}

void TestPatternGenerator::BuildRows() {
  barRow_.assign(static_cast<size_t>(activeBytes_), 0);
  stripRow_.assign(static_cast<size_t>(activeBytes_), 0);
  const bool yuv = settings_.rasterType == veRasterType::k2vuy;
  for (int bar = 0; bar < kBarCount; ++bar) {
    for (int32_t x = BarStart(bar); x < BarStart(bar + 1); ++x) {
      if (yuv) {
        // Bars start at even columns, so a pixel pair never spans two bars.
        const YCbCr c = kBarsYCbCr[bar];
        uint8_t* pair = &barRow_[static_cast<size_t>(x / 2) * 4];
        pair[0] = c.cb;
        pair[x % 2 == 0 ? 1 : 3] = c.y;
        pair[2] = c.cr;
      } else {
        const Rgb c = kBarsRgb[bar];
        uint8_t* px = &barRow_[static_cast<size_t>(x) * 4];
        px[0] = c.r;
        px[1] = c.g;
        px[2] = c.b;
        px[3] = 255;
      }
    }
  }
  for (int32_t x = 0; x < settings_.width; ++x) PutPixel(stripRow_.data(), x, false);
}

int32_t TestPatternGenerator::BarStart(int index) const {
  if (index <= 0) return 0;
  if (index >= kBarCount) return settings_.width;
  return Even(static_cast<int32_t>(static_cast<int64_t>(index) * settings_.width / kBarCount));
}

void TestPatternGenerator::PutPixel(uint8_t* row, int32_t x, bool white) const {
  if (settings_.rasterType == veRasterType::k2vuy) {
    uint8_t* pair = row + static_cast<size_t>(x / 2) * 4;
    const YCbCr c = white ? kWhiteYCbCr : kBlackYCbCr;
    pair[0] = c.cb;  // white and black share their chroma, so a text pixel
    pair[2] = c.cr;  // changes only its own luma sample
    pair[x % 2 == 0 ? 1 : 3] = c.y;
  } else {
    const Rgb c = white ? kWhiteRgb : kBlackRgb;
    uint8_t* px = row + static_cast<size_t>(x) * 4;
    px[0] = c.r;
    px[1] = c.g;
    px[2] = c.b;
    px[3] = 255;
  }
}

TestPatternGenerator::Rect TestPatternGenerator::BoxRect(int64_t frameIndex) const {
  if (!usable_ || frameIndex < 0) return {};
  const int64_t travel = static_cast<int64_t>(settings_.width) - boxSide_ + 1;
  const int64_t x = ((frameIndex % travel) * boxStep_) % travel;
  return {Even(static_cast<int32_t>(x)), Even((barsHeight_ - boxSide_) / 2), boxSide_, boxSide_};
}

TestPatternGenerator::Rect TestPatternGenerator::CounterRect() const {
  if (!usable_) return {};
  const int32_t s = fontScale_;
  const int32_t y = barsHeight_ + (settings_.height - barsHeight_ - PatternFont::kGlyphHeight * s) / 2;
  return {2 * s, y, kCounterDigits * PatternFont::kAdvance * s, PatternFont::kGlyphHeight * s};
}

TestPatternGenerator::Rect TestPatternGenerator::TimecodeRect() const {
  if (!usable_) return {};
  const int32_t s = fontScale_;
  const int32_t width = kTimecodeLength * PatternFont::kAdvance * s;
  const Rect counter = CounterRect();
  return {settings_.width - 2 * s - width, counter.y, width, counter.height};
}

void TestPatternGenerator::FormatCounter(int64_t frameIndex, char (&text)[kCounterDigits + 1]) {
  uint64_t value = frameIndex < 0 ? 0 : static_cast<uint64_t>(frameIndex);
  for (int i = kCounterDigits - 1; i >= 0; --i) {
    text[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  text[kCounterDigits] = '\0';
}

void TestPatternGenerator::FormatTimecode(int64_t frameIndex, char (&text)[kTimecodeLength + 1]) const {
  const int64_t n = frameIndex < 0 ? 0 : frameIndex;
  const int64_t frames = n % nominalFps_;
  const int64_t seconds = n / nominalFps_;
  const int64_t fields[4] = {(seconds / 3600) % 100, (seconds / 60) % 60, seconds % 60, frames % 100};
  for (int i = 0; i < 4; ++i) {
    text[i * 3] = static_cast<char>('0' + fields[i] / 10);
    text[i * 3 + 1] = static_cast<char>('0' + fields[i] % 10);
    if (i < 3) text[i * 3 + 2] = ':';
  }
  text[kTimecodeLength] = '\0';
}

int64_t TestPatternGenerator::FrameStartMicros(int64_t frameIndex) const {
  if (settings_.timeScale < 1 || frameIndex < 0) return 0;
  const Int128 micros = static_cast<Int128>(frameIndex) * settings_.frameDuration * 1'000'000 / settings_.timeScale;
  return micros > INT64_MAX ? INT64_MAX : static_cast<int64_t>(micros);
}

void TestPatternGenerator::DrawText(uint8_t* pixels, int32_t rowBytes, const Rect& rect, const char* text) const {
  const int32_t s = fontScale_;
  for (int i = 0; text[i] != '\0'; ++i) {
    const int32_t left = rect.x + i * PatternFont::kAdvance * s;
    for (int gy = 0; gy < PatternFont::kGlyphHeight; ++gy) {
      for (int gx = 0; gx < PatternFont::kGlyphWidth; ++gx) {
        if (!PatternFont::GlyphPixel(text[i], gx, gy)) continue;
        for (int32_t y = rect.y + gy * s; y < rect.y + (gy + 1) * s; ++y) {
          uint8_t* row = pixels + static_cast<int64_t>(y) * rowBytes;
          for (int32_t x = left + gx * s; x < left + (gx + 1) * s; ++x) PutPixel(row, x, true);
        }
      }
    }
  }
}

bool TestPatternGenerator::Render(int64_t frameIndex, uint8_t* pixels, int32_t rowBytes, int64_t size) const {
  if (!usable_ || !pixels || frameIndex < 0 || rowBytes < activeBytes_) return false;
  const int64_t needed = static_cast<int64_t>(settings_.height - 1) * rowBytes + activeBytes_;
  if (size < needed) return false;

  for (int32_t y = 0; y < settings_.height; ++y) {
    const std::vector<uint8_t>& source = y < barsHeight_ ? barRow_ : stripRow_;
    std::memcpy(pixels + static_cast<int64_t>(y) * rowBytes, source.data(), source.size());
  }

  const Rect box = BoxRect(frameIndex);
  for (int32_t y = box.y; y < box.y + box.height; ++y) {
    uint8_t* row = pixels + static_cast<int64_t>(y) * rowBytes;
    for (int32_t x = box.x; x < box.x + box.width; ++x) PutPixel(row, x, true);
  }

  char counter[kCounterDigits + 1];
  FormatCounter(frameIndex, counter);
  DrawText(pixels, rowBytes, CounterRect(), counter);
  char timecode[kTimecodeLength + 1];
  FormatTimecode(frameIndex, timecode);
  DrawText(pixels, rowBytes, TimecodeRect(), timecode);
  return true;
}

kaBuffer2* TestPatternGenerator::NextFrame(kaBufferGroup2& group) {
  if (!usable_) return nullptr;
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(settings_.width);
  format.SetHeight(settings_.height);
  format.SetRasterType(settings_.rasterType);
  kaGPUAccessibleBuffer* frame = nullptr;
  if (group.CreateGPUAccessibleBuffer(format, &frame) != 0 || !frame) return nullptr;
  const int64_t n = framesMade_;
  if (!Render(n, frame->GetStorage(), frame->BytesPerRow(), frame->StorageSize())) {
    frame->Release();
    return nullptr;
  }
  frame->SetBufferTimeRange({settings_.timeScale, static_cast<uint64_t>(n) * static_cast<uint64_t>(settings_.frameDuration),
                             settings_.timeScale, static_cast<uint64_t>(settings_.frameDuration)});
  frame->SetInt64(kFrameNumberKey, n);
  ++framesMade_;
  return frame;
}
