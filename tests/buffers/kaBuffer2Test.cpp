#include "buffers/kaBuffer2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "BufferTestSupport.h"

namespace {

// A buffer whose return to zero can be observed.
class ObservedBuffer : public kaBuffer2 {
 public:
  explicit ObservedBuffer(int* destroyed = nullptr, int* prepared = nullptr)
      : destroyed_(destroyed), prepared_(prepared) {}
  void PrepareForReuse() override {
    if (prepared_) ++*prepared_;
  }

 protected:
  ~ObservedBuffer() override {
    if (destroyed_) ++*destroyed_;
  }

 private:
  int* destroyed_;
  int* prepared_;
};

// A buffer whose planes are answered by the subclass, to see that mapping
// goes through the table.
class FixedPlanesBuffer : public kaBuffer2 {
 public:
  Planes GetPlanarStorage() override {
    ++computed;
    Planes planes;
    planes.count = 2;
    planes.plane[0] = {marker, 11};
    planes.plane[1] = {marker + 1, 22};
    return planes;
  }
  int computed = 0;
  unsigned char marker[2] = {};
};

using kaBuffer2Test = LiveObjectsTest;

kaBuffer2* NewVideoBuffer(int32_t width, int32_t height, uint32_t raster, int32_t bytesPerRow, int storageBytes) {
  auto* buffer = new kaBuffer2(veMediaTypeVideo);
  buffer->SetWidth(width);
  buffer->SetHeight(height);
  buffer->SetRasterType(raster);
  buffer->SetBytesPerRow(bytesPerRow);
  if (storageBytes > 0) {
    EXPECT_EQ(buffer->AllocateStorage(storageBytes), 0);
  }
  return buffer;
}

ptrdiff_t Offset(const kaBuffer2::Plane& plane, kaBuffer2* buffer) { return plane.data - buffer->GetStorage(); }

}  // namespace

// ---- construction, storage, time, display size -----------------------------

TEST_F(kaBuffer2Test, NewBufferHasDocumentedDefaults) {
  auto* buffer = new kaBuffer2();
  EXPECT_EQ(buffer->DirtiedTime(), -1);
  EXPECT_FALSE(buffer->BufferIsUpsideDown());
  EXPECT_EQ(buffer->StorageSize(), 0u);
  EXPECT_EQ(buffer->GetStorage(), nullptr);
  EXPECT_EQ(buffer->GetBufferTimeRange(), veTimeRange{});
  EXPECT_EQ(buffer->GetDisplayWidth(), 0);
  EXPECT_EQ(buffer->GetDisplayHeight(), 0);
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  // The record is the first base: the same address.
  EXPECT_EQ(static_cast<void*>(static_cast<veMediaRecord*>(buffer)), static_cast<void*>(buffer));
  buffer->Release();
}

TEST_F(kaBuffer2Test, AllocateStorageResizesAndRejectsNegativeSizes) {
  auto* buffer = new kaBuffer2();
  ASSERT_EQ(buffer->AllocateStorage(100), 0);
  EXPECT_EQ(buffer->StorageSize(), 100u);
  ASSERT_NE(buffer->GetStorage(), nullptr);
  std::vector<unsigned char> zeros(100, 0);
  EXPECT_EQ(std::memcmp(buffer->GetStorage(), zeros.data(), 100), 0);

  std::memset(buffer->GetStorage(), 0x5A, 100);
  EXPECT_NE(buffer->AllocateStorage(-1), 0);
  EXPECT_EQ(buffer->StorageSize(), 100u);
  EXPECT_EQ(buffer->GetStorage()[99], 0x5A);

  EXPECT_EQ(buffer->AllocateStorage(0), 0);
  EXPECT_EQ(buffer->StorageSize(), 0u);
  buffer->Release();
}

