#include "buffers/kaBuffer2.h"

#include <cmath>
#include <functional>

#include "BufferTestSupport.h"
#include "Vel/CPixelDataReference.h"
#include "Vel/RObject.h"
#include "buffers/kaOptimizedBuffer2Producer.h"

namespace {

using kaBuffer2Test = BufferTest;

// A buffer whose returns to zero leave a trace in `log`.
class WatchedBuffer final : public kaBuffer2 {
 public:
  explicit WatchedBuffer(std::string& log) : log_(log) {}
  void PrepareForReuse() override { log_ += "prepare "; }

 private:
  ~WatchedBuffer() override { log_ += "destroyed "; }
  std::string& log_;
};

// Appends to a log when the function that holds it is destroyed.
struct OnDestroy {
  OnDestroy(std::string& into, const char* what) : log(into), text(what) {}
  ~OnDestroy() { log += text; }
  std::string& log;
  const char* text;
};

int Offset(const void* p, const unsigned char* base) { return p ? int(static_cast<const unsigned char*>(p) - base) : -1; }

}  // namespace

TEST_F(kaBuffer2Test, ReturnToZeroRunsPreRecycleThenRecycleAndDestroysOnlyWhatNobodyTook) {
  // Any nonzero answer means taken; the cache, as a taker, adds its own reference.
  const struct { bool pre, recycle; int answer; bool takesReference; const char* log; } cases[] = {
      {false, false, 0, false, "destroyed "},           {true, false, 0, false, "pre destroyed "},
      {true, true, 0, false, "pre recycle destroyed "}, {true, true, 1, true, "pre recycle prepare "},
      {false, true, 2, true, "recycle prepare "},       {true, true, -7, true, "pre recycle prepare "},
      {true, true, 1, false, "pre recycle prepare "}};
  for (const auto& c : cases) {
    std::string log;
    auto* buffer = new WatchedBuffer(log);
    if (c.pre) buffer->SetPreRecycleLambda([&log] { log += "pre "; });
    if (c.recycle) buffer->SetRecycleLambda([&log, buffer, c] {
        log += "recycle ";
        if (c.takesReference) buffer->AddRef();
        return static_cast<kaBuffer2::RecycleResult>(c.answer);
      });
    EXPECT_EQ(buffer->Release(), 0);
    EXPECT_EQ(log, c.log);
    if (c.answer == kaBuffer2::Destroy) continue;
    EXPECT_EQ(buffer->RefCountForTesting(), c.takesReference ? 1 : 0);
    buffer->SetRecycleLambda(nullptr);  // the taker lets it go for good: the protocol runs once more
    if (!c.takesReference) buffer->AddRef();
    log.clear();
    buffer->Release();
    EXPECT_EQ(log, c.pre ? "pre destroyed " : "destroyed ");
  }
}

TEST_F(kaBuffer2Test, ReturnToZeroInsideARecyclePassRunsAfterThatPass) {
  std::string log;
  auto* buffer = new WatchedBuffer(log);
  int passes = 0;
  buffer->SetPreRecycleLambda([&log, gone = std::make_shared<OnDestroy>(log, "pre-function ")] { log += "pre "; });
  buffer->SetRecycleLambda([&, gone = std::make_shared<OnDestroy>(log, "recycle-function ")] {
    log += "enter ";
    const bool first = ++passes == 1;
    if (first) buffer->AddRef(), buffer->Release();  // back to zero while this pass runs
    log += "exit ";
    return first ? kaBuffer2::Recycled : kaBuffer2::Destroy;
  });
  buffer->Release();
  EXPECT_EQ(log, "pre enter exit prepare pre enter exit destroyed pre-function recycle-function ");
}

TEST_F(kaBuffer2Test, PixelAspectCorrectionFloorsTheWidthInSinglePrecisionAndSaturates) {
  const struct { int width, height; float ratio; int displayWidth; } cases[] = {
      {640, 480, 1.5f, 960},       {5, 4, 0.5f, 2},             {-3, 4, 0.5f, -2},           {720, 576, 1.0f, 720},
      {INT_MAX, 1, 4.0f, INT_MAX}, {INT_MIN, 2, 4.0f, INT_MIN}, {100, 3, std::nanf(""), 0}, {100, 3, HUGE_VALF, INT_MAX}};
  Held<kaBuffer2> buffer(new kaBuffer2());
  for (const auto& c : cases) {
    buffer->SetPixelAspectCorrectedDimensions(c.width, c.height, c.ratio);
    EXPECT_EQ(std::pair(buffer->GetDisplayWidth(), buffer->GetDisplayHeight()), std::pair(c.displayWidth, c.height))
        << c.width << " x " << c.ratio;
  }
}

