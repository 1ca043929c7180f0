// The media-framework adapters over buffers and groups: what each answers,
// locked and unlocked, and which references each holds. Their plane layouts
// are checked with the buffer's, in the buffer tests.
#include <type_traits>

#include "Vel/CGraphicsContext.h"
#include "Vel/CPixelDataReference.h"
#include "Vel/CVideoProperties.h"
#include "Vel/RObject.h"
#include "buffers/BufferTestSupport.h"

using namespace Corvane::Vel;
using kaBufferAdaptersTest = BufferTest;

namespace {

// The adapter that `wrap` makes over `source`, with the caller's reference.
template <class Adapter, class Source>
RObject<Adapter> Wrap(std::type_identity_t<Source>* source, bool (Source::*wrap)(Adapter*&)) {
  Adapter* out = nullptr;
  EXPECT_TRUE((source->*wrap)(out));
  return RObject<Adapter>::Adopt(out);
}
RObject<CPixelDataReference> Pixels(kaBuffer2* buffer) { return Wrap(buffer, &kaBuffer2::WrapInVelPixelDataReference); }

// A surface that the context makes for a 2vuy image of that size.
RObject<CGraphicsSurface> MakeSurface(const RObject<CGraphicsContext>& context, int32_t width, int32_t height) {
  const auto properties = RObject<CVideoProperties>::Adopt(new CVideoProperties());
  properties->SetWidth(width), properties->SetHeight(height), properties->SetPixelFormat(veRasterType::k2vuy);
  CGraphicsSurface* out = nullptr;
  EXPECT_EQ(context->CreateSurface(properties.Get(), out), ResultOK);
  return RObject<CGraphicsSurface>::Adopt(out);
}

// What a pixel reference or a surface answers: data, stride and length.
template <class Adapter>
std::tuple<uint8_t*, int32_t, int32_t> Answers(const RObject<Adapter>& a) {
  return {a->GetData(), a->GetStride(), a->GetLength()};
}

}  // namespace

TEST_F(kaBufferAdaptersTest, PixelReferenceAnswersFromTheStorageUnlessAGpuMappingSucceeded) {
  Held<kaBuffer2> plain(NewVideoBuffer(8, 4, veRasterType::k2vuy, 16, 64));
  Held<TestGpuBuffer> gpu(NewVideoBuffer<TestGpuBuffer>(8, 4, veRasterType::kIMC4, 32, 192));
  const auto plainReference = Pixels(plain.get()), reference = Pixels(gpu.get());
  EXPECT_EQ(plainReference->Lock(CPixelDataReference::kLockRead), ResultOK) << "nothing to map";
  EXPECT_EQ(std::pair(Answers(plainReference), plainReference->GetArea()),
            std::pair(std::tuple(plain->GetStorage(), 16, 64), Dimensions{8, 4}));
  plainReference->Unlock();
  for (int mode : {1, 0, 2, 3, -1}) {
    EXPECT_EQ(reference->Lock(mode), ResultOK) << mode;
    reference->Unlock();
  }
  EXPECT_EQ(gpu->mapFlags, (std::vector<int32_t>{0, 2, 2, 2, 2})) << "reading for mode 1, reading and writing else";
  std::vector<unsigned char> mapped(6 * 48);
  gpu->MapTo(mapped.data(), 48);
  ASSERT_EQ(reference->Lock(CPixelDataReference::kLockWrite), ResultOK);
  EXPECT_EQ(Answers(reference), std::tuple(mapped.data(), 48, 4 * 48));
  const SamplePlanes planes = reference->GetSamplePlanes(0, false);  // IMC4 chroma after w·h luma bytes
  EXPECT_EQ(std::tuple(planes.plane[0], planes.plane[1] - planes.plane[0], planes.plane[2] - planes.plane[1]),
            std::tuple(mapped.data(), 32, 4));
  reference->Unlock();
  EXPECT_EQ(std::pair(gpu->unmaps, Answers(reference)), std::pair(6, std::tuple(gpu->GetStorage(), 32, 192)));
  // A failed map leaves the storage answering; the locked length stops at the
  // end of the storage that the mapping lies in, and saturates.
  using Case = std::tuple<unsigned char*, int32_t, int32_t, int32_t>;  // mapping, stride, height, length (-1: failed)
  for (const auto& [data, stride, height, length] :
       {Case{nullptr, 48, 4, -1}, {mapped.data(), 0, 4, -1}, {mapped.data(), -48, 4, -1},
        {gpu->GetStorage(), 1000, 4, 192}, {gpu->GetStorage() + 100, 32, 4, 92},
        {mapped.data(), INT32_MAX, 100000, INT32_MAX}, {mapped.data(), INT32_MAX, -3, 0}}) {
    gpu->MapTo(data, stride), gpu->SetHeight(height);
    EXPECT_EQ(reference->Lock(1), length < 0 ? ResultError : ResultOK) << stride;
    EXPECT_EQ(Answers(reference), std::tuple(length < 0 ? gpu->GetStorage() : data, length < 0 ? 32 : stride,
                                             length < 0 ? 192 : length)) << stride << " x " << height;
    reference->Unlock();
  }
}

