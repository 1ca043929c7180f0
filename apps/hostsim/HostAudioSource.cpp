#include "HostAudioSource.h"

#include <cmath>
#include <cstdio>

namespace {

ToneGenerator::Settings ToneSettings(const AudioSourceOptions& options) {
  ToneGenerator::Settings settings;
  settings.format = options.format;
  settings.sampleRate = options.sampleRate;
  settings.channels = options.channels;
  settings.ppm = options.ppm;
  settings.frequency = HostAudioSource::kToneFrequency;
  settings.secondFrequency = HostAudioSource::kSecondToneFrequency;
  settings.amplitude = HostAudioSource::kToneAmplitude;
  const bool reachesCueUnchanged =
      options.sampleRate == kaPluginAudioRenderer::kWorkingSampleRate && !options.driftCorrection;
  settings.waveform = reachesCueUnchanged ? ToneGenerator::Waveform::kCounter : ToneGenerator::Waveform::kSine;
  if (options.toneHz > 0.0) {  // one sine at the asked level, for measurements of what a listener hears
    settings.waveform = ToneGenerator::Waveform::kSine;
    settings.frequency = options.toneHz;
    settings.secondFrequency = 0.0;
    settings.amplitude = std::pow(10.0, options.toneLevelDbfs / 20.0);
  }
  return settings;
}

// "A1" for index 0. Formatted rather than concatenated: GCC 12 at -O3 takes
// "A" + std::to_string(...) for an overlapping copy (-Wrestrict).
std::string SourceName(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "A%d", index + 1);
  return name;
}

}  // namespace

HostAudioSource::HostAudioSource(int index, const AudioSourceOptions& options, int tolerancePeriods,
                                 kaBufferGroup2& group, kaSourcesPluginMethods& host)
    : name_(SourceName(index)),
      options_(options),
      generator_(ToneSettings(options)),
      renderer_(SampleAudioRenderer::Make(name_ + " " + options.text, group, host)) {
  if (!renderer_ || !generator_.IsUsable()) return;
  // The largest block: a 10 ms block of the fast clock, rounded up, plus the
  // frame that the carried fraction may add.
  const double framesPerBlock =
      options.sampleRate * (1.0 + std::fabs(options.ppm) * 1e-6) * static_cast<double>(kBlockMicros) / 1e6;
  block_.assign((static_cast<size_t>(std::ceil(framesPerBlock)) + 2) * static_cast<size_t>(generator_.BytesPerFrame()),
                0);
  renderer_->SetTolerancePeriods(tolerancePeriods);
  renderer_->SetDriftCorrectionEnabled(options.driftCorrection);
  renderer_->SetDriftCorrectionMode(options.smoothDrift ? kaPluginAudioRenderer::DriftCorrectionMode::kSmooth
                                                        : kaPluginAudioRenderer::DriftCorrectionMode::kStep);
  renderer_->SetLipSyncLatency(options.lipSyncLatency);
  if (options.delaySeconds > 0.0) {
    void* delay = nullptr;
    if (renderer_->QueryInterface("kaXIAudioLiveDelay", &delay) == 0 && delay) {
      auto* liveDelay = static_cast<kaXIAudioLiveDelay*>(delay);
      liveDelay->SetAudioDelay(options.delaySeconds);
      liveDelay->Release();
    }
  }
}

AudioStreamChecker::Tone HostAudioSource::HeardTone() const {
  const ToneGenerator::Settings& signal = generator_.GetSettings();
  AudioStreamChecker::Tone tone{signal.frequency, signal.secondFrequency, signal.amplitude};
  if (options_.driftCorrection && options_.smoothDrift) {
    const double heard = 1.0 + options_.ppm * 1e-6;
    tone.frequency *= heard;
    tone.secondFrequency *= heard;
    tone.settleSeconds = kSmoothSettleSeconds;
    tone.continuous = true;
  }
  return tone;
}

void HostAudioSource::Step() {
  lateness_.Record(NextDueMicros(), zTime::MicroNow());
  ++blocks_;
  const int32_t frames = generator_.FramesForInterval(kBlockMicros);
  const int64_t first = generator_.FramesGenerated();
  const int32_t bytes = generator_.Generate(frames, block_.data(), static_cast<int64_t>(block_.size()));
  if (bytes <= 0) return;
  const veTimeRange range{options_.sampleRate, static_cast<uint64_t>(first), options_.sampleRate,
                          static_cast<uint64_t>(frames)};
  renderer_->Deliver(range, block_.data(), bytes, options_.sampleRate, options_.channels,
                     static_cast<int>(options_.format));
  framesDelivered_.fetch_add(static_cast<uint64_t>(frames), std::memory_order_relaxed);
  deliveredBlocks_.fetch_add(1, std::memory_order_relaxed);
}
