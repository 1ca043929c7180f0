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

TEST(veRasterTypeTest, SizesFollowTheLayoutAndOverflowIsUnusable) {
  struct Row { uint32_t code; int32_t width, height, tight, aligned, rows, bits; bool yuv, planar; };
  const Row kRows[] = {{R::kRGB, 3, 5, 12, 16, 5, 32, false, false}, {R::kRgba, 1, 1, 4, 16, 1, 32, false, false},
      {R::kBGRA, 5, 3, 20, 32, 3, 32, false, false}, {R::kYuvs, 1919, 1079, 3840, 3840, 1079, 16, true, false},
      {R::k2vuy, 3, 3, 8, 16, 3, 16, true, false}, {R::kV210, 48, 1, 128, 128, 1, 20, true, false},  // 4:2:2 keeps pixel pairs
      {R::kV210, 49, 1, 256, 256, 1, 20, true, false}, {R::kI420, 5, 5, 5, 16, 7, 12, true, true},
      {R::kYV12, 17, 2, 17, 32, 3, 12, true, true}, {R::kNV12, 1280, 1, 1280, 1280, 1, 12, true, true},
      {R::kIMC4, 33, 9, 33, 48, 13, 12, true, true}, {R::kYM16, 3, 3, 6, 16, 3, 16, true, true},
      {R::kRGBA, 0, 0, 0, 0, 0, 32, false, false}, {R::kRGBA, -1, -2, -1, -1, -1, 32, false, false},
      // The largest sizes that fit in 31 bits, and the first ones that do not.
      {R::kRgba, 0x1fffffff, 1, 0x7ffffffc, -1, 1, 32, false, false}, {R::kRgba, 0x20000000, 1, -1, -1, 1, 32, false, false},
      {R::k2vuy, 0x3ffffffe, 1, 0x7ffffffc, -1, 1, 16, true, false}, {R::k2vuy, 0x3fffffff, 1, -1, -1, 1, 16, true, false},
      {R::kV210, 805306320, 1, 2147483520, 2147483520, 1, 20, true, false},
      {R::kV210, 805306321, 1, -1, -1, 1, 20, true, false}, {R::kYM16, 0x40000000, INT32_MAX, -1, -1, INT32_MAX, 16, true, true},
      {R::kI420, INT32_MAX, 1431655765, INT32_MAX, -1, INT32_MAX, 12, true, true}, {R::kNV12, 1, 1431655766, 1, 16, -1, 12, true, true},
      // Unknown: codes are case-sensitive, 0 is none, audio codes are not rasters.
      {zFourCC("abcd"), 16, 16, -1, -1, -1, 0, false, false}, {zFourCC("bgra"), 16, 16, -1, -1, -1, 0, false, false},
      {0, 0, 0, -1, -1, -1, 0, false, false}, {A::kSowt, 16, 16, -1, -1, -1, 0, false, false}};
  for (const Row& r : kRows) {
    EXPECT_EQ(std::tuple(R::ActiveBytesPerRow(r.width, r.code), R::BytesPerRow(r.width, r.code, false),
                         R::BytesPerRow(r.width, r.code, true), R::RowCount(r.height, r.code), R::BitsPerPixel(r.code),
                         R::IsKnown(r.code), R::IsYUVFormat(r.code), R::IsPlanarFormat(r.code)),
              std::tuple(r.tight, r.tight, r.aligned, r.rows, r.bits, r.bits > 0, r.yuv, r.planar))
        << r.code << " " << r.width << "x" << r.height;
  }
}

