#include "buffers/kaGPUAccessibleBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "BufferTestSupport.h"
#include "buffers/_kaCachedBuffer.h"

namespace {

using kaGPUAccessibleBufferTest = LiveObjectsTest;

constexpr int32_t kImageWidth = 100;
constexpr int32_t kImageHeight = 3;
constexpr int32_t kPixelBytes = 4;
constexpr int32_t kRowBytes = kImageWidth * kPixelBytes;

// A 100 x 3 RGBA cached buffer whose bytes are a known pattern.
_kaCachedBuffer* NewPatternImage(int storageBytes = kRowBytes * kImageHeight) {
  auto* buffer = new _kaCachedBuffer();
  buffer->SetMediaType(veMediaTypeVideo);
  buffer->SetWidth(kImageWidth);
  buffer->SetHeight(kImageHeight);
  buffer->SetRasterType(veRasterType::kRgba);
  buffer->SetBytesPerRow(kRowBytes);
  EXPECT_EQ(buffer->AllocateStorage(storageBytes), 0);
  FillPattern(buffer->GetStorage(), buffer->StorageSize(), 11);
  return buffer;
}

// True when `copied` holds rows of `columns` pixels from (x, y) of `buffer`.
bool MatchesImage(kaBuffer2* buffer, const unsigned char* copied, int x, int y, int columns, int rows) {
  for (int row = 0; row < rows; ++row) {
    const unsigned char* source = buffer->GetStorage() + (y + row) * kRowBytes + x * kPixelBytes;
    if (std::memcmp(copied + row * columns * kPixelBytes, source, static_cast<size_t>(columns * kPixelBytes)) != 0) {
      return false;
    }
  }
  return true;
}

// A GPU-accessible buffer whose mapping lies outside its own storage.
class ForeignMappedBuffer : public kaGPUAccessibleBuffer {
 public:
  explicit ForeignMappedBuffer(unsigned char* pixels, int32_t rowBytes) : pixels_(pixels), rowBytes_(rowBytes) {}
  Mapping Map(MapFlags) override {
    ++maps;
    return Mapping{pixels_, rowBytes_};
  }
  void Unmap() override { ++unmaps; }
  int maps = 0;
  int unmaps = 0;

 private:
  unsigned char* pixels_;
  int32_t rowBytes_;
};

}  // namespace

// ---- interfaces and the one count -------------------------------------------

TEST_F(kaGPUAccessibleBufferTest, AnswersTheGPUInterfaceWithAReferenceOnTheOneCount) {
  _kaCachedBuffer* buffer = NewPatternImage();
  void* out = nullptr;
  ASSERT_EQ(buffer->QueryInterface("kaXIGPUAccessibleBuffer", &out), 0);
  EXPECT_EQ(buffer->RefCountForTesting(), 2);
  auto* gpu = static_cast<kaXIGPUAccessibleBuffer*>(out);
  EXPECT_EQ(gpu, static_cast<kaXIGPUAccessibleBuffer*>(buffer));
  const kaXIGPUAccessibleBuffer::Mapping mapping = gpu->Map(kaXIGPUAccessibleBuffer::kMapForReading);
  EXPECT_EQ(mapping.data, buffer->GetStorage());
  EXPECT_EQ(mapping.rowBytes, kRowBytes);
  gpu->Unmap();
  EXPECT_EQ(gpu->AddRef(), 3);
  EXPECT_EQ(gpu->Release(), 2);
  EXPECT_EQ(gpu->Release(), 1);
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, NullOutPointerAnswersWithoutAReference) {
  _kaCachedBuffer* buffer = NewPatternImage();
  EXPECT_EQ(buffer->QueryInterface("kaXIGPUAccessibleBuffer", nullptr), 0);
  EXPECT_EQ(buffer->QueryInterface("kaXIVideoBuffer", nullptr), 0);
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, VideoInterfaceIsTheOtherSubObject) {
  _kaCachedBuffer* buffer = NewPatternImage();
  void* gpu = nullptr;
  void* video = nullptr;
  ASSERT_EQ(buffer->QueryInterface("kaXIGPUAccessibleBuffer", &gpu), 0);
  ASSERT_EQ(buffer->QueryInterface("kaXIVideoBuffer", &video), 0);
  EXPECT_NE(gpu, video);
  EXPECT_EQ(video, static_cast<kaXIVideoBuffer*>(buffer));
  EXPECT_EQ(buffer->RefCountForTesting(), 3);

  // Queries through an interface pointer reach the same object.
  void* again = nullptr;
  ASSERT_EQ(static_cast<kaXIVideoBuffer*>(video)->QueryInterface("kaXIGPUAccessibleBuffer", &again), 0);
  EXPECT_EQ(again, gpu);
  static_cast<kaXIGPUAccessibleBuffer*>(again)->Release();

  static_cast<kaXIGPUAccessibleBuffer*>(gpu)->Release();
  static_cast<kaXIVideoBuffer*>(video)->Release();
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  // Releasing the last reference through an interface destroys the buffer.
  const int64_t before = LiveSinceStart();
  static_cast<kaXIVideoBuffer*>(buffer)->Release();
  EXPECT_EQ(LiveSinceStart(), before - 1);
}

