#include "adapters/kaBufferGraphicsSurface.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "AdapterTestSupport.h"
#include "Vel/CPixelDataReference.h"
#include "Vel/RObject.h"

using Corvane::Vel::CGraphicsSurface;
using Corvane::Vel::CObject;
using Corvane::Vel::Dimensions;
using Corvane::Vel::ResultOK;
using Corvane::Vel::RObject;

namespace {

class kaBufferGraphicsSurfaceTest : public AdapterTest {
 protected:
  static RObject<CGraphicsSurface> Wrap(kaBuffer2* buffer) {
    CGraphicsSurface* out = nullptr;
    EXPECT_TRUE(buffer->WrapInVelGraphicsSurface(out));
    EXPECT_NE(out, nullptr);
    return RObject<CGraphicsSurface>::Adopt(out);
  }
};

TEST_F(kaBufferGraphicsSurfaceTest, AnswersItsOwnCodeAndOtherwiseOnlyAsAPlainObject) {
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 64));
  RObject<CGraphicsSurface> surface = Wrap(buffer.get());
  EXPECT_EQ(kaBufferGraphicsSurface::kType, 0x6B426773u);
  EXPECT_EQ(surface->GetTypeCode(), 0x6B426773u);
  EXPECT_TRUE(surface->IsType(0x6B426773u));
  EXPECT_TRUE(surface->IsType(CObject::kType));
  EXPECT_FALSE(surface->IsType(CGraphicsSurface::kType));  // the surface base is skipped
  EXPECT_FALSE(surface->IsType(0x6B426472u));
  EXPECT_FALSE(surface->IsType(Corvane::Vel::CPixelDataReference::kType));
}

TEST_F(kaBufferGraphicsSurfaceTest, LockPointsTheSurfaceAtTheStorageAndUnlockKeepsIt) {
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 80));
  RObject<CGraphicsSurface> surface = Wrap(buffer.get());
  EXPECT_EQ(surface->GetSize(), (Dimensions{8, 4}));
  EXPECT_EQ(surface->GetData(), nullptr);  // nothing before the first Lock
  EXPECT_EQ(surface->GetLength(), 0);
  ASSERT_EQ(surface->Lock(), ResultOK);
  EXPECT_EQ(surface->GetData(), buffer->GetStorage());
  EXPECT_EQ(surface->GetLength(), 80);  // StorageSize, not rows × stride
  EXPECT_EQ(surface->GetStride(), 16);
  surface->Unlock();
  EXPECT_EQ(surface->GetData(), buffer->GetStorage());
  EXPECT_EQ(surface->GetStride(), 16);
}

TEST_F(kaBufferGraphicsSurfaceTest, LockDoesNotMapAndReadsTheRecordAtEachCall) {
  auto* gpu = new TestGpuBuffer(8, 4, veRasterType::kBGRA, 32, 128);
  LibHeld<kaBuffer2> buffer(gpu);
  RObject<CGraphicsSurface> surface = Wrap(buffer.get());
  ASSERT_EQ(surface->Lock(), ResultOK);
  EXPECT_TRUE(gpu->mapFlags.empty());
  gpu->SetBytesPerRow(40);
  gpu->SetWidth(10);
  ASSERT_EQ(gpu->AllocateStorage(160), 0);
  ASSERT_EQ(surface->Lock(), ResultOK);
  EXPECT_EQ(surface->GetStride(), 40);
  EXPECT_EQ(surface->GetLength(), 160);
  EXPECT_EQ(surface->GetData(), gpu->GetStorage());
  EXPECT_EQ(surface->GetSize(), (Dimensions{10, 4}));
}

TEST_F(kaBufferGraphicsSurfaceTest, LockWithoutStorageSucceedsWithNothingToReach) {
  LibHeld<kaBuffer2> buffer(NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 0));
  RObject<CGraphicsSurface> surface = Wrap(buffer.get());
  ASSERT_EQ(surface->Lock(), ResultOK);
  EXPECT_EQ(surface->GetData(), nullptr);
  EXPECT_EQ(surface->GetLength(), 0);
}

TEST_F(kaBufferGraphicsSurfaceTest, HoldsOneBufferReferenceForItsLifetime) {
  auto* buffer = NewPlainBuffer(8, 4, veRasterType::k2vuy, 16, 64);
  RObject<CGraphicsSurface> surface = Wrap(buffer);
  EXPECT_EQ(buffer->RefCountForTesting(), 2);
  RObject<CGraphicsSurface> copy = surface;  // a second framework reference, not a second buffer one
  EXPECT_EQ(buffer->RefCountForTesting(), 2);
  buffer->Release();
  EXPECT_EQ(LiveUnknowns(), 1);
  surface.Reset();
  EXPECT_EQ(LiveUnknowns(), 1);
  ASSERT_EQ(copy->Lock(), ResultOK);
  copy->GetData()[63] = 1;  // the storage is still alive
  copy.Reset();
  EXPECT_EQ(LiveUnknowns(), 0);
  EXPECT_EQ(LiveVelObjects(), 0);
}

TEST_F(kaBufferGraphicsSurfaceTest, NullBufferMakesNoSurface) {
  EXPECT_EQ(kaBufferGraphicsSurface::Create(nullptr), nullptr);
  EXPECT_EQ(LiveVelObjects(), 0);
}

}  // namespace
