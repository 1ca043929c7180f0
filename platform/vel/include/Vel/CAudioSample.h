#pragma once
#include <cstdint>

#include "Vel/CMediaSample.h"

namespace Corvane::Vel {

// A media sample holding a block of interleaved audio frames. The frame count
// is stated by whoever fills the sample; the converters read how much audio
// there is from the byte length and their input description, and set both on
// their outputs. Same ownership and threading rules as CMediaSample.
class VEL_EXPORT CAudioSample : public CMediaSample {
 public:
  static constexpr uint32_t kType = FourCC("asmp");

  // A negative frame count is taken as 0.
  explicit CAudioSample(int32_t frameCount, uint32_t typeCode = kType) noexcept;
  bool IsType(uint32_t code) const noexcept override;

  int32_t GetFrameCount() const noexcept { return frameCount_; }
  // A negative count is taken as 0.
  void SetFrameCount(int32_t frameCount) noexcept { frameCount_ = frameCount < 0 ? 0 : frameCount; }

 protected:
  ~CAudioSample() override;

 private:
  int32_t frameCount_;
};

}  // namespace Corvane::Vel