// One table of plane layouts, seen by the buffer and by the pixel-data
// adapter, which computes IMC4 and YM16 itself (its IMC4 chroma follows w·h
// luma bytes) and passes the buffer's planes on for the others. The adapter
// checks only that its side-by-side planes start inside the image, so it is
// not asked about records whose rows merely end past the storage.
TEST_F(kaBuffer2Test, PlanesLieWhereTheRasterTypePutsThemAndNeverOutsideTheStorage) {
  constexpr uint32_t kI420 = veRasterType::kI420, kNV12 = veRasterType::kNV12, kIMC4 = veRasterType::kIMC4,
                     kYM16 = veRasterType::kYM16;
  using Offsets = std::array<int, 3>;  // -1: no plane
  constexpr Offsets kNone = {-1, -1, -1}, kUnasked = {-2, -2, -2};
  const struct { const char* name; uint32_t raster; int32_t width, height, rowBytes; int storage, count;
                 Offsets offset, planeRowBytes, adapter; } rows[] = {
      {"I420", kI420, 4, 2, 4, 12, 3, {0, 8, 10}, {4, 2, 2}, {0, 8, 10}},
      {"YV12 as I420", veRasterType::kYV12, 4, 2, 4, 12, 3, {0, 8, 10}, {4, 2, 2}, {0, 8, 10}},
      {"I420 of odd size", kI420, 5, 3, 5, 20, 3, {0, 15, 18}, {5, 2, 2}, {0, 15, 18}},
      {"I420 one row high: no chroma row", kI420, 2, 1, 2, 2, 3, {0, -1, -1}, {2, 0, 0}, {0, -1, -1}},
      {"NV12", kNV12, 4, 2, 4, 12, 2, {0, 8, -1}, {4, 4, 0}, {0, 8, -1}},
      {"IMC4 with padded rows", kIMC4, 4, 2, 8, 24, 3, {0, 16, 18}, {8, 8, 8}, {0, 8, 10}},
      {"IMC4", kIMC4, 64, 32, 64, 3072, 3, {0, 2048, 2080}, {64, 64, 64}, {0, 2048, 2080}},
      {"IMC4 one row high", kIMC4, 2, 1, 2, 2, 3, {0, -1, -1}, {2, 0, 0}, kNone},
      {"YM16", kYM16, 8, 2, 32, 64, 3, {0, 8, 12}, {32, 32, 32}, {0, 8, 12}},
      {"YM16 wide", kYM16, 64, 4, 128, 512, 3, {0, 64, 96}, {128, 128, 128}, {0, 64, 96}},
      {"packed without row bytes", veRasterType::kRgba, 4, 2, 0, 32, 1, {0, -1, -1}, {0, 0, 0}, {0, -1, -1}},
      {"packed without storage", veRasterType::k2vuy, 4, 2, 8, 0, 1, kNone, {8, 0, 0}, kNone},
      // Records that do not fit the storage: no planes at all.
      {"no storage", kI420, 4, 2, 4, 0, 0, kNone, {}, kNone}, {"one byte short", kI420, 4, 2, 4, 11, 0, kNone, {}, kNone},
      {"width < 0", kI420, -4, 2, 4, 12, 0, kNone, {}, kNone}, {"height < 0", kNV12, 4, -2, 4, 12, 0, kNone, {}, kNone},
      {"w x h > 32 bits", kI420, 65536, 65536, 65536, 64, 0, kNone, {}, kNone},
      {"IMC4 short", kIMC4, 64, 32, 64, 2048, 0, kNone, {}, kNone}, {"IMC4 w < 0", kIMC4, -64, 32, 64, 4096, 0, kNone, {}, kNone},
      {"IMC4 > 32 bits", kIMC4, 65536, 65536, 64, 64, 0, kNone, {}, kNone},
      {"YM16 last plane at the end", kYM16, 64, 1, 128, 96, 0, kNone, {}, kNone},
      {"rows end past the storage", kYM16, 8, 4, 32, 100, 0, kNone, {}, kUnasked},
      {"IMC4 chroma ends past it", kIMC4, 4, 2, 8, 17, 0, kNone, {}, kUnasked},
      {"row bytes < 0", kYM16, 4, 2, -32, 64, 0, kNone, {}, kUnasked},
      {"huge row bytes", kYM16, 8, 2, INT32_MAX, 64, 0, kNone, {}, kUnasked}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Held<kaBuffer2> buffer(NewVideoBuffer(row.width, row.height, row.raster, row.rowBytes, row.storage));
    const unsigned char* const base = buffer->GetStorage();
    const kaBuffer2::Planes planes = buffer->GetPlanarStorage();
    EXPECT_EQ(planes.count, row.count);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(std::pair(Offset(planes.plane[i].data, base), planes.plane[i].rowBytes),
                std::pair(row.offset[i], row.planeRowBytes[i])) << "plane " << i;
    }
    int handed = 0;  // by the two map functions, once each
    const auto same = [&](const kaBuffer2::Planes& given) {
      handed += given.count == row.count && given.plane[2].data == planes.plane[2].data;
    };
    EXPECT_TRUE(buffer->MapPlanarStorage(same) && buffer->MapPlanarStorageReadOnly(same) && handed == 2);
    if (row.adapter == kUnasked) continue;
    Corvane::Vel::CPixelDataReference* made = nullptr;
    ASSERT_TRUE(buffer->WrapInVelPixelDataReference(made));
    const auto samples = Corvane::Vel::RObject<Corvane::Vel::CPixelDataReference>::Adopt(made)->GetSamplePlanes(0, false);
    const bool sideBySide = row.raster == kIMC4 || row.raster == kYM16;
    for (int i = 0; i < 4; ++i) {
      const int offset = i < 3 ? row.adapter[i] : -1;
      const int stride = offset < 0 ? 0 : sideBySide ? row.rowBytes : planes.plane[i].rowBytes;
      EXPECT_EQ(std::pair(Offset(samples.plane[i], base), samples.stride[i]), std::pair(offset, stride)) << "sample " << i;
    }
  }
}