TEST(veMediaRecordTest, BufferSizesOfVideoAndAudioRecordsAreZeroWhenUnusable) {
  // {media type, width, height, raster type, stored bytes per row, count, size}
  constexpr uint32_t kV = veMediaTypeVideo;
  const int64_t kVideo[][7] = {{kV, 1920, 1080, R::kRGBA, 0, 1, 1920 * 4 * 1080}, {kV, 640, 480, R::kI420, 0, 1, 640 * 720},
      {kV, 3, 2, R::k2vuy, 0, 1, 16}, {kV, 49, 2, R::kV210, 0, 1, 512}, {kV, 5, 5, R::kNV12, 0, 3, 105},
      {kV, 1920, 1080, R::kRGBA, 8192, 1, 8192 * 1080}, {kV, 1920, 1080, R::kRGBA, 7680, 2, 2 * 7680 * 1080},
      {kV, 1920, 1080, R::kRGBA, 7679, 1, 0}, {kV, 1920, 1080, R::kRGBA, -16, 1, 0}, {kV, 1920, 1080, R::kRGBA, 0, 0, 0},
      {kV, 1920, 1080, R::kRGBA, 0, -1, 0}, {kV, 16, 16, zFourCC("abcd"), 0, 1, 0}, {kV, 0, 16, R::kRGBA, 0, 1, 0},
      {kV, 16, -16, R::kRGBA, 0, 1, 0}, {0, 16, 16, R::kRGBA, 0, 1, 0}, {kV, 0x4000, 0x7fff, R::kRGBA, 0, 1, 0x4000 * 4 * 0x7fff},
      {kV, 0x4000, 0x8000, R::kRGBA, 0, 1, 0}, {kV, 0x10000, 0x10001, R::kI420, 0, 1, 0},
      {kV, 1, INT32_MAX, R::kRGB, INT32_MAX, INT32_MAX, 0}, {kV, 1024, 256, R::kRGBA, 0, 2047, 2047 << 20},
      {kV, 1024, 256, R::kRGBA, 0, 2048, 0}};
  for (const auto& v : kVideo) {
    veMediaRecord record(static_cast<veMediaType>(v[0]));
    record.SetWidth(int32_t(v[1])), record.SetHeight(int32_t(v[2])), record.SetRasterType(uint32_t(v[3]));
    record.SetBytesPerRow(int32_t(v[4]));
    EXPECT_EQ(record.CalculateBufferSize(int32_t(v[5])), v[6]) << v[1] << "x" << v[2] << " rows of " << v[4] << " x" << v[5];
  }
  // {format, channels, bits per sample, frames, bytes}: a format sizes the samples by itself (codes are
  // case-sensitive), without one the bits do; sizes beyond 31 bits are unusable, even where 32 bits would wrap.
  const int32_t kAudio[][5] = {{A::kSowt, 3, 0, 7, 42}, {A::kTwos, 3, 0, 7, 42}, {A::kIn24, 3, 0, 7, 63},
      {A::k42ni, 3, 0, 7, 63}, {A::kIn32, 3, 0, 7, 84}, {A::k23ni, 3, 0, 7, 84}, {A::k32ni, 3, 0, 7, 84},
      {A::kFl32, 3, 0, 7, 84}, {A::k23lf, 3, 0, 7, 84}, {A::kFl64, 3, 0, 7, 168}, {int32_t(zFourCC("SOWT")), 3, 16, 7, 0},
      {int32_t(zFourCC("in16")), 3, 16, 7, 0}, {A::kFl64, 255, 16, 1052688, 2147483520}, {A::kFl64, 255, 16, 1052689, 0},
      {A::kIn32, 4, 16, 0x40000001, 0}, {A::kSowt, 2, 16, 1600, 6400}, {A::kIn24, 6, 24, 10, 180}, {A::kFl64, 1, 16, 3, 24},
      {0, 2, 24, 10, 60}, {0, 2, 12, 10, 40}, {0, 255, 8, 1, 255}, {A::kSowt, 2, 16, 0, 0}, {A::kSowt, 2, 16, -1600, 0},
      {A::kSowt, 0, 16, 1600, 0}, {A::kSowt, -2, 16, 1600, 0}, {A::kSowt, 256, 16, 1600, 0}, {0, 257, 16, 1600, 0},
      {int32_t(zFourCC("lpcm")), 2, 16, 1600, 0}, {0, 2, 0, 1600, 0}, {0, 2, -16, 1600, 0},
      {A::kSowt, 2, 16, 0x1fffffff, 0x7ffffffc}, {A::kSowt, 2, 16, 0x20000000, 0}, {A::kFl64, 255, 16, INT32_MAX, 0},
      {0, 8, INT32_MAX, 1, 0}, {0, 1, 16, 0x3fffffff, 0x7ffffffe}, {0, 1, 16, 0x40000000, 0}};
  for (const auto& a : kAudio) {
    veMediaRecord record(veMediaTypeAudio);
    record.SetAudioFormat(a[0]), record.SetChannels(a[1]), record.SetBitsPerSample(a[2]);
    EXPECT_EQ(record.CalculateBufferSize(a[3]), a[4]) << a[0] << " " << a[1] << " channels " << a[2] << " bits x" << a[3];
  }
}

TEST(veTimeRangeTest, WritesTheKeysItsScalesAllow) {
  struct Case { veTimeRange range; int64_t scale; bool hasTime, hasDuration; uint64_t time, duration; };
  const Case kCases[] = {{{48000, 123456789012345, 48000, 1600}, 48000, true, true, 123456789012345, 1600},
      {{90000, 3003, 30000, 1001}, 90000, true, false, 3003, 0},  // another duration scale: no duration
      {{600, 20, 0, 5}, 600, true, false, 20, 0}, {{0, 777, 44100, 441}, 44100, false, true, 0, 441},
      {{0, 99, 0, 99}, 0, false, false, 0, 0}, {{-7, UINT64_MAX, -7, (1ull << 63) + 5}, -7, true, true, UINT64_MAX, (1ull << 63) + 5}};
  for (const Case& c : kCases) {
    veMediaRecord record(veMediaTypeAudio);
    record.SetTimeRange(c.range);
    EXPECT_EQ(std::tuple(record.Count(), record.AsInt64(veKeyTimeScale, 0), record.Has(veKeyTime), record.AsUInt64(veKeyTime, 0),
                         record.Has(veKeyDuration), record.AsUInt64(veKeyDuration, 0)),
              std::tuple((c.scale != 0) + c.hasTime + c.hasDuration, c.scale, c.hasTime, c.time, c.hasDuration, c.duration));
  }
}

}  // namespace
