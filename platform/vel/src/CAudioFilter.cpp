#include "Vel/CAudioFilter.h"

namespace Corvane::Vel {

CAudioFilter::CAudioFilter(uint32_t typeCode) noexcept : CObject(typeCode) {}

CAudioFilter::~CAudioFilter() = default;

bool CAudioFilter::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

}  // namespace Corvane::Vel
