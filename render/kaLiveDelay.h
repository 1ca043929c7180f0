#pragma once
#include <cmath>
#include <cstdint>

// The live delay that a host may ask of a renderer, for video and audio
// alike. A delay is there to line a source up with a slower one (a satellite
// feed, a processing chain): seconds, not minutes. The ceiling keeps what a
// renderer must hold bounded whatever a host or plug-in asks: 10 s of
// 1080p60 video is 600 frames, of 64-channel audio 61 MB.
namespace kaLiveDelay {

inline constexpr double kMaxSeconds = 10.0;
inline constexpr int64_t kMaxMicros = 10'000'000;

// The delay a renderer applies for `seconds`: NaN, zero and negative values
// mean no delay, values above kMaxSeconds (infinity included) are held at
// kMaxSeconds.
inline double ClampSeconds(double seconds) {
  if (std::isnan(seconds) || seconds <= 0.0) return 0.0;
  return seconds < kMaxSeconds ? seconds : kMaxSeconds;
}

}  // namespace kaLiveDelay
