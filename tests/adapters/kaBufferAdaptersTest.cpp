// The media-framework adapters over buffers and groups: what each answers,
// locked and unlocked, and which references each holds. Their plane layouts
// are checked with the buffer's, in the buffer tests.
#include <optional>
#include <type_traits>

#include "Vel/CGraphicsContext.h"
#include "Vel/CPixelDataReference.h"
#include "Vel/CVideoProperties.h"
#include "Vel/RObject.h"
#include "buffers/BufferTestSupport.h"

using namespace Corvane::Vel;

namespace {

using kaBufferAdaptersTest = BufferTest;

// A group that records what the context asks of allocate_buffer and, when
// told to, fails it with the given result and no buffer.
class ScriptedGroup final : public kaBufferGroup2 {
 public:
  int32_t allocate_buffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out) override {
    asked = {++asked[0], size, count, extra, format.Width(), format.BytesPerRow()};
    return failWith ? (*out = nullptr, *failWith) : kaBufferGroup2::allocate_buffer(format, size, count, extra, out);
  }
  std::array<int, 6> asked{};  // calls so far, then size, count, extra, width and bytes per row of the last
  std::optional<int32_t> failWith;
};

// The adapter that `wrap` makes over `source`, with the caller's reference.
template <class Adapter, class Source>
RObject<Adapter> Wrap(std::type_identity_t<Source>* source, bool (Source::*wrap)(Adapter*&)) {
  Adapter* out = nullptr;
  EXPECT_TRUE((source->*wrap)(out));
  return RObject<Adapter>::Adopt(out);
}
RObject<CPixelDataReference> Pixels(kaBuffer2* buffer) { return Wrap(buffer, &kaBuffer2::WrapInVelPixelDataReference); }
RObject<CGraphicsSurface> Surface(kaBuffer2* buffer) { return Wrap(buffer, &kaBuffer2::WrapInVelGraphicsSurface); }
RObject<CGraphicsContext> Context(kaBufferGroup2* group) { return Wrap(group, &kaBufferGroup2::WrapInVelGraphicsContext); }

RObject<CVideoProperties> Describe(int32_t width, int32_t height, uint32_t pixelFormat) {
  auto properties = RObject<CVideoProperties>::Adopt(new CVideoProperties());
  properties->SetWidth(width), properties->SetHeight(height), properties->SetPixelFormat(pixelFormat);
  return properties;
}

// What a pixel reference or a surface answers: data, stride and length.
template <class Adapter>
std::tuple<uint8_t*, int32_t, int32_t> Answers(const RObject<Adapter>& a) { return {a->GetData(), a->GetStride(), a->GetLength()}; }

auto* const kUntouchedSurface = reinterpret_cast<CGraphicsSurface*>(uintptr_t{0x40});

}  // namespace

