#include "Vel/CGraphicsContext.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Vel/RObject.h"
#include "VelTestHelpers.h"

namespace Corvane::Vel {
namespace {

class BareContext : public CGraphicsContext {};
class BareSurface : public CGraphicsSurface {};
class BareBuffer : public CGraphicsBuffer {};

// A surface over caller bytes whose Lock fills the base's three members.
class BytesSurface : public CGraphicsSurface {
 public:
  explicit BytesSurface(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  Dimensions GetSize() const noexcept override { return {4, 2}; }
  Result Lock() noexcept override {
    data_ = bytes_.data();
    length_ = static_cast<int32_t>(bytes_.size());
    stride_ = 16;
    return ResultOK;
  }

 private:
  std::vector<uint8_t>& bytes_;
};

using CGraphicsContextTest = veltest::VelObjectTest;

TEST_F(CGraphicsContextTest, BaseContextMakesNothingAndLeavesOutParametersAlone) {
  auto context = RObject<CGraphicsContext>::Adopt(new BareContext());
  auto* const marker = reinterpret_cast<CGraphicsSurface*>(uintptr_t{0x10});
  CGraphicsSurface* surface = marker;
  auto properties = RObject<CVideoProperties>::Adopt(new CVideoProperties());
  EXPECT_EQ(context->CreateSurface(properties.Get(), surface), ResultNotImplemented);
  EXPECT_EQ(context->CreateSurface(nullptr, surface), ResultNotImplemented);
  EXPECT_EQ(surface, marker);

  auto* const bufferMarker = reinterpret_cast<CGraphicsBuffer*>(uintptr_t{0x20});
  CGraphicsBuffer* buffer = bufferMarker;
  EXPECT_EQ(context->CreateBuffer(1024, buffer), ResultNotImplemented);
  EXPECT_EQ(buffer, bufferMarker);
}

TEST_F(CGraphicsContextTest, BaseSurfaceCannotLockAndStaysEmpty) {
  auto surface = RObject<CGraphicsSurface>::Adopt(new BareSurface());
  EXPECT_EQ(surface->Lock(), ResultNotImplemented);
  EXPECT_EQ(surface->GetData(), nullptr);
  EXPECT_EQ(surface->GetLength(), 0);
  EXPECT_EQ(surface->GetStride(), 0);
  EXPECT_EQ(surface->GetSize(), (Dimensions{0, 0}));
  surface->Unlock();
}

TEST_F(CGraphicsContextTest, SurfaceGettersReturnWhatTheSubclassLockStored) {
  std::vector<uint8_t> bytes(32);
  auto surface = RObject<CGraphicsSurface>::Adopt(new BytesSurface(bytes));
  ASSERT_EQ(surface->Lock(), ResultOK);
  EXPECT_EQ(surface->GetData(), bytes.data());
  EXPECT_EQ(surface->GetLength(), 32);
  EXPECT_EQ(surface->GetStride(), 16);
  EXPECT_EQ(surface->GetSize(), (Dimensions{4, 2}));
  surface->Unlock();  // the base's Unlock keeps the values
  EXPECT_EQ(surface->GetData(), bytes.data());
}

TEST_F(CGraphicsContextTest, EachClassAnswersItsOwnCodeAndObject) {
  auto context = RObject<CGraphicsContext>::Adopt(new BareContext());
  auto surface = RObject<CGraphicsSurface>::Adopt(new BareSurface());
  auto buffer = RObject<CGraphicsBuffer>::Adopt(new BareBuffer());
  const uint32_t codes[] = {CGraphicsContext::kType, CGraphicsSurface::kType, CGraphicsBuffer::kType};
  const CObject* objects[] = {context.Get(), surface.Get(), buffer.Get()};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_EQ(objects[i]->IsType(codes[j]), i == j) << i << " " << j;
    EXPECT_TRUE(objects[i]->IsType(CObject::kType));
    EXPECT_EQ(objects[i]->GetTypeCode(), codes[i]);
  }
}

}  // namespace
}  // namespace Corvane::Vel
