#include "vesk/veRasterType.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

struct RasterCase {
  const char* name;
  uint32_t code;
  int32_t width;
  int32_t height;
  int32_t bytesPerRow;
  int32_t rowCount;
  int32_t bitsPerPixel;
  bool yuv;
  bool planar;
};

std::ostream& operator<<(std::ostream& os, const RasterCase& c) {
  return os << c.name << " " << c.width << "x" << c.height;
}

class veRasterTypeSizes : public ::testing::TestWithParam<RasterCase> {};

TEST_P(veRasterTypeSizes, MatchTheLayoutOfTheFormat) {
  const RasterCase& c = GetParam();
  EXPECT_EQ(veRasterType::ActiveBytesPerRow(c.width, c.code), c.bytesPerRow);
  EXPECT_EQ(veRasterType::BytesPerRow(c.width, c.code, false), c.bytesPerRow);
  EXPECT_EQ(veRasterType::RowCount(c.height, c.code), c.rowCount);
  EXPECT_EQ(veRasterType::BitsPerPixel(c.code), c.bitsPerPixel);
  EXPECT_EQ(veRasterType::IsYUVFormat(c.code), c.yuv);
  EXPECT_EQ(veRasterType::IsPlanarFormat(c.code), c.planar);
  EXPECT_TRUE(veRasterType::IsKnown(c.code));
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, veRasterTypeSizes,
    ::testing::Values(
        RasterCase{"rgb", veRasterType::kRGB, 3, 5, 12, 5, 32, false, false},
        RasterCase{"RGBA", veRasterType::kRGBA, 1920, 1080, 7680, 1080, 32, false, false},
        RasterCase{"rgba", veRasterType::kRgba, 1, 1, 4, 1, 32, false, false},
        RasterCase{"BGRA", veRasterType::kBGRA, 7, 3, 28, 3, 32, false, false},
        // Packed 4:2:2 keeps whole pixel pairs: odd widths round up.
        RasterCase{"2vuy odd", veRasterType::k2vuy, 3, 3, 8, 3, 16, true, false},
        RasterCase{"2vuy one", veRasterType::k2vuy, 1, 2, 4, 2, 16, true, false},
        RasterCase{"2vuy even", veRasterType::k2vuy, 4, 2, 8, 2, 16, true, false},
        RasterCase{"yuvs odd", veRasterType::kYuvs, 1919, 1079, 3840, 1079, 16, true, false},
        // v210 stores 48 pixels per 128 bytes, in whole blocks.
        RasterCase{"v210 one", veRasterType::kV210, 1, 1, 128, 1, 20, true, false},
        RasterCase{"v210 block", veRasterType::kV210, 48, 1, 128, 1, 20, true, false},
        RasterCase{"v210 block+1", veRasterType::kV210, 49, 1, 256, 1, 20, true, false},
        RasterCase{"v210 two blocks", veRasterType::kV210, 96, 1, 256, 1, 20, true, false},
        RasterCase{"v210 two blocks+1", veRasterType::kV210, 97, 1, 384, 1, 20, true, false},
        RasterCase{"v210 HD", veRasterType::kV210, 1920, 1080, 5120, 1080, 20, true, false},
        // Planar 4:2:0 adds half as many chroma rows, rounded down.
        RasterCase{"I420", veRasterType::kI420, 640, 480, 640, 720, 12, true, true},
        RasterCase{"I420 odd", veRasterType::kI420, 5, 5, 5, 7, 12, true, true},
        RasterCase{"YV12", veRasterType::kYV12, 2, 2, 2, 3, 12, true, true},
        RasterCase{"NV12", veRasterType::kNV12, 1280, 1, 1280, 1, 12, true, true},
        RasterCase{"IMC4", veRasterType::kIMC4, 33, 9, 33, 13, 12, true, true},
        RasterCase{"YM16", veRasterType::kYM16, 3, 3, 6, 3, 16, true, true}),
    [](const ::testing::TestParamInfo<RasterCase>& param) {
      std::string name = param.param.name;
      for (char& ch : name) {
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9'))) ch = '_';
      }
      return name;
    });

const uint32_t kEveryCode[] = {veRasterType::kRGB,  veRasterType::kRGBA, veRasterType::kRgba,
                               veRasterType::kBGRA, veRasterType::k2vuy, veRasterType::kYuvs,
                               veRasterType::kV210, veRasterType::kI420, veRasterType::kYV12,
                               veRasterType::kNV12, veRasterType::kIMC4, veRasterType::kYM16};

TEST(veRasterType, AlignedRowsRoundUpToTheRowAlignment) {
  EXPECT_EQ(veRasterType::BytesPerRow(3, veRasterType::kRGB, true), 16);
  EXPECT_EQ(veRasterType::BytesPerRow(4, veRasterType::kRGBA, true), 16);
  EXPECT_EQ(veRasterType::BytesPerRow(5, veRasterType::kRGBA, true), 32);
  EXPECT_EQ(veRasterType::BytesPerRow(17, veRasterType::kI420, true), 32);
  EXPECT_EQ(veRasterType::BytesPerRow(3, veRasterType::k2vuy, true), 16);
  EXPECT_EQ(veRasterType::BytesPerRow(49, veRasterType::kV210, true), 256);
  for (uint32_t code : kEveryCode) {
    for (int32_t width : {1, 2, 3, 15, 16, 17, 47, 48, 49, 1919}) {
      const int32_t aligned = veRasterType::BytesPerRow(width, code, true);
      const int32_t tight = veRasterType::BytesPerRow(width, code, false);
      EXPECT_EQ(aligned % veRasterType::kRowAlignment, 0) << code << " " << width;
      EXPECT_GE(aligned, tight);
      EXPECT_LT(aligned - tight, veRasterType::kRowAlignment);
    }
  }
}

