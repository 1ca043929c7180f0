#include "buffers/kaBuffer2.h"

#include <cmath>
#include <limits>

namespace {

// One plane as offsets into the storage, computed in 64 bits so that no
// product of record fields can overflow.
struct PlaneLayout {
  int64_t offset;
  int64_t rowBytes;
  int64_t rows;
  int64_t activeBytes;
};

// A plane that covers no byte: no row, or rows of no byte.
bool PlaneIsEmpty(const PlaneLayout& p) { return p.rows == 0 || p.activeBytes == 0; }

// True when every byte that the plane's rows cover lies in [0, storageSize).
// An empty plane fits wherever it would start: it is handed out as nothing.
bool PlaneFits(const PlaneLayout& p, int64_t storageSize) {
  if (p.rows < 0 || p.activeBytes < 0) return false;
  if (PlaneIsEmpty(p)) return true;
  if (p.offset < 0 || p.rowBytes < 0 || p.rowBytes > std::numeric_limits<int32_t>::max()) return false;
  if (p.offset > storageSize) return false;
  return p.offset + (p.rows - 1) * p.rowBytes + p.activeBytes <= storageSize;
}

}  // namespace

kaBuffer2::kaBuffer2() = default;

kaBuffer2::kaBuffer2(veMediaType type) { SetMediaType(type); }

kaBuffer2::~kaBuffer2() = default;

int32_t kaBuffer2::QueryInterface(const char* name, void** out) { return Concrete_QueryInterface(name, out); }

int32_t kaBuffer2::AddRef() { return Concrete_AddRef(); }

int32_t kaBuffer2::Release() { return Concrete_Release(); }

unsigned char* kaBuffer2::GetStorage() { return storage.Data(); }

const unsigned char* kaBuffer2::GetStorage() const { return storage.Data(); }

int32_t kaBuffer2::AllocateStorage(int size) { return storage.ResizeTo(size, zBuffer::kResizeDiscardContents); }

kaBuffer2::Planes kaBuffer2::GetPlanarStorage() {
  Planes result;
  unsigned char* const base = GetStorage();
  const uint32_t raster = RasterType();
  const int32_t bytesPerRow = BytesPerRow();
  // A packed image is one plane, handed out with the record's bytes per row
  // as stored (even 0 or negative): the caller reads the rows it describes.
  if (!veRasterType::IsPlanarFormat(raster)) {
    result.count = 1;
    result.plane[0] = {base, bytesPerRow};
    return result;
  }

  const int64_t w = Width();
  const int64_t h = Height();
  const int64_t b = bytesPerRow;
  // The 4:2:0 layouts use tight rows (the record's bytes per row plays no
  // part); IMC4 and YM16 put every plane on the record's rows.
  PlaneLayout layout[3] = {};
  int32_t count = 0;
  switch (raster) {
    case veRasterType::kI420:
    case veRasterType::kYV12:
      // Y, then two quarter-size chroma planes of half rows. Both chroma
      // orders share one layout; which plane is U is the caller's business.
      count = 3;
      layout[0] = {0, w, h, w};
      layout[1] = {w * h, w / 2, h / 2, w / 2};
      layout[2] = {w * h + (w * h) / 4, w / 2, h / 2, w / 2};
      break;
    case veRasterType::kNV12:
      // Y, then half as many rows of interleaved U and V, as wide as Y's.
      count = 2;
      layout[0] = {0, w, h, w};
      layout[1] = {w * h, w, h / 2, w};
      break;
    case veRasterType::kIMC4:
      // Y rows, then chroma rows holding U and V side by side.
      count = 3;
      layout[0] = {0, b, h, w};
      layout[1] = {h * b, b, h / 2, w / 2};
      layout[2] = {h * b + w / 2, b, h / 2, w / 2};
      break;
    case veRasterType::kYM16:
      // 4:2:2 with Y, U and V side by side within every row.
      count = 3;
      layout[0] = {0, b, h, w};
      layout[1] = {w, b, h, w / 2};
      layout[2] = {w + w / 2, b, h, w / 2};
      break;
    default:
      // A planar type without a known layout is served as one plane.
      result.count = 1;
      result.plane[0] = {base, bytesPerRow};
      return result;
  }

  // A record that does not match the storage (no storage, negative sizes, a
  // plane reaching past StorageSize()) gets no planes at all rather than
  // pointers past the end, or before the start, of the storage.
  if (!base) return result;
  const int64_t size = StorageSize();
  for (int32_t i = 0; i < count; ++i) {
    if (!PlaneFits(layout[i], size)) return result;
  }
  result.count = count;
  for (int32_t i = 0; i < count; ++i) {
    // A plane without rows (the chroma of a 4:2:0 image one row high) may
    // start at the very end of the storage or past it: it is handed out
    // empty rather than as a pointer outside it.
    if (PlaneIsEmpty(layout[i])) continue;
    result.plane[i] = {base + layout[i].offset, static_cast<int32_t>(layout[i].rowBytes)};
  }
  return result;
}

