#include "plugins/kaPluginAudioRenderer.h"

#include <cmath>
#include <new>

#include "Vel/CAudioFilter.h"
#include "render/kaLiveDelay.h"

kaPluginAudioRenderer::kaPluginAudioRenderer(const std::string& name, kaBufferGroup2& group,
                                             kaSourcesPluginMethods& methods)
    : kaPluginRenderer(name, group, methods), ringBuffer(kRingCapacityBytes, true) {
  // A renderer without its ring would take audio and play silence: it fails
  // to exist instead, as it would had its own memory been short.
  if (ringBuffer.Capacity() == 0) throw std::bad_alloc();
  for (unsigned int bus = 0; bus < kaAudioSettings::kBusCount; ++bus) {
    busMappingQuads[bus].store(kaAudioSettings::DefaultChannelBusMapQuad(bus), std::memory_order_relaxed);
  }
  // Interned now so that no cue pays for it.
  InputChannelSelectionKey();
}

kaPluginAudioRenderer::~kaPluginAudioRenderer() {
  FlushAudio();
  // The members then go in reverse order of declaration: the smooth
  // correction's resampler and tracker, the ring, the drift detector (which
  // logs its final statistics), the step resampler, and the
  // converter handles, already emptied by the flush.
}

int32_t kaPluginAudioRenderer::QueryInterface(const char* name, void** out) {
  return Concrete_QueryInterface(name, out);
}

int32_t kaPluginAudioRenderer::AddRef() { return Concrete_AddRef(); }

int32_t kaPluginAudioRenderer::Release() { return Concrete_Release(); }

int32_t kaPluginAudioRenderer::Concrete_QueryInterface(const char* name, void** out) {
  if (out) *out = nullptr;
  if (CompareInterfaceName(name, "kaXIAudioLiveDelay")) {
    return GetInterface(static_cast<kaXIAudioLiveDelay*>(this), out);
  }
  return -1;
}

void kaPluginAudioRenderer::SetAudioRecord(veMediaRecord& record) {
  record.SetMediaType(veMediaTypeAudio);
  record.SetSampleRate(kWorkingSampleRate);
  record.SetChannelBuffers(1);
  record.SetChannels(numChannels.load(std::memory_order_relaxed));
  record.SetBitsPerSample(kWorkingBitsPerSample);
}

void kaPluginAudioRenderer::SetAudioDelay(double seconds) {
  audioDelay.store(kaLiveDelay::ClampSeconds(seconds), std::memory_order_relaxed);
}

double kaPluginAudioRenderer::GetAudioDelay() const { return audioDelay.load(std::memory_order_relaxed); }

void kaPluginAudioRenderer::SetInputChannelSelection(int selection) {
  inputChannelSelection.store(selection, std::memory_order_relaxed);
}

int kaPluginAudioRenderer::GetInputChannelSelection() const {
  return inputChannelSelection.load(std::memory_order_relaxed);
}

void kaPluginAudioRenderer::SetMonitorSelection(int selection) {
  monitorSelection.store(selection, std::memory_order_relaxed);
}

int kaPluginAudioRenderer::GetMonitorSelection() const { return monitorSelection.load(std::memory_order_relaxed); }

void kaPluginAudioRenderer::SetBusMappingQuad(int bus, unsigned long long quad) {
  if (bus < 0 || static_cast<unsigned int>(bus) >= kaAudioSettings::kBusCount) return;
  busMappingQuads[bus].store(quad, std::memory_order_relaxed);
}

bool kaPluginAudioRenderer::GetBusMappingQuad(int bus, unsigned long long* quad) const {
  if (!quad || bus < 0 || static_cast<unsigned int>(bus) >= kaAudioSettings::kBusCount) return false;
  *quad = busMappingQuads[bus].load(std::memory_order_relaxed);
  return true;
}

void kaPluginAudioRenderer::SetChangingResolution(bool changing) {
  changingResolution.store(changing, std::memory_order_relaxed);
  if (!changing) resolutionChangePending.store(true, std::memory_order_relaxed);
}

void kaPluginAudioRenderer::SetDriftCorrectionEnabled(bool enabled) {
  driftCorrectionEnabled.store(enabled, std::memory_order_relaxed);
}

bool kaPluginAudioRenderer::IsDriftCorrectionEnabled() const {
  return driftCorrectionEnabled.load(std::memory_order_relaxed);
}

void kaPluginAudioRenderer::SetDriftCorrectionMode(DriftCorrectionMode mode) {
  // A value outside the enumeration (cast from an integer) changes nothing.
  if (mode != DriftCorrectionMode::kStep && mode != DriftCorrectionMode::kSmooth) return;
  driftCorrectionMode_.store(mode, std::memory_order_relaxed);
}

kaPluginAudioRenderer::DriftCorrectionMode kaPluginAudioRenderer::GetDriftCorrectionMode() const {
  return driftCorrectionMode_.load(std::memory_order_relaxed);
}

kaPluginAudioRenderer::SmoothDriftStatus kaPluginAudioRenderer::GetSmoothDriftStatus() const {
  SmoothDriftStatus status;
  status.ratio = smoothRatio_.load(std::memory_order_relaxed);
  status.peakLevelError = smoothPeakLevelError_.load(std::memory_order_relaxed);
  status.restarts = smoothRestarts_.load(std::memory_order_relaxed);
  return status;
}

int kaPluginAudioRenderer::GetNumChannels() const { return numChannels.load(std::memory_order_relaxed); }

void kaPluginAudioRenderer::SetLipSyncLatency(double seconds) {
  constexpr double kCeiling = kaLiveDelay::kMaxSeconds + static_cast<double>(kPrimeFrames) / kWorkingSampleRate;
  const double clamped = std::isnan(seconds) || seconds <= 0.0 ? 0.0 : (seconds < kCeiling ? seconds : kCeiling);
  lipSyncLatency_.store(clamped, std::memory_order_relaxed);
}

double kaPluginAudioRenderer::GetLipSyncLatency() const { return lipSyncLatency_.load(std::memory_order_relaxed); }

double kaPluginAudioRenderer::GetCueLatency() const {
  const int64_t micros = cueLatencyMicros_.load(std::memory_order_relaxed);
  return micros < 0 ? -1.0 : static_cast<double>(micros) / 1e6;
}

void kaPluginAudioRenderer::FlushAudio() {
  // Stop results are not looked at: a converter that will not stop is
  // released all the same.
  if (rateConverter) {
    rateConverter->Stop();
    rateConverter.Reset();
  }
  if (formatConverter) {
    formatConverter->Stop();
    formatConverter.Reset();
  }

  // Every accepted block has 1 ... kMaxChannels channels, so the frame size
  // is never 0.
  const uint32_t frameBytes = static_cast<uint32_t>(numChannels.load(std::memory_order_relaxed)) * 2u;
  if (frameBytes == 0) return;
  const uint32_t remainder = kRingCapacityBytes % frameBytes;
  if (remainder != 0) ringBuffer.SetWrapBufferSize(kRingCapacityBytes - remainder);
}