TEST_F(kaBufferAdaptersTest, PixelReferenceAnswersFromTheStorageUnlessAGpuMappingSucceeded) {
  Held<kaBuffer2> plain(NewVideoBuffer(8, 4, veRasterType::k2vuy, 16, 64));
  Held<TestGpuBuffer> gpu(NewVideoBuffer<TestGpuBuffer>(8, 4, veRasterType::kIMC4, 32, 192));
  const auto plainReference = Pixels(plain.get()), reference = Pixels(gpu.get());
  for (int pass = 0; pass < 2; ++pass, plainReference->Unlock()) {
    EXPECT_EQ(std::pair(Answers(plainReference), plainReference->GetArea()),
              std::pair(std::tuple(plain->GetStorage(), 16, 64), Dimensions{8, 4}));
    EXPECT_EQ(plainReference->Lock(CPixelDataReference::kLockRead), ResultOK) << "without a GPU interface";
  }

  for (int mode : {1, 0, 2, 3, -1}) {
    EXPECT_EQ(reference->Lock(mode), ResultOK) << mode;
    reference->Unlock();
  }
  EXPECT_EQ(gpu->mapFlags, (std::vector<int32_t>{0, 2, 2, 2, 2})) << "reading for mode 1, reading and writing else";
  std::vector<unsigned char> mapped(6 * 48);
  gpu->MapTo(mapped.data(), 48);
  ASSERT_EQ(reference->Lock(CPixelDataReference::kLockWrite), ResultOK);
  EXPECT_EQ(std::pair(Answers(reference), reference->GetArea()), std::pair(std::tuple(mapped.data(), 48, 4 * 48), Dimensions{8, 4}));
  const SamplePlanes planes = reference->GetSamplePlanes(0, false);  // IMC4 chroma after w·h luma bytes of the mapping
  EXPECT_EQ(std::tuple(planes.plane[0], planes.plane[1] - planes.plane[0], planes.plane[2] - planes.plane[1], planes.stride[2]),
            std::tuple(mapped.data(), 32, 4, 48));
  reference->Unlock();
  EXPECT_EQ(std::pair(gpu->unmaps, Answers(reference)), std::pair(6, std::tuple(gpu->GetStorage(), 32, 192)));
  for (const auto& [data, rowBytes] : {std::pair<unsigned char*, int32_t>{nullptr, 48}, {mapped.data(), 0}, {mapped.data(), -48}}) {
    gpu->MapTo(data, rowBytes);
    EXPECT_EQ(reference->Lock(CPixelDataReference::kLockRead), ResultError) << rowBytes;
    EXPECT_EQ(Answers(reference), std::tuple(gpu->GetStorage(), 32, 192)) << "a failed map leaves the storage answering";
    reference->Unlock();
  }
  // The locked length stops at the end of the storage that the mapping lies in, and saturates.
  using Case = std::tuple<unsigned char*, int32_t, int32_t, int32_t>;  // mapping, stride, height, length
  for (const auto& [data, stride, height, length] :
       {Case{gpu->GetStorage(), 1000, 4, 192}, {gpu->GetStorage() + 100, 32, 4, 92}, {mapped.data(), INT32_MAX, 100000, INT32_MAX},
        {mapped.data(), INT32_MAX, -3, 0}}) {
    gpu->MapTo(data, stride), gpu->SetHeight(height);
    ASSERT_EQ(reference->Lock(1), ResultOK);
    EXPECT_EQ(reference->GetLength(), length) << stride << " x " << height;
    reference->Unlock();
  }
}

// Each adapter answers its own type code and leaves other codes to its
// framework base, except the surface, which skips its base: framework code
// that looks for its own surface class must not take this one for it. Each
// holds one reference to its object (the pixel reference one more for the
// GPU interface) from construction to destruction.
TEST_F(kaBufferAdaptersTest, AdaptersAreOfTheirOwnTypeAndHoldExactlyTheReferencesTheyNeed) {
  auto* plain = NewVideoBuffer(8, 4, veRasterType::k2vuy, 16, 64);
  auto* gpu = NewVideoBuffer<TestGpuBuffer>(8, 4, veRasterType::kBGRA, 32, 144);
  auto* group = new kaBufferGroup2();
  auto plainReference = Pixels(plain), gpuReference = Pixels(gpu);
  auto surface = Surface(gpu);
  auto context = Context(group);
  using Row = std::tuple<CObject*, uint32_t, uint32_t>;  // adapter, own code, base code
  for (const auto& [adapter, own, base] : {Row{gpuReference.Get(), 0x6B426472u, CPixelDataReference::kType},
                                           Row{surface.Get(), 0x6B426773u, CObject::kType},
                                           Row{context.Get(), 0x6B426763u, CGraphicsContext::kType}}) {
    EXPECT_EQ(adapter->GetTypeCode(), own);
    for (uint32_t code : {0x6B426472u, 0x6B426773u, 0x6B426763u, CPixelDataReference::kType, CGraphicsSurface::kType,
                          CGraphicsContext::kType, CObject::kType, 0u}) {
      EXPECT_EQ(adapter->IsType(code), code == own || code == base || code == CObject::kType) << std::hex << own << " " << code;
    }
  }
  RObject<CGraphicsSurface> surfaceCopy = surface;  // a second framework reference, not a second buffer one
  EXPECT_EQ(std::tuple(plain->RefCountForTesting(), gpu->RefCountForTesting(), group->RefCountForTesting()), std::tuple(2, 4, 2));
  EXPECT_EQ(std::pair(plainReference->GetReferenceCount(), LiveVelObjects()), std::pair(1, int64_t{4}));
  ASSERT_EQ(gpuReference->Lock(2), ResultOK);
  EXPECT_EQ(std::pair(gpu->RefCountForTesting(), gpu->mapFlags.size()), std::pair(4, size_t{1})) << "locking takes none";
  gpuReference->Unlock();
  // A surface points at the storage as the record describes it at each Lock (Unlock keeps it), and never maps.
  EXPECT_EQ(Answers(surface), (std::tuple<uint8_t*, int, int>(nullptr, 0, 0))) << "nothing before the first Lock";
  ASSERT_EQ(surface->Lock(), ResultOK);
  surface->Unlock();
  EXPECT_EQ(std::pair(Answers(surface), surface->GetSize()), std::pair(std::tuple(gpu->GetStorage(), 32, 144), Dimensions{8, 4}));
  gpu->SetBytesPerRow(40), gpu->SetWidth(10);
  ASSERT_TRUE(gpu->AllocateStorage(200) == 0 && surface->Lock() == ResultOK);
  EXPECT_EQ(std::tuple(Answers(surface), surface->GetSize(), gpu->mapFlags.size()),
            std::tuple(std::tuple(gpu->GetStorage(), 40, 200), Dimensions{10, 4}, size_t{1})) << "storage size, not rows × stride";

  CGraphicsSurface* out = nullptr;
  ASSERT_EQ(context->CreateSurface(Describe(16, 16, veRasterType::kBGRA).Get(), out), ResultOK);
  const auto groupSurface = RObject<CGraphicsSurface>::Adopt(out);
  EXPECT_EQ(group->RefCountForTesting(), 2) << "a surface holds its buffer, not the group";
  plain->Release(), gpu->Release(), group->Release();  // the creators let go: the adapters keep their objects usable
  ASSERT_EQ(context->CreateSurface(Describe(16, 16, veRasterType::kBGRA).Get(), out), ResultOK);
  EXPECT_EQ(out->Release(), 0);
  EXPECT_EQ(LiveUnknowns(), 6) << "the two buffers; the group, its filter manager and two buffers of its own";
  plainReference->GetData()[63] = 0x5A;  // still the buffer's live storage
  plainReference.Reset(), surface.Reset(), gpuReference.Reset(), context.Reset();
  EXPECT_EQ(LiveUnknowns(), 2) << "the GPU buffer, held by the surface copy, and the group surface's buffer";
  ASSERT_TRUE(surfaceCopy->Lock() == ResultOK && groupSurface->Lock() == ResultOK);
  surfaceCopy->GetData()[199] = 1;
  groupSurface->GetData()[groupSurface->GetLength() - 1] = 0xFF;
}

