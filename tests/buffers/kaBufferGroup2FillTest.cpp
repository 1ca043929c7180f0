#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "kaBufferGroup2TestSupport.h"

namespace {

kaGPUAccessibleBuffer* const kUntouchedGPU = reinterpret_cast<kaGPUAccessibleBuffer*>(uintptr_t{0x5A5A5A50});

class kaBufferGroup2FillTest : public kaBufferGroup2TestBase {
 protected:
  // A group whose GPU-accessible buffers are shaped by the test.
  std::shared_ptr<InstrumentedGroup> Instrumented() {
    auto made = zNewSharedPtr<InstrumentedGroup>();
    EXPECT_TRUE(made);
    return made;
  }

  // Takes a buffer of `format` from the group, scribbles over it and returns
  // it to the cache, so the next request of that format gets dirty storage.
  void LeaveDirtyBufferInCache(kaBufferGroup2& from, const veMediaRecord& format) {
    kaGPUAccessibleBuffer* buffer = nullptr;
    ASSERT_EQ(from.CreateGPUAccessibleBuffer(format, &buffer), 0);
    std::memset(buffer->GetStorage(), 0x5C, buffer->StorageSize());
    buffer->Release();
  }

  static std::vector<unsigned char> Bytes(const kaBuffer2& buffer) {
    const unsigned char* data = buffer.GetStorage();
    return std::vector<unsigned char>(data, data + buffer.StorageSize());
  }
  static std::vector<unsigned char> Repeat(std::initializer_list<unsigned char> unit, size_t times) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), unit);
    return out;
  }
  static std::vector<unsigned char> Row(const kaBuffer2& buffer, int row, int from, int count) {
    const unsigned char* start = buffer.GetStorage() + static_cast<ptrdiff_t>(row) * buffer.BytesPerRow() + from;
    return std::vector<unsigned char>(start, start + count);
  }
};

// ---- from caller data -----------------------------------------------------------

TEST_F(kaBufferGroup2FillTest, FromDataCopiesRowsOutOfAPaddedSource) {
  // 3 × 2 rgba with 16-byte source rows: 12 bytes of pixels and 4 of padding.
  unsigned char source[32];
  FillPattern(source, sizeof(source));
  kaGPUAccessibleBuffer* buffer = kUntouchedGPU;
  ASSERT_EQ(group->CreateGPUAccessibleBufferFromData(VideoFormat(3, 2, veRasterType::kRgba, 16), source, 0, &buffer),
            0);
  ASSERT_NE(buffer, kUntouchedGPU);
  EXPECT_EQ(buffer->BytesPerRow(), 12);
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  ASSERT_EQ(buffer->StorageSize(), 24u);
  EXPECT_EQ(0, std::memcmp(buffer->GetStorage(), source, 12));
  EXPECT_EQ(0, std::memcmp(buffer->GetStorage() + 12, source + 16, 12));
  buffer->Release();
}

TEST_F(kaBufferGroup2FillTest, FromDataCopiesEveryRowOfAPlanarImage) {
  unsigned char source[12];  // I420 4 × 2: two luma rows and one chroma row of 4 bytes
  FillPattern(source, sizeof(source), 3);
  kaGPUAccessibleBuffer* buffer = nullptr;
  ASSERT_EQ(group->CreateGPUAccessibleBufferFromData(VideoFormat(4, 2, veRasterType::kI420, 4), source, 12, &buffer),
            0);
  ASSERT_EQ(buffer->StorageSize(), 12u);
  EXPECT_EQ(0, std::memcmp(buffer->GetStorage(), source, 12));
  buffer->Release();
}