TEST_F(kaGPUAccessibleBufferTest, OtherNamesGetTheFoundationsAnswer) {
  _kaCachedBuffer* buffer = NewPatternImage();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(buffer->QueryInterface("kaXIGPUAccessibleBufferX", &out), -1);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(buffer->QueryInterface(nullptr, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(buffer->QueryInterface("kaxigpuaccessiblebuffer", &out), -1);
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  ASSERT_EQ(buffer->QueryInterface("xIUnknown", &out), 0);
  EXPECT_EQ(buffer->RefCountForTesting(), 2);
  static_cast<xIUnknown*>(out)->Release();
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, MapIgnoresItsFlagsAndReadsTheRecordEachTime) {
  _kaCachedBuffer* buffer = NewPatternImage();
  for (auto flags : {kaXIGPUAccessibleBuffer::kMapForReading, kaXIGPUAccessibleBuffer::kMapForWriting,
                     kaXIGPUAccessibleBuffer::kMapForReadWrite}) {
    const auto mapping = buffer->Map(flags);
    EXPECT_EQ(mapping.data, buffer->GetStorage());
    EXPECT_EQ(mapping.rowBytes, kRowBytes);
  }
  buffer->SetBytesPerRow(512);
  EXPECT_EQ(buffer->Map(kaXIGPUAccessibleBuffer::kMapForReading).rowBytes, 512);
  buffer->Release();

  auto* empty = new _kaCachedBuffer();
  EXPECT_EQ(empty->Map(kaXIGPUAccessibleBuffer::kMapForWriting).data, nullptr);
  empty->Release();
}

// ---- CopySubImage -------------------------------------------------------------

TEST_F(kaGPUAccessibleBufferTest, CopySubImageCopiesAnInsideRectangle) {
  _kaCachedBuffer* buffer = NewPatternImage();
  GuardedBytes destination(2 * 5 * kPixelBytes);
  int x = 10, y = 1, width = 5, height = 2;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, 1);
  EXPECT_EQ(width, 5);
  EXPECT_EQ(height, 2);
  EXPECT_TRUE(MatchesImage(buffer, destination.data(), 10, 1, 5, 2));
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageClipsANegativeLeftEdge) {
  _kaCachedBuffer* buffer = NewPatternImage();
  GuardedBytes destination(kImageHeight * 8 * kPixelBytes);
  int x = -2, y = 0, width = 10, height = kImageHeight;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_EQ(x, 0);
  EXPECT_EQ(width, 8);
  EXPECT_EQ(height, kImageHeight);
  EXPECT_TRUE(MatchesImage(buffer, destination.data(), 0, 0, 8, kImageHeight));
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageClipsTheRightAndBottomEdges) {
  _kaCachedBuffer* buffer = NewPatternImage();
  GuardedBytes destination(2 * 4 * kPixelBytes);
  int x = 96, y = -1, width = 50, height = 3;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_EQ(x, 96);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(width, 4);
  EXPECT_EQ(height, 2);
  EXPECT_TRUE(MatchesImage(buffer, destination.data(), 96, 0, 4, 2));
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageOutsideTheImageReturnsNull) {
  _kaCachedBuffer* buffer = NewPatternImage();
  GuardedBytes destination(64);
  int x = kImageWidth, y = 0, width = 1, height = 1;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), nullptr);
  EXPECT_EQ(x, kImageWidth);
  // Step 1 stays written even when the rectangle then misses the image.
  x = -3;
  y = kImageHeight;
  width = 10;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), nullptr);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(width, 7);
  EXPECT_TRUE(destination.AllEqual(0));
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageWithAnEmptyClippedRectangleCopiesNothing) {
  _kaCachedBuffer* buffer = NewPatternImage();
  GuardedBytes destination(64);
  int x = -20, y = 0, width = 10, height = 1;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_EQ(x, 0);
  EXPECT_EQ(width, -10);
  int x2 = 0, y2 = 0, width2 = 4, height2 = 0;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x2, y2, width2, height2), destination.chars());
  EXPECT_TRUE(destination.AllEqual(0));
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageSumsDoNotOverflow) {
  _kaCachedBuffer* buffer = NewPatternImage();
  GuardedBytes destination(kImageHeight * 50 * kPixelBytes);
  // x + width beyond 32 bits clips to the image's right edge.
  int x = 50, y = 0, width = std::numeric_limits<int>::max(), height = std::numeric_limits<int>::max();
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_EQ(width, 50);
  EXPECT_EQ(height, kImageHeight);
  EXPECT_TRUE(MatchesImage(buffer, destination.data(), 50, 0, 50, kImageHeight));

  // width + x below the 32-bit range saturates and copies nothing.
  GuardedBytes untouched(16);
  x = -5;
  y = std::numeric_limits<int>::min();
  width = std::numeric_limits<int>::min();
  height = std::numeric_limits<int>::min();
  EXPECT_EQ(buffer->CopySubImage(untouched.chars(), x, y, width, height), untouched.chars());
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(width, std::numeric_limits<int>::min());
  EXPECT_EQ(height, std::numeric_limits<int>::min());
  EXPECT_TRUE(untouched.AllEqual(0));
  EXPECT_TRUE(untouched.GuardsIntact());
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageWithFailedMappingMarksOnePixel) {
  _kaCachedBuffer* buffer = NewPatternImage();
  buffer->SetBytesPerRow(0);
  GuardedBytes destination(16);
  int x = 0, y = 0, width = 2, height = 2;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(destination.data()[i], 0xFF) << i;
  for (int i = 4; i < 16; ++i) EXPECT_EQ(destination.data()[i], 0x00) << i;
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();

  auto* noStorage = new _kaCachedBuffer();
  noStorage->SetMediaType(veMediaTypeVideo);
  noStorage->SetWidth(4);
  noStorage->SetHeight(4);
  noStorage->SetRasterType(veRasterType::k2vuy);
  noStorage->SetBytesPerRow(8);
  GuardedBytes small(8);
  x = 0;
  y = 0;
  width = 2;
  height = 2;
  EXPECT_EQ(noStorage->CopySubImage(small.chars(), x, y, width, height), small.chars());
  EXPECT_EQ(small.data()[0], 0xFF);
  EXPECT_EQ(small.data()[1], 0xFF);
  EXPECT_EQ(small.data()[2], 0x00);
  noStorage->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageNeverReadsPastTheStorage) {
  // The record claims 100 rows but the storage holds 3.
  _kaCachedBuffer* buffer = NewPatternImage();
  buffer->SetHeight(100);
  GuardedBytes destination(10 * 4 * kPixelBytes);
  int x = 0, y = 0, width = 4, height = 10;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_EQ(height, 10);
  EXPECT_TRUE(destination.AllEqual(0));
  EXPECT_TRUE(destination.GuardsIntact());

  // Rows that do fit are still copied.
  int x2 = 0, y2 = 0, width2 = 4, height2 = 3;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x2, y2, width2, height2), destination.chars());
  EXPECT_TRUE(MatchesImage(buffer, destination.data(), 0, 0, 4, 3));
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageWithUnknownRasterTypeCopiesNothing) {
  _kaCachedBuffer* buffer = NewPatternImage();
  buffer->SetRasterType(zFourCC("zzzz"));
  GuardedBytes destination(32);
  int x = 0, y = 0, width = 4, height = 2;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_TRUE(destination.AllEqual(0));
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageWithNullDestinationChangesNothing) {
  _kaCachedBuffer* buffer = NewPatternImage();
  int x = -4, y = -4, width = 10, height = 10;
  EXPECT_EQ(buffer->CopySubImage(nullptr, x, y, width, height), nullptr);
  EXPECT_EQ(x, -4);
  EXPECT_EQ(width, 10);
  buffer->Release();
}

TEST_F(kaGPUAccessibleBufferTest, CopySubImageUsesTheSubclassMappingAndUnmapsIt) {
  unsigned char pixels[2 * 16];
  FillPattern(pixels, sizeof(pixels), 2);
  auto* buffer = new ForeignMappedBuffer(pixels, 16);
  buffer->SetMediaType(veMediaTypeVideo);
  buffer->SetWidth(4);
  buffer->SetHeight(2);
  buffer->SetRasterType(veRasterType::kBGRA);
  GuardedBytes destination(2 * 2 * 4);
  int x = 1, y = 0, width = 2, height = 2;
  EXPECT_EQ(buffer->CopySubImage(destination.chars(), x, y, width, height), destination.chars());
  EXPECT_EQ(buffer->maps, 1);
  EXPECT_EQ(buffer->unmaps, 1);
  EXPECT_EQ(std::memcmp(destination.data(), pixels + 4, 8), 0);
  EXPECT_EQ(std::memcmp(destination.data() + 8, pixels + 16 + 4, 8), 0);
  EXPECT_TRUE(destination.GuardsIntact());
  buffer->Release();
}
