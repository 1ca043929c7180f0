#include "buffers/kaBufferGroup2.h"

#include <climits>
#include <cstring>

#include "filters/kaVideoFilterManager.h"

namespace {

// Black of the packed 4:2:2 formats, one 32-bit word per pair of pixels, as
// stored (little-endian): 2vuy is U Y V Y, yuvs is Y U Y V; chroma 0x80, luma 0.
constexpr uint32_t k2vuyBlackPair = 0x00800080u;  // bytes 80 00 80 00
constexpr uint32_t kYuvsBlackPair = 0x80008000u;  // bytes 00 80 00 80
// Opaque black in R, G, B, A byte order.
constexpr uint32_t kOpaqueBlackRGBA = 0xFF000000u;  // bytes 00 00 00 FF
constexpr int32_t kBytesPerWord = 4;

// The cache's factory: a new _kaCachedBuffer with `size` bytes of storage,
// owning the object's first reference; empty when the storage cannot be had.
// It captures nothing (so the std::function holding it never allocates) and
// does not look at the format: the cache copies it into the buffer.
std::shared_ptr<_kaCachedBuffer> MakeCachedBuffer(const veMediaRecord& /*format*/, unsigned long size) {
  // Buffers size their storage with a signed 32-bit count.
  if (size > static_cast<unsigned long>(INT32_MAX)) return {};
  std::shared_ptr<_kaCachedBuffer> buffer = zNewSharedPtr<_kaCachedBuffer>();
  if (!buffer) return {};
  // Through the table, so a subclass's storage rule applies. On failure the
  // buffer has no recycle function yet: dropping the pointer destroys it.
  if (buffer->AllocateStorage(static_cast<int>(size)) != 0) return {};
  return buffer;
}

// Whether `rows` rows `rowBytes` apart, each `usedBytes` long, lie inside
// `storageSize` bytes. All in 64 bits.
bool RowsFit(int64_t rows, int64_t rowBytes, int64_t usedBytes, uint32_t storageSize) {
  if (rows < 0 || rowBytes < 1 || usedBytes < 0 || usedBytes > rowBytes) return false;
  if (rows == 0) return true;
  return (rows - 1) * rowBytes + usedBytes <= static_cast<int64_t>(storageSize);
}

// A per-thread record for formats that the group completes before they go to
// the cache. Assigning a record of the same shape reuses its storage, so a
// steady stream of requests allocates nothing. Used only between completing
// a format and handing it to the cache, which never calls back into the group.
// Null when the thread's record cannot be made (memory short).
veMediaRecord* ScratchRecord() {
  static zThreadLocal<veMediaRecord> scratch;
  return scratch.Get();
}

// The per-thread record of MakeAudioBuffer, emptied of the previous block's
// keyed entries (time keys) while keeping their storage. Only audio fields are
// ever written to it, so its video fields stay empty. Like ScratchRecord, it
// is used only between building a format and handing it to the cache.
veMediaRecord* AudioScratchRecord() {
  static zThreadLocal<veMediaRecord> scratch;
  veMediaRecord* record = scratch.Get();
  if (record) {
    const zRecord noEntries;
    (void)record->Copy(noEntries, false, true, {});  // removing entries never fails
  }
  return record;
}

// Writes `wordsPerRow` copies of `word` at the start of each row. The bytes
// of a row past its last word are left alone: they are padding nobody shows.
void FillWords(unsigned char* data, int32_t rowBytes, int32_t rows, int32_t wordsPerRow, uint32_t word) {
  for (int32_t row = 0; row < rows; ++row) {
    unsigned char* out = data + static_cast<int64_t>(row) * rowBytes;
    for (int32_t i = 0; i < wordsPerRow; ++i, out += kBytesPerWord) std::memcpy(out, &word, kBytesPerWord);
  }
}

}  // namespace

// ---- construction -------------------------------------------------------------

kaBufferGroup2::kaBufferGroup2() {
  videoFilterManager = zNewSharedPtr<kaVideoFilterManager>();
  cache = std::make_shared<Cache>(&MakeCachedBuffer);
}

kaBufferGroup2::~kaBufferGroup2() {
  videoFilterManager.reset();
  cache.reset();
}

