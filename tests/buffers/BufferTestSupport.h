#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "buffers/_kaCachedBuffer.h"
#include "buffers/kaBufferGroupCache.h"
#include "foundation/kaFoundation.h"

// Shared pieces of the buffer tests.

using TestCache = kaBufferGroupCache<_kaCachedBuffer>;

// Every test of the buffer folder must leave no reference-counted object
// alive: the fixture compares the process's live xCUnknown objects before
// and after each test.
class LiveObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override { liveAtStart_ = xCUnknown::LiveObjectsForTesting(); }
  void TearDown() override { EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart_) << "objects leaked"; }
  int64_t LiveSinceStart() const { return xCUnknown::LiveObjectsForTesting() - liveAtStart_; }

 private:
  int64_t liveAtStart_ = 0;
};

// The group's factory: a new cached buffer with `size` bytes of storage.
inline std::shared_ptr<_kaCachedBuffer> MakeTestBuffer(const veMediaRecord& /*format*/, unsigned long size) {
  if (size > 0x7fffffffUL) return {};
  std::shared_ptr<_kaCachedBuffer> buffer = zNewSharedPtr<_kaCachedBuffer>();
  if (!buffer || buffer->AllocateStorage(static_cast<int>(size)) != 0) return {};
  return buffer;
}

inline veMediaRecord VideoFormat(int32_t width, int32_t height, uint32_t raster, int32_t bytesPerRow) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(raster);
  format.SetBytesPerRow(bytesPerRow);
  return format;
}

inline veMediaRecord AudioFormat(int32_t sampleRate, int32_t channels) {
  veMediaRecord format(veMediaTypeAudio);
  format.SetAudioFormat(veAudioFormat::kSowt);
  format.SetBitsPerSample(16);
  format.SetChannelBuffers(1);
  format.SetChannels(channels);
  format.SetSampleRate(sampleRate);
  return format;
}

// A byte block with guard zones on both sides, to prove that a write stayed
// inside the `size` bytes in the middle.
class GuardedBytes {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr unsigned char kGuardByte = 0xA5;

  explicit GuardedBytes(size_t size, unsigned char fill = 0x00) : size_(size), bytes_(size + 2 * kGuard, kGuardByte) {
    std::memset(bytes_.data() + kGuard, fill, size);
  }
  unsigned char* data() { return bytes_.data() + kGuard; }
  char* chars() { return reinterpret_cast<char*>(data()); }
  size_t size() const { return size_; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (bytes_[i] != kGuardByte || bytes_[kGuard + size_ + i] != kGuardByte) return false;
    }
    return true;
  }
  bool AllEqual(unsigned char value) const {
    for (size_t i = 0; i < size_; ++i) {
      if (bytes_[kGuard + i] != value) return false;
    }
    return true;
  }

 private:
  size_t size_;
  std::vector<unsigned char> bytes_;
};

// Fills `count` bytes with a pattern that differs from byte to byte.
inline void FillPattern(unsigned char* bytes, size_t count, unsigned seed = 0) {
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + seed) % 251 + 1);
}
