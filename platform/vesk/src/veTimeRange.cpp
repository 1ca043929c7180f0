#include "vesk/veTimeRange.h"

#include "tolm/zRecord.h"
#include "vesk/veMediaRecord.h"

void veTimeRange::WriteTo(zRecord& record) const {
  // A setter fails only when memory is short; the range is then partly
  // written, which readers see as a missing key and handle by their defaults.
  if (timeScale != 0) {
    (void)record.SetInt64(veKeyTimeScale, timeScale);
    (void)record.SetUInt64(veKeyTime, time);
    if (durationScale == timeScale) (void)record.SetUInt64(veKeyDuration, duration);
  } else if (durationScale != 0) {
    // No time of its own: the duration alone, in its own scale.
    (void)record.SetInt64(veKeyTimeScale, durationScale);
    (void)record.SetUInt64(veKeyDuration, duration);
  }
}
