// Image copies with arbitrary formats and rectangles: CopySubImage (directly
// and through the "kaXIVideoBuffer" interface), CopyImageFrom and the group's
// CreateGPUAccessibleBufferFromData, CreateBlankGPUAccessibleBuffer and
// CreateColoredBuffer. Records may disagree with their storage (any width,
// height, raster type and bytes per row over any storage size). Every source
// and destination is a heap block of exactly the bytes the call's
// contract lets it touch, so AddressSanitizer sees any access beyond
// it; the bytes copied and the clipped rectangle are compared with a
// reference computed here. After each input, with everything released and
// the cache swept, no buffer and no counted object is left alive.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "buffers/_kaCachedBuffer.h"
#include "buffers/kaBufferGroup2.h"
#include "vesk/veRasterType.h"

namespace {

constexpr int kMaxOperations = 24;
// Calls whose buffers or sources would exceed this are not made: they would
// only measure the allocator.
constexpr int64_t kMaxBytes = 1 << 20;

template <class T>
using Ref = std::unique_ptr<T, zReleaseDeleter>;

struct Process {
  Process() : group(new kaBufferGroup2()), liveObjects(xCUnknown::LiveObjectsForTesting()) {}
  kaBufferGroup2* group;
  int64_t liveObjects;
};

int32_t Saturate32(int64_t v) {
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

uint32_t PickRaster(FuzzedDataProvider& input) {
  static constexpr uint32_t kRasters[] = {
      veRasterType::kRGB,  veRasterType::kRGBA, veRasterType::kRgba, veRasterType::kBGRA,
      veRasterType::k2vuy, veRasterType::kYuvs, veRasterType::kV210, veRasterType::kI420,
      veRasterType::kYV12, veRasterType::kNV12, veRasterType::kIMC4, veRasterType::kYM16};
  const size_t pick = input.ConsumeIntegralInRange<size_t>(0, std::size(kRasters) + 1);
  if (pick < std::size(kRasters)) return kRasters[pick];
  return pick == std::size(kRasters) ? 0 : input.ConsumeIntegral<uint32_t>();
}

int32_t PickDimension(FuzzedDataProvider& input) {
  static constexpr int32_t kExtremes[] = {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min(),
                                          1 << 16, 1 << 20, 46341, -1};
  if (input.ConsumeIntegralInRange<int>(0, 9) == 0) {
    return kExtremes[input.ConsumeIntegralInRange<size_t>(0, std::size(kExtremes) - 1)];
  }
  return input.ConsumeIntegralInRange<int32_t>(-2, 48);
}

int32_t PickCoordinate(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange<int>(0, 9) == 0) return input.ConsumeIntegral<int32_t>();
  return input.ConsumeIntegralInRange<int32_t>(-60, 60);
}

// Bytes per row for a record: tight, 0, a little more or less, or arbitrary.
int32_t PickRowBytes(FuzzedDataProvider& input, int32_t width, uint32_t raster) {
  const int64_t tight = veRasterType::BytesPerRow(width, raster, false);
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return 0;
    case 1: return input.ConsumeIntegral<int32_t>();
    case 2: return input.ConsumeIntegralInRange<int32_t>(-8, 400);
    default: return Saturate32(tight + input.ConsumeIntegralInRange<int32_t>(-3, 40));
  }
}

veMediaRecord PickVideoFormat(FuzzedDataProvider& input, bool withRowBytes) {
  veMediaRecord format(input.ConsumeIntegralInRange<int>(0, 15) == 0 ? veMediaTypeAudio : veMediaTypeVideo);
  format.SetWidth(PickDimension(input));
  format.SetHeight(PickDimension(input));
  format.SetRasterType(PickRaster(input));
  if (withRowBytes) format.SetBytesPerRow(PickRowBytes(input, format.Width(), format.RasterType()));
  return format;
}

