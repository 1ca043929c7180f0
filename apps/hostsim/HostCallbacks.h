#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "kasp2/kasp2.h"

// The simulator's host callback table: counts every delivery that a renderer
// reports, and asks the producer for nothing (a host that records or
// monitors the input would ask for the buffer here). Reference counted like
// every host table: Make() returns the creator's reference. Callbacks arrive
// on the sources' delivery threads.
class HostCallbacks final : public kaSourcesPluginMethods {
 public:
  using Ptr = std::unique_ptr<HostCallbacks, zReleaseDeleter>;
  static Ptr Make();

  void VideoReceived(const std::string& rendererName, kaBuffer2Producer& producer) override;
  void AudioReceived(const std::string& rendererName, kaOptimizedBuffer2Producer& producer) override;

  uint64_t VideoCalls() const { return videoCalls_.load(std::memory_order_relaxed); }
  uint64_t AudioCalls() const { return audioCalls_.load(std::memory_order_relaxed); }

 private:
  HostCallbacks() = default;
  ~HostCallbacks() override = default;

  std::atomic<uint64_t> videoCalls_{0};
  std::atomic<uint64_t> audioCalls_{0};
};
