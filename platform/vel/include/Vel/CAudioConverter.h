#pragma once
#include <array>
#include <cstdint>

#include "Vel/CAudioFilter.h"
#include "Vel/CAudioSample.h"
#include "Vel/CContainerReaderAudioProperties.h"
#include "Vel/RObject.h"
#include "Vel/Result.h"

namespace Corvane::Vel {

// Base of the converters in the component inventory: one block in, one block
// out, output always 'sowt'. It keeps the input description, the started
// state, the converted block waiting to be pulled, and a few output samples
// that it reuses once nobody else holds them, so a steady stream allocates
// nothing per block. A converter class supplies the three hooks below.
// Driven by one thread at a time, like every filter.
//
//   stopped --Start ok--> started --Stop--> stopped
//   started: Push --> output pending --Pull--> started
class VEL_EXPORT CAudioConverter : public CAudioFilter {
 public:
  static constexpr uint32_t kType = FourCC("acnv");
  static constexpr uint32_t kOutputFormat = FourCC("sowt");

  bool IsType(uint32_t code) const noexcept override;

  Result SetInputFormat(const CContainerReaderAudioProperties& format) noexcept override;
  // ResultOK when already started (nothing changes). ResultError when no input
  // description was given, or when OnStart rejects it.
  Result Start() noexcept override;
  Result Stop() noexcept override;
  // The sample's byte length must be a positive whole number of input
  // frames (channels x bytes per sample of the input format).
  Result PushSample(int input, CMediaSample* sample) noexcept override;
  Result PullSample(int output, RObject<CMediaSample>& sample) noexcept override;

  // OutputFormat: only 'sowt' is accepted (ResultNotSupported otherwise).
  Result SetFourProperty(uint32_t property, uint32_t value) noexcept override;
  Result GetFourProperty(uint32_t property, uint32_t& value) const noexcept override;
  // No integer properties here (ResultNotSupported); rate converters add theirs.
  Result SetProperty(uint32_t property, int64_t value) noexcept override;
  Result GetProperty(uint32_t property, int64_t& value) const noexcept override;

  bool IsStarted() const noexcept { return started_; }
  bool HasInputFormat() const noexcept { return hasInput_; }
  const AudioStreamDescription& GetInputDescription() const noexcept { return input_; }

 protected:
  explicit CAudioConverter(uint32_t typeCode) noexcept;
  ~CAudioConverter() override;

  // Checks `input` and prepares the stream; returns the bytes of one input
  // frame (> 0) when it can convert, or 0 to make Start fail.
  virtual int32_t OnStart(const AudioStreamDescription& input) noexcept = 0;
  // Drops the stream state made by OnStart. Called by Stop; a converter class
  // also frees that state in its own destructor, which the base cannot reach.
  virtual void OnStop() noexcept = 0;
  // Converts `frames` (> 0) whole input frames at `data` into `output`,
  // growing it with Reserve as needed and setting its length and frame count.
  // A failure leaves the stream as it was before the call.
  virtual Result Convert(const uint8_t* data, int32_t frames, CAudioSample& output) noexcept = 0;

 private:
  // An output sample that nobody but this converter holds, made on first need.
  CAudioSample* TakeFreeOutput() noexcept;

  // Output samples kept for reuse. Four covers a caller that holds the
  // previous block or two while the next is converted; beyond that each
  // extra block gets a fresh sample that is not kept.
  static constexpr int kReusedOutputs = 4;

  AudioStreamDescription input_;
  bool hasInput_ = false;
  bool started_ = false;
  int32_t inputFrameBytes_ = 0;        // set by a successful Start
  RObject<CMediaSample> pending_;      // converted, not yet pulled
  std::array<RObject<CAudioSample>, kReusedOutputs> outputs_;
};

}  // namespace Corvane::Vel