TEST_F(kaBuffer2Test, CopyImageFromCopiesTheActiveBytesOfEachRow) {
  const struct { const char* name; uint32_t raster; int32_t width, height, rowBytes;
                 int storage, sourceRowBytes, active, rows, destinationRowBytes; } cases[] = {
      {"packed into padded rows", veRasterType::kRgba, 3, 2, 16, 32, 20, 12, 2, 16},
      {"planar: luma then chroma rows", veRasterType::kI420, 4, 2, 4, 12, 4, 4, 3, 4},
      {"no row bytes: rows spread over the storage", veRasterType::kRgba, 2, 2, 0, 20, 8, 8, 2, 10}};
  for (const auto& c : cases) {
    Held<kaBuffer2> buffer(NewVideoBuffer(c.width, c.height, c.raster, c.rowBytes, c.storage));
    std::vector<unsigned char> source(static_cast<size_t>(c.sourceRowBytes * c.rows)), expected(c.storage, 0);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 7 % 251 + 1);
    buffer->CopyImageFrom(source.data(), c.sourceRowBytes);
    for (int r = 0; r < c.rows; ++r) std::copy_n(&source[r * c.sourceRowBytes], c.active, &expected[r * c.destinationRowBytes]);
    EXPECT_EQ(Bytes(*buffer), expected) << c.name;
  }
}