bool kaBuffer2::MapPlanarStorage(const PlanesFunction& function) {
  const Planes planes = GetPlanarStorage();
  function(planes);  // std::bad_function_call when empty
  return true;
}

bool kaBuffer2::MapPlanarStorageReadOnly(const PlanesFunction& function) {
  const Planes planes = GetPlanarStorage();
  function(planes);  // std::bad_function_call when empty
  return true;
}

uint32_t kaBuffer2::StorageSize() const { return storage.Size(); }

int64_t kaBuffer2::DirtiedTime() const { return dirtiedTime.load(std::memory_order_relaxed); }

void kaBuffer2::SetDirtiedTime(long long time) { dirtiedTime.store(time, std::memory_order_relaxed); }

void kaBuffer2::SetBufferIsUpsideDown(bool upsideDown) { bufferIsUpsideDown = upsideDown; }

void kaBuffer2::DeleteObject() {
  // A return to zero can come while an earlier one's functions still run:
  // re-entered from one of them, or on another thread that got the object
  // from the taker and released it before this pass finished. Deleting then
  // would pull the object from under the running pass, so the later return
  // is handed to that pass, which runs the functions once more when it is
  // done. Become the one pass, or hand this return over.
  uint32_t state = returnState_.load(std::memory_order_acquire);
  for (;;) {
    if (state == kNoPass) {
      if (returnState_.compare_exchange_weak(state, kPassRunning, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
        break;
      }
    } else if (returnState_.compare_exchange_weak(state, kZeroHandedOver, std::memory_order_acq_rel,
                                                  std::memory_order_acquire)) {
      return;
    }
  }

  for (;;) {
    if (RunReturnToZero()) return;  // deleted: nothing of the object may be touched
    uint32_t running = kPassRunning;
    if (returnState_.compare_exchange_strong(running, kNoPass, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
      return;
    }
    // Another return to zero was handed over while this pass ran.
    returnState_.store(kPassRunning, std::memory_order_release);
  }
}

bool kaBuffer2::RunReturnToZero() {
  // The host's pre-recycle function sees the buffer before the cache takes
  // it, so it runs once for every return to zero, taken back or not.
  if (preRecycleFunction) preRecycleFunction();
  if (recycleFunction) {
    if (recycleFunction() != Destroy) {
      PrepareForReuse();
      return false;
    }
    delete this;
    return true;
  }
  xCUnknown::DeleteObject();
  return true;
}

void kaBuffer2::PrepareForReuse() {}

void kaBuffer2::SetDisplayWidth(int width) const {
  const_cast<kaBuffer2*>(this)->SetInt32(veKeyDisplayWidth, width, 2);
}

void kaBuffer2::SetDisplayHeight(int height) const {
  const_cast<kaBuffer2*>(this)->SetInt32(veKeyDisplayHeight, height, 2);
}

int kaBuffer2::GetDisplayWidth() const { return AsInt32(veKeyDisplayWidth, 0); }

int kaBuffer2::GetDisplayHeight() const { return AsInt32(veKeyDisplayHeight, 0); }

void kaBuffer2::SetPixelAspectCorrectedDimensions(int width, int height, float ratio) const {
  const float product = std::floor(static_cast<float>(width) * ratio);
  int32_t displayWidth = 0;
  // 2^31 is exact in float; converting anything at or beyond it is undefined.
  constexpr float kTwoToThe31 = 2147483648.0f;
  if (std::isnan(product)) {
    displayWidth = 0;
  } else if (product >= kTwoToThe31) {
    displayWidth = std::numeric_limits<int32_t>::max();
  } else if (product < -kTwoToThe31) {
    displayWidth = std::numeric_limits<int32_t>::min();
  } else {
    displayWidth = static_cast<int32_t>(product);
  }
  SetDisplayWidth(displayWidth);
  SetDisplayHeight(height);
}

void kaBuffer2::CopyImageFrom(void* source, int sourceRowBytes) {
  unsigned char* const destination = GetStorage();
  if (!source || !destination) return;
  const uint32_t raster = RasterType();
  if (MediaType() != veMediaTypeVideo || raster == 0 || Width() < 1 || Height() < 1) return;
  const int32_t active = veRasterType::ActiveBytesPerRow(Width(), raster);
  if (active <= 0) return;
  const int32_t rows = veRasterType::RowCount(Height(), raster);
  if (rows <= 0) return;

  // A record without bytes per row spreads the rows evenly over the storage.
  const int64_t storageSize = StorageSize();
  int64_t destinationRowBytes = BytesPerRow();
  if (destinationRowBytes == 0) {
    if (storageSize <= 0 || storageSize > std::numeric_limits<int32_t>::max()) return;
    destinationRowBytes = storageSize / rows;
  }
  if (destinationRowBytes < active || sourceRowBytes < active) return;
  if ((rows - 1) * destinationRowBytes + active > storageSize) return;
  zCopyImage(source, sourceRowBytes, destination, static_cast<int32_t>(destinationRowBytes), active, rows);
}
