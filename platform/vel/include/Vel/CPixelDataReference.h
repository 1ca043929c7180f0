#pragma once
#include <cstdint>

#include "Vel/CObject.h"
#include "Vel/Dimensions.h"
#include "Vel/Result.h"
#include "Vel/SamplePlanes.h"

namespace Corvane::Vel {

// Pixel memory handed between video components: a block of bytes with a
// length, a row stride and an image area, which a reader locks before use
// and unlocks after. Subclasses decide where the bytes live (their own
// storage, another library's buffer, a mapped GPU image); this base holds no
// memory and answers as an empty reference. One thread uses a reference at a
// time; the caller holds a reference (Acquire) for as long as it uses the
// pointers it got, and calls Unlock once for each Lock.
class VEL_EXPORT CPixelDataReference : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("pxdr");

  // Lock modes: what the caller means to do with the bytes.
  static constexpr int kLockRead = 1;
  static constexpr int kLockWrite = 2;
  static constexpr int kLockReadWrite = 3;

  enum class ByteOrder : int32_t { kLittleEndian = 1, kBigEndian = 2 };

  bool IsType(uint32_t code) const noexcept override;

  // Makes the bytes addressable for `mode`. Here: ResultOK and nothing else
  // (memory that is always addressable needs no lock). A subclass that fails
  // returns ResultError and keeps answering from its unlocked state.
  virtual Result Lock(int mode) noexcept;
  // Ends a Lock. Here: nothing.
  virtual void Unlock() noexcept;
  // Bytes reachable from GetData(). Here: 0.
  virtual int32_t GetLength() const noexcept;
  // First byte of the first row. Here: null.
  virtual uint8_t* GetData() const noexcept;
  // Where each plane of the image lies. `pixelFormat` (a four-character code,
  // 0 for "as stored") and `forWriting` state the caller's intent; this base
  // converts nothing and ignores both. Here: one plane, GetData() with
  // GetStride() (both through the table, so a subclass's answers are used),
  // or an empty record when GetData() is null.
  virtual SamplePlanes GetSamplePlanes(unsigned int pixelFormat, bool forWriting) const noexcept;
  // Bytes from one row to the next. Here: 0.
  virtual int32_t GetStride() const noexcept;
  // Width and height of the image in pixels. Here: 0 × 0.
  virtual Dimensions GetArea() const noexcept;
  // Changes how many bytes are valid. Here: ResultNotSupported, nothing changes
  // (a reference presents memory that somebody else sized).
  virtual Result SetLength(int32_t length) noexcept;
  // Order of the bytes of multi-byte samples. Here: the host's order.
  virtual ByteOrder GetByteOrder() const noexcept;

 protected:
  explicit CPixelDataReference(uint32_t typeCode = kType) noexcept;
  ~CPixelDataReference() override;
};

}  // namespace Corvane::Vel
