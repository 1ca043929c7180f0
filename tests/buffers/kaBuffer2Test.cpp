#include "buffers/kaBuffer2.h"

#include <cmath>

#include "BufferTestSupport.h"
#include "Vel/CPixelDataReference.h"
#include "Vel/RObject.h"

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

int Offset(const void* p, const unsigned char* base) {
  return p ? int(static_cast<const unsigned char*>(p) - base) : -1;
}

}  // namespace

// The pre-recycle function, then the recycle function, run on every return
// to zero; any nonzero answer means taken (PrepareForReuse runs), and a
// return to zero inside a pass runs after it. The functions go with the
// buffer, after the last pass.
TEST_F(kaBuffer2Test, ReturnToZeroInsideARecyclePassRunsAfterThatPass) {
  std::string log;
  auto* buffer = new WatchedBuffer(log);
  const auto onDestroy = [&log](const char* text) {
    return std::shared_ptr<void>(nullptr, [&log, text](void*) { log += text; });
  };
  int passes = 0;
  buffer->SetPreRecycleLambda([&log, gone = onDestroy("pre-function ")] { log += "pre "; });
  buffer->SetRecycleLambda([&, gone = onDestroy("recycle-function ")] {
    log += "enter ";
    const bool first = ++passes == 1;
    if (first) buffer->AddRef(), buffer->Release();  // back to zero while this pass runs
    log += "exit ";
    return static_cast<kaBuffer2::RecycleResult>(first ? -7 : kaBuffer2::Destroy);  // -7: taken
  });
  buffer->Release();
  EXPECT_EQ(log, "pre enter exit prepare pre enter exit destroyed pre-function recycle-function ");
}

TEST_F(kaBuffer2Test, PixelAspectCorrectionFloorsTheWidthInSinglePrecisionAndSaturates) {
  const struct { int width, height; float ratio; int displayWidth; } cases[] = {
      {640, 480, 1.5f, 960}, {5, 4, 0.5f, 2}, {-3, 4, 0.5f, -2}, {INT_MAX, 1, 4.0f, INT_MAX},
      {INT_MIN, 2, 4.0f, INT_MIN}, {100, 3, std::nanf(""), 0}, {100, 3, HUGE_VALF, INT_MAX}};
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
// not asked (-2) about records whose rows merely end past the storage.
TEST_F(kaBuffer2Test, PlanesLieWhereTheRasterTypePutsThemAndNeverOutsideTheStorage) {
  constexpr uint32_t kI420 = veRasterType::kI420, kNV12 = veRasterType::kNV12, kIMC4 = veRasterType::kIMC4,
                     kYM16 = veRasterType::kYM16;
  using Offsets = std::array<int, 3>;  // -1: no plane
  constexpr Offsets kNone = {-1, -1, -1}, kUnasked = {-2, -2, -2};
  const struct { const char* name; uint32_t raster; int32_t width, height, rowBytes; int storage, count;
                 Offsets offset, planeRowBytes, adapter; } rows[] = {
      {"I420", kI420, 4, 2, 4, 12, 3, {0, 8, 10}, {4, 2, 2}, {0, 8, 10}},
      {"I420 of odd size", kI420, 5, 3, 5, 20, 3, {0, 15, 18}, {5, 2, 2}, {0, 15, 18}},
      {"I420 one row: no chroma row", kI420, 2, 1, 2, 2, 3, {0, -1, -1}, {2, 0, 0}, {0, -1, -1}},
      {"NV12", kNV12, 4, 2, 4, 12, 2, {0, 8, -1}, {4, 4, 0}, {0, 8, -1}},
      {"IMC4 with padded rows", kIMC4, 4, 2, 8, 24, 3, {0, 16, 18}, {8, 8, 8}, {0, 8, 10}},
      {"YM16", kYM16, 8, 2, 32, 64, 3, {0, 8, 12}, {32, 32, 32}, {0, 8, 12}},
      {"packed, no row bytes", veRasterType::kRgba, 4, 2, 0, 32, 1, {0, -1, -1}, {0, 0, 0}, {0, -1, -1}},
      {"packed, no storage", veRasterType::k2vuy, 4, 2, 8, 0, 1, kNone, {8, 0, 0}, kNone},
      // Records that do not fit the storage: no planes at all.
      {"1 byte short", kI420, 4, 2, 4, 11, 0, kNone, {}, kNone}, {"w < 0", kI420, -4, 2, 4, 12, 0, kNone, {}, kNone},
      {"w x h > 32 bits", kI420, 65536, 65536, 65536, 64, 0, kNone, {}, kNone},
      {"IMC4 short", kIMC4, 64, 32, 64, 2048, 0, kNone, {}, kNone},
      {"IMC4 > 32 bits", kIMC4, 65536, 65536, 64, 64, 0, kNone, {}, kNone},
      {"YM16 last plane at the end", kYM16, 64, 1, 128, 96, 0, kNone, {}, kNone},
      {"rows past it", kYM16, 8, 4, 32, 100, 0, kNone, {}, kUnasked},
      {"row bytes < 0", kYM16, 4, 2, -32, 64, 0, kNone, {}, kUnasked}};
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
    if (row.adapter == kUnasked) continue;
    Corvane::Vel::CPixelDataReference* made = nullptr;
    ASSERT_TRUE(buffer->WrapInVelPixelDataReference(made));
    const auto reference = Corvane::Vel::RObject<Corvane::Vel::CPixelDataReference>::Adopt(made);
    const Corvane::Vel::SamplePlanes samples = reference->GetSamplePlanes(0, false);
    const bool sideBySide = row.raster == kIMC4 || row.raster == kYM16;
    for (int i = 0; i < 4; ++i) {
      const int offset = i < 3 ? row.adapter[i] : -1;
      const int stride = offset < 0 ? 0 : sideBySide ? row.rowBytes : planes.plane[i].rowBytes;
      EXPECT_EQ(std::pair(Offset(samples.plane[i], base), samples.stride[i]), std::pair(offset, stride)) << i;
    }
  }
}

