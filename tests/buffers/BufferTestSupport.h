#pragma once
// Shared pieces of the buffer, adapter and renderer tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Vel/CObject.h"
#include "buffers/_kaCachedBuffer.h"
#include "buffers/kaBufferGroup2.h"
#include "support/ManualClock.h"
#include "support/TestRecords.h"

// Fixture of every buffer, adapter and renderer test. The foundation clock
// stands still unless the test moves it (the cache stamps returned buffers
// with it), and the test must leave no counted object alive: neither the
// library's (buffers, groups, renderers) nor the media framework's (adapters).
class BufferTest : public ManualClockTest {
 protected:
  void TearDown() override { EXPECT_EQ(std::pair(LiveUnknowns(), LiveVelObjects()), std::pair(0L, 0L)); }
  int64_t LiveUnknowns() const { return xCUnknown::LiveObjectsForTesting() - unknownsAtStart_; }
  int64_t LiveVelObjects() const { return Corvane::Vel::CObject::LiveObjectsForTesting() - velObjectsAtStart_; }

 private:
  const int64_t unknownsAtStart_ = xCUnknown::LiveObjectsForTesting();
  const int64_t velObjectsAtStart_ = Corvane::Vel::CObject::LiveObjectsForTesting();
};

// Owns one library reference (adopted) and releases it at scope exit.
template <class T>
using Held = std::unique_ptr<T, zReleaseDeleter>;

// A new buffer of class T describing a video image, with `storageBytes` zeroed
// bytes of storage. The caller owns its one reference.
template <class T = kaBuffer2>
T* NewVideoBuffer(int32_t width, int32_t height, uint32_t raster, int32_t bytesPerRow, int storageBytes) {
  auto* buffer = new T();
  buffer->veMediaRecord::operator=(VideoFormat(width, height, raster, bytesPerRow));
  EXPECT_EQ(buffer->AllocateStorage(storageBytes), 0);
  return buffer;
}

inline std::vector<unsigned char> Bytes(const kaBuffer2& b) {
  return {b.GetStorage(), b.GetStorage() + b.StorageSize()};
}

// A GPU-accessible buffer whose mapping the test controls: it records the
// flags of every Map and counts Unmaps; it maps its own storage with the
// record's bytes per row until MapTo points it elsewhere (or at nothing).
class TestGpuBuffer final : public kaGPUAccessibleBuffer {
 public:
  Mapping Map(MapFlags flags) override {
    mapFlags.push_back(flags);
    return foreign ? mapping : Mapping{GetStorage(), BytesPerRow()};
  }
  void Unmap() override { ++unmaps; }
  void MapTo(unsigned char* data, int32_t rowBytes) { foreign = true, mapping = {data, rowBytes}; }

  std::vector<int32_t> mapFlags;
  int unmaps = 0;
  bool foreign = false;
  Mapping mapping;
};