TEST_F(kaBuffer2Test, TimeStampOrientationAndBufferTimeRangeAreKeptInTheBuffer) {
  auto* buffer = new kaBuffer2();
  buffer->SetDirtiedTime(1234567890123LL);
  buffer->SetBufferIsUpsideDown(true);
  const veTimeRange range{48000, 96000, 48000, 1600};
  buffer->SetBufferTimeRange(range);
  EXPECT_EQ(buffer->DirtiedTime(), 1234567890123LL);
  EXPECT_TRUE(buffer->BufferIsUpsideDown());
  EXPECT_EQ(buffer->GetBufferTimeRange(), range);
  // The buffer's own range is not the record's time keys.
  EXPECT_FALSE(buffer->Has(veKeyTimeScale));
  buffer->Release();
}

TEST_F(kaBuffer2Test, DisplaySizeIsWrittenIntoTheRecordWithFlagTwo) {
  auto* buffer = new kaBuffer2();
  const kaBuffer2* constBuffer = buffer;
  constBuffer->SetDisplayWidth(1280);
  constBuffer->SetDisplayHeight(720);
  EXPECT_EQ(buffer->GetDisplayWidth(), 1280);
  EXPECT_EQ(buffer->GetDisplayHeight(), 720);
  ASSERT_NE(buffer->Find(veKeyDisplayWidth), nullptr);
  ASSERT_NE(buffer->Find(veKeyDisplayHeight), nullptr);
  EXPECT_EQ(buffer->Find(veKeyDisplayWidth)->flags, 2);
  EXPECT_EQ(buffer->Find(veKeyDisplayHeight)->flags, 2);
  EXPECT_EQ(buffer->AsInt32(veKeyDisplayWidth, -1), 1280);
  buffer->Release();
}

TEST_F(kaBuffer2Test, PixelAspectCorrectionFloorsTheWidth) {
  auto* buffer = new kaBuffer2();
  struct Case {
    int width, height;
    float ratio;
    int expectedWidth;
  } cases[] = {{640, 480, 1.5f, 960}, {5, 4, 0.5f, 2}, {-3, 4, 0.5f, -2}, {720, 576, 1.0f, 720}};
  for (const Case& c : cases) {
    buffer->SetPixelAspectCorrectedDimensions(c.width, c.height, c.ratio);
    EXPECT_EQ(buffer->GetDisplayWidth(), c.expectedWidth) << c.width << " x " << c.ratio;
    EXPECT_EQ(buffer->GetDisplayHeight(), c.height);
  }
  buffer->Release();
}

