#pragma once
#include <atomic>
#include <cstdint>

#include "kasp2/kasp2.h"

// How late one source's delivery steps ran against their due times: the
// latest and how many ran a stall late. A delivery thread that the machine
// starves (another program, no real-time scheduling) shows here, apart from
// any fault of the library. The delivery thread records; any thread reads.
// On the simulated clock every step runs at its due time: both stay 0.
class DeliveryLateness {
 public:
  // Two output periods: a delivery this late has missed two cues' worth of
  // the reader's slack, whatever the source's block or frame length.
  static constexpr int64_t kStallMicros = 2 * kaPluginAudioRenderer::kPeriodTimeMicros;

  // A step due at `dueMicros` ran at `nowMicros` (foundation clock).
  void Record(int64_t dueMicros, int64_t nowMicros) {
    const int64_t late = nowMicros - dueMicros;
    if (late > maxMicros_.load(std::memory_order_relaxed)) maxMicros_.store(late, std::memory_order_relaxed);
    if (late > kStallMicros) stalls_.fetch_add(1, std::memory_order_relaxed);
  }

  int64_t MaxMicros() const { return maxMicros_.load(std::memory_order_relaxed); }
  uint64_t Stalls() const { return stalls_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> maxMicros_{0};  // written by the delivery thread only
  std::atomic<uint64_t> stalls_{0};
};
