// The 'afc ' converter: exact 16-bit results for every input code.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "VelTestHelpers.h"

namespace Corvane::Vel {
namespace {

using veltest::ConvertBlock;
using veltest::Describe;
using veltest::MakeConverter;
using veltest::VelObjectTest;

using Samples = std::vector<int16_t>;
using Bytes = std::vector<uint8_t>;

class CSampleFormatConverterTest : public VelObjectTest {
 protected:
  // Converts `bytes` of `code` with `channels` channels.
  static Samples Convert(uint32_t code, int bits, const Bytes& bytes, int channels = 1) {
    Result started;
    auto converter = MakeConverter(FourCC("afc "), *Describe(code, channels, 48000, bits), 0, &started);
    EXPECT_FALSE(started.Failed());
    if (started.Failed()) return {};
    return ConvertBlock(*converter, bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  template <class T>
  static Bytes Raw(const std::vector<T>& values) {
    Bytes bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
  }
};

TEST_F(CSampleFormatConverterTest, SowtPassesThrough) {
  EXPECT_EQ(Convert(FourCC("sowt"), 16, {0x34, 0x12, 0x00, 0x80, 0xFF, 0x7F, 0xFE, 0xFF}),
            (Samples{0x1234, -32768, 32767, -2}));
}

TEST_F(CSampleFormatConverterTest, TwosIsByteSwapped) {
  EXPECT_EQ(Convert(FourCC("twos"), 16, {0x12, 0x34, 0x80, 0x00, 0x7F, 0xFF, 0xFF, 0xFE}),
            (Samples{0x1234, -32768, 32767, -2}));
}

TEST_F(CSampleFormatConverterTest, In24KeepsTheHighBytesBigEndian) {
  EXPECT_EQ(Convert(FourCC("in24"), 24,
                    {0x12, 0x34, 0x56,    // 0x123456
                     0x80, 0x00, 0x00,    // most negative
                     0x7F, 0xFF, 0xFF,    // most positive
                     0xFF, 0xFF, 0xFF,    // -1: sign carries into the result
                     0xFF, 0x00, 0x01,    // -65535
                     0x00, 0x00, 0xFF}),  // 255: below one step of 16 bits
            (Samples{0x1234, -32768, 32767, -1, -256, 0}));
}

TEST_F(CSampleFormatConverterTest, FortyTwoNiKeepsTheHighBytesLittleEndian) {
  EXPECT_EQ(Convert(FourCC("42ni"), 24,
                    {0x56, 0x34, 0x12,    // 0x123456
                     0x00, 0x00, 0x80,    // most negative
                     0xFF, 0xFF, 0x7F,    // most positive
                     0xFF, 0xFF, 0xFF,    // -1
                     0x01, 0x00, 0xFF,    // -65535
                     0xFF, 0x00, 0x00}),  // 255
            (Samples{0x1234, -32768, 32767, -1, -256, 0}));
}

TEST_F(CSampleFormatConverterTest, In32KeepsTheHighBytesBigEndian) {
  EXPECT_EQ(Convert(FourCC("in32"), 32,
                    {0x12, 0x34, 0x56, 0x78, 0x80, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF}),
            (Samples{0x1234, -32768, 32767, -1, 0, -2}));
}

TEST_F(CSampleFormatConverterTest, LittleEndian32BitIntegersKeepTheirHigh16Bits) {
  const std::vector<int32_t> values = {0x12345678, std::numeric_limits<int32_t>::min(),
                                       std::numeric_limits<int32_t>::max(), -1, 0x0000FFFF,
                                       0x00018000, -65536, -65537};
  const Samples expected = {0x1234, -32768, 32767, -1, 0, 1, -1, -2};
  EXPECT_EQ(Convert(FourCC("23ni"), 32, Raw(values)), expected);
  EXPECT_EQ(Convert(FourCC("32ni"), 32, Raw(values)), expected);
}

TEST_F(CSampleFormatConverterTest, MisalignedIntegerBytesGiveTheSameResult) {
  const std::vector<int32_t> values = {0x12345678, -65537, std::numeric_limits<int32_t>::min()};
  Bytes shifted(1 + values.size() * 4);
  std::memcpy(shifted.data() + 1, values.data(), values.size() * 4);
  Result started;
  auto converter =
      MakeConverter(FourCC("afc "), *Describe(FourCC("23ni"), 1, 48000, 32), 0, &started);
  ASSERT_FALSE(started.Failed());
  EXPECT_EQ(ConvertBlock(*converter, shifted.data() + 1, static_cast<int32_t>(values.size() * 4)),
            (Samples{0x1234, -2, -32768}));
}

// Float inputs and their 16-bit results: scale by 32768, round to nearest
// (halves to even), saturate; NaN gives silence.
struct FloatCase {
  double input;
  int16_t expected;
};
const std::vector<FloatCase>& FloatCases() {
  static const std::vector<FloatCase> cases = {
      {0.0, 0},
      {0.25, 8192},
      {-0.5, -16384},
      {1.0, 32767},                  // +full scale does not fit: saturates
      {-1.0, -32768},
      {32766.5 / 32768, 32766},      // half: to even
      {32767.25 / 32768, 32767},
      {1.5, 32767},                  // above full scale
      {-1.5, -32768},
      {2.0, 32767},
      {65536.0, 32767},              // far out of range still saturates
      {-65537.0, -32768},
      {1e10, 32767},
      {-1e10, -32768},
      {std::numeric_limits<double>::infinity(), 32767},
      {-std::numeric_limits<double>::infinity(), -32768},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {0.5 / 32768, 0},              // halves go to the even neighbour
      {1.5 / 32768, 2},
      {2.5 / 32768, 2},
      {-0.5 / 32768, 0},
      {-1.5 / 32768, -2},
      {-2.5 / 32768, -2},
      {0.75 / 32768, 1},             // otherwise to the nearest
      {-0.75 / 32768, -1},
      {1.25 / 32768, 1},
  };
  return cases;
}

TEST_F(CSampleFormatConverterTest, Float32IsScaledRoundedAndSaturated) {
  std::vector<float> values;
  Samples expected;
  for (const FloatCase& c : FloatCases()) {
    values.push_back(static_cast<float>(c.input));
    expected.push_back(c.expected);
  }
  EXPECT_EQ(Convert(FourCC("fl32"), 32, Raw(values)), expected);
  EXPECT_EQ(Convert(FourCC("23lf"), 32, Raw(values)), expected);
}

TEST_F(CSampleFormatConverterTest, Float64IsScaledRoundedAndSaturated) {
  std::vector<double> values;
  Samples expected;
  for (const FloatCase& c : FloatCases()) {
    values.push_back(c.input);
    expected.push_back(c.expected);
  }
  values.push_back(1e300);
  expected.push_back(32767);
  values.push_back(32767.4999 / 32768);
  expected.push_back(32767);
  EXPECT_EQ(Convert(FourCC("fl64"), 64, Raw(values)), expected);
}

// The default rounding mode takes a faster path than the others; both must
// give the same samples.
TEST_F(CSampleFormatConverterTest, FloatsRoundHalvesToEvenInEveryRoundingMode) {
  std::vector<float> singles;
  std::vector<double> doubles;
  Samples expected;
  for (const FloatCase& c : FloatCases()) {
    singles.push_back(static_cast<float>(c.input));
    doubles.push_back(c.input);
    expected.push_back(c.expected);
  }
  const int saved = std::fegetround();
  for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO, FE_TONEAREST}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    const Samples fromSingles = Convert(FourCC("fl32"), 32, Raw(singles));
    const Samples fromDoubles = Convert(FourCC("fl64"), 64, Raw(doubles));
    std::fesetround(saved);
    EXPECT_EQ(fromSingles, expected) << "rounding mode " << mode;
    EXPECT_EQ(fromDoubles, expected) << "rounding mode " << mode;
  }
}

TEST_F(CSampleFormatConverterTest, AnyChannelCountKeepsFramesInterleaved) {
  // Five channels, two frames of 24-bit big-endian: channel c holds c + 1
  // in frame 0 and -(c + 1) in frame 1 (in the high 16 bits).
  Bytes bytes;
  for (int frame = 0; frame < 2; ++frame) {
    for (int c = 0; c < 5; ++c) {
      const auto value = static_cast<uint16_t>(frame == 0 ? c + 1 : -(c + 1));
      bytes.push_back(static_cast<uint8_t>(value >> 8));
      bytes.push_back(static_cast<uint8_t>(value & 0xFF));
      bytes.push_back(0x99);
    }
  }
  EXPECT_EQ(Convert(FourCC("in24"), 24, bytes, 5), (Samples{1, 2, 3, 4, 5, -1, -2, -3, -4, -5}));
}

TEST_F(CSampleFormatConverterTest, OutputStatesItsFrameCount) {
  Result started;
  auto converter =
      MakeConverter(FourCC("afc "), *Describe(FourCC("fl64"), 3, 44100, 64), 0, &started);
  ASSERT_FALSE(started.Failed());
  std::vector<double> block(3 * 7, 0.5);
  auto input = RObject<CAudioSample>::Adopt(new CAudioSample(7));
  input->SetExternalData(block.data(), static_cast<int32_t>(block.size() * 8), false);
  ASSERT_FALSE(converter->PushSample(0, input.Get()).Failed());
  RObject<CMediaSample> out;
  ASSERT_FALSE(converter->PullSample(0, out).Failed());
  ASSERT_TRUE(out->IsType(CAudioSample::kType));
  EXPECT_EQ(static_cast<CAudioSample*>(out.Get())->GetFrameCount(), 7);
  EXPECT_EQ(out->GetLength(), 7 * 3 * 2);
}

}  // namespace
}  // namespace Corvane::Vel
