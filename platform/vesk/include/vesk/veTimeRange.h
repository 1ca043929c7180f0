#pragma once
#include <cstdint>

#include "vesk/veskExport.h"

class zRecord;

// Time range of delivered media: a time in time-scale units and a duration in
// duration-scale units. Plain data (four 64-bit words).
struct VESK_EXPORT veTimeRange {
  int64_t timeScale = 0;
  uint64_t time = 0;
  int64_t durationScale = 0;
  uint64_t duration = 0;

  // Writes the range into a record: a non-zero time scale gives "tmsc" and
  // "mtim", and "dura" too when the duration scale equals the time scale;
  // otherwise a non-zero duration scale gives "tmsc" (the duration scale) and
  // "dura". A range with both scales 0 writes nothing.
  void WriteTo(zRecord& record) const;

  bool operator==(const veTimeRange&) const = default;
};
