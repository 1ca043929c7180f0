#pragma once
#include <cstdint>

#include "Vel/CLockedDataReference.h"
#include "Vel/CObject.h"
#include "Vel/Result.h"

namespace Corvane::Vel {

// A block of media bytes travelling between filters. The bytes are either
// the sample's own storage (grown by Reserve, kept for reuse, freed with the
// sample) or the caller's bytes referred to without copying (SetExternalData);
// in the second case the caller keeps them alive and unchanged while the
// sample refers to them, unless it handed ownership over. Not thread-safe:
// one thread fills a sample, and readers take it after it is handed on.
class VEL_EXPORT CMediaSample : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("msmp");

  // Access modes of GetLockedDataReference. The framework does not guard the
  // bytes against concurrent access; the mode states the caller's intent.
  static constexpr int kAccessRead = 1;
  static constexpr int kAccessWrite = 2;
  static constexpr int kAccessReadWrite = 3;

  explicit CMediaSample(uint32_t typeCode = kType) noexcept;
  bool IsType(uint32_t code) const noexcept override;

  // The sample's bytes for `mode` (kAccessRead ... kAccessReadWrite). Returns
  // an empty reference for any other mode or when the sample holds no bytes.
  CLockedDataReference GetLockedDataReference(int mode) noexcept;

  // Makes the sample own at least `capacity` bytes of storage (existing owned
  // bytes are kept up to the current length; a reference to external bytes
  // is dropped, and the length becomes 0 in that case). Returns ResultError
  // for a negative capacity or when memory runs out, and then changes nothing.
  Result Reserve(int32_t capacity) noexcept;
  // Sets how many of the bytes are valid. ResultError, and no change, when
  // `length` is negative or exceeds the bytes available.
  Result SetLength(int32_t length) noexcept;
  // Refers to `bytes` (length `length`) without copying; any owned storage is
  // freed. With `takeOwnership` the sample frees them with std::free when it
  // lets go (so they must come from std::malloc); without it the caller keeps
  // them alive while the sample refers to them. Null bytes with length 0 make
  // the sample empty. ResultError, and no change, for a negative length or
  // null bytes with a positive length.
  Result SetExternalData(void* bytes, int32_t length, bool takeOwnership) noexcept;

  uint8_t* GetData() const noexcept { return data_; }
  int32_t GetLength() const noexcept { return length_; }
  // Bytes available without growing: the owned storage's size, or the
  // external bytes' length.
  int32_t GetCapacity() const noexcept { return capacity_; }
  bool OwnsData() const noexcept { return ownsData_; }

 protected:
  ~CMediaSample() override;

 private:
  void FreeData() noexcept;

  uint8_t* data_ = nullptr;
  int32_t length_ = 0;
  int32_t capacity_ = 0;
  bool ownsData_ = false;   // data_ is ours to free
  bool external_ = false;   // data_ came from SetExternalData (freed with std::free)
};

}  // namespace Corvane::Vel
