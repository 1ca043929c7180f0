#include "Vel/CAudioConverter.h"

#include <new>
#include <utility>

namespace Corvane::Vel {

CAudioConverter::CAudioConverter(uint32_t typeCode) noexcept : CAudioFilter(typeCode) {}

CAudioConverter::~CAudioConverter() = default;

bool CAudioConverter::IsType(uint32_t code) const noexcept {
  return code == kType || CAudioFilter::IsType(code);
}

Result CAudioConverter::SetInputFormat(const CContainerReaderAudioProperties& format) noexcept {
  if (started_) return ResultError("cannot change the input format while started");
  input_ = format.GetDescription();
  hasInput_ = true;
  return ResultOK;
}

Result CAudioConverter::Start() noexcept {
  if (started_) return ResultOK;
  if (!hasInput_) return ResultError("no input format");
  const int32_t frameBytes = OnStart(input_);
  if (frameBytes <= 0) return ResultError("input format not supported");
  inputFrameBytes_ = frameBytes;
  started_ = true;
  return ResultOK;
}

Result CAudioConverter::Stop() noexcept {
  pending_.Reset();
  if (started_) OnStop();
  started_ = false;
  inputFrameBytes_ = 0;
  return ResultOK;
}

CAudioSample* CAudioConverter::TakeFreeOutput() noexcept {
  for (RObject<CAudioSample>& slot : outputs_) {
    if (!slot) {
      slot = RObject<CAudioSample>::Adopt(new (std::nothrow) CAudioSample(0));
      return slot.Get();  // null when memory ran out
    }
    // Only this slot holds it: whoever had it before has let go.
    if (slot->GetReferenceCount() == 1) return slot.Get();
  }
  return nullptr;
}

Result CAudioConverter::PushSample(int input, CMediaSample* sample) noexcept {
  if (input != 0) return ResultError("no such input");
  if (!started_) return ResultError("not started");
  if (sample == nullptr) return ResultError("null sample");
  if (pending_) return ResultError("the previous block has not been pulled");
  const CLockedDataReference bytes = sample->GetLockedDataReference(CMediaSample::kAccessRead);
  if (bytes.IsEmpty()) return ResultError("empty sample");
  if (bytes.GetLength() % inputFrameBytes_ != 0) return ResultError("partial frame");
  const int32_t frames = bytes.GetLength() / inputFrameBytes_;

  RObject<CAudioSample> output = RObject<CAudioSample>::Retain(TakeFreeOutput());
  if (!output) {
    // Every kept sample is still held by a caller: this block gets its own.
    output = RObject<CAudioSample>::Adopt(new (std::nothrow) CAudioSample(0));
    if (!output) return ResultError("out of memory");
  }
  const Result converted = Convert(bytes.GetData(), frames, *output);
  if (converted.Failed()) return converted;
  pending_ = std::move(output);
  return ResultOK;
}

Result CAudioConverter::PullSample(int output, RObject<CMediaSample>& sample) noexcept {
  if (output != 0) return ResultError("no such output");
  if (!pending_) return ResultError("nothing converted");
  sample = std::move(pending_);
  pending_.Reset();
  return ResultOK;
}

Result CAudioConverter::SetFourProperty(uint32_t property, uint32_t value) noexcept {
  if (property != CodeBookProperty::MediaFilter::OutputFormat) return ResultNotSupported;
  if (started_) return ResultError("cannot change the output format while started");
  if (value != kOutputFormat) return ResultNotSupported("output is always 'sowt'");
  return ResultOK;
}

Result CAudioConverter::GetFourProperty(uint32_t property, uint32_t& value) const noexcept {
  if (property != CodeBookProperty::MediaFilter::OutputFormat) return ResultNotSupported;
  value = kOutputFormat;
  return ResultOK;
}

Result CAudioConverter::SetProperty(uint32_t, int64_t) noexcept { return ResultNotSupported; }

Result CAudioConverter::GetProperty(uint32_t, int64_t&) const noexcept {
  return ResultNotSupported;
}

}  // namespace Corvane::Vel