// Rectangles of a 100 x 3 RGBA image, mapped by a subclass: how each is
// clipped (written back to the caller) and what lands in the destination.
TEST_F(kaBuffer2Test, CopySubImageClipsTheRectangleAndCopiesOnlyWhatLiesInTheImage) {
  enum Change { kNone, kForeignMapping, kNoRowBytes, kNoStorage, kTallRecord, kUnknownRaster };
  using Rect = std::array<int, 4>;  // x, y, width, height
  // `marked`: leading 0xFF bytes of a failed mapping.
  const struct { const char* name; Change change; Rect in, out; bool returnsDestination, copies; int marked; } rows[] = {
      {"inside", kNone, {10, 1, 5, 2}, {10, 1, 5, 2}, true, true, 0},
      {"another mapping", kForeignMapping, {10, 1, 5, 2}, {10, 1, 5, 2}, true, true, 0},
      {"negative left edge", kNone, {-2, 0, 10, 3}, {0, 0, 8, 3}, true, true, 0},
      {"right and top edges", kNone, {96, -1, 50, 3}, {96, 0, 4, 2}, true, true, 0},
      {"ends beyond 32 bits", kNone, {50, 0, INT_MAX, INT_MAX}, {50, 0, 50, 3}, true, true, 0},
      {"right of the image", kNone, {100, 0, 1, 1}, {100, 0, 1, 1}, false, false, 0},
      {"below, left edge clipped first", kNone, {-3, 3, 10, 1}, {0, 3, 7, 1}, false, false, 0},
      {"empty once clipped", kNone, {-20, 0, 10, 1}, {0, 0, -10, 1}, true, false, 0},
      {"no rows", kNone, {0, 0, 4, 0}, {0, 0, 4, 0}, true, false, 0},
      {"sizes below 32 bits saturate", kNone, {-5, INT_MIN, INT_MIN, INT_MIN}, {0, 0, INT_MIN, INT_MIN}, true, false, 0},
      {"failed mapping marks a pixel", kNoRowBytes, {0, 0, 2, 2}, {0, 0, 2, 2}, true, false, 4},
      {"no storage marks a 16-bit pixel", kNoStorage, {0, 0, 2, 2}, {0, 0, 2, 2}, true, false, 2},
      {"record taller than the storage", kTallRecord, {0, 0, 4, 10}, {0, 0, 4, 10}, true, false, 0},
      {"rows of a tall record that fit", kTallRecord, {0, 0, 4, 3}, {0, 0, 4, 3}, true, true, 0},
      {"unknown raster type", kUnknownRaster, {0, 0, 4, 2}, {0, 0, 4, 2}, true, false, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Held<TestGpuBuffer> image(NewVideoBuffer<TestGpuBuffer>(100, 3, veRasterType::kRgba, 400, 1200));
    std::vector<unsigned char> pixels(1200), destination(1300, 0), expected(1300, 0);  // room to spare past any copy
    for (int i = 0; i < 1200; ++i) pixels[i] = image->GetStorage()[i] = static_cast<unsigned char>(i % 251 + 1);
    if (row.change == kForeignMapping) std::reverse(pixels.begin(), pixels.end()), image->MapTo(pixels.data(), 400);
    if (row.change == kNoRowBytes) image->SetBytesPerRow(0);
    if (row.change == kNoStorage) image->SetRasterType(veRasterType::k2vuy), image->AllocateStorage(0);
    if (row.change == kTallRecord) image->SetHeight(100);
    if (row.change == kUnknownRaster) image->SetRasterType(zFourCC("zzzz"));
    Rect rect = row.in;
    char* const start = reinterpret_cast<char*>(destination.data());
    EXPECT_EQ(image->CopySubImage(start, rect[0], rect[1], rect[2], rect[3]), row.returnsDestination ? start : nullptr);
    EXPECT_EQ(rect, row.out);
    const auto [x, y, width, height] = row.out;
    for (int r = 0; row.copies && r < height; ++r) std::copy_n(&pixels[(y + r) * 400 + x * 4], width * 4, &expected[r * width * 4]);
    std::fill_n(expected.begin(), row.marked, 0xFF);
    EXPECT_EQ(destination, expected);
    EXPECT_EQ(image->mapFlags, std::vector<int32_t>(row.returnsDestination, kaXIGPUAccessibleBuffer::kMapForReading));
    EXPECT_EQ(image->unmaps, row.returnsDestination && !row.marked) << "unmapped once after a mapping that worked";
  }
}

TEST_F(kaBuffer2Test, ProducersMakeTheirBufferAtMostOnceAndHoldItUntilTheyGo) {
  int calls = 0;
  std::shared_ptr<kaBuffer2> next;  // what `produce` yields
  auto producer = std::make_unique<kaBuffer2Producer>();
  producer->produce = [&] { return ++calls, next; };
  EXPECT_FALSE(producer->ProduceBuffer()) << "nothing yet: asked again next time";
  next = zAsSharedPtr(new kaBuffer2());
  EXPECT_EQ(producer->ProduceMetadata(), static_cast<const veMediaRecord*>(next.get()));
  next.reset();
  EXPECT_EQ(producer->ProduceBuffer(), producer->produced);
  EXPECT_EQ(std::pair(calls, producer->produced->RefCountForTesting()), std::pair(2, 1));
  producer.reset();
  EXPECT_EQ(LiveUnknowns(), 0) << "the producer released its buffer";
}
