#include "adapters/kaBufferGroupGraphicsContext.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "AdapterTestSupport.h"
#include "Vel/CVideoProperties.h"
#include "Vel/RObject.h"
#include "adapters/kaBufferGraphicsSurface.h"

using Corvane::Vel::CGraphicsBuffer;
using Corvane::Vel::CGraphicsContext;
using Corvane::Vel::CGraphicsSurface;
using Corvane::Vel::CObject;
using Corvane::Vel::CVideoProperties;
using Corvane::Vel::Dimensions;
using Corvane::Vel::ResultError;
using Corvane::Vel::ResultNotImplemented;
using Corvane::Vel::ResultOK;
using Corvane::Vel::RObject;

namespace {

// A group whose allocation fails: with a -1 result, or (when `answerZero`)
// with 0 and no buffer.
class FailingGroup : public kaBufferGroup2 {
 public:
  explicit FailingGroup(bool answerZero) : answerZero_(answerZero) {}
  int32_t allocate_buffer(const veMediaRecord&, int, int, int, kaBuffer2** out) override {
    ++calls;
    if (out) *out = nullptr;
    return answerZero_ ? 0 : -1;
  }
  int calls = 0;

 private:
  bool answerZero_;
};

// A group that records what the context asks of allocate_buffer.
class RecordingGroup : public kaBufferGroup2 {
 public:
  int32_t allocate_buffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out) override {
    lastSize = size;
    lastCount = count;
    lastExtra = extra;
    lastWidth = format.Width();
    lastBytesPerRow = format.BytesPerRow();
    return kaBufferGroup2::allocate_buffer(format, size, count, extra, out);
  }
  int lastSize = 0, lastCount = 0, lastExtra = -1, lastWidth = 0, lastBytesPerRow = -1;
};

RObject<CVideoProperties> Describe(int32_t width, int32_t height, uint32_t format) {
  auto properties = RObject<CVideoProperties>::Adopt(new CVideoProperties());
  EXPECT_EQ(properties->SetWidth(width), ResultOK);
  EXPECT_EQ(properties->SetHeight(height), ResultOK);
  EXPECT_EQ(properties->SetPixelFormat(format), ResultOK);
  return properties;
}

// The record under which the group files a buffer made for these properties.
veMediaRecord CachedFormat(int32_t width, int32_t height, uint32_t raster) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(raster);
  format.SetBytesPerRow(veRasterType::BytesPerRow(width, raster, false));
  return format;
}

class kaBufferGroupGraphicsContextTest : public AdapterTest {
 protected:
  static RObject<CGraphicsContext> Wrap(kaBufferGroup2* group) {
    CGraphicsContext* out = nullptr;
    EXPECT_TRUE(group->WrapInVelGraphicsContext(out));
    EXPECT_NE(out, nullptr);
    return RObject<CGraphicsContext>::Adopt(out);
  }
  static CGraphicsSurface* Marker() { return reinterpret_cast<CGraphicsSurface*>(uintptr_t{0x40}); }
};

TEST_F(kaBufferGroupGraphicsContextTest, AnswersItsOwnCodeAndTheContextBases) {
  LibHeld<kaBufferGroup2> group(new kaBufferGroup2());
  RObject<CGraphicsContext> context = Wrap(group.get());
  EXPECT_EQ(kaBufferGroupGraphicsContext::kType, 0x6B426763u);
  EXPECT_EQ(context->GetTypeCode(), 0x6B426763u);
  EXPECT_TRUE(context->IsType(0x6B426763u));
  EXPECT_TRUE(context->IsType(CGraphicsContext::kType));
  EXPECT_TRUE(context->IsType(CObject::kType));
  EXPECT_FALSE(context->IsType(0x6B426773u));
  EXPECT_FALSE(context->IsType(CGraphicsSurface::kType));
}

