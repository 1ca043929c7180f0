#include "SampleAudioRenderer.h"

#include <new>

SampleAudioRenderer::Ptr SampleAudioRenderer::Make(const std::string& name, kaBufferGroup2& group,
                                                   kaSourcesPluginMethods& methods) {
  return Ptr(new (std::nothrow) SampleAudioRenderer(name, group, methods));
}

int32_t SampleAudioRenderer::Cue(kaBuffer2** out, const ka_renderer_params& params) {
  // The renderer's lock is re-entrant: holding it across the library's cue
  // makes the before/after look at the priming flag one atomic step.
  zCriticalGuard guard(rendererLock);
  const bool wasPrimed = readPrimed;
  const int64_t primeTimeBefore = primeTime;
  const int32_t baseBefore = readBase;
  const int32_t result = kaPluginAudioRenderer::Cue(out, params, 0, TolerancePeriods());
  // A cue that pins a base may give it up again at once (too much backlog
  // for the tolerance); the new prime time or base still shows it.
  if (!wasPrimed && (readPrimed || primeTime != primeTimeBefore || readBase != baseBefore)) {
    primeCount_.fetch_add(1, std::memory_order_relaxed);
  }
  return result;
}

void SampleAudioRenderer::SetTolerancePeriods(int periods) {
  tolerancePeriods_.store(periods < 1 ? 1 : periods, std::memory_order_relaxed);
}

void SampleAudioRenderer::Deliver(const veTimeRange& range, void* data, int byteCount, int sampleRate, int channels,
                                  int format) {
  OnReceive(range, data, byteCount, sampleRate, channels, format);
  if (!driftDetector) return;
  // A restarted measurement starts its total and its delivery count at 0.
  if (driftDetector->DeliveryCount() < lastDeliveryCount_) lastTotalAdjustment_ = 0;
  lastDeliveryCount_ = driftDetector->DeliveryCount();
  const long long total = driftDetector->TotalAdjustment();
  const long long step = total - lastTotalAdjustment_;
  lastTotalAdjustment_ = total;
  if (step == 1) driftStretches_.fetch_add(1, std::memory_order_relaxed);
  if (step == -1) driftShrinks_.fetch_add(1, std::memory_order_relaxed);
}

void SampleAudioRenderer::LogDriftStatistics() {
  if (driftDetector) driftDetector->LogStats();
}
