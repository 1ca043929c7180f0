#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

#include "BufferTestSupport.h"
#include "buffers/kaBufferGroup2.h"

// Fixture of the buffer group's tests: one group, and the live-object check
// of the buffer folder around every test.
class kaBufferGroup2TestBase : public LiveObjectsTest {
 protected:
  void SetUp() override {
    LiveObjectsTest::SetUp();
    group = zNewSharedPtr<kaBufferGroup2>();
    ASSERT_TRUE(group);
  }
  void TearDown() override {
    group.reset();
    LiveObjectsTest::TearDown();
  }

  // Idle buffers of the bucket that a request for (`format`, `size`) uses.
  long Idle(const veMediaRecord& format, unsigned long size) { return group->Debug_CountOfCachedBuffers(format, size); }

  std::shared_ptr<kaBufferGroup2> group;
};

// A group whose GPU-accessible buffers have rows `extraRowBytes` longer than
// the tight value and storage `storageShortfall` bytes shorter than rows × row
// bytes, pre-filled with kPaddingByte; with both 0 it is the plain group. It
// counts the calls of the two overridable slots, to show that every form of
// allocation goes through the table.
class InstrumentedGroup : public kaBufferGroup2 {
 public:
  static constexpr unsigned char kPaddingByte = 0xAA;

  using kaBufferGroup2::CreateGPUAccessibleBuffer;

  int32_t CreateGPUAccessibleBuffer(const veMediaRecord& format, kaGPUAccessibleBuffer** out) override {
    ++gpuCalls;
    if (extraRowBytes == 0 && storageShortfall == 0 && !withoutRowBytes) {
      return kaBufferGroup2::CreateGPUAccessibleBuffer(format, out);
    }
    if (!out) return -1;
    const int32_t tight = veRasterType::BytesPerRow(format.Width(), format.RasterType(), false);
    const int32_t rows = veRasterType::RowCount(format.Height(), format.RasterType());
    if (tight < 1 || rows < 1) return -1;
    veMediaRecord shaped(format);
    int32_t rowBytes = tight + extraRowBytes;
    int32_t size = rows * rowBytes - storageShortfall;
    if (withoutRowBytes) {
      // Not a video record: the group leaves its bytes per row at 0, so the
      // buffer cannot be mapped.
      shaped.SetMediaType(zFourCC("data"));
      rowBytes = 0;
      size = rows * tight;
    }
    shaped.SetBytesPerRow(rowBytes);
    kaBuffer2* buffer = nullptr;
    const int32_t result = kaBufferGroup2::allocate_buffer(shaped, size, 1, 0, &buffer);
    if (result != 0) return result;
    std::memset(buffer->GetStorage(), kPaddingByte, buffer->StorageSize());
    *out = static_cast<_kaCachedBuffer*>(buffer);  // every buffer of a group is one
    return 0;
  }

  int32_t allocate_buffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out) override {
    ++allocateCalls;
    return kaBufferGroup2::allocate_buffer(format, size, count, extra, out);
  }

  int32_t extraRowBytes = 0;
  int32_t storageShortfall = 0;
  bool withoutRowBytes = false;
  std::atomic<int> gpuCalls{0};
  std::atomic<int> allocateCalls{0};
};