TEST_F(kaBufferGroupGraphicsContextTest, GraphicsBuffersAreNotOffered) {
  LibHeld<kaBufferGroup2> group(new kaBufferGroup2());
  RObject<CGraphicsContext> context = Wrap(group.get());
  auto* const marker = reinterpret_cast<CGraphicsBuffer*>(uintptr_t{0x80});
  CGraphicsBuffer* buffer = marker;
  EXPECT_EQ(context->CreateBuffer(4096, buffer), ResultNotImplemented);
  EXPECT_EQ(buffer, marker);
}

TEST_F(kaBufferGroupGraphicsContextTest, SurfaceIsAGroupBufferOfTheDescribedImage) {
  LibHeld<kaBufferGroup2> group(new kaBufferGroup2());
  RObject<CGraphicsContext> context = Wrap(group.get());
  auto properties = Describe(64, 32, veRasterType::k2vuy);
  CGraphicsSurface* out = Marker();
  ASSERT_EQ(context->CreateSurface(properties.Get(), out), ResultOK);
  ASSERT_NE(out, Marker());
  RObject<CGraphicsSurface> surface = RObject<CGraphicsSurface>::Adopt(out);
  EXPECT_TRUE(surface->IsType(kaBufferGraphicsSurface::kType));
  EXPECT_EQ(surface->GetReferenceCount(), 1);
  EXPECT_EQ(surface->GetSize(), (Dimensions{64, 32}));
  ASSERT_EQ(surface->Lock(), ResultOK);
  EXPECT_NE(surface->GetData(), nullptr);
  EXPECT_EQ(surface->GetStride(), 128);
  EXPECT_EQ(surface->GetLength(), 128 * 32);
  surface->Unlock();
  // One buffer is out, held by the surface alone; nothing idle yet.
  EXPECT_EQ(group->GetStatistics().misses, 1u);
  EXPECT_LE(group->Debug_CountOfCachedBuffers(CachedFormat(64, 32, veRasterType::k2vuy), 128 * 32), 0);
}

TEST_F(kaBufferGroupGraphicsContextTest, AsksTheGroupForOneFrameSizedByTheGroup) {
  LibHeld<RecordingGroup> group(new RecordingGroup());
  RObject<CGraphicsContext> context = Wrap(group.get());
  auto properties = Describe(30, 20, veRasterType::kI420);
  CGraphicsSurface* out = nullptr;
  ASSERT_EQ(context->CreateSurface(properties.Get(), out), ResultOK);
  RObject<CGraphicsSurface> surface = RObject<CGraphicsSurface>::Adopt(out);
  EXPECT_EQ(group->lastSize, -1);
  EXPECT_EQ(group->lastCount, 1);
  EXPECT_EQ(group->lastExtra, 0);
  EXPECT_EQ(group->lastWidth, 30);
  EXPECT_EQ(group->lastBytesPerRow, 0);  // left to the group
  ASSERT_EQ(surface->Lock(), ResultOK);
  EXPECT_EQ(surface->GetLength(), 30 * 30);  // 20 luma + 10 chroma rows of 30 bytes
}

TEST_F(kaBufferGroupGraphicsContextTest, ReleasedSurfaceReturnsItsBufferToTheCache) {
  LibHeld<kaBufferGroup2> group(new kaBufferGroup2());
  RObject<CGraphicsContext> context = Wrap(group.get());
  auto properties = Describe(64, 32, veRasterType::k2vuy);
  const veMediaRecord filed = CachedFormat(64, 32, veRasterType::k2vuy);

  CGraphicsSurface* first = nullptr;
  ASSERT_EQ(context->CreateSurface(properties.Get(), first), ResultOK);
  ASSERT_EQ(first->Lock(), ResultOK);
  uint8_t* const pixels = first->GetData();
  const int64_t unknownsWithSurface = LiveUnknowns();
  EXPECT_EQ(first->Release(), 0);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(filed, 128 * 32), 1);
  EXPECT_EQ(LiveUnknowns(), unknownsWithSurface);  // kept by the cache, not destroyed

  CGraphicsSurface* second = nullptr;
  ASSERT_EQ(context->CreateSurface(properties.Get(), second), ResultOK);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(filed, 128 * 32), 0);
  ASSERT_EQ(second->Lock(), ResultOK);
  EXPECT_EQ(second->GetData(), pixels);  // the same storage, reused
  EXPECT_EQ(group->GetStatistics().hits, 1u);
  EXPECT_EQ(second->Release(), 0);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(filed, 128 * 32), 1);
}

