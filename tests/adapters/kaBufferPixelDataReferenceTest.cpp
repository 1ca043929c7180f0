#include "adapters/kaBufferPixelDataReference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "AdapterTestSupport.h"
#include "Vel/CGraphicsSurface.h"
#include "Vel/RObject.h"
#include "buffers/_kaCachedBuffer.h"

using Corvane::Vel::CObject;
using Corvane::Vel::CPixelDataReference;
using Corvane::Vel::Dimensions;
using Corvane::Vel::ResultError;
using Corvane::Vel::ResultNotSupported;
using Corvane::Vel::ResultOK;
using Corvane::Vel::RObject;
using Corvane::Vel::SamplePlanes;

namespace {

class kaBufferPixelDataReferenceTest : public AdapterTest {
 protected:
  // Wraps `buffer` as framework code receives it: a base-class pointer whose
  // one reference the handle owns.
  static RObject<CPixelDataReference> Wrap(kaBuffer2* buffer) {
    CPixelDataReference* out = nullptr;
    EXPECT_TRUE(buffer->WrapInVelPixelDataReference(out));
    EXPECT_NE(out, nullptr);
    return RObject<CPixelDataReference>::Adopt(out);
  }

  static int64_t Offset(const uint8_t* plane, const uint8_t* base) { return plane - base; }
};

TEST_F(kaBufferPixelDataReferenceTest, AnswersItsOwnTypeCodeAndPassesOthersToTheFramework) {
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 64));
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  EXPECT_EQ(kaBufferPixelDataReference::kType, 0x6B426472u);
  EXPECT_EQ(reference->GetTypeCode(), 0x6B426472u);
  EXPECT_TRUE(reference->IsType(0x6B426472u));
  EXPECT_TRUE(reference->IsType(CPixelDataReference::kType));
  EXPECT_TRUE(reference->IsType(CObject::kType));
  EXPECT_FALSE(reference->IsType(0x6B426773u));  // the surface adapter's code
  EXPECT_FALSE(reference->IsType(Corvane::Vel::CGraphicsSurface::kType));
  EXPECT_FALSE(reference->IsType(0));
}

TEST_F(kaBufferPixelDataReferenceTest, BufferWithoutGpuInterfaceAnswersFromItsStorageAlways) {
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 64));
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(reference->GetData(), buffer->GetStorage());
    EXPECT_EQ(reference->GetStride(), 16);
    EXPECT_EQ(reference->GetLength(), 64);
    EXPECT_EQ(reference->GetArea(), (Dimensions{8, 4}));
    EXPECT_EQ(reference->Lock(CPixelDataReference::kLockRead), ResultOK);
  }
  reference->Unlock();
  EXPECT_EQ(reference->GetData(), buffer->GetStorage());
  // The framework's own behaviour is kept where the adapter adds nothing.
  EXPECT_EQ(reference->SetLength(8), ResultNotSupported);
  EXPECT_EQ(reference->GetLength(), 64);
}

TEST_F(kaBufferPixelDataReferenceTest, ReadLockMapsForReadingEveryOtherModeForReadWrite) {
  auto* gpu = new TestGpuBuffer(8, 4, veRasterType::kBGRA, 32, 128);
  LibHeld<kaBuffer2> buffer(gpu);
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  for (int mode : {1, 0, 2, 3, -1}) {
    EXPECT_EQ(reference->Lock(mode), ResultOK) << mode;
    reference->Unlock();
  }
  EXPECT_EQ(gpu->mapFlags, (std::vector<int32_t>{0, 2, 2, 2, 2}));
  EXPECT_EQ(gpu->unmaps, 5);
}

