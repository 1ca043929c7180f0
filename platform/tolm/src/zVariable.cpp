#include "tolm/zVariable.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// 2^63 as a double: the first value above the int64 range (INT64_MAX itself is
// not representable and rounds up to it).
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

int64_t DoubleToInt64(double d, int64_t def) {
  if (std::isnan(d)) return def;
  if (d >= kTwoPow63) return std::numeric_limits<int64_t>::max();
  if (d <= -kTwoPow63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

uint64_t DoubleToUInt64(double d, uint64_t def) {
  if (std::isnan(d)) return def;
  if (d >= kTwoPow64) return std::numeric_limits<uint64_t>::max();
  if (d <= 0.0) return 0;
  return static_cast<uint64_t>(d);
}

int32_t Int64ToInt32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// Owned bytes are allocated with malloc (never an exception) and carry a
// terminating NUL so that text reads as a C string. Null when memory is short.
char* DuplicateBytes(const void* data, uint32_t size) {
  char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
  if (!copy) return nullptr;
  if (size > 0) std::memcpy(copy, data, size);
  copy[size] = '\0';
  return copy;
}

}  // namespace

zVariable::zVariable(const zVariable& other) : type(other.type), flags(other.flags), key(other.key) {
  if (other.Tag() == kzTypeOwned) {
    value.owned.data = DuplicateBytes(other.value.owned.data, other.value.owned.size);
    if (value.owned.data) {
      value.owned.size = other.value.owned.size;
    } else {
      value = Value{};
      SetTag(kzTypeNone);
    }
  } else {
    value = other.value;
  }
}

zVariable::zVariable(zVariable&& other) noexcept
    : type(other.type), flags(other.flags), key(other.key), value(other.value) {
  // The owned bytes now belong to this variable.
  other.type = static_cast<uint8_t>(other.type & kFlagBit);
  other.value = Value{};
}

zVariable& zVariable::operator=(const zVariable& other) {
  if (this == &other) return *this;
  if (other.Tag() == kzTypeOwned) {
    char* copy = DuplicateBytes(other.value.owned.data, other.value.owned.size);
    FreeOwned();
    type = other.type;
    flags = other.flags;
    key = other.key;
    if (copy) {
      value.owned.data = copy;
      value.owned.size = other.value.owned.size;
    } else {
      value = Value{};
      SetTag(kzTypeNone);
    }
    return *this;
  }
  FreeOwned();
  type = other.type;
  flags = other.flags;
  key = other.key;
  value = other.value;
  return *this;
}

zVariable& zVariable::operator=(zVariable&& other) noexcept {
  if (this == &other) return *this;
  FreeOwned();
  type = other.type;
  flags = other.flags;
  key = other.key;
  value = other.value;
  other.type = static_cast<uint8_t>(other.type & kFlagBit);
  other.value = Value{};
  return *this;
}

zVariable::~zVariable() { FreeOwned(); }

void zVariable::FreeOwned() {
  if (Tag() == kzTypeOwned) {
    std::free(value.owned.data);
    value.owned.data = nullptr;
    value.owned.size = 0;
  }
}

void zVariable::SetInt32(int32_t v, char f) {
  FreeOwned();
  value = Value{};
  value.i32 = v;
  flags = f;
  SetTag(kzTypeInt32);
}

void zVariable::SetInt64(int64_t v, char f) {
  FreeOwned();
  value = Value{};
  value.i64 = v;
  flags = f;
  SetTag(kzTypeInt64);
}

void zVariable::SetUInt64(uint64_t v, char f) {
  FreeOwned();
  value = Value{};
  value.u64 = v;
  flags = f;
  SetTag(kzTypeUInt64);
}

void zVariable::SetBool(bool v, char f) {
  FreeOwned();
  value = Value{};
  value.b = v;
  flags = f;
  SetTag(kzTypeBool);
}

void zVariable::SetFloat(float v, char f) {
  FreeOwned();
  value = Value{};
  value.f = v;
  flags = f;
  SetTag(kzTypeFloat);
}

void zVariable::SetDouble(double v, char f) {
  FreeOwned();
  value = Value{};
  value.d = v;
  flags = f;
  SetTag(kzTypeDouble);
}

bool zVariable::SetOwned(const void* data, int64_t length, char f) {
  if (length < 0) {
    if (!data) return false;
    length = static_cast<int64_t>(std::strlen(static_cast<const char*>(data)));
  }
  // One byte more is needed for the terminating NUL.
  if (length >= static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) return false;
  if (length > 0 && !data) return false;
  const uint32_t size = static_cast<uint32_t>(length);
  char* copy = DuplicateBytes(data, size);
  if (!copy) return false;
  FreeOwned();
  value = Value{};
  value.owned.data = copy;
  value.owned.size = size;
  flags = f;
  SetTag(kzTypeOwned);
  return true;
}

void zVariable::Clear() {
  FreeOwned();
  value = Value{};
  flags = 0;
  SetTag(kzTypeNone);
}

int64_t zVariable::AsInt64_full(int64_t def) const {
  switch (Tag()) {
    case kzTypeBool: return value.b ? 1 : 0;
    case kzTypeInt32: return value.i32;
    case kzTypeInt64: return value.i64;
    case kzTypeUInt64:
      return value.u64 > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                 ? std::numeric_limits<int64_t>::max()
                 : static_cast<int64_t>(value.u64);
    case kzTypeFloat: return DoubleToInt64(static_cast<double>(value.f), def);
    case kzTypeDouble: return DoubleToInt64(value.d, def);
    default: return def;
  }
}

int32_t zVariable::AsInt32_full(int32_t def) const {
  switch (Tag()) {
    case kzTypeInt32: return value.i32;
    case kzTypeBool:
    case kzTypeInt64:
    case kzTypeUInt64:
    case kzTypeFloat:
    case kzTypeDouble: {
      // NaN gives `def` through the 64-bit conversion; everything else clamps.
      const bool isNaN = (Tag() == kzTypeFloat && std::isnan(value.f)) || (Tag() == kzTypeDouble && std::isnan(value.d));
      if (isNaN) return def;
      return Int64ToInt32(AsInt64_full(0));
    }
    default: return def;
  }
}

uint64_t zVariable::AsUInt64_full(uint64_t def) const {
  switch (Tag()) {
    case kzTypeBool: return value.b ? 1 : 0;
    case kzTypeInt32: return value.i32 < 0 ? 0 : static_cast<uint64_t>(value.i32);
    case kzTypeInt64: return value.i64 < 0 ? 0 : static_cast<uint64_t>(value.i64);
    case kzTypeUInt64: return value.u64;
    case kzTypeFloat: return DoubleToUInt64(static_cast<double>(value.f), def);
    case kzTypeDouble: return DoubleToUInt64(value.d, def);
    default: return def;
  }
}

double zVariable::AsDouble_full(double def) const {
  switch (Tag()) {
    case kzTypeBool: return value.b ? 1.0 : 0.0;
    case kzTypeInt32: return static_cast<double>(value.i32);
    case kzTypeInt64: return static_cast<double>(value.i64);
    case kzTypeUInt64: return static_cast<double>(value.u64);
    case kzTypeFloat: return static_cast<double>(value.f);
    case kzTypeDouble: return value.d;
    default: return def;
  }
}

bool zVariable::AsBool_full(bool def) const {
  switch (Tag()) {
    case kzTypeBool: return value.b;
    case kzTypeInt32: return value.i32 != 0;
    case kzTypeInt64: return value.i64 != 0;
    case kzTypeUInt64: return value.u64 != 0;
    case kzTypeFloat: return std::isnan(value.f) ? def : value.f != 0.0f;
    case kzTypeDouble: return std::isnan(value.d) ? def : value.d != 0.0;
    default: return def;
  }
}

bool zVariable::full_copy(uint8_t sourceType, const zVariable& source) {
  const uint8_t tag = sourceType & kTagMask;
  if (this == &source) {
    // Work from a copy so that freeing this value cannot pull the source away.
    const zVariable snapshot(source);
    if (source.Tag() == kzTypeOwned && snapshot.Tag() != kzTypeOwned) return false;
    return full_copy(sourceType, snapshot);
  }
  if (tag == kzTypeOwned) {
    // A source that does not hold owned bytes gives an empty owned value.
    const bool hasBytes = source.Tag() == kzTypeOwned;
    const uint32_t size = hasBytes ? source.value.owned.size : 0;
    char* copy = DuplicateBytes(hasBytes ? source.value.owned.data : nullptr, size);
    if (!copy) return false;
    FreeOwned();
    value = Value{};
    value.owned.data = copy;
    value.owned.size = size;
  } else {
    FreeOwned();
    // A plain value is copied as it is; reading it under another tag is the
    // caller's choice (only owned bytes need care, handled above).
    value = source.Tag() == kzTypeOwned ? Value{} : source.value;
  }
  flags = source.flags;
  SetTag(tag);
  return true;
}

bool zVariable::SameValue(const zVariable& other) const {
  if (Tag() != other.Tag() || flags != other.flags) return false;
  switch (Tag()) {
    case kzTypeNone: return true;
    case kzTypeBool: return value.b == other.value.b;
    case kzTypeInt32: return value.i32 == other.value.i32;
    case kzTypeInt64: return value.i64 == other.value.i64;
    case kzTypeUInt64: return value.u64 == other.value.u64;
    // Bit patterns, so that a NaN equals itself and a copy equals its source.
    case kzTypeFloat: return std::memcmp(&value.f, &other.value.f, sizeof(float)) == 0;
    case kzTypeDouble: return std::memcmp(&value.d, &other.value.d, sizeof(double)) == 0;
    case kzTypeOwned:
      return value.owned.size == other.value.owned.size &&
             (value.owned.size == 0 || std::memcmp(value.owned.data, other.value.owned.data, value.owned.size) == 0);
    default: return std::memcmp(&value, &other.value, sizeof(Value)) == 0;
  }
}
