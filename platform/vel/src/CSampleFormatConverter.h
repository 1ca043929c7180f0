#pragma once
#include <cstdint>

#include "Vel/CAudioConverter.h"
#include "Vel/CComponentFactory.h"

struct SwrContext;

namespace Corvane::Vel::detail {

// The built-in 'afc ' converter: interleaved PCM in any of the formats below
// and any channel count, to 'sowt' (16-bit signed little-endian) at the same
// rate and channel count. Integers keep their high 16 bits; floats are scaled
// by 32768, rounded to nearest (halves to even) and saturated. Output
// samples and the resampler context are made at Start and reused.
//
//   'sowt' s16 LE   'twos' s16 BE   'in24' s24 BE   '42ni' s24 LE
//   'in32' s32 BE   '23ni' '32ni' s32 LE   'fl32' '23lf' f32 LE   'fl64' f64 LE
class CSampleFormatConverter final : public CAudioConverter {
 public:
  static constexpr uint32_t kComponentType = FourCC("afc ");

  CSampleFormatConverter() noexcept;
  bool IsType(uint32_t code) const noexcept override;

  // Bytes of one sample of `formatCode`, or 0 when the converter cannot read it.
  static int32_t BytesPerSample(uint32_t formatCode) noexcept;

 protected:
  ~CSampleFormatConverter() override;
  int32_t OnStart(const AudioStreamDescription& input) noexcept override;
  void OnStop() noexcept override;
  Result Convert(const uint8_t* data, int32_t frames, CAudioSample& output) noexcept override;

 private:
  uint32_t format_ = 0;
  int32_t channels_ = 0;
  SwrContext* swr_ = nullptr;  // only for s32 LE input; owned, freed by OnStop
};

// Registered in the converter inventory on its first use.
class CSampleFormatConverterFactory final : public CComponentFactory<CAudioConverter> {
 public:
  uint32_t GetType() const noexcept override { return CSampleFormatConverter::kComponentType; }
  CAudioConverter* CreateInstance() noexcept override;
};

}  // namespace Corvane::Vel::detail