TEST_F(kaBufferPixelDataReferenceTest, LockedAnswersComeFromTheMappingAndUnlockReturnsToStorage) {
  auto* gpu = new TestGpuBuffer(8, 4, veRasterType::kBGRA, 32, 128);
  LibHeld<kaBuffer2> buffer(gpu);
  std::vector<unsigned char> mapped(4 * 48);
  gpu->MapTo(mapped.data(), 48);
  RObject<CPixelDataReference> reference = Wrap(buffer.get());

  ASSERT_EQ(reference->Lock(CPixelDataReference::kLockWrite), ResultOK);
  EXPECT_EQ(reference->GetData(), mapped.data());
  EXPECT_EQ(reference->GetStride(), 48);
  EXPECT_EQ(reference->GetLength(), 4 * 48);  // height × mapped stride
  EXPECT_EQ(reference->GetArea(), (Dimensions{8, 4}));
  const SamplePlanes planes = reference->GetSamplePlanes(0, true);  // packed: the framework's one plane
  EXPECT_EQ(planes.plane[0], mapped.data());
  EXPECT_EQ(planes.stride[0], 48);
  EXPECT_EQ(planes.PlaneCount(), 1);

  reference->Unlock();
  EXPECT_EQ(gpu->unmaps, 1);
  EXPECT_EQ(reference->GetData(), buffer->GetStorage());
  EXPECT_EQ(reference->GetStride(), 32);
  EXPECT_EQ(reference->GetLength(), 128);
}

TEST_F(kaBufferPixelDataReferenceTest, FailedMapGivesErrorAndTheStorageKeepsAnswering) {
  auto* gpu = new TestGpuBuffer(8, 4, veRasterType::kBGRA, 32, 128);
  LibHeld<kaBuffer2> buffer(gpu);
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  std::vector<unsigned char> mapped(256);
  const struct {
    unsigned char* data;
    int32_t rowBytes;
  } failures[] = {{nullptr, 48}, {mapped.data(), 0}, {mapped.data(), -48}, {nullptr, 0}};
  for (const auto& failure : failures) {
    gpu->MapTo(failure.data, failure.rowBytes);
    EXPECT_EQ(reference->Lock(CPixelDataReference::kLockRead), ResultError);
    EXPECT_EQ(reference->GetData(), buffer->GetStorage());
    EXPECT_EQ(reference->GetStride(), 32);
    EXPECT_EQ(reference->GetLength(), 128);
    reference->Unlock();
  }
  EXPECT_EQ(gpu->mapFlags.size(), 4u);
}

TEST_F(kaBufferPixelDataReferenceTest, CachedBufferLocksOntoItsOwnStorage) {
  auto* cached = new _kaCachedBuffer();
  LibHeld<kaBuffer2> buffer(cached);
  Describe(*cached, 16, 8, veRasterType::kRGBA, 64);
  ASSERT_EQ(cached->AllocateStorage(512), 0);
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  ASSERT_EQ(reference->Lock(CPixelDataReference::kLockReadWrite), ResultOK);
  EXPECT_EQ(reference->GetData(), cached->GetStorage());
  EXPECT_EQ(reference->GetStride(), 64);
  EXPECT_EQ(reference->GetLength(), 512);
  reference->Unlock();
}

TEST_F(kaBufferPixelDataReferenceTest, LockedLengthNeverReachesPastTheStorageNorOverflows) {
  // A record claiming rows of 1000 bytes over 128 bytes of storage: the
  // length is cut at the storage's end.
  auto* gpu = new TestGpuBuffer(8, 4, veRasterType::kBGRA, 1000, 128);
  LibHeld<kaBuffer2> buffer(gpu);
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  ASSERT_EQ(reference->Lock(1), ResultOK);
  EXPECT_EQ(reference->GetLength(), 128);
  reference->Unlock();
  // A mapping starting inside the storage: only the bytes after it.
  gpu->MapTo(gpu->GetStorage() + 100, 32);
  ASSERT_EQ(reference->Lock(1), ResultOK);
  EXPECT_EQ(reference->GetLength(), 28);
  reference->Unlock();

  // A foreign mapping whose height × stride exceeds 32 bits saturates.
  std::vector<unsigned char> mapped(16);
  gpu->SetHeight(100000);
  gpu->MapTo(mapped.data(), std::numeric_limits<int32_t>::max());
  ASSERT_EQ(reference->Lock(1), ResultOK);
  EXPECT_EQ(reference->GetLength(), std::numeric_limits<int32_t>::max());
  reference->Unlock();
  // A negative height gives no bytes.
  gpu->SetHeight(-3);
  ASSERT_EQ(reference->Lock(1), ResultOK);
  EXPECT_EQ(reference->GetLength(), 0);
  reference->Unlock();
}