// Bytes the tight buffer of a format needs; -1 when the format is unusable.
int64_t TightSize(const veMediaRecord& format) {
  const int32_t rowBytes = veRasterType::BytesPerRow(format.Width(), format.RasterType(), false);
  const int32_t rows = veRasterType::RowCount(format.Height(), format.RasterType());
  if (rowBytes <= 0 || rows <= 0) return -1;
  return int64_t{rowBytes} * rows;
}

// A group call may be made when its buffer is small or certainly refused.
bool AffordableGroupCall(const veMediaRecord& format) {
  const int64_t size = TightSize(format);
  return size <= kMaxBytes || size > std::numeric_limits<int32_t>::max();
}

void FillPattern(unsigned char* bytes, uint32_t size, uint8_t seed) {
  for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
}

// A standalone buffer (no recycle function) with any record and storage.
Ref<_kaCachedBuffer> MakeLooseBuffer(FuzzedDataProvider& input) {
  Ref<_kaCachedBuffer> buffer(new _kaCachedBuffer());
  const veMediaRecord format = PickVideoFormat(input, true);
  buffer->SetMediaType(format.MediaType());
  buffer->SetWidth(format.Width());
  buffer->SetHeight(format.Height());
  buffer->SetRasterType(format.RasterType());
  buffer->SetBytesPerRow(format.BytesPerRow());
  int64_t size = input.ConsumeIntegralInRange<int64_t>(0, 8192);
  if (input.ConsumeBool()) {
    const int64_t rows = veRasterType::RowCount(format.Height(), format.RasterType());
    const int64_t wanted = rows * format.BytesPerRow() + input.ConsumeIntegralInRange<int>(-2, 2);
    if (wanted >= 0 && wanted <= kMaxBytes) size = wanted;
  }
  if (size > 0) {
    FUZZ_CHECK(buffer->AllocateStorage(static_cast<int>(size)) == 0, "storage of %lld bytes", (long long)size);
    FillPattern(buffer->GetStorage(), buffer->StorageSize(), input.ConsumeIntegral<uint8_t>());
  }
  return buffer;
}

void CheckCopySubImage(FuzzedDataProvider& input) {
  Ref<_kaCachedBuffer> buffer = MakeLooseBuffer(input);
  const int32_t requested[4] = {PickCoordinate(input), PickCoordinate(input), PickCoordinate(input),
                                PickCoordinate(input)};
  // The reference: clip, then decide what is written.
  int64_t x = requested[0], y = requested[1], w = requested[2], h = requested[3];
  if (x < 0) { w = Saturate32(w + x); x = 0; }
  if (y < 0) { h = Saturate32(h + y); y = 0; }
  const int64_t imageWidth = buffer->Width(), imageHeight = buffer->Height();
  const bool outside = x >= imageWidth || y >= imageHeight;
  if (!outside) {
    if (x + w > imageWidth) w = imageWidth - x;
    if (y + h > imageHeight) h = imageHeight - y;
  }
  const int64_t pixelBytes = veRasterType::BitsPerPixel(buffer->RasterType()) / 8;
  const int64_t rowBytes = buffer->BytesPerRow();
  const bool mapped = buffer->GetStorage() != nullptr && rowBytes >= 1;
  enum { kNothing, kFill, kCopy } effect = kNothing;
  if (!outside && !mapped && pixelBytes > 0) effect = kFill;
  // zCopyImage refuses rows longer than their stride (a record whose bytes
  // per row are shorter than the rectangle's line): nothing is copied then.
  if (!outside && mapped && w > 0 && h > 0 && pixelBytes > 0 && w * pixelBytes <= rowBytes &&
      (y + h - 1) * rowBytes + (x + w) * pixelBytes <= int64_t{buffer->StorageSize()}) {
    effect = kCopy;
  }
  const int64_t lineBytes = w * pixelBytes;
  const int64_t destinationSize = effect == kCopy ? lineBytes * h : effect == kFill ? pixelBytes : 1;
  if (destinationSize > kMaxBytes) return;

  std::unique_ptr<char[]> destination(new char[static_cast<size_t>(destinationSize)]);
  std::memset(destination.get(), 0x5A, static_cast<size_t>(destinationSize));
  int cx = requested[0], cy = requested[1], cw = requested[2], ch = requested[3];
  char* result = nullptr;
  if (input.ConsumeBool()) {
    result = buffer->CopySubImage(destination.get(), cx, cy, cw, ch);
  } else {
    void* found = nullptr;
    FUZZ_CHECK(buffer->QueryInterface("kaXIVideoBuffer", &found) == 0 && found, "kaXIVideoBuffer");
    auto* video = static_cast<kaXIVideoBuffer*>(found);
    result = video->CopySubImage(destination.get(), cx, cy, cw, ch);
    video->Release();
  }
  FUZZ_CHECK(cx == x && cy == y && cw == w && ch == h, "clipped to (%d %d %d %d), reference (%lld %lld %lld %lld)", cx,
             cy, cw, ch, (long long)x, (long long)y, (long long)w, (long long)h);
  FUZZ_CHECK(result == (outside ? nullptr : destination.get()), "CopySubImage result");
  const unsigned char* storage = buffer->GetStorage();
  for (int64_t i = 0; i < destinationSize; ++i) {
    uint8_t want = 0x5A;
    if (effect == kFill) want = 0xFF;
    if (effect == kCopy) want = storage[(y + i / lineBytes) * rowBytes + x * pixelBytes + i % lineBytes];
    FUZZ_CHECK(static_cast<uint8_t>(destination[static_cast<size_t>(i)]) == want,
               "destination byte %lld (effect %d) of (%lld %lld %lld %lld) from a %lldx%lld image of raster %08x, "
               "%lld row bytes, %u bytes",
               (long long)i, int(effect), (long long)x, (long long)y, (long long)w, (long long)h,
               (long long)imageWidth, (long long)imageHeight, buffer->RasterType(), (long long)rowBytes,
               buffer->StorageSize());
  }
  FUZZ_CHECK(buffer->RefCountForTesting() == 1, "the interface's reference was given back");
}