int32_t kaBufferGroup2::QueryInterface(const char* name, void** out) {
  // The group adds no names: this reaches the foundation's answer unless a
  // subclass extends it.
  return Concrete_QueryInterface(name, out);
}
int32_t kaBufferGroup2::AddRef() { return Concrete_AddRef(); }
int32_t kaBufferGroup2::Release() { return Concrete_Release(); }

std::shared_ptr<kaVideoFilterManager> kaBufferGroup2::VideoFilterManager() { return videoFilterManager; }

// ---- allocation for a format ------------------------------------------------------

int32_t kaBufferGroup2::allocate_buffer(const veMediaRecord& format, int size, int count, int /*extra*/,
                                        kaBuffer2** out) {
  if (!out) return -1;
  *out = nullptr;
  if (!cache) return -1;

  // A video record without bytes per row gets the tight value in a copy; the
  // common case (bytes per row given, or audio) copies nothing.
  const veMediaRecord* record = &format;
  if (format.MediaType() == veMediaTypeVideo && format.BytesPerRow() == 0) {
    const int32_t rowBytes = veRasterType::BytesPerRow(format.Width(), format.RasterType(), false);
    if (rowBytes < 0) return -1;  // unknown raster type, negative width or overflow
    veMediaRecord* completed = ScratchRecord();
    if (!completed) return -1;
    *completed = format;
    completed->SetBytesPerRow(rowBytes);
    record = completed;
  }

  if (size < 0) size = record->CalculateBufferSize(count);
  if (size == 0) return -1;

  _kaCachedBuffer* const buffer = cache->CreateBufferReference(*record, static_cast<unsigned long>(size));
  if (!buffer) return -1;
  *out = buffer;  // the caller's reference
  return 0;
}

int32_t kaBufferGroup2::CreateBuffer(const veMediaRecord& format, int count, int extra, kaBuffer2** out) {
  return allocate_buffer(format, -1, count, extra, out);
}

int32_t kaBufferGroup2::CreateBuffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out) {
  return allocate_buffer(format, size, count, extra, out);
}

// ---- GPU-accessible buffers ------------------------------------------------------

int32_t kaBufferGroup2::CreateGPUAccessibleBuffer(const veMediaRecord& format, kaGPUAccessibleBuffer** out) {
  if (!out || !cache) return -1;
  const uint32_t rasterType = format.RasterType();
  const int32_t rowBytes = veRasterType::BytesPerRow(format.Width(), rasterType, false);
  const int32_t rows = veRasterType::RowCount(format.Height(), rasterType);
  int32_t size = 0;
  if (rowBytes < 1 || rows < 1 || __builtin_mul_overflow(rows, rowBytes, &size)) return -1;

  veMediaRecord* copy = ScratchRecord();
  if (!copy) return -1;
  *copy = format;
  copy->SetBytesPerRow(rowBytes);
  _kaCachedBuffer* const buffer = cache->CreateBufferReference(*copy, static_cast<unsigned long>(size));
  if (!buffer) return -1;
  *out = buffer;  // the caller's reference
  return 0;
}

std::shared_ptr<kaGPUAccessibleBuffer> kaBufferGroup2::CreateGPUAccessibleBuffer(int width, int height,
                                                                                int rasterType) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(static_cast<uint32_t>(rasterType));
  kaGPUAccessibleBuffer* buffer = nullptr;
  if (CreateGPUAccessibleBuffer(format, &buffer) != 0) return {};
  return zAsSharedPtr(buffer);
}

int32_t kaBufferGroup2::CreateGPUAccessibleBuffer(const veMediaRecord& format,
                                                  std::shared_ptr<kaGPUAccessibleBuffer>& out) {
  out.reset();
  kaGPUAccessibleBuffer* buffer = nullptr;
  const int32_t result = CreateGPUAccessibleBuffer(format, &buffer);
  if (result != 0) return result;
  out = zAsSharedPtr(buffer);  // on failure it released the reference
  return out ? 0 : -1;
}