TEST_F(kaBufferPixelDataReferenceTest, Imc4PlanesLieAfterTheLumaSideBySide) {
  // 64 × 32: 48 rows of 64 bytes.
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(64, 32, veRasterType::kIMC4, 64, 64 * 48));
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  const SamplePlanes planes = reference->GetSamplePlanes(0, false);
  const uint8_t* base = buffer->GetStorage();
  EXPECT_EQ(Offset(planes.plane[0], base), 0);
  EXPECT_EQ(Offset(planes.plane[1], base), 2048);
  EXPECT_EQ(Offset(planes.plane[2], base), 2080);
  EXPECT_EQ(planes.plane[3], nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(planes.stride[i], 64) << i;
  EXPECT_EQ(planes.stride[3], 0);
}

TEST_F(kaBufferPixelDataReferenceTest, Ym16PlanesLieSideBySideInEachRow) {
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(64, 4, veRasterType::kYM16, 128, 128 * 4));
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  const SamplePlanes planes = reference->GetSamplePlanes(0, false);
  const uint8_t* base = buffer->GetStorage();
  EXPECT_EQ(Offset(planes.plane[0], base), 0);
  EXPECT_EQ(Offset(planes.plane[1], base), 64);
  EXPECT_EQ(Offset(planes.plane[2], base), 96);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(planes.stride[i], 128) << i;
  EXPECT_EQ(planes.PlaneCount(), 3);
}

TEST_F(kaBufferPixelDataReferenceTest, Imc4PlanesFollowTheMappingWhileLocked) {
  auto* gpu = new TestGpuBuffer(64, 32, veRasterType::kIMC4, 64, 64 * 48);
  LibHeld<kaBuffer2> buffer(gpu);
  std::vector<unsigned char> mapped(80 * 48);
  gpu->MapTo(mapped.data(), 80);
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  ASSERT_EQ(reference->Lock(1), ResultOK);
  const SamplePlanes planes = reference->GetSamplePlanes(0, false);
  EXPECT_EQ(Offset(planes.plane[0], mapped.data()), 0);
  EXPECT_EQ(Offset(planes.plane[1], mapped.data()), 2048);
  EXPECT_EQ(Offset(planes.plane[2], mapped.data()), 2080);
  EXPECT_EQ(planes.stride[2], 80);
  reference->Unlock();
  EXPECT_EQ(reference->GetSamplePlanes(0, false).plane[0], buffer->GetStorage());
}

TEST_F(kaBufferPixelDataReferenceTest, SidePlanesThatWouldLeaveTheImageGiveAnEmptyRecord) {
  struct Case {
    uint32_t raster;
    int32_t width, height, rowBytes, storage;
  };
  const Case cases[] = {
      {veRasterType::kIMC4, 64, 32, 64, 2048},     // chroma rows missing: plane 1 at the storage's end
      {veRasterType::kIMC4, 64, 32, 64, 0},        // no storage
      {veRasterType::kIMC4, -64, 32, 64, 4096},    // negative width
      {veRasterType::kIMC4, 64, -32, 64, 4096},    // negative height
      {veRasterType::kYM16, 64, 1, 128, 96},       // plane 2 at the storage's end
      {veRasterType::kIMC4, 65536, 65536, 64, 64}, // w × h beyond 32 bits
  };
  for (const Case& c : cases) {
    LibHeld<kaBuffer2> buffer(NewPlainBuffer(c.width, c.height, c.raster, c.rowBytes, c.storage));
    RObject<CPixelDataReference> reference = Wrap(buffer.get());
    const SamplePlanes planes = reference->GetSamplePlanes(0, false);
    EXPECT_EQ(planes.PlaneCount(), 0) << c.width << "x" << c.height << " storage " << c.storage;
    EXPECT_EQ(planes.stride[0], 0);
  }
}

TEST_F(kaBufferPixelDataReferenceTest, OtherPlanarTypesCopyTheBuffersOwnPlanes) {
  for (uint32_t raster : {veRasterType::kI420, veRasterType::kYV12, veRasterType::kNV12}) {
    LibHeld<kaBuffer2> buffer(NewPlainBuffer(64, 32, raster, 64, 64 * 48));
    RObject<CPixelDataReference> reference = Wrap(buffer.get());
    const kaBuffer2::Planes expected = buffer->GetPlanarStorage();
    ASSERT_GT(expected.count, 0);
    const SamplePlanes planes = reference->GetSamplePlanes(0, false);
    EXPECT_EQ(planes.PlaneCount(), expected.count);
    for (int i = 0; i < expected.count; ++i) {
      EXPECT_EQ(planes.plane[i], expected.plane[i].data) << i;
      EXPECT_EQ(planes.stride[i], expected.plane[i].rowBytes) << i;
    }
    EXPECT_EQ(planes.plane[3], nullptr);
  }
  // I420 64 × 32 concretely: Y, then the two quarter planes.
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(64, 32, veRasterType::kI420, 64, 64 * 48));
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  const SamplePlanes planes = reference->GetSamplePlanes(0, false);
  EXPECT_EQ(Offset(planes.plane[1], buffer->GetStorage()), 2048);
  EXPECT_EQ(Offset(planes.plane[2], buffer->GetStorage()), 2560);
  EXPECT_EQ(planes.stride[1], 32);
}