TEST_F(kaBufferAdaptersTest, ContextSurfacesAreOneFrameGroupBuffersThatGoBackToTheCache) {
  Held<ScriptedGroup> group(new ScriptedGroup());
  const auto context = Context(group.get());
  const auto properties = Describe(64, 32, veRasterType::k2vuy);
  const veMediaRecord filed = VideoFormat(64, 32, veRasterType::k2vuy, 128);
  uint8_t* pixels = nullptr;
  for (int round = 0; round < 2; ++round) {
    CGraphicsSurface* out = kUntouchedSurface;
    ASSERT_EQ(context->CreateSurface(properties.Get(), out), ResultOK);
    const auto surface = RObject<CGraphicsSurface>::Adopt(out);
    EXPECT_EQ(std::pair(surface->GetReferenceCount(), surface->GetSize()), std::pair(1, Dimensions{64, 32}));
    ASSERT_EQ(surface->Lock(), ResultOK);
    EXPECT_EQ(Answers(surface), std::tuple(round == 0 ? surface->GetData() : pixels, 128, 128 * 32)) << "storage reused";
    pixels = surface->GetData();
    EXPECT_EQ(group->Debug_CountOfCachedBuffers(filed, 128 * 32), round == 0 ? -1 : 0) << "held by the surface alone";
  }
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(filed, 128 * 32), 1);
  EXPECT_EQ(group->GetStatistics(), (kaCacheStatistics{1, 1, 4096, 4096, 1, 1}));
  EXPECT_EQ(group->asked, (std::array{2, -1, 1, 0, 64, 0})) << "a size and row bytes that the group computes";
  for (const int32_t result : {-1, 0}) {  // a refusal, and a success without a buffer
    group->failWith = result;
    CGraphicsSurface* refused = kUntouchedSurface;
    EXPECT_EQ(context->CreateSurface(properties.Get(), refused), ResultError) << result;
    EXPECT_EQ(refused, kUntouchedSurface);
  }
  EXPECT_EQ(std::pair(group->asked[0], LiveVelObjects()), std::pair(4, int64_t{2})) << "no surface was made";
  auto* const untouchedBuffer = reinterpret_cast<CGraphicsBuffer*>(uintptr_t{0x80});
  CGraphicsBuffer* buffer = untouchedBuffer;
  EXPECT_EQ(context->CreateBuffer(4096, buffer), ResultNotImplemented);
  EXPECT_EQ(buffer, untouchedBuffer);
}