int32_t kaBufferGroup2::CreateGPUAccessibleBufferFromData(const veMediaRecord& format, const void* data,
                                                          unsigned long /*length*/, kaGPUAccessibleBuffer** out) {
  const uint32_t rasterType = format.RasterType();
  if (format.MediaType() != veMediaTypeVideo || rasterType == 0 || format.Width() < 1 || format.Height() < 1) {
    return -1;
  }
  const int32_t sourceRowBytes = format.BytesPerRow();
  if (!out || !data || sourceRowBytes == 0) return -1;
  const int32_t active = veRasterType::ActiveBytesPerRow(format.Width(), rasterType);
  const int32_t rows = veRasterType::RowCount(format.Height(), rasterType);
  if (active < 1 || rows < 1 || sourceRowBytes < active) return -1;

  kaGPUAccessibleBuffer* made = nullptr;
  const int32_t result = CreateGPUAccessibleBuffer(format, &made);
  if (result != 0) return result;
  kaRef<kaGPUAccessibleBuffer> buffer = kaRef<kaGPUAccessibleBuffer>::Adopt(made);
  if (!buffer) return -1;  // a subclass that reported success without a buffer

  kaXIGPUAccessibleBuffer* const gpu = buffer.Get();
  const kaXIGPUAccessibleBuffer::Mapping mapping = gpu->Map(kaXIGPUAccessibleBuffer::kMapForWriting);
  if (mapping.data && mapping.rowBytes >= 1) {
    int copied = 0;
    // The mapping of a cached buffer is its own storage: never write past it.
    if (RowsFit(rows, mapping.rowBytes, active, buffer->StorageSize())) {
      copied = zCopyImage(data, sourceRowBytes, mapping.data, mapping.rowBytes, active, rows);
    }
    gpu->Unmap();
    if (copied != 0) {
      *out = buffer.Detach();
      return 0;
    }
    *out = nullptr;
  }
  return -1;
}

int32_t kaBufferGroup2::CreateBlankGPUAccessibleBuffer(const veMediaRecord& format, bool clear,
                                                       kaGPUAccessibleBuffer** out) {
  if (!out) return -1;
  *out = nullptr;
  const int32_t width = format.Width();
  const uint32_t rasterType = format.RasterType();
  if ((width % 2) != 0 && veRasterType::IsYUVFormat(rasterType)) return -1;

  kaGPUAccessibleBuffer* made = nullptr;
  const int32_t result = CreateGPUAccessibleBuffer(format, &made);
  if (result != 0) return result;
  kaRef<kaGPUAccessibleBuffer> buffer = kaRef<kaGPUAccessibleBuffer>::Adopt(made);
  if (!buffer) return -1;

  kaXIGPUAccessibleBuffer* const gpu = buffer.Get();
  const kaXIGPUAccessibleBuffer::Mapping mapping = gpu->Map(kaXIGPUAccessibleBuffer::kMapForWriting);
  if (!mapping.data || mapping.rowBytes < 1) return -1;

  const int32_t height = format.Height();
  const int32_t rowBytes = mapping.rowBytes;
  const uint32_t storageSize = buffer->StorageSize();
  // What one row receives: whole words of the black pattern (a pixel pair of
  // packed 4:2:2, or one RGBA pixel), or the whole row for zero fills.
  uint32_t word = 0;
  int32_t wordsPerRow = 0;
  bool zeroRows = false;
  if (rasterType == veRasterType::k2vuy || rasterType == veRasterType::kYuvs) {
    word = rasterType == veRasterType::k2vuy ? k2vuyBlackPair : kYuvsBlackPair;
    wordsPerRow = width >= 2 ? width / 2 : 0;
  } else if ((rasterType == veRasterType::kRGBA || rasterType == veRasterType::kRgba) && !clear) {
    word = kOpaqueBlackRGBA;
    wordsPerRow = width > 0 ? width : 0;
  } else {
    zeroRows = true;
  }

  const int64_t usedBytes = zeroRows ? rowBytes : static_cast<int64_t>(wordsPerRow) * kBytesPerWord;
  if (height < 0 || !RowsFit(height, rowBytes, usedBytes, storageSize)) {
    gpu->Unmap();
    return -1;
  }
  if (zeroRows) {
    zZeroMemory(mapping.data, static_cast<size_t>(static_cast<int64_t>(height) * rowBytes));
  } else {
    FillWords(mapping.data, rowBytes, height, wordsPerRow, word);
  }

  gpu->Unmap();
  *out = buffer.Detach();
  return 0;
}

