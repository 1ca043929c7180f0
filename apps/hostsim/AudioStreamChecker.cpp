#include "AudioStreamChecker.h"

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "ToneGenerator.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// A period whose fitted tone is this far from the generated amplitude holds
// something other than the tone (a drop-in of silence, garbage).
constexpr double kAmplitudeTolerance = 0.1;

double WrapPhase(double radians) {
  double wrapped = std::fmod(radians + std::numbers::pi, kTwoPi);
  if (wrapped < 0) wrapped += kTwoPi;
  return wrapped - std::numbers::pi;
}

bool IsSilent(const int16_t* samples, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (samples[i] != 0) return false;
  }
  return true;
}

}  // namespace

AudioStreamChecker::AudioStreamChecker(Mode mode, double frequency, double amplitude, int32_t outputRate)
    : mode_(mode),
      frequency_(frequency),
      expectedAmplitude_(amplitude * 32768.0),
      outputRate_(outputRate > 0 ? outputRate : 1),
      omega_(kTwoPi * frequency / outputRate_) {}

void AudioStreamChecker::AddPeriod(const int16_t* samples, int32_t frames, int32_t channels, bool newReadBase) {
  ++counts_.periods;
  if (!samples || frames <= 0 || channels <= 0) return;
  if (IsSilent(samples, static_cast<int64_t>(frames) * channels)) {
    if (counts_.started) {
      ++counts_.silentAfterStart;
    } else {
      ++counts_.silentBeforeStart;
    }
    return;
  }
  const bool reprime = newReadBase && counts_.started;
  if (reprime) ++counts_.reprimes;
  counts_.started = true;
  if (mode_ == Mode::kCounter) {
    CheckCounter(samples, frames, channels, reprime);
  } else {
    CheckSine(samples, frames, channels, reprime);
  }
}

void AudioStreamChecker::CheckCounter(const int16_t* samples, int32_t frames, int32_t channels, bool reprime) {
  if (reprime) haveExpected_ = false;
  bool corrupt = false;
  for (int32_t f = 0; f < frames; ++f) {
    const int16_t* frame = samples + static_cast<int64_t>(f) * channels;
    // Silent frames inside a sounding period lead in to the first sound (a
    // live delay reaching back before it); the counter never makes them.
    if (IsSilent(frame, channels)) {
      if (haveExpected_) corrupt = true;
      continue;
    }
    int32_t position = 0;
    bool agree = ToneGenerator::CounterPosition(frame[0], 0, &position);
    for (int32_t c = 1; c < channels && agree; ++c) {
      int32_t other = 0;
      agree = ToneGenerator::CounterPosition(frame[c], c, &other) && other == position;
    }
    if (!agree) {
      // It stands in for the frame expected here.
      corrupt = true;
      if (haveExpected_) expected_ = (expected_ + 1) % ToneGenerator::kCounterPeriod;
      continue;
    }
    if (haveExpected_ && position != expected_) {
      // The shorter way round the counter's period.
      int32_t jump = position - expected_;
      if (jump > ToneGenerator::kCounterPeriod / 2) jump -= ToneGenerator::kCounterPeriod;
      if (jump < -ToneGenerator::kCounterPeriod / 2) jump += ToneGenerator::kCounterPeriod;
      if (jump > 0) {
        counts_.lostFrames += static_cast<uint64_t>(jump);
      } else {
        counts_.repeatedFrames += static_cast<uint64_t>(-jump);
      }
    }
    haveExpected_ = true;
    expected_ = (position + 1) % ToneGenerator::kCounterPeriod;
  }
  if (corrupt) ++counts_.corruptPeriods;
}

void AudioStreamChecker::PrepareFit(int32_t frames) {
  sin_.resize(static_cast<size_t>(frames));
  cos_.resize(static_cast<size_t>(frames));
  double ss = 0, sc = 0, cc = 0;
  for (int32_t j = 0; j < frames; ++j) {
    sin_[j] = std::sin(omega_ * j);
    cos_[j] = std::cos(omega_ * j);
    ss += sin_[j] * sin_[j];
    sc += sin_[j] * cos_[j];
    cc += cos_[j] * cos_[j];
  }
  const double determinant = ss * cc - sc * sc;
  if (determinant == 0.0) {
    inverse_[0] = inverse_[1] = inverse_[2] = 0.0;
    return;
  }
  inverse_[0] = cc / determinant;
  inverse_[1] = -sc / determinant;
  inverse_[2] = ss / determinant;
}

void AudioStreamChecker::CheckSine(const int16_t* samples, int32_t frames, int32_t channels, bool reprime) {
  if (static_cast<size_t>(frames) != sin_.size()) PrepareFit(frames);
  // y[j] ≈ a sin(ωj) + b cos(ωj) = R sin(ωj + φ) on channel 0.
  double sy = 0, cy = 0;
  for (int32_t j = 0; j < frames; ++j) {
    const double y = samples[static_cast<int64_t>(j) * channels];
    sy += y * sin_[j];
    cy += y * cos_[j];
  }
  const double a = inverse_[0] * sy + inverse_[1] * cy;
  const double b = inverse_[1] * sy + inverse_[2] * cy;
  // The phase at the tone's own time base: the local phase less the phase
  // that the frames sounded so far account for.
  const double elapsedCycles = std::fmod(frequency_ * static_cast<double>(soundingFrames_) / outputRate_, 1.0);
  const double phase = WrapPhase(std::atan2(b, a) - kTwoPi * elapsedCycles);
  soundingFrames_ += frames;

  if (reprime) {
    haveReference_ = false;
    periodsUntilReference_ = 1;
    pendingMisfit_ = false;
  }
  const bool fits = std::fabs(std::hypot(a, b) - expectedAmplitude_) <= kAmplitudeTolerance * expectedAmplitude_;
  if (!haveReference_) {
    // The first sounding period may start inside the converter's warm-up or
    // the live delay's lead-in; the next one is the reference.
    if (periodsUntilReference_ > 0) {
      --periodsUntilReference_;
    } else if (fits) {
      haveReference_ = true;
      lastPhase_ = phase;
      slipRadians_ = 0.0;
      lastSlipFrames_ = 0;
    }
    return;
  }
  if (!fits) {
    // A period with a jump inside fits no single tone; the next period
    // measures the jump. Two misfits in a row are not one jump.
    if (pendingMisfit_) ++counts_.corruptPeriods;
    pendingMisfit_ = true;
    return;
  }
  slipRadians_ += WrapPhase(phase - lastPhase_);
  lastPhase_ = phase;
  const int64_t slip = omega_ > 0 ? std::llround(slipRadians_ / omega_) : 0;
  if (slip > lastSlipFrames_) counts_.lostFrames += static_cast<uint64_t>(slip - lastSlipFrames_);
  if (slip < lastSlipFrames_) counts_.repeatedFrames += static_cast<uint64_t>(lastSlipFrames_ - slip);
  // A misfit that no jump explains held something other than the tone.
  if (pendingMisfit_ && slip == lastSlipFrames_) ++counts_.corruptPeriods;
  pendingMisfit_ = false;
  lastSlipFrames_ = slip;
}