void CheckCopyImageFrom(FuzzedDataProvider& input) {
  Ref<_kaCachedBuffer> buffer = MakeLooseBuffer(input);
  const int32_t width = buffer->Width(), height = buffer->Height();
  const uint32_t raster = buffer->RasterType();
  const int64_t active = veRasterType::ActiveBytesPerRow(width, raster);
  const int64_t rows = veRasterType::RowCount(height, raster);
  const int32_t sourceRowBytes = input.ConsumeBool() ? Saturate32(active + input.ConsumeIntegralInRange<int>(-2, 30))
                                                     : input.ConsumeIntegral<int32_t>();
  const int64_t storageSize = buffer->StorageSize();
  int64_t destinationRowBytes = buffer->BytesPerRow();
  if (destinationRowBytes == 0 && rows > 0) destinationRowBytes = storageSize / rows;
  const bool copies = buffer->GetStorage() && buffer->MediaType() == veMediaTypeVideo && raster != 0 && width >= 1 &&
                      height >= 1 && active > 0 && rows > 0 && destinationRowBytes >= active &&
                      sourceRowBytes >= active && (rows - 1) * destinationRowBytes + active <= storageSize;
  // The source holds the rows that a copy reads, and no more.
  int64_t sourceSize = 1;
  if (copies) sourceSize = (rows - 1) * sourceRowBytes + active;
  if (sourceSize > kMaxBytes) return;
  std::unique_ptr<unsigned char[]> source(new unsigned char[static_cast<size_t>(sourceSize)]);
  FillPattern(source.get(), static_cast<uint32_t>(sourceSize), 0x33);
  const std::vector<unsigned char> before(buffer->GetStorage(), buffer->GetStorage() + storageSize);

  const bool nullSource = input.ConsumeIntegralInRange<int>(0, 7) == 0;
  buffer->CopyImageFrom(nullSource ? nullptr : source.get(), sourceRowBytes);

  // Exactly the active bytes of each row change; a null source changes nothing.
  const unsigned char* after = buffer->GetStorage();
  for (int64_t i = 0; i < storageSize; ++i) {
    unsigned char want = before[static_cast<size_t>(i)];
    if (copies && !nullSource && i / destinationRowBytes < rows && i % destinationRowBytes < active) {
      want = source[static_cast<size_t>((i / destinationRowBytes) * sourceRowBytes + i % destinationRowBytes)];
    }
    FUZZ_CHECK(after[i] == want, "storage byte %lld (copies %d)", (long long)i, int(copies));
  }
}