TEST_F(kaBufferGroup2FillTest, FromDataRejectsBadInputWithoutMakingABuffer) {
  unsigned char source[64] = {};
  struct Case {
    const char* what;
    veMediaRecord format;
    const void* data;
  };
  veMediaRecord audio = AudioFormat(48000, 2);
  audio.SetWidth(4);
  audio.SetHeight(4);
  audio.SetRasterType(veRasterType::kRgba);
  audio.SetBytesPerRow(16);
  const Case cases[] = {
      {"not video", audio, source},
      {"raster type 0", VideoFormat(4, 4, 0, 16), source},
      {"width 0", VideoFormat(0, 4, veRasterType::kRgba, 16), source},
      {"height 0", VideoFormat(4, 0, veRasterType::kRgba, 16), source},
      {"null data", VideoFormat(4, 4, veRasterType::kRgba, 16), nullptr},
      {"no source row bytes", VideoFormat(4, 4, veRasterType::kRgba, 0), source},
      {"source rows shorter than a row", VideoFormat(4, 4, veRasterType::kRgba, 15), source},
      {"negative source row bytes", VideoFormat(4, 4, veRasterType::kRgba, -16), source},
      {"unknown raster type", VideoFormat(4, 4, zFourCC("zzzz"), 16), source},
      {"row bytes overflow", VideoFormat(INT32_MAX / 2, 1, veRasterType::kRgba, INT32_MAX), source},
  };
  for (const Case& c : cases) {
    kaGPUAccessibleBuffer* out = kUntouchedGPU;
    EXPECT_EQ(group->CreateGPUAccessibleBufferFromData(c.format, c.data, sizeof(source), &out), -1) << c.what;
    EXPECT_EQ(out, kUntouchedGPU) << c.what;
  }
  EXPECT_EQ(group->CreateGPUAccessibleBufferFromData(VideoFormat(4, 4, veRasterType::kRgba, 16), source,
                                                     sizeof(source), nullptr),
            -1);
  EXPECT_EQ(group->GetStatistics().misses, 0u) << "no buffer was asked for";
}

TEST_F(kaBufferGroup2FillTest, FromDataNeverWritesPastTheMappedStorage) {
  auto shaped = Instrumented();
  shaped->storageShortfall = 1;  // one byte short of rows × row bytes
  unsigned char source[64];
  FillPattern(source, sizeof(source));
  const veMediaRecord format = VideoFormat(4, 4, veRasterType::kRgba, 16);
  kaGPUAccessibleBuffer* out = kUntouchedGPU;
  EXPECT_EQ(shaped->CreateGPUAccessibleBufferFromData(format, source, sizeof(source), &out), -1);
  EXPECT_EQ(out, nullptr) << "a mapped buffer that cannot take the rows counts as a failed copy";
  EXPECT_EQ(shaped->Debug_CountOfCachedBuffers(format, 63), 1) << "the buffer went back to the cache";
}

TEST_F(kaBufferGroup2FillTest, FromDataWithAnUnmappableBufferLeavesTheOutPointerAlone) {
  auto shaped = Instrumented();
  shaped->withoutRowBytes = true;
  unsigned char source[64] = {};
  kaGPUAccessibleBuffer* out = kUntouchedGPU;
  EXPECT_EQ(shaped->CreateGPUAccessibleBufferFromData(VideoFormat(4, 4, veRasterType::kRgba, 16), source,
                                                      sizeof(source), &out),
            -1);
  EXPECT_EQ(out, kUntouchedGPU);
  EXPECT_EQ(shaped->GetStatistics().liveBytes, 64u) << "made once, now idle in the cache";
}

// ---- blank buffers --------------------------------------------------------------

TEST_F(kaBufferGroup2FillTest, BlankPacked422RowsHoldBlackPixelPairs) {
  struct Case {
    uint32_t raster;
    std::vector<unsigned char> pixels;  // 3 rows of 2 pixel pairs
  };
  const Case cases[] = {
      {veRasterType::k2vuy, Repeat({0x80, 0x00, 0x80, 0x00}, 6)},
      {veRasterType::kYuvs, Repeat({0x00, 0x80, 0x00, 0x80}, 6)},
  };
  for (const Case& c : cases) {
    const veMediaRecord format = VideoFormat(4, 3, c.raster, 0);
    LeaveDirtyBufferInCache(*group, format);
    kaGPUAccessibleBuffer* buffer = nullptr;
    ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(format, true, &buffer), 0);
    EXPECT_EQ(Bytes(*buffer), c.pixels) << c.raster;
    buffer->Release();
  }
}

TEST_F(kaBufferGroup2FillTest, BlankRGBAIsOpaqueBlackOrClear) {
  for (uint32_t raster : {veRasterType::kRGBA, veRasterType::kRgba}) {
    const veMediaRecord format = VideoFormat(3, 2, raster, 0);
    LeaveDirtyBufferInCache(*group, format);
    kaGPUAccessibleBuffer* buffer = nullptr;
    ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(format, false, &buffer), 0);
    EXPECT_EQ(Bytes(*buffer), Repeat({0x00, 0x00, 0x00, 0xFF}, 6));
    buffer->Release();  // dirty again: opaque black is not zero

    ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(format, true, &buffer), 0);
    EXPECT_EQ(Bytes(*buffer), std::vector<unsigned char>(24, 0x00));
    buffer->Release();
  }
}

