#pragma once
#include <cstdint>

#include "Vel/CContainerReaderAudioProperties.h"
#include "Vel/CMediaSample.h"
#include "Vel/CObject.h"
#include "Vel/IProperties.h"
#include "Vel/RObject.h"
#include "Vel/Result.h"

namespace Corvane::Vel {

// An audio processing component: configured through IProperties and an input
// description, started, then fed with samples on input 0 and drained on
// output 0. One thread drives a filter at a time (the caller serialises);
// samples pushed in are read during the call and not kept.
class VEL_EXPORT CAudioFilter : public CObject, public IProperties {
 public:
  static constexpr uint32_t kType = FourCC("afil");

  bool IsType(uint32_t code) const noexcept override;

  // Copies the input description. ResultError while started (nothing changes).
  virtual Result SetInputFormat(const CContainerReaderAudioProperties& format) noexcept = 0;
  // Checks the configuration and prepares to convert. ResultError when the
  // input description is missing or unusable; the filter then stays stopped.
  virtual Result Start() noexcept = 0;
  // Ends the stream: pending output and stream state are dropped. Always
  // succeeds; a later Start begins a fresh stream.
  virtual Result Stop() noexcept = 0;
  // Converts one block. ResultError, with the filter unchanged, for an index
  // other than 0, a null or malformed sample, a stopped filter, or a block
  // whose output has not been pulled yet.
  virtual Result PushSample(int input, CMediaSample* sample) noexcept = 0;
  // Hands out the block converted by the last push. ResultError, with
  // `sample` unchanged, for an index other than 0 or when nothing is pending.
  virtual Result PullSample(int output, RObject<CMediaSample>& sample) noexcept = 0;

 protected:
  explicit CAudioFilter(uint32_t typeCode = kType) noexcept;
  ~CAudioFilter() override;
};

}  // namespace Corvane::Vel
