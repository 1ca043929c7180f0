#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "kasp2/kasp2.h"

// The audio renderer of the sample audio source plug-in: the concrete class
// that the library's abstract kaPluginAudioRenderer asks a plug-in to write.
// It names its kind, leads the host's Cue to the library's four-argument Cue
// with the plug-in's tolerance, and keeps a few counters that a host shows:
// how often the cue path pinned its read base, how many drift corrections
// the receive path made, how much audio waits in the ring.
// Made with Make(), which returns the creator's reference in a Ptr. Threads:
// one delivery thread calls Deliver; host threads call Cue and the setters.
class SampleAudioRenderer final : public kaPluginAudioRenderer {
 public:
  static constexpr uint32_t kKind = zFourCC("saud");
  // Cue periods of writer silence and of backlog that a cue tolerates.
  static constexpr int kDefaultTolerancePeriods = 3;
  using Ptr = std::unique_ptr<SampleAudioRenderer, zReleaseDeleter>;

  // An empty Ptr when memory is short.
  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  uint32_t RendererKind() const override { return kKind; }

  // The host's cue: one period of working-format audio for params.cueTime
  // through the library's Cue with TolerancePeriods(). Counts a prime when
  // this cue pinned a new read base.
  using kaPluginAudioRenderer::Cue;
  int32_t Cue(kaBuffer2** out, const ka_renderer_params& params) override;

  // Values below 1 are taken as 1. Any thread; the next cue uses it.
  void SetTolerancePeriods(int periods);
  int TolerancePeriods() const { return tolerancePeriods_.load(std::memory_order_relaxed); }

  // ---- plug-in side (delivery thread) -------------------------------------
  // Hands one block to the renderer (OnReceive) and then counts the drift
  // correction it made, if any.
  void Deliver(const veTimeRange& range, void* data, int byteCount, int sampleRate, int channels, int format);
  // Writes the drift detector's statistics line to the trace log (nothing
  // when drift correction never ran). Not while a delivery is in progress.
  void LogDriftStatistics();

  // ---- observers (any thread) -----------------------------------------------
  // Times a cue pinned a read base (the first start and every re-prime).
  uint64_t PrimeCount() const { return primeCount_.load(std::memory_order_relaxed); }
  // Drift corrections made so far: blocks stretched by one frame (the source
  // ran slow) and blocks shrunk by one frame (it ran fast).
  uint64_t DriftStretches() const { return driftStretches_.load(std::memory_order_relaxed); }
  uint64_t DriftShrinks() const { return driftShrinks_.load(std::memory_order_relaxed); }
  // Bytes between the last cue's read position and the writer: the audio
  // that waits in the ring (the period just cued included).
  uint32_t BacklogBytes() { return ringBuffer.AvailableData(); }

 private:
  SampleAudioRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginAudioRenderer(name, group, methods) {}
  ~SampleAudioRenderer() override = default;

  std::atomic<int> tolerancePeriods_{kDefaultTolerancePeriods};
  std::atomic<uint64_t> primeCount_{0};
  std::atomic<uint64_t> driftStretches_{0};
  std::atomic<uint64_t> driftShrinks_{0};
  // Delivery thread: the detector's running total and delivery count after
  // the previous block, to tell a new correction from a restarted measurement.
  long long lastTotalAdjustment_ = 0;
  unsigned long long lastDeliveryCount_ = 0;
};
