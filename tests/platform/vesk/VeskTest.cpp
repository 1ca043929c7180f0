// The media-description stand-in (libvesk): raster sizes, buffer sizes of
// video and audio media records and time ranges written into records. Record
// contents and copies are checked against the record model in the foundation's
// tests, and the allocation-free reuse of a record where buffers are cached
// (tests/buffers).
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "vesk/vesk.h"

namespace {

using R = veRasterType;
using A = veAudioFormat;

// {code, width, height, tight and aligned bytes per row, rows, bits per pixel, YUV, planar}: one row
// per layout (odd sizes where a layout rounds), the largest sizes that fit in 31 bits next to the first
// that do not, and codes that are no raster (codes are case-sensitive; audio codes are not rasters).
TEST(veRasterTypeTest, SizesFollowTheLayoutAndOverflowIsUnusable) {
  const int64_t kRows[][9] = {
      {R::kRGB, 3, 5, 12, 16, 5, 32, 0, 0},           {R::kYuvs, 1919, 1079, 3840, 3840, 1079, 16, 1, 0},
      {R::kV210, 49, 1, 256, 256, 1, 20, 1, 0},       {R::kI420, 5, 5, 5, 16, 7, 12, 1, 1},
      {R::kYM16, 3, 3, 6, 16, 3, 16, 1, 1},           {R::kRGBA, -1, -2, -1, -1, -1, 32, 0, 0},
      {R::kRgba, 0x1fffffff, 1, 0x7ffffffc, -1, 1, 32, 0, 0}, {R::kRgba, 0x20000000, 1, -1, -1, 1, 32, 0, 0},
      {R::kV210, 805306320, 1, 2147483520, 2147483520, 1, 20, 1, 0},
      {R::kV210, 805306321, 1, -1, -1, 1, 20, 1, 0}, {R::kNV12, 1, 1431655766, 1, 16, -1, 12, 1, 1},
      {zFourCC("bgra"), 16, 16, -1, -1, -1, 0, 0, 0}, {A::kSowt, 16, 16, -1, -1, -1, 0, 0, 0}};
  for (const auto& r : kRows) {
    const auto [code, width] = std::pair(static_cast<uint32_t>(r[0]), static_cast<int32_t>(r[1]));
    EXPECT_EQ(std::tuple(R::ActiveBytesPerRow(width, code), R::BytesPerRow(width, code, false),
                         R::BytesPerRow(width, code, true), R::RowCount(static_cast<int32_t>(r[2]), code),
                         R::BitsPerPixel(code), R::IsKnown(code), R::IsYUVFormat(code), R::IsPlanarFormat(code)),
              std::tuple(r[3], r[3], r[4], r[5], r[6], r[6] > 0, r[7] == 1, r[8] == 1))
        << code << " " << width << "x" << r[2];
  }
}

TEST(veMediaRecordTest, BufferSizesOfVideoAndAudioRecordsAreZeroWhenUnusable) {
  // {width, height, raster type, stored bytes per row, count, size}: a stored
  // row size may be wider than the pixels, never narrower.
  const zKey kVideoFields[] = {veKeyWidth, veKeyHeight, veKeyRasterType, veKeyBytesPerRow};
  const int64_t kVideo[][6] = {{3, 2, R::k2vuy, 0, 1, 16},         {5, 5, R::kNV12, 0, 3, 105},
                               {1920, 1080, R::kRGBA, 8192, 2, 2 * 8192 * 1080},
                               {1920, 1080, R::kRGBA, 7679, 1, 0}, {16, 16, zFourCC("abcd"), 0, 1, 0},
                               {1024, 256, R::kRGBA, 0, 2047, 2047 << 20}, {1024, 256, R::kRGBA, 0, 2048, 0}};
  for (const auto& v : kVideo) {
    veMediaRecord record(veMediaTypeVideo);
    for (int i = 0; i < 4; ++i) record.SetInt32(kVideoFields[i], static_cast<int32_t>(v[i]));
    EXPECT_EQ(record.CalculateBufferSize(static_cast<int32_t>(v[4])), v[5]) << v[0] << "x" << v[1] << " by " << v[3];
  }
  // {format, channels, bits per sample, frames, bytes}: a format sizes the
  // samples by itself, without one the bits do; sizes beyond 31 bits are
  // unusable, even where 32 bits would wrap.
  const int32_t kAudio[][5] = {
      {A::kTwos, 3, 0, 7, 42},      {A::k42ni, 3, 0, 7, 63},     {A::k23lf, 3, 0, 7, 84},
      {A::kFl64, 3, 0, 7, 168},     {0, 2, 12, 10, 40},          {0, 2, 0, 1600, 0},
      {A::kSowt, 2, 16, -1600, 0},  {A::kSowt, 256, 16, 1600, 0}, {int32_t(zFourCC("SOWT")), 3, 16, 7, 0},
      {A::kFl64, 255, 16, 1052688, 2147483520},                  {A::kIn32, 4, 16, 0x40000001, 0}};
  for (const auto& [format, channels, bits, frames, bytes] : kAudio) {
    veMediaRecord record(veMediaTypeAudio);
    record.SetAudioFormat(format);
    record.SetChannels(channels);
    record.SetBitsPerSample(bits);
    EXPECT_EQ(record.CalculateBufferSize(frames), bytes) << format << " " << channels << " " << bits << " " << frames;
  }
}

// {range, keys written, scale, time, duration}, 0 for a key not written: a
// duration only in the time's scale, or in its own without a time.
TEST(veTimeRangeTest, WritesTheKeysItsScalesAllow) {
  const std::tuple<veTimeRange, int32_t, int64_t, uint64_t, uint64_t> kCases[] = {
      {{48000, UINT64_MAX, 48000, 1600}, 3, 48000, UINT64_MAX, 1600},
      {{90000, 3003, 30000, 1001}, 2, 90000, 3003, 0}, {{0, 777, 44100, 441}, 2, 44100, 0, 441}};
  for (const auto& [range, keys, scale, time, duration] : kCases) {
    veMediaRecord record(veMediaTypeAudio);
    record.SetTimeRange(range);
    EXPECT_EQ(std::tuple(record.Count(), record.AsInt64(veKeyTimeScale, 0), record.AsUInt64(veKeyTime, 0),
                         record.AsUInt64(veKeyDuration, 0)),
              std::tuple(keys, scale, time, duration));
  }
}

}  // namespace
