#pragma once
#include <cstdint>

#include "tolm/tolmExport.h"

// Keys of records: four-character codes read as big-endian numbers (below
// 2^32), or interned strings (ids with the top bit set, see zRecord::KeyForString).
using zKey = unsigned long long;

// Type tags of a zVariable. The low seven bits of zVariable::type hold the tag;
// the high bit (kFlagBit) is a property of the slot that assignments keep.
enum zVariableType : uint8_t {
  kzTypeNone = 0,
  kzTypeBool = 1,
  kzTypeInt64 = 2,
  kzTypeUInt64 = 3,
  kzTypeFloat = 4,
  kzTypeDouble = 5,
  kzTypeInt32 = 6,
  // Owned bytes (a text or a blob). Only full_copy copies it; a plain record
  // copy leaves it out.
  kzTypeOwned = 12,
};

// One typed value under a key. Owns the bytes of a kzTypeOwned value and
// frees them whenever the value is replaced. Copying a zVariable is a full
// copy (owned bytes duplicated, type byte, flags and key taken as they are);
// when the bytes cannot be duplicated the copy is left empty (tag 0) with the
// source's key. A moved-from variable is empty. Not thread-safe.
class TOLM_EXPORT zVariable {
 public:
  static constexpr uint8_t kFlagBit = 0x80;
  static constexpr uint8_t kTagMask = 0x7f;

  zVariable() = default;
  explicit zVariable(zKey key) : key(key) {}
  zVariable(const zVariable& other);
  zVariable(zVariable&& other) noexcept;
  zVariable& operator=(const zVariable& other);
  zVariable& operator=(zVariable&& other) noexcept;
  ~zVariable();

  uint8_t Tag() const { return type & kTagMask; }
  bool IsEmpty() const { return Tag() == kzTypeNone; }

  // Setters replace the value (freeing owned bytes), set the tag and keep the
  // flag bit. `flags` is stored as given.
  void SetInt32(int32_t v, char flags = 0);
  void SetInt64(int64_t v, char flags = 0);
  void SetUInt64(uint64_t v, char flags = 0);
  void SetBool(bool v, char flags = 0);
  void SetFloat(float v, char flags = 0);
  void SetDouble(double v, char flags = 0);
  // Copies `length` bytes (NUL-terminated text when length < 0) into owned
  // storage; null data is accepted with length 0 only. Returns false and
  // leaves the value unchanged when memory is short, when data is null with a
  // nonzero length, or when length is UINT32_MAX or more.
  bool SetOwned(const void* data, int64_t length, char flags = 0);
  // Back to empty (tag 0), freeing owned bytes; key and flag bit stay.
  void Clear();

  // Numeric conversions of whatever the value holds; `def` when empty or owned.
  // Conversions saturate instead of overflowing: out-of-range values clamp to
  // the target's limits (negative values to 0 for the unsigned form), and
  // floating values are truncated toward zero. A NaN gives `def` (it has no
  // integer or truth value); AsDouble_full returns it as it is.
  int32_t AsInt32_full(int32_t def) const;
  int64_t AsInt64_full(int64_t def) const;
  uint64_t AsUInt64_full(uint64_t def) const;
  double AsDouble_full(double def) const;
  bool AsBool_full(bool def) const;

  // Owned bytes (null and 0 unless the tag is kzTypeOwned). The bytes are
  // followed by a NUL so that text can be read as a C string.
  const char* OwnedData() const { return Tag() == kzTypeOwned ? value.owned.data : nullptr; }
  uint32_t OwnedSize() const { return Tag() == kzTypeOwned ? value.owned.size : 0; }

  // Copies `source`'s value and flags, owned bytes included; the tag becomes
  // `sourceType`'s tag, and this slot's key and flag bit stay. Asked for an
  // owned tag, a source without owned bytes gives zero owned bytes. Returns
  // false (value unchanged) when memory is short.
  bool full_copy(uint8_t sourceType, const zVariable& source);

  // Same tag, flags and value (owned bytes compared by content, floating
  // values by bit pattern, so a NaN equals its copy). Keys and the flag bit
  // are not compared.
  bool SameValue(const zVariable& other) const;

  uint8_t type = kzTypeNone;
  char flags = 0;
  zKey key = 0;
  union Value {
    bool b;
    int32_t i32;
    int64_t i64;
    uint64_t u64;
    float f;
    double d;
    struct {
      char* data;
      uint32_t size;
    } owned;
  } value{};

 private:
  void FreeOwned();
  void SetTag(uint8_t tag) { type = static_cast<uint8_t>((type & kFlagBit) | (tag & kTagMask)); }
};
