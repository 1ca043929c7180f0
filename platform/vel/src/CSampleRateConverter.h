#pragma once
#include <cstdint>

#include "Vel/CAudioConverter.h"
#include "Vel/CComponentFactory.h"

struct SwrContext;

namespace Corvane::Vel::detail {

// The built-in 'asrc' converter: 'sowt' interleaved audio at the input
// description's rate to 'sowt' at the rate of the SampleRate property, with
// the input's channel count (1...kMaxChannels). A stream: filter state is
// kept from block to block, so consecutive blocks join without gap or
// repeat; Stop ends the stream. After the first block (which is shorter by
// the filter's delay, under 1 ms at the usual rates) a steady input block
// size gives a steady output block size. Backed by libswresample.
class CSampleRateConverter final : public CAudioConverter {
 public:
  static constexpr uint32_t kComponentType = FourCC("asrc");
  // libswresample's own limit on channels per context.
  static constexpr int32_t kMaxChannels = 64;

  CSampleRateConverter() noexcept;
  bool IsType(uint32_t code) const noexcept override;

  // SampleRate: 1...CContainerReaderAudioProperties::kMaxSampleRate frames per
  // second; ResultError out of range or while started. Other ids as the base.
  Result SetProperty(uint32_t property, int64_t value) noexcept override;
  Result GetProperty(uint32_t property, int64_t& value) const noexcept override;

 protected:
  ~CSampleRateConverter() override;
  // Fails (0) without an output rate, for a format other than 'sowt', or
  // for a channel count or rate out of range.
  int32_t OnStart(const AudioStreamDescription& input) noexcept override;
  void OnStop() noexcept override;
  Result Convert(const uint8_t* data, int32_t frames, CAudioSample& output) noexcept override;

 private:
  int64_t outputRate_ = 0;     // 0 until the property is set
  int32_t channels_ = 0;
  SwrContext* swr_ = nullptr;  // owned; made by OnStart, freed by OnStop
};

// Registered in the converter inventory on its first use.
class CSampleRateConverterFactory final : public CComponentFactory<CAudioConverter> {
 public:
  uint32_t GetType() const noexcept override { return CSampleRateConverter::kComponentType; }
  CAudioConverter* CreateInstance() noexcept override;
};

}  // namespace Corvane::Vel::detail