int32_t kaBufferGroup2::CreateBlankGPUAccessibleBuffer(const veMediaRecord& format, bool clear,
                                                       std::shared_ptr<kaGPUAccessibleBuffer>& out) {
  kaGPUAccessibleBuffer* buffer = nullptr;
  const int32_t result = CreateBlankGPUAccessibleBuffer(format, clear, &buffer);
  if (result != 0) return result;
  std::shared_ptr<kaGPUAccessibleBuffer> made = zAsSharedPtr(buffer);
  if (!made) return -1;  // the reference went back with the failed wrapper
  out = std::move(made);
  return 0;
}

kaBuffer2* kaBufferGroup2::CreateColoredBuffer(int width, int height, unsigned int colour) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(veRasterType::kRGB);

  kaBuffer2* made = nullptr;
  const int32_t result = allocate_buffer(format, -1, 1, 0, &made);
  const kaRef<kaBuffer2> buffer = kaRef<kaBuffer2>::Adopt(made);
  if (result != 0 || !buffer) return nullptr;

  const int32_t rowBytes = buffer->BytesPerRow();
  unsigned char* const data = buffer->GetStorage();
  const int64_t usedBytes = colour != 0 ? static_cast<int64_t>(width) * kBytesPerWord : rowBytes;
  if (rowBytes == 0 || !data || width < 0 || height < 0 ||
      !RowsFit(height, rowBytes, usedBytes, buffer->StorageSize())) {
    return nullptr;
  }
  if (colour != 0) {
    FillWords(data, rowBytes, height, width, colour);
  } else {
    zZeroMemory(data, static_cast<size_t>(static_cast<int64_t>(rowBytes) * height));
  }

  buffer->SetBool(veKeyVideoIsInterlaced, true, 0);
  buffer->SetInt32(veKeyDisplayWidth, width, 0);
  buffer->SetInt32(veKeyDisplayHeight, height, 0);
  return kaRef<kaBuffer2>(buffer).Detach();  // the caller's reference
}

std::shared_ptr<kaBuffer2> kaBufferGroup2::ConvertBufferToVideoMemoryBuffer(const std::shared_ptr<kaBuffer2>&) {
  return {};
}

// ---- audio ----------------------------------------------------------------------

std::shared_ptr<kaBuffer2> kaBufferGroup2::MakeAudioBuffer(void* data, int byteCount, int format, int sampleRate,
                                                           int channels, const veTimeRange& range) {
  constexpr int kMaxChannels = UINT8_MAX;  // the sample-size function counts channels in 8 bits
  if (!data || byteCount <= 0 || channels < 1 || channels > kMaxChannels || sampleRate <= 0) return {};
  const auto audioFormat = static_cast<uint32_t>(format);
  const int32_t bits = veAudioFormat::BitsPerSample(audioFormat);
  if (bits <= 0) return {};
  const uint32_t frameBytes = veAudioFormat::BytesForSamples(audioFormat, static_cast<uint8_t>(channels), 1);
  if (frameBytes == 0 || static_cast<uint32_t>(byteCount) % frameBytes != 0) return {};
  const int frames = static_cast<int>(static_cast<uint32_t>(byteCount) / frameBytes);

  // A per-thread record (see AudioScratchRecord): a fresh local one would
  // allocate its keyed entries for the time range on every block.
  veMediaRecord* record = AudioScratchRecord();
  if (!record) return {};
  record->SetMediaType(veMediaTypeAudio);
  record->SetAudioFormat(audioFormat);
  record->SetChannelBuffers(1);
  record->SetBitsPerSample(bits);
  record->SetSampleRate(sampleRate);
  record->SetChannels(channels);
  record->SetTimeRange(range);

  kaBuffer2* buffer = nullptr;
  if (allocate_buffer(*record, byteCount, frames, 0, &buffer) != 0 || !buffer) return {};
  std::shared_ptr<kaBuffer2> result = zAsSharedPtr(buffer);  // owns allocate_buffer's reference
  if (!result) return {};
  if (!result->GetStorage() || result->StorageSize() < static_cast<uint32_t>(byteCount)) return {};
  zCopyMemory(data, result->GetStorage(), static_cast<size_t>(byteCount));
  result->SetBufferTimeRange(range);
  return result;
}

// ---- other ----------------------------------------------------------------------

void kaBufferGroup2::RenderSharedBuffers(const SharedBufferRenderer& render) {
  // Capture-less: the consumer holds no state and never allocates.
  const BufferConsumer ignore = [](const std::shared_ptr<kaBuffer2>&) {};
  render(ignore);  // std::bad_function_call when empty
}