TEST_F(kaBufferGroupGraphicsContextTest, FailedAllocationGivesErrorAndLeavesTheSurfaceAlone) {
  for (bool answerZero : {false, true}) {
    LibHeld<FailingGroup> group(new FailingGroup(answerZero));
    RObject<CGraphicsContext> context = Wrap(group.get());
    auto properties = Describe(64, 32, veRasterType::k2vuy);
    CGraphicsSurface* out = Marker();
    EXPECT_EQ(context->CreateSurface(properties.Get(), out), ResultError);
    EXPECT_EQ(out, Marker());
    EXPECT_EQ(group->calls, 1);
    EXPECT_EQ(LiveVelObjects(), 2);  // the context and the properties: no surface
  }
}

TEST_F(kaBufferGroupGraphicsContextTest, UnusableDescriptionsGiveErrorAndAllocateNothing) {
  LibHeld<kaBufferGroup2> group(new kaBufferGroup2());
  RObject<CGraphicsContext> context = Wrap(group.get());
  CGraphicsSurface* out = Marker();
  EXPECT_EQ(context->CreateSurface(nullptr, out), ResultError);
  auto unknownFormat = Describe(64, 32, zFourCC("zzzz"));
  EXPECT_EQ(context->CreateSurface(unknownFormat.Get(), out), ResultError);
  auto unset = RObject<CVideoProperties>::Adopt(new CVideoProperties());  // width and height 0
  unset->SetPixelFormat(veRasterType::kBGRA);
  EXPECT_EQ(context->CreateSurface(unset.Get(), out), ResultError);
  EXPECT_EQ(out, Marker());
  EXPECT_EQ(group->GetStatistics().misses, 0u);
}

TEST_F(kaBufferGroupGraphicsContextTest, ReferenceCountsAreExactInBothSystems) {
  auto* group = new kaBufferGroup2();
  const int64_t groupObjects = LiveUnknowns();  // the group and what it made
  RObject<CGraphicsContext> context = Wrap(group);
  EXPECT_EQ(group->RefCountForTesting(), 2);
  EXPECT_EQ(LiveVelObjects(), 1);

  auto properties = Describe(16, 16, veRasterType::kBGRA);
  CGraphicsSurface* out = nullptr;
  ASSERT_EQ(context->CreateSurface(properties.Get(), out), ResultOK);
  RObject<CGraphicsSurface> surface = RObject<CGraphicsSurface>::Adopt(out);
  EXPECT_EQ(group->RefCountForTesting(), 2);  // a surface holds its buffer, not the group
  EXPECT_EQ(LiveUnknowns(), groupObjects + 1);
  EXPECT_EQ(LiveVelObjects(), 3);

  // The host lets go of the group: the context keeps it alive and usable.
  group->Release();
  EXPECT_EQ(LiveUnknowns(), groupObjects + 1);
  CGraphicsSurface* another = nullptr;
  ASSERT_EQ(context->CreateSurface(properties.Get(), another), ResultOK);
  EXPECT_EQ(another->Release(), 0);

  // The context goes: the group dies with its idle buffer, while the
  // surface still in use keeps its buffer.
  context.Reset();
  EXPECT_EQ(LiveUnknowns(), 1);
  ASSERT_EQ(surface->Lock(), ResultOK);
  surface->GetData()[surface->GetLength() - 1] = 0xFF;
  surface.Reset();
  EXPECT_EQ(LiveUnknowns(), 0);
}

TEST_F(kaBufferGroupGraphicsContextTest, NullGroupMakesNoContext) {
  EXPECT_EQ(kaBufferGroupGraphicsContext::Create(nullptr), nullptr);
  EXPECT_EQ(LiveVelObjects(), 0);
}

}  // namespace