void CheckFromData(Process& p, FuzzedDataProvider& input, std::vector<Ref<kaGPUAccessibleBuffer>>& held) {
  const veMediaRecord format = PickVideoFormat(input, true);
  if (!AffordableGroupCall(format)) return;
  const int64_t active = veRasterType::ActiveBytesPerRow(format.Width(), format.RasterType());
  const int64_t rows = veRasterType::RowCount(format.Height(), format.RasterType());
  const int64_t sourceRowBytes = format.BytesPerRow();
  const bool succeeds = format.MediaType() == veMediaTypeVideo && format.RasterType() != 0 && format.Width() >= 1 &&
                        format.Height() >= 1 && sourceRowBytes >= active && active > 0 && rows > 0 &&
                        TightSize(format) > 0 && TightSize(format) <= std::numeric_limits<int32_t>::max();
  int64_t sourceSize = 1;
  if (active > 0 && rows > 0 && sourceRowBytes >= active) sourceSize = (rows - 1) * sourceRowBytes + active;
  if (sourceSize > kMaxBytes) return;
  std::unique_ptr<unsigned char[]> source(new unsigned char[static_cast<size_t>(sourceSize)]);
  FillPattern(source.get(), static_cast<uint32_t>(sourceSize), 0x71);

  auto* const sentinel = reinterpret_cast<kaGPUAccessibleBuffer*>(uintptr_t{0x10});
  kaGPUAccessibleBuffer* out = sentinel;
  const int32_t result = p.group->CreateGPUAccessibleBufferFromData(format, source.get(), 0, &out);
  if (!succeeds) {
    FUZZ_CHECK(result == -1 && (out == sentinel || out == nullptr), "refused format gave %d", result);
    return;
  }
  FUZZ_CHECK(result == 0 && out != sentinel && out != nullptr, "a usable format gave %d", result);
  Ref<kaGPUAccessibleBuffer> buffer(out);
  const int64_t rowBytes = buffer->BytesPerRow();
  FUZZ_CHECK(rowBytes == veRasterType::BytesPerRow(format.Width(), format.RasterType(), false), "tight row bytes");
  for (int64_t row = 0; row < rows; ++row) {
    FUZZ_CHECK(std::memcmp(buffer->GetStorage() + row * rowBytes, source.get() + row * sourceRowBytes,
                           static_cast<size_t>(active)) == 0,
               "row %lld differs from the source", (long long)row);
  }
  // Null pointers are refused without a buffer.
  kaGPUAccessibleBuffer* other = sentinel;
  FUZZ_CHECK(p.group->CreateGPUAccessibleBufferFromData(format, nullptr, 0, &other) == -1 && other == sentinel,
             "a null source is refused");
  FUZZ_CHECK(p.group->CreateGPUAccessibleBufferFromData(format, source.get(), 0, nullptr) == -1, "a null out");
  if (held.size() < 4) held.push_back(std::move(buffer));
}

