#include "render/kaLipSync.h"

#include <algorithm>
#include <cmath>

#include "render/kaLiveDelay.h"

namespace kaLipSync {

namespace {

double FiniteOrZero(double value) { return std::isfinite(value) ? value : 0.0; }
double NonNegative(double value) { return std::max(0.0, FiniteOrZero(value)); }
bool IsDuration(double value) { return std::isfinite(value) && value > 0.0; }

}  // namespace

double VideoCueLatency(double outputPeriod, double frameDuration) {
  const bool period = IsDuration(outputPeriod);
  const bool frame = IsDuration(frameDuration);
  if (!period && !frame) return 0.0;
  if (!period) return frameDuration / 2.0;
  if (!frame) return outputPeriod / 2.0;
  return std::min(outputPeriod, frameDuration) / 2.0;
}

// Sound path: audioCueLatency + audio delay; picture path: video delay +
// videoCueLatency. The sound is to come soundOffset after the picture:
//   audioLatency = videoDelay' + videoCueLatency + soundOffset
// with videoDelay' the asked delay, raised until the sound path, whose
// shortest is the audio cue latency, can reach that.
Plan Align(double videoDelay, double soundOffset, double audioCueLatency, double videoCueLatency) {
  const double asked = kaLiveDelay::ClampSeconds(videoDelay);
  const double offset = FiniteOrZero(soundOffset);
  const double audio = std::max(kMinAudioCueLatency, FiniteOrZero(audioCueLatency));
  const double wait = NonNegative(videoCueLatency);

  Plan plan;
  plan.exact = !(videoDelay > kaLiveDelay::kMaxSeconds);
  double delay = std::max(asked, audio - wait - offset);
  if (delay > kaLiveDelay::kMaxSeconds) {
    delay = kaLiveDelay::kMaxSeconds;
    plan.exact = false;
  }
  double latency = delay + wait + offset;
  const double ceiling = kaLiveDelay::kMaxSeconds + audio;
  if (latency > ceiling) {
    latency = ceiling;
    plan.exact = false;
  }
  // Only a video delay held at its ceiling (already inexact) leaves the sound
  // unable to come early enough; otherwise this only undoes rounding.
  if (latency < audio) latency = audio;
  plan.videoDelay = delay;
  plan.audioLatency = latency;
  return plan;
}

}  // namespace kaLipSync