// Rectangles of a 100 x 3 RGBA image (written with CopyImageFrom), mapped by
// a subclass: how each is clipped (written back to the caller) and what lands
// in the destination.
TEST_F(kaBuffer2Test, CopySubImageClipsTheRectangleAndCopiesOnlyWhatLiesInTheImage) {
  enum Change { kNone, kForeignMapping, kNoRowBytes, kNoStorage, kTallRecord };
  using Rect = std::array<int, 4>;  // x, y, width, height
  // `marked`: leading 0xFF bytes of a failed mapping.
  const struct { const char* name; Change change; Rect in, out; bool returned, copies; int marked; } rows[] = {
      {"inside", kNone, {10, 1, 5, 2}, {10, 1, 5, 2}, true, true, 0},
      {"another mapping", kForeignMapping, {10, 1, 5, 2}, {10, 1, 5, 2}, true, true, 0},
      {"negative left edge", kNone, {-2, 0, 10, 3}, {0, 0, 8, 3}, true, true, 0},
      {"right and top edges", kNone, {96, -1, 50, 3}, {96, 0, 4, 2}, true, true, 0},
      {"ends beyond 32 bits", kNone, {50, 0, INT_MAX, INT_MAX}, {50, 0, 50, 3}, true, true, 0},
      {"right of the image", kNone, {100, 0, 1, 1}, {100, 0, 1, 1}, false, false, 0},
      {"below, left edge clipped first", kNone, {-3, 3, 10, 1}, {0, 3, 7, 1}, false, false, 0},
      {"empty once clipped", kNone, {-20, 0, 10, 1}, {0, 0, -10, 1}, true, false, 0},
      {"failed mapping marks a pixel", kNoRowBytes, {0, 0, 2, 2}, {0, 0, 2, 2}, true, false, 4},
      {"no storage marks a 16-bit pixel", kNoStorage, {0, 0, 2, 2}, {0, 0, 2, 2}, true, false, 2},
      {"record taller than the storage", kTallRecord, {0, 0, 4, 10}, {0, 0, 4, 10}, true, false, 0},
      {"rows of a tall record that fit", kTallRecord, {0, 0, 4, 3}, {0, 0, 4, 3}, true, true, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Held<TestGpuBuffer> image(NewVideoBuffer<TestGpuBuffer>(100, 3, veRasterType::kRgba, 400, 1200));
    std::vector<unsigned char> pixels(1200), destination(1300, 0), expected(1300, 0);  // room past any copy
    for (int i = 0; i < 1200; ++i) pixels[i] = static_cast<unsigned char>(i % 251 + 1);
    image->CopyImageFrom(pixels.data(), 400);
    if (row.change == kForeignMapping) std::reverse(pixels.begin(), pixels.end()), image->MapTo(pixels.data(), 400);
    if (row.change == kNoRowBytes) image->SetBytesPerRow(0);
    if (row.change == kNoStorage) image->SetRasterType(veRasterType::k2vuy), image->AllocateStorage(0);
    if (row.change == kTallRecord) image->SetHeight(100);
    Rect rect = row.in;
    char* const start = reinterpret_cast<char*>(destination.data());
    EXPECT_EQ(image->CopySubImage(start, rect[0], rect[1], rect[2], rect[3]), row.returned ? start : nullptr);
    const auto [x, y, width, height] = row.out;
    for (int r = 0; row.copies && r < height; ++r) {
      std::copy_n(&pixels[(y + r) * 400 + x * 4], width * 4, &expected[r * width * 4]);
    }
    std::fill_n(expected.begin(), row.marked, 0xFF);
    EXPECT_EQ(std::pair(rect, destination), std::pair(row.out, expected));
    EXPECT_EQ(image->mapFlags, std::vector<int32_t>(row.returned, kaXIGPUAccessibleBuffer::kMapForReading));
    EXPECT_EQ(image->unmaps, row.returned && !row.marked) << "unmapped once after a mapping that worked";
  }
}