// Each adapter answers its own type code and leaves other codes to its
// framework base, except the surface, which skips its base: framework code
// that looks for its own surface class must not take this one for it. Each
// holds one reference to its object (the pixel reference one more for the
// GPU interface) from construction to destruction, and the objects stay
// usable after their creators let go.
TEST_F(kaBufferAdaptersTest, AdaptersAreOfTheirOwnTypeAndHoldExactlyTheReferencesTheyNeed) {
  auto* gpu = NewVideoBuffer<TestGpuBuffer>(8, 4, veRasterType::kBGRA, 32, 144);
  auto* group = new kaBufferGroup2();
  auto reference = Pixels(gpu);
  auto surface = Wrap(static_cast<kaBuffer2*>(gpu), &kaBuffer2::WrapInVelGraphicsSurface);
  auto context = Wrap(group, &kaBufferGroup2::WrapInVelGraphicsContext);
  using Row = std::tuple<CObject*, uint32_t, uint32_t>;  // adapter, own code, base code
  for (const auto& [adapter, own, base] : {Row{reference.Get(), 0x6B426472u, CPixelDataReference::kType},
                                           Row{surface.Get(), 0x6B426773u, CObject::kType},
                                           Row{context.Get(), 0x6B426763u, CGraphicsContext::kType}}) {
    for (uint32_t code : {0x6B426472u, 0x6B426773u, 0x6B426763u, CPixelDataReference::kType, CGraphicsSurface::kType,
                          CGraphicsContext::kType, CObject::kType, 0u}) {
      EXPECT_EQ(adapter->IsType(code), code == own || code == base || code == CObject::kType) << std::hex << code;
    }
  }
  RObject<CGraphicsSurface> surfaceCopy = surface;  // a second framework reference, not a second buffer one
  ASSERT_EQ(reference->Lock(2), ResultOK);
  EXPECT_EQ(std::tuple(gpu->RefCountForTesting(), group->RefCountForTesting(), LiveVelObjects()), std::tuple(4, 2, 3L))
      << "locking takes none";
  reference->Unlock();
  // A surface points at the storage as the record describes it at each Lock
  // (Unlock keeps it): the whole storage, not rows × stride. It never maps.
  gpu->SetBytesPerRow(40), gpu->SetWidth(10);
  ASSERT_TRUE(gpu->AllocateStorage(200) == 0 && surface->Lock() == ResultOK);
  surface->Unlock();
  EXPECT_EQ(std::tuple(Answers(surface), surface->GetSize(), gpu->mapFlags.size()),
            std::tuple(std::tuple(gpu->GetStorage(), 40, 200), Dimensions{10, 4}, size_t{1}));
  const RObject<CGraphicsSurface> groupSurface = MakeSurface(context, 16, 16);
  EXPECT_EQ(group->RefCountForTesting(), 2) << "a surface holds its buffer, not the group";
  gpu->Release(), group->Release();
  EXPECT_EQ(LiveUnknowns(), 4) << "the GPU buffer; the group, its filter manager and its surface's buffer";
  reference.Reset(), surface.Reset(), context.Reset();
  ASSERT_TRUE(surfaceCopy->Lock() == ResultOK && groupSurface->Lock() == ResultOK);
  surfaceCopy->GetData()[199] = 1;  // still the buffer's live storage
  groupSurface->GetData()[groupSurface->GetLength() - 1] = 0xFF;
}

// Each surface is a new reference to one frame of group storage, which goes
// back to the group's cache with the surface and serves the next one.
TEST_F(kaBufferAdaptersTest, ContextSurfacesAreOneFrameGroupBuffersThatGoBackToTheCache) {
  Held<kaBufferGroup2> group(new kaBufferGroup2());
  const auto context = Wrap(group.get(), &kaBufferGroup2::WrapInVelGraphicsContext);
  uint8_t* pixels = nullptr;
  for (int round = 0; round < 2; ++round) {
    const RObject<CGraphicsSurface> surface = MakeSurface(context, 64, 32);
    ASSERT_EQ(surface->Lock(), ResultOK);
    EXPECT_EQ(std::tuple(surface->GetReferenceCount(), surface->GetSize(), Answers(surface)),
              std::tuple(1, Dimensions{64, 32}, std::tuple(round == 0 ? surface->GetData() : pixels, 128, 128 * 32)));
    pixels = surface->GetData();
  }
  EXPECT_EQ(group->GetStatistics(), (kaCacheStatistics{1, 1, 4096, 4096, 1, 1})) << "one buffer, idle again";
}
