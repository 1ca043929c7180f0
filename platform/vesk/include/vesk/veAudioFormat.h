#pragma once
#include <cstdint>

#include "tolm/zFourCC.h"
#include "vesk/veskExport.h"

// Audio sample formats (interleaved PCM) and their sizes. Pure functions of
// their arguments, callable from any thread.
struct VESK_EXPORT veAudioFormat {
  static constexpr uint32_t kSowt = zFourCC("sowt");  // s16 LE
  static constexpr uint32_t kTwos = zFourCC("twos");  // s16 BE
  static constexpr uint32_t kIn24 = zFourCC("in24");  // s24 BE packed
  static constexpr uint32_t k42ni = zFourCC("42ni");  // s24 LE packed
  static constexpr uint32_t kIn32 = zFourCC("in32");  // s32 BE
  static constexpr uint32_t k23ni = zFourCC("23ni");  // s32 LE
  static constexpr uint32_t k32ni = zFourCC("32ni");  // s32 LE
  static constexpr uint32_t kFl32 = zFourCC("fl32");  // f32 LE
  static constexpr uint32_t k23lf = zFourCC("23lf");  // f32 LE
  static constexpr uint32_t kFl64 = zFourCC("fl64");  // f64 LE

  // Bits of one sample (16, 24, 32 or 64); 0 for codes it does not know.
  static int32_t BitsPerSample(uint32_t format);
  // Bytes of `count` frames of `channels` interleaved channels. 0 for an
  // unknown format, 0 channels, or a size above INT32_MAX (sizes are handed
  // on as signed 32-bit values, so the signed limit applies here too).
  static uint32_t BytesForSamples(uint32_t format, uint8_t channels, uint32_t count);
};
