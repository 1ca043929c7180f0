#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "Vel/CObject.h"
#include "buffers/kaBuffer2.h"
#include "buffers/kaBufferGroup2.h"
#include "buffers/kaGPUAccessibleBuffer.h"
#include "foundation/kaFoundation.h"

// Shared pieces of the adapter tests.

// Every adapter test leaves no object alive in either counting system: the
// library's (xCUnknown: buffers, groups, filter managers) and the media
// framework's (CObject: adapters, properties).
class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unknownsAtStart_ = xCUnknown::LiveObjectsForTesting();
    velObjectsAtStart_ = Corvane::Vel::CObject::LiveObjectsForTesting();
  }
  void TearDown() override {
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), unknownsAtStart_) << "library objects leaked";
    EXPECT_EQ(Corvane::Vel::CObject::LiveObjectsForTesting(), velObjectsAtStart_) << "framework objects leaked";
  }
  int64_t LiveUnknowns() const { return xCUnknown::LiveObjectsForTesting() - unknownsAtStart_; }
  int64_t LiveVelObjects() const { return Corvane::Vel::CObject::LiveObjectsForTesting() - velObjectsAtStart_; }

 private:
  int64_t unknownsAtStart_ = 0;
  int64_t velObjectsAtStart_ = 0;
};

inline void Describe(kaBuffer2& buffer, int32_t width, int32_t height, uint32_t raster, int32_t bytesPerRow) {
  buffer.SetMediaType(veMediaTypeVideo);
  buffer.SetWidth(width);
  buffer.SetHeight(height);
  buffer.SetRasterType(raster);
  buffer.SetBytesPerRow(bytesPerRow);
}

// A plain kaBuffer2 (no GPU interface) describing a video image, with
// `storageBytes` of storage. The caller owns the one reference.
inline kaBuffer2* NewPlainBuffer(int32_t width, int32_t height, uint32_t raster, int32_t bytesPerRow,
                                 int storageBytes) {
  auto* buffer = new kaBuffer2();
  Describe(*buffer, width, height, raster, bytesPerRow);
  EXPECT_EQ(buffer->AllocateStorage(storageBytes), 0);
  return buffer;
}

// A GPU-accessible buffer whose mapping the test controls: it records the
// flags of every Map and counts Unmaps, and maps to its own storage with the
// record's bytes per row (the default), to given foreign bytes, or to a
// failed mapping.
class TestGpuBuffer final : public kaGPUAccessibleBuffer {
 public:
  TestGpuBuffer(int32_t width, int32_t height, uint32_t raster, int32_t bytesPerRow, int storageBytes) {
    Describe(*this, width, height, raster, bytesPerRow);
    EXPECT_EQ(AllocateStorage(storageBytes), 0);
  }

  Mapping Map(MapFlags flags) override {
    mapFlags.push_back(flags);
    if (useStorage) return {GetStorage(), BytesPerRow()};
    return mapping;
  }
  void Unmap() override { ++unmaps; }

  // Map answers `mapping` from now on instead of the storage.
  void MapTo(unsigned char* data, int32_t rowBytes) {
    useStorage = false;
    mapping = {data, rowBytes};
  }

  std::vector<int32_t> mapFlags;
  int unmaps = 0;

 protected:
  ~TestGpuBuffer() override = default;

 private:
  bool useStorage = true;
  Mapping mapping;
};

// Owns one library reference (adopted) and releases it at scope exit.
template <class T>
using LibHeld = std::unique_ptr<T, zReleaseDeleter>;