TEST(veRasterType, ZeroSizesAreZeroAndNegativeSizesAreUnusable) {
  for (uint32_t code : kEveryCode) {
    EXPECT_EQ(veRasterType::ActiveBytesPerRow(0, code), 0) << code;
    EXPECT_EQ(veRasterType::BytesPerRow(0, code, true), 0) << code;
    EXPECT_EQ(veRasterType::RowCount(0, code), 0) << code;
    EXPECT_EQ(veRasterType::ActiveBytesPerRow(-1, code), -1) << code;
    EXPECT_EQ(veRasterType::BytesPerRow(INT32_MIN, code, true), -1) << code;
    EXPECT_EQ(veRasterType::RowCount(-2, code), -1) << code;
  }
}

TEST(veRasterType, UnknownCodesAreUnusable) {
  // Codes are case-sensitive; 0 is no code at all.
  for (uint32_t code : {0u, zFourCC("abcd"), zFourCC("bgra"), zFourCC("i420"), zFourCC("RGB "),
                        zFourCC("sowt"), 0xffffffffu}) {
    EXPECT_FALSE(veRasterType::IsKnown(code)) << code;
    EXPECT_EQ(veRasterType::BitsPerPixel(code), 0);
    EXPECT_EQ(veRasterType::BytesPerRow(16, code, false), -1);
    EXPECT_EQ(veRasterType::BytesPerRow(16, code, true), -1);
    EXPECT_EQ(veRasterType::ActiveBytesPerRow(0, code), -1);
    EXPECT_EQ(veRasterType::RowCount(16, code), -1);
    EXPECT_FALSE(veRasterType::IsYUVFormat(code));
    EXPECT_FALSE(veRasterType::IsPlanarFormat(code));
  }
}

TEST(veRasterType, RowSizesAboveInt32MaxAreUnusable) {
  // 4 bytes per pixel: the largest width that fits and the first that does not.
  EXPECT_EQ(veRasterType::BytesPerRow(0x1fffffff, veRasterType::kRgba, false), 0x7ffffffc);
  EXPECT_EQ(veRasterType::BytesPerRow(0x20000000, veRasterType::kRgba, false), -1);
  EXPECT_EQ(veRasterType::BytesPerRow(0x40000000, veRasterType::kRgba, false), -1);
  EXPECT_EQ(veRasterType::BytesPerRow(INT32_MAX, veRasterType::kBGRA, false), -1);
  // Alignment itself can push a fitting row over the limit.
  EXPECT_EQ(veRasterType::BytesPerRow(0x1fffffff, veRasterType::kRgba, true), -1);
  EXPECT_EQ(veRasterType::BytesPerRow(INT32_MAX, veRasterType::kI420, false), INT32_MAX);
  EXPECT_EQ(veRasterType::BytesPerRow(INT32_MAX, veRasterType::kI420, true), -1);
  // Packed 4:2:2 rounds the width up before doubling it.
  EXPECT_EQ(veRasterType::BytesPerRow(0x3ffffffe, veRasterType::k2vuy, false), 0x7ffffffc);
  EXPECT_EQ(veRasterType::BytesPerRow(0x3fffffff, veRasterType::k2vuy, false), -1);
  EXPECT_EQ(veRasterType::BytesPerRow(INT32_MAX, veRasterType::kYuvs, false), -1);
  EXPECT_EQ(veRasterType::BytesPerRow(0x40000000, veRasterType::kYM16, false), -1);
  // v210: 16777215 blocks of 128 bytes fit, one more pixel needs another block.
  EXPECT_EQ(veRasterType::BytesPerRow(805306320, veRasterType::kV210, false), 2147483520);
  EXPECT_EQ(veRasterType::BytesPerRow(805306321, veRasterType::kV210, false), -1);
  EXPECT_EQ(veRasterType::BytesPerRow(INT32_MAX, veRasterType::kV210, false), -1);
}

TEST(veRasterType, RowCountsAboveInt32MaxAreUnusable) {
  // h + h/2 reaches INT32_MAX exactly at 1431655765.
  EXPECT_EQ(veRasterType::RowCount(1431655765, veRasterType::kI420), INT32_MAX);
  EXPECT_EQ(veRasterType::RowCount(1431655766, veRasterType::kI420), -1);
  EXPECT_EQ(veRasterType::RowCount(INT32_MAX, veRasterType::kNV12), -1);
  EXPECT_EQ(veRasterType::RowCount(INT32_MAX, veRasterType::kRGB), INT32_MAX);
  EXPECT_EQ(veRasterType::RowCount(INT32_MAX, veRasterType::kYM16), INT32_MAX);
}

}  // namespace
