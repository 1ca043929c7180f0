#include "Vel/CMediaSample.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace Corvane::Vel {

CMediaSample::CMediaSample(uint32_t typeCode) noexcept : CObject(typeCode) {}

CMediaSample::~CMediaSample() { FreeData(); }

bool CMediaSample::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

CLockedDataReference CMediaSample::GetLockedDataReference(int mode) noexcept {
  if (mode < kAccessRead || mode > kAccessReadWrite) return {};
  if (data_ == nullptr || length_ <= 0) return {};
  return CLockedDataReference(RObject<CObject>::Retain(this), data_, length_);
}

Result CMediaSample::Reserve(int32_t capacity) noexcept {
  if (capacity < 0) return ResultError("negative capacity");
  if (ownsData_ && !external_ && capacity <= capacity_) return ResultOK;
  if (capacity == 0) {  // nothing to own: just let go of external bytes
    FreeData();
    return ResultOK;
  }
  auto* grown = new (std::nothrow) uint8_t[static_cast<std::size_t>(capacity)];
  if (grown == nullptr) return ResultError("out of memory");
  int32_t keep = 0;
  if (ownsData_ && !external_ && data_ != nullptr) {
    keep = length_;
    std::memcpy(grown, data_, static_cast<std::size_t>(keep));
  }
  FreeData();
  data_ = grown;
  ownsData_ = true;
  external_ = false;
  capacity_ = capacity;
  length_ = keep;
  return ResultOK;
}

Result CMediaSample::SetLength(int32_t length) noexcept {
  if (length < 0 || length > capacity_) return ResultError("length outside the sample's bytes");
  length_ = length;
  return ResultOK;
}

Result CMediaSample::SetExternalData(void* bytes, int32_t length, bool takeOwnership) noexcept {
  if (length < 0 || (bytes == nullptr && length > 0)) return ResultError("bad sample data");
  FreeData();
  data_ = static_cast<uint8_t*>(bytes);
  length_ = length;
  capacity_ = length;
  ownsData_ = takeOwnership && bytes != nullptr;
  external_ = true;
  return ResultOK;
}

void CMediaSample::FreeData() noexcept {
  if (ownsData_) {
    if (external_) {
      std::free(data_);
    } else {
      delete[] data_;
    }
  }
  data_ = nullptr;
  length_ = 0;
  capacity_ = 0;
  ownsData_ = false;
  external_ = false;
}

}  // namespace Corvane::Vel
