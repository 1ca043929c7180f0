#include "Vel/CAudioSample.h"

namespace Corvane::Vel {

CAudioSample::CAudioSample(int32_t frameCount, uint32_t typeCode) noexcept
    : CMediaSample(typeCode), frameCount_(frameCount < 0 ? 0 : frameCount) {}

CAudioSample::~CAudioSample() = default;

bool CAudioSample::IsType(uint32_t code) const noexcept {
  return code == kType || CMediaSample::IsType(code);
}

}  // namespace Corvane::Vel