TEST_F(kaBuffer2Test, PixelAspectCorrectionSaturatesAndRejectsNaN) {
  auto* buffer = new kaBuffer2();
  buffer->SetPixelAspectCorrectedDimensions(std::numeric_limits<int>::max(), 1, 4.0f);
  EXPECT_EQ(buffer->GetDisplayWidth(), std::numeric_limits<int32_t>::max());
  buffer->SetPixelAspectCorrectedDimensions(std::numeric_limits<int>::min(), 2, 4.0f);
  EXPECT_EQ(buffer->GetDisplayWidth(), std::numeric_limits<int32_t>::min());
  buffer->SetPixelAspectCorrectedDimensions(100, 3, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(buffer->GetDisplayWidth(), 0);
  EXPECT_EQ(buffer->GetDisplayHeight(), 3);
  buffer->SetPixelAspectCorrectedDimensions(100, 3, std::numeric_limits<float>::infinity());
  EXPECT_EQ(buffer->GetDisplayWidth(), std::numeric_limits<int32_t>::max());
  buffer->Release();
}

// ---- reference counting and the recycle protocol -------------------------

TEST_F(kaBuffer2Test, AddRefAndReleaseShareOneCountWithTheObjectBase) {
  auto* buffer = new kaBuffer2();
  EXPECT_EQ(buffer->AddRef(), 2);
  xCUnknown* object = buffer;
  EXPECT_EQ(object->AddRef(), 3);
  EXPECT_EQ(buffer->Release(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_EQ(LiveSinceStart(), 1);
  EXPECT_EQ(buffer->Release(), 0);
  EXPECT_EQ(LiveSinceStart(), 0);
}

TEST_F(kaBuffer2Test, AnswersOnlyTheFoundationInterfaceNames) {
  auto* buffer = new kaBuffer2();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(buffer->QueryInterface("kaXIGPUAccessibleBuffer", &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(buffer->QueryInterface("xIUnknown", &out), 0);
  EXPECT_EQ(out, static_cast<xIUnknown*>(static_cast<xCUnknown*>(buffer)));
  EXPECT_EQ(buffer->RefCountForTesting(), 2);
  static_cast<xIUnknown*>(out)->Release();
  buffer->Release();
}

TEST_F(kaBuffer2Test, DeleteObjectWithoutFunctionsDestroysTheBuffer) {
  int destroyed = 0;
  auto* buffer = new ObservedBuffer(&destroyed);
  buffer->DeleteObject();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(kaBuffer2Test, PreRecycleOnlyIsCalledOnceThenTheBufferIsDestroyed) {
  int destroyed = 0;
  int preCalls = 0;
  auto* buffer = new ObservedBuffer(&destroyed);
  buffer->SetPreRecycleLambda([&] {
    ++preCalls;
    EXPECT_EQ(destroyed, 0);
  });
  buffer->Release();
  EXPECT_EQ(preCalls, 1);
  EXPECT_EQ(destroyed, 1);
}

TEST_F(kaBuffer2Test, RecycleAnswerDestroyDeletesAfterPreRecycle) {
  int destroyed = 0;
  int prepared = 0;
  std::string order;
  auto* buffer = new ObservedBuffer(&destroyed, &prepared);
  buffer->SetPreRecycleLambda([&] { order += "pre "; });
  buffer->SetRecycleLambda([&] {
    order += "recycle ";
    return kaBuffer2::Destroy;
  });
  buffer->Release();
  EXPECT_EQ(order, "pre recycle ");
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(prepared, 0);
}

TEST_F(kaBuffer2Test, AnyNonzeroRecycleAnswerKeepsTheBufferAlive) {
  for (int answer : {1, 2, -7}) {
    int destroyed = 0;
    int prepared = 0;
    int preCalls = 0;
    auto* buffer = new ObservedBuffer(&destroyed, &prepared);
    buffer->SetPreRecycleLambda([&] { ++preCalls; });
    // Like the cache: the taker adds its own reference.
    buffer->SetRecycleLambda([buffer, answer] {
      buffer->AddRef();
      return static_cast<kaBuffer2::RecycleResult>(answer);
    });
    EXPECT_EQ(buffer->Release(), 0);
    EXPECT_EQ(destroyed, 0) << answer;
    EXPECT_EQ(prepared, 1);
    EXPECT_EQ(buffer->RefCountForTesting(), 1);

    // Back to zero a second time: the protocol runs again.
    buffer->Release();
    EXPECT_EQ(preCalls, 2);
    EXPECT_EQ(prepared, 2);
    EXPECT_EQ(destroyed, 0);

    buffer->SetRecycleLambda(nullptr);
    buffer->Release();
    EXPECT_EQ(preCalls, 3);
    EXPECT_EQ(destroyed, 1);
  }
}

TEST_F(kaBuffer2Test, TakerWithoutReferenceLeavesTheBufferAtZeroUntilItAddsOne) {
  int destroyed = 0;
  int preCalls = 0;
  auto* buffer = new ObservedBuffer(&destroyed);
  buffer->SetPreRecycleLambda([&] { ++preCalls; });
  buffer->SetRecycleLambda([] { return kaBuffer2::Recycled; });
  buffer->Release();
  EXPECT_EQ(buffer->RefCountForTesting(), 0);
  EXPECT_EQ(destroyed, 0);
  // The taker owns it now: a reference and its release run the protocol once more.
  buffer->SetRecycleLambda(nullptr);
  buffer->AddRef();
  buffer->Release();
  EXPECT_EQ(preCalls, 2);
  EXPECT_EQ(destroyed, 1);
}

TEST_F(kaBuffer2Test, ReturnToZeroDuringARecyclePassRunsAfterThatPass) {
  // The recycle function takes the buffer and lets it go again at once (as a
  // cache destroyed inside its own recycle function does). That second
  // return to zero must not run inside the first pass.
  int destroyed = 0;
  int prepared = 0;
  int preCalls = 0;
  int recycleCalls = 0;
  std::string order;
  auto* buffer = new ObservedBuffer(&destroyed, &prepared);
  buffer->SetPreRecycleLambda([&] { ++preCalls; });
  buffer->SetRecycleLambda([&] {
    const int call = ++recycleCalls;
    order += "enter" + std::to_string(call) + " ";
    kaBuffer2::RecycleResult answer = kaBuffer2::Destroy;
    if (call == 1) {
      buffer->AddRef();
      buffer->Release();  // back to zero while this pass runs
      answer = kaBuffer2::Recycled;
    }
    EXPECT_EQ(destroyed, 0);
    order += "exit" + std::to_string(call) + " ";
    return answer;
  });
  buffer->Release();
  EXPECT_EQ(order, "enter1 exit1 enter2 exit2 ");
  EXPECT_EQ(preCalls, 2);
  EXPECT_EQ(prepared, 1);
  EXPECT_EQ(destroyed, 1);
}

TEST_F(kaBuffer2Test, FunctionsAreDestroyedPreRecycleFirst) {
  std::string order;
  struct Marker {
    Marker(std::string* log, const char* text) : order(log), name(text) {}
    ~Marker() { *order += name; }
    std::string* order;
    const char* name;
  };
  auto* buffer = new kaBuffer2();
  auto pre = std::make_shared<Marker>(&order, "pre ");
  auto recycle = std::make_shared<Marker>(&order, "recycle ");
  buffer->SetPreRecycleLambda([pre] {});
  buffer->SetRecycleLambda([recycle] { return kaBuffer2::Destroy; });
  pre.reset();
  recycle.reset();
  EXPECT_EQ(order, "");
  buffer->Release();
  EXPECT_EQ(order, "pre recycle ");
}

// ---- planes ---------------------------------------------------------------

TEST_F(kaBuffer2Test, I420FourByTwoHasThreePlanes) {
  for (uint32_t raster : {veRasterType::kI420, veRasterType::kYV12}) {
    kaBuffer2* buffer = NewVideoBuffer(4, 2, raster, 4, 12);
    const kaBuffer2::Planes planes = buffer->GetPlanarStorage();
    ASSERT_EQ(planes.count, 3);
    EXPECT_EQ(Offset(planes.plane[0], buffer), 0);
    EXPECT_EQ(Offset(planes.plane[1], buffer), 8);
    EXPECT_EQ(Offset(planes.plane[2], buffer), 10);
    EXPECT_EQ(planes.plane[0].rowBytes, 4);
    EXPECT_EQ(planes.plane[1].rowBytes, 2);
    EXPECT_EQ(planes.plane[2].rowBytes, 2);
    buffer->Release();
  }
}

TEST_F(kaBuffer2Test, YM16PlanesSitSideBySideInEachRow) {
  kaBuffer2* buffer = NewVideoBuffer(8, 2, veRasterType::kYM16, 32, 64);
  const kaBuffer2::Planes planes = buffer->GetPlanarStorage();
  ASSERT_EQ(planes.count, 3);
  EXPECT_EQ(Offset(planes.plane[0], buffer), 0);
  EXPECT_EQ(Offset(planes.plane[1], buffer), 8);
  EXPECT_EQ(Offset(planes.plane[2], buffer), 12);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(planes.plane[i].rowBytes, 32);
  buffer->Release();
}

TEST_F(kaBuffer2Test, NV12AndIMC4PlanesFollowTheLumaRows) {
  kaBuffer2* nv12 = NewVideoBuffer(4, 2, veRasterType::kNV12, 4, 12);
  kaBuffer2::Planes planes = nv12->GetPlanarStorage();
  ASSERT_EQ(planes.count, 2);
  EXPECT_EQ(Offset(planes.plane[1], nv12), 8);
  EXPECT_EQ(planes.plane[0].rowBytes, 4);
  EXPECT_EQ(planes.plane[1].rowBytes, 4);
  EXPECT_EQ(planes.plane[2].data, nullptr);
  nv12->Release();

  kaBuffer2* imc4 = NewVideoBuffer(4, 2, veRasterType::kIMC4, 8, 24);
  planes = imc4->GetPlanarStorage();
  ASSERT_EQ(planes.count, 3);
  EXPECT_EQ(Offset(planes.plane[0], imc4), 0);
  EXPECT_EQ(Offset(planes.plane[1], imc4), 16);
  EXPECT_EQ(Offset(planes.plane[2], imc4), 18);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(planes.plane[i].rowBytes, 8);
  imc4->Release();
}

TEST_F(kaBuffer2Test, PackedRasterGivesOnePlaneEvenWithoutBytesPerRow) {
  kaBuffer2* buffer = NewVideoBuffer(4, 2, veRasterType::kRgba, 0, 32);
  kaBuffer2::Planes planes = buffer->GetPlanarStorage();
  ASSERT_EQ(planes.count, 1);
  EXPECT_EQ(planes.plane[0].data, buffer->GetStorage());
  EXPECT_EQ(planes.plane[0].rowBytes, 0);
  EXPECT_EQ(planes.plane[1].data, nullptr);

  buffer->SetBytesPerRow(16);
  planes = buffer->GetPlanarStorage();
  EXPECT_EQ(planes.plane[0].rowBytes, 16);
  buffer->Release();

  kaBuffer2* empty = NewVideoBuffer(4, 2, veRasterType::k2vuy, 8, 0);
  planes = empty->GetPlanarStorage();
  ASSERT_EQ(planes.count, 1);
  EXPECT_EQ(planes.plane[0].data, nullptr);
  EXPECT_EQ(planes.plane[0].rowBytes, 8);
  empty->Release();
}

TEST_F(kaBuffer2Test, PlanarRecordThatDoesNotFitTheStorageGivesNoPlanes) {
  struct Case {
    const char* what;
    int32_t width, height;
    uint32_t raster;
    int32_t bytesPerRow;
    int storage;
  } cases[] = {
      {"no storage", 4, 2, veRasterType::kI420, 4, 0},
      {"storage one byte short", 4, 2, veRasterType::kI420, 4, 11},
      {"negative width", -4, 2, veRasterType::kI420, 4, 12},
      {"negative height", 4, -2, veRasterType::kNV12, 4, 12},
      {"width times height beyond 32 bits", 65536, 65536, veRasterType::kI420, 65536, 64},
      {"rows reach past the end", 8, 4, veRasterType::kYM16, 32, 100},
      {"IMC4 chroma beyond the storage", 4, 2, veRasterType::kIMC4, 8, 17},
      {"negative bytes per row", 4, 2, veRasterType::kYM16, -32, 64},
      {"huge bytes per row", 8, 2, veRasterType::kYM16, std::numeric_limits<int32_t>::max(), 64},
  };
  for (const Case& c : cases) {
    kaBuffer2* buffer = NewVideoBuffer(c.width, c.height, c.raster, c.bytesPerRow, c.storage);
    const kaBuffer2::Planes planes = buffer->GetPlanarStorage();
    EXPECT_EQ(planes.count, 0) << c.what;
    for (const auto& plane : planes.plane) EXPECT_EQ(plane.data, nullptr) << c.what;
    buffer->Release();
  }
}

TEST_F(kaBuffer2Test, PlanesOfAnOddSizedImageStayInsideItsStorage) {
  // 5 x 3 I420: luma 15 bytes, then one chroma row of 5 bytes.
  kaBuffer2* buffer = NewVideoBuffer(5, 3, veRasterType::kI420, 5, 20);
  kaBuffer2::Planes planes = buffer->GetPlanarStorage();
  ASSERT_EQ(planes.count, 3);
  EXPECT_EQ(Offset(planes.plane[1], buffer), 15);
  EXPECT_EQ(Offset(planes.plane[2], buffer), 18);
  EXPECT_EQ(planes.plane[2].rowBytes, 2);
  buffer->Release();

  // One row high, 4:2:0 has no chroma row: those planes are empty, not
  // pointers at the end of the 2-byte storage.
  for (const uint32_t raster : {veRasterType::kI420, veRasterType::kNV12, veRasterType::kIMC4}) {
    buffer = NewVideoBuffer(2, 1, raster, 2, 2);
    planes = buffer->GetPlanarStorage();
    ASSERT_GE(planes.count, 2) << raster;
    EXPECT_EQ(planes.plane[0].data, buffer->GetStorage());
    for (int i = 1; i < planes.count; ++i) {
      EXPECT_EQ(planes.plane[i].data, nullptr) << raster << " plane " << i;
      EXPECT_EQ(planes.plane[i].rowBytes, 0);
    }
    buffer->Release();
  }
}

TEST_F(kaBuffer2Test, MapPlanarStorageHandsTheTablePlanesToTheFunctionOnce) {
  auto* buffer = new FixedPlanesBuffer();
  int calls = 0;
  const bool mapped = buffer->MapPlanarStorage([&](const kaBuffer2::Planes& planes) {
    ++calls;
    EXPECT_EQ(planes.count, 2);
    EXPECT_EQ(planes.plane[0].data, buffer->marker);
    EXPECT_EQ(planes.plane[1].rowBytes, 22);
  });
  EXPECT_TRUE(mapped);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(buffer->MapPlanarStorageReadOnly([&](const kaBuffer2::Planes& planes) {
    ++calls;
    EXPECT_EQ(planes.plane[0].rowBytes, 11);
  }));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(buffer->computed, 2);
  buffer->Release();
}

TEST_F(kaBuffer2Test, MapPlanarStorageWithAnEmptyFunctionThrowsOnceThePlanesAreComputed) {
  auto* buffer = new FixedPlanesBuffer();
  EXPECT_THROW(buffer->MapPlanarStorage(kaBuffer2::PlanesFunction{}), std::bad_function_call);
  EXPECT_THROW(buffer->MapPlanarStorageReadOnly(nullptr), std::bad_function_call);
  EXPECT_EQ(buffer->computed, 2);
  buffer->Release();
}

// ---- image copy -----------------------------------------------------------

TEST_F(kaBuffer2Test, CopyImageFromCopiesPackedRowsAtTheRecordsRowBytes) {
  // 3 x 2 RGBA (12 active bytes) into rows 16 bytes apart, from rows 20 apart.
  kaBuffer2* buffer = NewVideoBuffer(3, 2, veRasterType::kRgba, 16, 32);
  std::vector<unsigned char> source(40);
  FillPattern(source.data(), source.size());
  buffer->CopyImageFrom(source.data(), 20);
  const unsigned char* storage = buffer->GetStorage();
  EXPECT_EQ(std::memcmp(storage, source.data(), 12), 0);
  EXPECT_EQ(std::memcmp(storage + 16, source.data() + 20, 12), 0);
  for (int i : {12, 13, 14, 15, 28, 29, 30, 31}) EXPECT_EQ(storage[i], 0) << i;
  buffer->Release();
}

TEST_F(kaBuffer2Test, CopyImageFromCopiesEveryRowOfAPlanarImage) {
  kaBuffer2* buffer = NewVideoBuffer(4, 2, veRasterType::kI420, 4, 12);
  std::vector<unsigned char> source(12);
  FillPattern(source.data(), source.size(), 3);
  buffer->CopyImageFrom(source.data(), 4);
  EXPECT_EQ(std::memcmp(buffer->GetStorage(), source.data(), 12), 0);
  buffer->Release();
}

TEST_F(kaBuffer2Test, CopyImageFromWithoutRowBytesSpreadsRowsOverTheStorage) {
  // Bytes per row 0: rows are StorageSize / rows apart (20 / 2 = 10).
  kaBuffer2* buffer = NewVideoBuffer(2, 2, veRasterType::kRgba, 0, 20);
  std::vector<unsigned char> source(16);
  FillPattern(source.data(), source.size(), 5);
  buffer->CopyImageFrom(source.data(), 8);
  const unsigned char* storage = buffer->GetStorage();
  EXPECT_EQ(std::memcmp(storage, source.data(), 8), 0);
  EXPECT_EQ(std::memcmp(storage + 10, source.data() + 8, 8), 0);
  EXPECT_EQ(storage[8], 0);
  EXPECT_EQ(storage[18], 0);
  buffer->Release();
}

TEST_F(kaBuffer2Test, CopyImageFromRefusesWhatItCannotCopySafely) {
  std::vector<unsigned char> source(4096, 0xEE);
  struct Case {
    const char* what;
    veMediaType type;
    int32_t width, height;
    uint32_t raster;
    int32_t bytesPerRow;
    int storage;
    int sourceRowBytes;
    bool nullSource;
  } cases[] = {
      {"audio buffer", veMediaTypeAudio, 2, 2, veRasterType::kRgba, 8, 16, 8, false},
      {"null source", veMediaTypeVideo, 2, 2, veRasterType::kRgba, 8, 16, 8, true},
      {"raster type 0", veMediaTypeVideo, 2, 2, 0, 8, 16, 8, false},
      {"unknown raster type", veMediaTypeVideo, 2, 2, zFourCC("abcd"), 8, 16, 8, false},
      {"width 0", veMediaTypeVideo, 0, 2, veRasterType::kRgba, 8, 16, 8, false},
      {"height 0", veMediaTypeVideo, 2, 0, veRasterType::kRgba, 8, 16, 8, false},
      {"rows past the storage", veMediaTypeVideo, 2, 8, veRasterType::kRgba, 8, 16, 8, false},
      {"row bytes beyond the storage", veMediaTypeVideo, 2, 2, veRasterType::kRgba, 400, 16, 8, false},
      {"row bytes below a row", veMediaTypeVideo, 4, 2, veRasterType::kRgba, 8, 64, 16, false},
      {"negative row bytes", veMediaTypeVideo, 2, 2, veRasterType::kRgba, -8, 16, 8, false},
      {"source rows too short", veMediaTypeVideo, 2, 2, veRasterType::kRgba, 8, 16, 4, false},
      {"width beyond 32-bit sizes", veMediaTypeVideo, std::numeric_limits<int32_t>::max(), 2,
       veRasterType::kRgba, 8, 16, 8, false},
      {"no row bytes and storage for no row", veMediaTypeVideo, 4, 2, veRasterType::kRgba, 0, 20, 16, false},
  };
  for (const Case& c : cases) {
    auto* buffer = new kaBuffer2(c.type);
    buffer->SetWidth(c.width);
    buffer->SetHeight(c.height);
    buffer->SetRasterType(c.raster);
    buffer->SetBytesPerRow(c.bytesPerRow);
    ASSERT_EQ(buffer->AllocateStorage(c.storage), 0);
    buffer->CopyImageFrom(c.nullSource ? nullptr : source.data(), c.sourceRowBytes);
    bool untouched = true;
    for (uint32_t i = 0; i < buffer->StorageSize(); ++i) untouched = untouched && buffer->GetStorage()[i] == 0;
    EXPECT_TRUE(untouched) << c.what;
    buffer->Release();
  }
}

TEST_F(kaBuffer2Test, CopyImageFromWithoutStorageDoesNothing) {
  kaBuffer2* buffer = NewVideoBuffer(2, 2, veRasterType::kRgba, 8, 0);
  unsigned char source[16] = {1};
  buffer->CopyImageFrom(source, 8);
  EXPECT_EQ(buffer->StorageSize(), 0u);
  EXPECT_EQ(buffer->GetStorage(), nullptr);
  buffer->Release();
}