void CheckBlank(Process& p, FuzzedDataProvider& input, std::vector<Ref<kaGPUAccessibleBuffer>>& held) {
  const veMediaRecord format = PickVideoFormat(input, input.ConsumeBool());
  if (!AffordableGroupCall(format)) return;
  const bool clear = input.ConsumeBool();
  kaGPUAccessibleBuffer* out = reinterpret_cast<kaGPUAccessibleBuffer*>(uintptr_t{0x10});
  const int32_t result = p.group->CreateBlankGPUAccessibleBuffer(format, clear, &out);
  const uint32_t raster = format.RasterType();
  const bool oddYuv = (format.Width() % 2 != 0) && veRasterType::IsYUVFormat(raster);
  if (result != 0) {
    FUZZ_CHECK(out == nullptr, "a failed blank buffer leaves *out null");
    FUZZ_CHECK(oddYuv || TightSize(format) <= 0 || TightSize(format) > std::numeric_limits<int32_t>::max(),
               "blank buffer of a usable format refused");
    return;
  }
  FUZZ_CHECK(!oddYuv && out != nullptr, "blank buffer for an odd YUV width");
  Ref<kaGPUAccessibleBuffer> buffer(out);
  const int64_t width = format.Width(), height = format.Height(), rowBytes = buffer->BytesPerRow();
  const unsigned char* bytes = buffer->GetStorage();
  for (int64_t row = 0; row < height; ++row) {
    const unsigned char* line = bytes + row * rowBytes;
    if (raster == veRasterType::k2vuy || raster == veRasterType::kYuvs) {
      static constexpr unsigned char k2vuyWord[4] = {0x80, 0x00, 0x80, 0x00};
      static constexpr unsigned char kYuvsWord[4] = {0x00, 0x80, 0x00, 0x80};
      const unsigned char* word = raster == veRasterType::k2vuy ? k2vuyWord : kYuvsWord;
      for (int64_t i = 0; i < (width / 2) * 4; ++i) FUZZ_CHECK(line[i] == word[i % 4], "YUV black at row %lld", (long long)row);
    } else if ((raster == veRasterType::kRGBA || raster == veRasterType::kRgba) && !clear) {
      for (int64_t i = 0; i < width * 4; ++i) FUZZ_CHECK(line[i] == (i % 4 == 3 ? 0xFF : 0), "opaque black");
    } else {
      for (int64_t i = 0; i < rowBytes; ++i) FUZZ_CHECK(line[i] == 0, "zero fill");
    }
  }
  if (held.size() < 4) held.push_back(std::move(buffer));
}

void CheckColoured(Process& p, FuzzedDataProvider& input) {
  const int32_t width = PickDimension(input), height = PickDimension(input);
  const uint32_t colour = input.ConsumeBool() ? 0 : input.ConsumeIntegral<uint32_t>();
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(veRasterType::kRGB);
  if (!AffordableGroupCall(format)) return;
  Ref<kaBuffer2> buffer(p.group->CreateColoredBuffer(width, height, colour));
  const int64_t size = TightSize(format);
  if (size <= 0 || size > std::numeric_limits<int32_t>::max()) {
    FUZZ_CHECK(!buffer, "a coloured buffer of an unusable size %d x %d", width, height);
    return;
  }
  FUZZ_CHECK(buffer != nullptr, "coloured %d x %d", width, height);
  FUZZ_CHECK(buffer->GetDisplayWidth() == width && buffer->GetDisplayHeight() == height, "display size");
  for (int64_t row = 0; row < height; ++row) {
    for (int64_t column = 0; column < width; ++column) {
      uint32_t pixel;
      std::memcpy(&pixel, buffer->GetStorage() + row * buffer->BytesPerRow() + column * 4, 4);
      FUZZ_CHECK(pixel == colour, "pixel %lld,%lld", (long long)column, (long long)row);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Process p;
  FuzzedDataProvider input(data, size);
  std::vector<Ref<kaGPUAccessibleBuffer>> held;
  for (int step = 0; step < kMaxOperations && input.remaining_bytes() > 0; ++step) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
      case 1: CheckCopySubImage(input); break;
      case 2: CheckCopyImageFrom(input); break;
      case 3: CheckFromData(p, input, held); break;
      case 4: CheckBlank(p, input, held); break;
      default: CheckColoured(p, input); break;
    }
  }
  held.clear();
  p.group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + std::chrono::hours(1));
  FUZZ_CHECK(p.group->GetStatistics().liveBytes == 0, "buffers left alive");
  FUZZ_CHECK(xCUnknown::LiveObjectsForTesting() == p.liveObjects, "counted objects leaked: %lld",
             static_cast<long long>(xCUnknown::LiveObjectsForTesting() - p.liveObjects));
  return 0;
}
