#include "LipSync.h"

#include <cmath>

#include "HostAudioSource.h"
#include "HostEngine.h"
#include "kasp2/kasp2.h"

void AlignSourcePairs(HostSimOptions& options) {
  for (const SourcePair& pair : options.pairs) {
    if (static_cast<size_t>(pair.video) >= options.video.size() ||
        static_cast<size_t>(pair.audio) >= options.audio.size()) {
      continue;
    }
    VideoSourceOptions& video = options.video[static_cast<size_t>(pair.video)];
    AudioSourceOptions& audio = options.audio[static_cast<size_t>(pair.audio)];
    video.ppm = audio.ppm;
    if (!pair.align) continue;
    const double frameDuration = static_cast<double>(video.frameDuration) / static_cast<double>(video.timeScale);
    // The sound path: the prime distance, plus up to one block that the
    // writer may have been quiet when the cue primed.
    const double audioEstimate =
        kaLipSync::kMinAudioCueLatency + static_cast<double>(HostAudioSource::kBlockMicros) / 1e6;
    const kaLipSync::Plan plan =
        kaLipSync::Align(video.delaySeconds, audio.delaySeconds, audioEstimate,
                         kaLipSync::VideoCueLatency(1.0 / HostEngine::kCuesPerSecond, frameDuration));
    video.delaySeconds = plan.videoDelay;
    audio.delaySeconds = 0.0;
    audio.lipSyncLatency = plan.audioLatency;
  }
}

void LipSyncMeter::Add(double offsetMs) {
  if (!std::isfinite(offsetMs)) return;
  const uint64_t count = count_.load(std::memory_order_relaxed);
  if (count == 0 || offsetMs < min_.load(std::memory_order_relaxed)) min_.store(offsetMs, std::memory_order_relaxed);
  if (count == 0 || offsetMs > max_.load(std::memory_order_relaxed)) max_.store(offsetMs, std::memory_order_relaxed);
  sum_.store(sum_.load(std::memory_order_relaxed) + offsetMs, std::memory_order_relaxed);
  count_.store(count + 1, std::memory_order_relaxed);
}

double LipSyncMeter::AverageMs() const {
  const uint64_t count = Count();
  return count ? sum_.load(std::memory_order_relaxed) / static_cast<double>(count) : 0.0;
}

bool LipSyncMeter::Within(double maxEarlyMs, double maxLateMs) const {
  return Count() > 0 && MinMs() >= -maxEarlyMs && MaxMs() <= maxLateMs;
}

double LipSyncOffsetMs(double frameSeconds, double soundSeconds, double patternSeconds) {
  double offset = frameSeconds - soundSeconds;
  if (patternSeconds > 0.0) offset -= patternSeconds * std::round(offset / patternSeconds);
  return offset * 1000.0;
}
