#pragma once
#include <cstdint>
#include <memory>

#include "Vel/CPixelDataReference.h"
#include "buffers/kaBuffer2.h"
#include "buffers/kaXIGPUAccessibleBuffer.h"
#include "foundation/kaFoundation.h"

// A library buffer presented to the media framework as pixel memory, without
// copying. Holds a reference to the buffer (and to its GPU interface, when it
// has one) while the framework holds the adapter. Locked, it answers from the
// GPU mapping; otherwise from the buffer's storage and record. One framework
// thread at a time; nothing here locks, so callers order readers and writers.
class KASP2_EXPORT kaBufferPixelDataReference final : public Corvane::Vel::CPixelDataReference {
 public:
  static constexpr uint32_t kType = zFourCC("kBdr");

  // A new adapter over `buffer`, one framework reference for the caller; a
  // buffer without a GPU interface is served from its storage.
  // Returns null, nothing changed, for a null buffer or the framework's pool exhausted.
  static kaBufferPixelDataReference* Create(kaBuffer2* buffer) noexcept;

  // kType, or the framework base's answer.
  bool IsType(uint32_t code) const noexcept override;
  // Maps the GPU interface (for reading with kLockRead, else for reading and
  // writing) and returns ResultOK; without one there is nothing to map (ResultOK).
  // Call Unlock once per Lock.
  // Returns ResultError for an unusable mapping; the getters keep answering from storage.
  Corvane::Vel::Result Lock(int mode) noexcept override;
  // Unmaps and forgets the mapping, if there is a GPU interface.
  void Unlock() noexcept override;
  // Locked: height × mapped row bytes, never past the end of the buffer's
  // storage when the mapping lies in it. Unlocked: StorageSize(). Saturates.
  int32_t GetLength() const noexcept override;
  // Locked: the mapped data. Unlocked: the storage (null while there is none).
  uint8_t* GetData() const noexcept override;
  // The planes of the image: IMC4 and YM16 over GetData() and GetStride()
  // (the mapping when locked), other planar types the buffer's own
  // GetPlanarStorage(), packed types the framework base's answer (the only
  // reader of the two arguments).
  // Returns no planes for no data, a negative size, or a plane starting outside the image.
  Corvane::Vel::SamplePlanes GetSamplePlanes(unsigned int pixelFormat, bool forWriting) const noexcept override;
  // Locked: the mapped row bytes. Unlocked: the record's bytes per row.
  int32_t GetStride() const noexcept override;
  // The buffer's width and height.
  Corvane::Vel::Dimensions GetArea() const noexcept override;

  // A mapping with data and positive row bytes is held.
  bool IsLocked() const noexcept { return lockedData != nullptr && lockedStride > 0; }

 private:
  explicit kaBufferPixelDataReference(kaBuffer2& buffer) noexcept;
  ~kaBufferPixelDataReference() override;

  // Bytes from `at` to the end of the buffer's storage; -1 when `at` is null
  // or does not point into the storage.
  int64_t StorageBytesFrom(const uint8_t* at) const noexcept;
  // Bytes readable from `data`: to the end of the storage when it lies
  // there; for a mapping elsewhere, the image's rows × the mapped stride;
  // else 0.
  int64_t ExtentFrom(const uint8_t* data) const noexcept;

  const kaRef<kaBuffer2> buffer;
  // Declared after `buffer`, so it is released first.
  std::shared_ptr<kaXIGPUAccessibleBuffer> gpuInterface;  // empty: serve from storage
  uint8_t* lockedData = nullptr;
  int32_t lockedStride = 0;
};
