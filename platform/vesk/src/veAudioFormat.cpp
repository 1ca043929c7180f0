#include "vesk/veAudioFormat.h"

#include <cstdint>

int32_t veAudioFormat::BitsPerSample(uint32_t format) {
  switch (format) {
    case kSowt:
    case kTwos:
      return 16;
    case kIn24:
    case k42ni:
      return 24;
    case kIn32:
    case k23ni:
    case k32ni:
    case kFl32:
    case k23lf:
      return 32;
    case kFl64:
      return 64;
    default:
      return 0;
  }
}

uint32_t veAudioFormat::BytesForSamples(uint32_t format, uint8_t channels, uint32_t count) {
  const int32_t bits = BitsPerSample(format);
  if (bits <= 0 || channels == 0) return 0;
  // bytes per frame is at most 8 × 255, so the product fits in 64 bits.
  const uint64_t bytes = static_cast<uint64_t>(bits / 8) * channels * count;
  return bytes > static_cast<uint64_t>(INT32_MAX) ? 0 : static_cast<uint32_t>(bytes);
}