TEST_F(kaBufferPixelDataReferenceTest, PlanarTypesReadTheStorageEvenWhileMapped) {
  auto* gpu = new TestGpuBuffer(64, 32, veRasterType::kNV12, 64, 64 * 48);
  LibHeld<kaBuffer2> buffer(gpu);
  std::vector<unsigned char> mapped(64 * 48);
  gpu->MapTo(mapped.data(), 64);
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  ASSERT_EQ(reference->Lock(1), ResultOK);
  EXPECT_EQ(reference->GetSamplePlanes(0, false).plane[0], gpu->GetStorage());
  reference->Unlock();
}

TEST_F(kaBufferPixelDataReferenceTest, PackedTypesGetTheFrameworksSinglePlane) {
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 64));
  RObject<CPixelDataReference> reference = Wrap(buffer.get());
  const SamplePlanes planes = reference->GetSamplePlanes(veRasterType::k2vuy, true);
  EXPECT_EQ(planes.PlaneCount(), 1);
  EXPECT_EQ(planes.plane[0], buffer->GetStorage());
  EXPECT_EQ(planes.stride[0], 16);
  // Without storage the framework's answer is the empty record.
  LibHeld<kaBuffer2> empty(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 0));
  RObject<CPixelDataReference> emptyReference = Wrap(empty.get());
  EXPECT_EQ(emptyReference->GetSamplePlanes(0, false).PlaneCount(), 0);
}

TEST_F(kaBufferPixelDataReferenceTest, HoldsExactlyOneBufferReferencePlusOneForTheGpuInterface) {
  LibHeld<kaBuffer2> plain(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 64));
  LibHeld<kaBuffer2> gpu(new TestGpuBuffer(8, 4, veRasterType::kBGRA, 32, 128));
  {
    RObject<CPixelDataReference> plainReference = Wrap(plain.get());
    RObject<CPixelDataReference> gpuReference = Wrap(gpu.get());
    EXPECT_EQ(plain->RefCountForTesting(), 2);
    EXPECT_EQ(gpu->RefCountForTesting(), 3);
    EXPECT_EQ(LiveVelObjects(), 2);
    EXPECT_EQ(plainReference->GetReferenceCount(), 1);
    ASSERT_EQ(gpuReference->Lock(1), ResultOK);  // locking takes no reference
    EXPECT_EQ(gpu->RefCountForTesting(), 3);
    gpuReference->Unlock();
  }
  EXPECT_EQ(plain->RefCountForTesting(), 1);
  EXPECT_EQ(gpu->RefCountForTesting(), 1);
  EXPECT_EQ(LiveVelObjects(), 0);
}

TEST_F(kaBufferPixelDataReferenceTest, KeepsTheBufferAliveAfterItsOwnerLetsGo) {
  auto* gpu = new TestGpuBuffer(8, 4, veRasterType::kBGRA, 32, 128);
  RObject<CPixelDataReference> reference = Wrap(gpu);
  gpu->Release();  // the creator's reference: only the adapter holds the buffer now
  EXPECT_EQ(LiveUnknowns(), 1);
  EXPECT_EQ(gpu->RefCountForTesting(), 2);
  ASSERT_EQ(reference->Lock(2), ResultOK);
  reference->GetData()[127] = 0x5A;  // still the buffer's live storage
  EXPECT_EQ(reference->GetLength(), 128);
  reference->Unlock();
  reference.Reset();
  EXPECT_EQ(LiveUnknowns(), 0);
}

TEST_F(kaBufferPixelDataReferenceTest, NullBufferMakesNoAdapter) {
  EXPECT_EQ(kaBufferPixelDataReference::Create(nullptr), nullptr);
  EXPECT_EQ(LiveVelObjects(), 0);
}

}  // namespace