TEST_F(kaBufferGroup2FillTest, BlankOfAnyOtherRasterTypeZeroesRowBytesTimesHeight) {
  for (uint32_t raster : {veRasterType::kBGRA, veRasterType::kRGB, veRasterType::kV210, veRasterType::kYM16}) {
    const veMediaRecord format = VideoFormat(6, 2, raster, 0);
    LeaveDirtyBufferInCache(*group, format);
    kaGPUAccessibleBuffer* buffer = nullptr;
    ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(format, false, &buffer), 0) << raster;
    EXPECT_EQ(Bytes(*buffer), std::vector<unsigned char>(buffer->StorageSize(), 0x00)) << raster;
    buffer->Release();
  }
}

TEST_F(kaBufferGroup2FillTest, BlankPlanar420ZeroesTheLumaRowsOnly) {
  // Row bytes × height: the chroma rows after the luma rows are not written.
  const veMediaRecord format = VideoFormat(4, 2, veRasterType::kI420, 0);
  LeaveDirtyBufferInCache(*group, format);
  kaGPUAccessibleBuffer* buffer = nullptr;
  ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(format, true, &buffer), 0);
  std::vector<unsigned char> expected(8, 0x00);
  expected.insert(expected.end(), 4, 0x5C);
  EXPECT_EQ(Bytes(*buffer), expected);
  buffer->Release();
}

TEST_F(kaBufferGroup2FillTest, BlankFillLeavesRowPaddingUntouched) {
  auto shaped = Instrumented();
  shaped->extraRowBytes = 4;
  constexpr unsigned char P = InstrumentedGroup::kPaddingByte;
  struct Case {
    uint32_t raster;
    bool clear;
    std::vector<unsigned char> row;  // one row: pixels, then 4 padding bytes
  };
  const Case cases[] = {
      {veRasterType::k2vuy, false, {0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0, P, P, P, P}},
      {veRasterType::kYuvs, true, {0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80, P, P, P, P}},
      {veRasterType::kRgba,
       false,
       {0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, P, P, P, P}},
      // Zero fills cover whole rows, padding included.
      {veRasterType::kRgba, true, std::vector<unsigned char>(20, 0)},
      {veRasterType::kBGRA, false, std::vector<unsigned char>(20, 0)},
  };
  for (const Case& c : cases) {
    kaGPUAccessibleBuffer* buffer = nullptr;
    ASSERT_EQ(shaped->CreateBlankGPUAccessibleBuffer(VideoFormat(4, 3, c.raster, 0), c.clear, &buffer), 0);
    const int rowBytes = buffer->BytesPerRow();
    ASSERT_EQ(rowBytes, static_cast<int>(c.row.size()));
    for (int row = 0; row < 3; ++row) EXPECT_EQ(Row(*buffer, row, 0, rowBytes), c.row) << c.raster << " row " << row;
    buffer->Release();
  }
}

TEST_F(kaBufferGroup2FillTest, BlankRejectsBadInput) {
  EXPECT_EQ(group->CreateBlankGPUAccessibleBuffer(VideoFormat(4, 4, veRasterType::kRgba, 0), false, nullptr), -1);

  for (uint32_t raster : {veRasterType::k2vuy, veRasterType::kYuvs, veRasterType::kI420, veRasterType::kV210}) {
    kaGPUAccessibleBuffer* out = kUntouchedGPU;
    EXPECT_EQ(group->CreateBlankGPUAccessibleBuffer(VideoFormat(3, 4, raster, 0), false, &out), -1) << raster;
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(group->GetStatistics().misses, 0u) << "odd YUV widths make no buffer";

  kaGPUAccessibleBuffer* out = kUntouchedGPU;
  EXPECT_EQ(group->CreateBlankGPUAccessibleBuffer(VideoFormat(0, 4, veRasterType::kRgba, 0), false, &out), -1);
  EXPECT_EQ(out, nullptr);
  out = kUntouchedGPU;
  EXPECT_EQ(group->CreateBlankGPUAccessibleBuffer(VideoFormat(65536, 65536, veRasterType::kBGRA, 0), false, &out),
            -1);
  EXPECT_EQ(out, nullptr);
  // An odd width of a non-YUV format is fine.
  ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(VideoFormat(3, 4, veRasterType::kBGRA, 0), false, &out), 0);
  out->Release();
}

