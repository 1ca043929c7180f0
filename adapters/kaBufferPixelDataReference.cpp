#include "adapters/kaBufferPixelDataReference.h"

#include <algorithm>
#include <limits>
#include <new>

using Corvane::Vel::Dimensions;
using Corvane::Vel::Result;
using Corvane::Vel::ResultError;
using Corvane::Vel::ResultOK;
using Corvane::Vel::SamplePlanes;

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

int32_t SaturateToInt32(int64_t value) { return static_cast<int32_t>(std::clamp<int64_t>(value, 0, kInt32Max)); }

}  // namespace

kaBufferPixelDataReference* kaBufferPixelDataReference::Create(kaBuffer2* buffer) noexcept {
  if (buffer == nullptr) return nullptr;
  return new (std::nothrow) kaBufferPixelDataReference(*buffer);
}

kaBufferPixelDataReference::kaBufferPixelDataReference(kaBuffer2& source) noexcept
    : CPixelDataReference(kType), buffer(kaRef<kaBuffer2>::Retain(&source)) {
  // The query adds the reference that the shared pointer then owns; its
  // deleter gives it back through the interface's Release.
  void* answer = nullptr;
  if (source.QueryInterface("kaXIGPUAccessibleBuffer", &answer) == 0 && answer != nullptr) {
    gpuInterface = make_shared_ptr(static_cast<kaXIGPUAccessibleBuffer*>(answer));
  }
}

kaBufferPixelDataReference::~kaBufferPixelDataReference() = default;

bool kaBufferPixelDataReference::IsType(uint32_t code) const noexcept {
  return code == kType || CPixelDataReference::IsType(code);
}

Result kaBufferPixelDataReference::Lock(int mode) noexcept {
  if (!gpuInterface) return ResultOK;
  const auto flags =
      mode == kLockRead ? kaXIGPUAccessibleBuffer::kMapForReading : kaXIGPUAccessibleBuffer::kMapForReadWrite;
  const kaXIGPUAccessibleBuffer::Mapping mapping = gpuInterface->Map(flags);
  // Kept even when unusable: IsLocked() then stays false and the getters
  // answer from the storage.
  lockedData = mapping.data;
  lockedStride = mapping.rowBytes;
  return IsLocked() ? ResultOK : ResultError;
}

void kaBufferPixelDataReference::Unlock() noexcept {
  if (!gpuInterface) return;
  gpuInterface->Unmap();
  lockedData = nullptr;
  lockedStride = 0;
}

int64_t kaBufferPixelDataReference::StorageBytesFrom(const uint8_t* at) const noexcept {
  const unsigned char* storage = buffer->GetStorage();
  if (storage == nullptr || at == nullptr) return -1;
  // Integer addresses: comparing pointers into different objects is not
  // defined, and a foreign mapping is exactly that.
  const auto begin = reinterpret_cast<uintptr_t>(storage);
  const auto end = begin + buffer->StorageSize();
  const auto address = reinterpret_cast<uintptr_t>(at);
  if (address < begin || address >= end) return -1;
  return static_cast<int64_t>(end - address);
}

int64_t kaBufferPixelDataReference::ExtentFrom(const uint8_t* data) const noexcept {
  const int64_t inStorage = StorageBytesFrom(data);
  if (inStorage >= 0) return inStorage;
  if (!IsLocked() || data != lockedData) return 0;
  const int64_t rows = veRasterType::RowCount(buffer->Height(), buffer->RasterType());
  return rows > 0 ? rows * lockedStride : 0;
}

int32_t kaBufferPixelDataReference::GetLength() const noexcept {
  if (!IsLocked()) return SaturateToInt32(buffer->StorageSize());
  // Cut to the storage, so a record claiming longer rows than the storage
  // holds never makes a reader run past it.
  int64_t length = std::max<int64_t>(buffer->Height(), 0) * lockedStride;
  const int64_t inStorage = StorageBytesFrom(lockedData);
  if (inStorage >= 0) length = std::min(length, inStorage);
  return SaturateToInt32(length);
}

uint8_t* kaBufferPixelDataReference::GetData() const noexcept {
  return IsLocked() ? lockedData : buffer->GetStorage();
}

int32_t kaBufferPixelDataReference::GetStride() const noexcept {
  return IsLocked() ? lockedStride : buffer->BytesPerRow();
}

Dimensions kaBufferPixelDataReference::GetArea() const noexcept { return {buffer->Width(), buffer->Height()}; }

SamplePlanes kaBufferPixelDataReference::GetSamplePlanes(unsigned int pixelFormat, bool forWriting) const noexcept {
  SamplePlanes planes;
  const uint32_t rasterType = buffer->RasterType();
  const bool imc4 = rasterType == veRasterType::kIMC4;
  // IMC4 and YM16 are laid out here rather than by the buffer, over the
  // mapping when locked; offsets in 64 bits.
  if (imc4 || rasterType == veRasterType::kYM16) {
    uint8_t* const data = GetData();
    const int64_t width = buffer->Width();
    const int64_t height = buffer->Height();
    if (data == nullptr || width < 0 || height < 0) return planes;
    // IMC4: chroma rows follow the w·h luma bytes, U and V side by side.
    // YM16: Y, U and V lie side by side within each row.
    const int64_t second = imc4 ? width * height : width;
    const int64_t third = second + width / 2;
    if (third >= ExtentFrom(data)) return planes;  // a plane would start outside the image
    const int32_t stride = GetStride();
    planes.plane[0] = data;
    planes.plane[1] = data + second;
    planes.plane[2] = data + third;
    planes.stride[0] = planes.stride[1] = planes.stride[2] = stride;
    return planes;
  }
  if (veRasterType::IsPlanarFormat(rasterType)) {
    // The buffer's own layout over its own storage; it reports no planes
    // (count 0) for a description that does not fit that storage.
    const kaBuffer2::Planes stored = buffer->GetPlanarStorage();
    const int count = std::clamp<int32_t>(stored.count, 0, 3);
    for (int i = 0; i < count; ++i) {
      planes.plane[i] = stored.plane[i].data;
      planes.stride[i] = stored.plane[i].rowBytes;
    }
    return planes;
  }
  return CPixelDataReference::GetSamplePlanes(pixelFormat, forWriting);
}
