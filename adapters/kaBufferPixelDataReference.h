#pragma once
#include <cstdint>
#include <memory>

#include "Vel/CPixelDataReference.h"
#include "buffers/kaBuffer2.h"
#include "buffers/kaXIGPUAccessibleBuffer.h"
#include "foundation/kaFoundation.h"

// A library buffer presented to the media framework as pixel memory, without
// copying: it holds one reference to the buffer (and, for a GPU-accessible
// buffer, one more through its "kaXIGPUAccessibleBuffer" interface) for as
// long as the framework holds the adapter. Locking maps the GPU image; while
// locked the answers come from the mapping, otherwise from the buffer's own
// storage and record. One framework thread uses it at a time; nothing here
// locks, so the buffer's writers and readers are ordered by their callers.
class KASP2_EXPORT kaBufferPixelDataReference final : public Corvane::Vel::CPixelDataReference {
 public:
  static constexpr uint32_t kType = zFourCC("kBdr");

  // A new adapter over `buffer` with one framework reference for the caller
  // (given up with Release). Adds a reference to the buffer and asks it for
  // its GPU interface; a buffer without one (or whose interface pointer
  // cannot be wrapped) is served from its storage only. Null, and nothing
  // changed, for a null buffer or when the framework's pool is exhausted.
  static kaBufferPixelDataReference* Create(kaBuffer2* buffer) noexcept;

  // True for kType; any other code is the framework base's answer.
  bool IsType(uint32_t code) const noexcept override;
  // Without a GPU interface: ResultOK and nothing else (the storage needs no
  // mapping). With one: maps it, for reading when `mode` is kLockRead and for
  // reading and writing for any other mode, and keeps the returned data
  // pointer and row bytes. ResultOK when the pointer is set and the row bytes
  // are positive; otherwise ResultError, and the getters keep answering from
  // the storage. Each Lock maps once; call Unlock once per Lock.
  Corvane::Vel::Result Lock(int mode) noexcept override;
  // With a GPU interface: unmaps it and forgets the mapping. Otherwise nothing.
  void Unlock() noexcept override;
  // Locked: height × mapped row bytes, computed in 64 bits, 0 for a negative
  // height, saturated at INT32_MAX, and cut to the end of the buffer's
  // storage when the mapping lies in that storage (a record claiming longer
  // rows than the storage holds never makes a reader run past it). Unlocked:
  // StorageSize(), saturated at INT32_MAX.
  int32_t GetLength() const noexcept override;
  // Locked: the mapped data. Unlocked: the buffer's storage (null while none
  // is allocated).
  uint8_t* GetData() const noexcept override;
  // By the buffer's raster type, starting from an empty record:
  //  - "IMC4": planes GetData(), + w·h, + w·h + w/2, all with GetStride();
  //  - "YM16": planes GetData(), + w, + w + w/2, all with GetStride()
  //    (w, h: the buffer's width and height; the mapping is used when locked);
  //  - any other planar type: the planes of the buffer's GetPlanarStorage()
  //    (its own storage, never the mapping), as many as it reports;
  //  - packed types: the framework base's answer (GetData(), GetStride()).
  // The IMC4 and YM16 offsets are computed in 64 bits; the record stays empty
  // when GetData() is null, the width or height is negative, or the last
  // plane would not start inside the image (the storage, or the mapped rows
  // when the mapping lies elsewhere). The two arguments are read only by the
  // base's branch.
  Corvane::Vel::SamplePlanes GetSamplePlanes(unsigned int pixelFormat, bool forWriting) const noexcept override;
  // Locked: the mapped row bytes. Unlocked: the record's bytes per row.
  int32_t GetStride() const noexcept override;
  // The buffer's width and height.
  Corvane::Vel::Dimensions GetArea() const noexcept override;

  // Locked means: a mapping with data and positive row bytes is held.
  bool IsLocked() const noexcept { return lockedData != nullptr && lockedStride > 0; }

 private:
  explicit kaBufferPixelDataReference(kaBuffer2& buffer) noexcept;
  // Drops the GPU interface, then the buffer (member order).
  ~kaBufferPixelDataReference() override;

  // Bytes from `at` to the end of the buffer's storage; -1 when `at` is null
  // or does not point into the storage.
  int64_t StorageBytesFrom(const uint8_t* at) const noexcept;
  // Bytes that may be read from `data`, as far as this adapter knows them:
  // up to the end of the storage when `data` lies in it; for a mapping
  // elsewhere, the rows of the image the record describes × the mapped
  // stride; 0 when neither applies.
  int64_t ExtentFrom(const uint8_t* data) const noexcept;

  const kaRef<kaBuffer2> buffer;
  std::shared_ptr<kaXIGPUAccessibleBuffer> gpuInterface;  // empty: serve from storage
  uint8_t* lockedData = nullptr;
  int32_t lockedStride = 0;
};
