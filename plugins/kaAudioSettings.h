#pragma once
#include <cstdint>

#include "foundation/kaExport.h"

// Defaults of the host's audio routing settings. Pure functions of their
// arguments, callable from any thread.
class KASP2_EXPORT kaAudioSettings {
 public:
  // Bus indices that carry a channel-to-bus mapping quad.
  static constexpr unsigned int kBusCount = 4;

  // The default mapping quad of bus `bus` (0 ... 3): four 16-bit lanes that
  // each hold 1, 0x0001000100010001. A cued audio buffer carries a bus's quad
  // only when it differs from this value. A bus beyond the table has no
  // default: the result is 0.
  static constexpr uint64_t DefaultChannelBusMapQuad(unsigned int bus) {
    return bus < kBusCount ? defaultValues[bus] : 0;
  }

 private:
  static constexpr uint64_t defaultValues[kBusCount] = {0x0001000100010001ULL, 0x0001000100010001ULL,
                                                         0x0001000100010001ULL, 0x0001000100010001ULL};
};