TEST_F(kaBufferGroup2FillTest, BlankThatCannotFitOrMapGoesBackToTheCache) {
  auto shaped = Instrumented();
  shaped->storageShortfall = 1;
  kaGPUAccessibleBuffer* out = kUntouchedGPU;
  EXPECT_EQ(shaped->CreateBlankGPUAccessibleBuffer(VideoFormat(4, 2, veRasterType::kRgba, 0), false, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(shaped->Debug_CountOfCachedBuffers(VideoFormat(4, 2, veRasterType::kRgba, 16), 31), 1);

  shaped->storageShortfall = 0;
  shaped->withoutRowBytes = true;
  out = kUntouchedGPU;
  EXPECT_EQ(shaped->CreateBlankGPUAccessibleBuffer(VideoFormat(4, 2, veRasterType::kRgba, 0), false, &out), -1);
  EXPECT_EQ(out, nullptr);
}

TEST_F(kaBufferGroup2FillTest, SharedBlankFormLeavesItsArgumentAloneOnFailure) {
  std::shared_ptr<kaGPUAccessibleBuffer> out = group->CreateGPUAccessibleBuffer(2, 2, static_cast<int>(veRasterType::kRgba));
  kaGPUAccessibleBuffer* const before = out.get();
  EXPECT_EQ(group->CreateBlankGPUAccessibleBuffer(VideoFormat(3, 2, veRasterType::k2vuy, 0), false, out), -1);
  EXPECT_EQ(out.get(), before);
  EXPECT_EQ(group->CreateBlankGPUAccessibleBuffer(VideoFormat(2, 2, veRasterType::k2vuy, 0), false, out), 0);
  ASSERT_TRUE(out);
  EXPECT_NE(out.get(), before);
  EXPECT_EQ(out->RefCountForTesting(), 1);
  EXPECT_EQ(Bytes(*out), Repeat({0x80, 0x00, 0x80, 0x00}, 2));
}

// ---- coloured buffers -----------------------------------------------------------

TEST_F(kaBufferGroup2FillTest, ColouredBufferOfColourZeroIsBlackWithDisplaySize) {
  kaBuffer2* buffer = group->CreateColoredBuffer(2, 2, 0);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->RasterType(), veRasterType::kRGB);
  EXPECT_EQ(Bytes(*buffer), std::vector<unsigned char>(16, 0x00));
  EXPECT_EQ(buffer->GetDisplayWidth(), 2);
  EXPECT_EQ(buffer->GetDisplayHeight(), 2);
  EXPECT_TRUE(buffer->AsBool(veKeyVideoIsInterlaced, false));
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  buffer->Release();
}

TEST_F(kaBufferGroup2FillTest, ColouredBufferWritesTheWordToEachPixelOfADirtyBuffer) {
  kaBuffer2* dirty = group->CreateColoredBuffer(3, 2, 0xFFFFFFFFu);
  ASSERT_NE(dirty, nullptr);
  dirty->Release();
  kaBuffer2* buffer = group->CreateColoredBuffer(3, 2, 0x11223344u);
  ASSERT_EQ(buffer, dirty) << "the recycled buffer";
  EXPECT_EQ(Bytes(*buffer), Repeat({0x44, 0x33, 0x22, 0x11}, 6));
  buffer->Release();
  buffer = group->CreateColoredBuffer(3, 2, 0);
  EXPECT_EQ(Bytes(*buffer), std::vector<unsigned char>(24, 0x00));
  buffer->Release();
}

TEST_F(kaBufferGroup2FillTest, ColouredBufferRejectsUnusableSizes) {
  EXPECT_EQ(group->CreateColoredBuffer(0, 2, 0), nullptr);
  EXPECT_EQ(group->CreateColoredBuffer(2, 0, 7), nullptr);
  EXPECT_EQ(group->CreateColoredBuffer(-2, 2, 7), nullptr);
  EXPECT_EQ(group->CreateColoredBuffer(2, -2, 7), nullptr);
  EXPECT_EQ(group->CreateColoredBuffer(600'000'000, 1, 7), nullptr);
  EXPECT_EQ(group->CreateColoredBuffer(65536, 65536, 7), nullptr);
  EXPECT_EQ(group->GetStatistics().misses, 0u);
}

TEST_F(kaBufferGroup2FillTest, ReleasedColouredBufferGoesBackToTheCache) {
  kaBuffer2* buffer = group->CreateColoredBuffer(5, 3, 0x01020304u);
  ASSERT_NE(buffer, nullptr);
  const veMediaRecord format = VideoFormat(5, 3, veRasterType::kRGB, 20);
  EXPECT_EQ(Idle(format, 60), -1);
  buffer->Release();
  EXPECT_EQ(Idle(format, 60), 1);
}

// ---- audio ----------------------------------------------------------------------

TEST_F(kaBufferGroup2FillTest, AudioBufferHoldsTheBytesTheFormatAndTheRange) {
  const unsigned char samples[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const veTimeRange range{48000, 96000, 48000, 2};
  std::shared_ptr<kaBuffer2> buffer = group->MakeAudioBuffer(const_cast<unsigned char*>(samples), 8,
                                                             static_cast<int>(veAudioFormat::kSowt), 48000, 2, range);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(Bytes(*buffer), std::vector<unsigned char>(samples, samples + 8));
  EXPECT_EQ(buffer->GetBufferTimeRange(), range);
  EXPECT_EQ(buffer->MediaType(), veMediaTypeAudio);
  EXPECT_EQ(buffer->AudioFormat(), veAudioFormat::kSowt);
  EXPECT_EQ(buffer->ChannelBuffers(), 1);
  EXPECT_EQ(buffer->BitsPerSample(), 16);
  EXPECT_EQ(buffer->SampleRate(), 48000);
  EXPECT_EQ(buffer->Channels(), 2);
  EXPECT_EQ(buffer->AsInt64(veKeyTimeScale, 0), 48000);
  EXPECT_EQ(buffer->AsUInt64(veKeyTime, 0), 96000u);
  EXPECT_EQ(buffer->AsUInt64(veKeyDuration, 0), 2u);
  EXPECT_EQ(buffer->RefCountForTesting(), 1);

  const veMediaRecord anyAudio = AudioFormat(44100, 1);  // audio buckets match on size alone
  buffer.reset();
  EXPECT_EQ(Idle(anyAudio, 8), 1);
}

TEST_F(kaBufferGroup2FillTest, AudioBufferOfPacked24BitSamplesNeedsWholeFrames) {
  unsigned char samples[18] = {};
  EXPECT_TRUE(group->MakeAudioBuffer(samples, 18, static_cast<int>(veAudioFormat::kIn24), 44100, 3, veTimeRange{}));
  EXPECT_FALSE(group->MakeAudioBuffer(samples, 10, static_cast<int>(veAudioFormat::kIn24), 44100, 3, veTimeRange{}));
}

TEST_F(kaBufferGroup2FillTest, AudioBufferRejectsBadInput) {
  unsigned char samples[1024] = {};
  const int sowt = static_cast<int>(veAudioFormat::kSowt);
  struct Case {
    const char* what;
    void* data;
    int bytes;
    int format;
    int rate;
    int channels;
  };
  const Case cases[] = {
      {"6 bytes of 16-bit stereo", samples, 6, sowt, 48000, 2},
      {"null data", nullptr, 8, sowt, 48000, 2},
      {"no bytes", samples, 0, sowt, 48000, 2},
      {"negative byte count", samples, -8, sowt, 48000, 2},
      {"unknown format", samples, 8, static_cast<int>(zFourCC("zzzz")), 48000, 2},
      {"format 0", samples, 8, 0, 48000, 2},
      {"no channels", samples, 8, sowt, 48000, 0},
      {"-1 channels (255 in 8 bits)", samples, 510, sowt, 48000, -1},
      {"256 channels (0 in 8 bits)", samples, 512, sowt, 48000, 256},
      {"257 channels (1 in 8 bits)", samples, 514, sowt, 48000, 257},
      {"sample rate 0", samples, 8, sowt, 0, 2},
      {"negative sample rate", samples, 8, sowt, -48000, 2},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(group->MakeAudioBuffer(c.data, c.bytes, c.format, c.rate, c.channels, veTimeRange{})) << c.what;
  }
  EXPECT_EQ(group->GetStatistics().misses, 0u) << "no buffer was asked for";
  // 255 channels is the largest count the sample-size function takes.
  EXPECT_TRUE(group->MakeAudioBuffer(samples, 510, sowt, 48000, 255, veTimeRange{}));
}

}  // namespace
