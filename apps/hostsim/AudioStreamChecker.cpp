#include "AudioStreamChecker.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <numeric>

#include "ToneGenerator.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// A period whose fitted tone is this far from the generated amplitude holds
// something other than the tone (a drop-in of silence, garbage).
constexpr double kAmplitudeTolerance = 0.1;
// The most that the second tone's view of a change may differ from the
// nearest whole-cycle reading of the first's, as a share of the spacing of
// those readings (0.49 frames for 440 and 221 Hz at 48 kHz). Measured: up to
// 0.1 frames through every rate converter and drift correction of the
// simulator, sources from 8 to 192 kHz and ±9000 ppm.
constexpr double kConsistentShare = 0.4;

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

bool IsWholeHertz(double frequency) { return frequency >= 1.0 && std::fabs(frequency - std::round(frequency)) < 1e-9; }

}  // namespace

AudioStreamChecker::AudioStreamChecker(Mode mode, const Tone& tone, int32_t outputRate)
    : mode_(mode), outputRate_(outputRate > 0 ? outputRate : 1) {
  tones_ = tone.secondFrequency > 0.0 ? 2 : 1;
  frequency_[0] = tone.frequency;
  frequency_[1] = tone.secondFrequency;
  for (int t = 0; t < tones_; ++t) {
    omega_[t] = kTwoPi * frequency_[t] / outputRate_;
    cycleFrames_[t] = frequency_[t] > 0.0 ? outputRate_ / frequency_[t] : 0.0;
  }
  expectedAmplitude_ = tone.amplitude / tones_ * 32768.0;
  continuous_ = tone.continuous;
  if (tone.settleSeconds > 0.0 && std::isfinite(tone.settleSeconds)) {
    settleFrames_ = static_cast<int64_t>(std::ceil(tone.settleSeconds * outputRate_));
  }
  if (tones_ == 2 && IsWholeHertz(tone.frequency) && IsWholeHertz(tone.secondFrequency)) {
    const auto first = static_cast<int64_t>(std::llround(tone.frequency));
    const auto second = static_cast<int64_t>(std::llround(tone.secondFrequency));
    cyclesPerPattern_ = first / std::gcd(first, second);
  }
}

void AudioStreamChecker::AddPeriod(const int16_t* samples, int32_t frames, int32_t channels, bool newReadBase) {
  ++counts_.periods;
  havePeriodTime_ = false;
  if (!samples || frames <= 0 || channels <= 0) return;
  // The first base of a stream is its start, not a re-prime. A base pinned
  // at a silent cue moves the position of the next sound.
  if (newReadBase && counts_.started) {
    ++counts_.reprimes;
    reprimePending_ = true;
  }
  if (IsSilent(samples, static_cast<int64_t>(frames) * channels)) {
    if (counts_.started) {
      ++counts_.silentAfterStart;
    } else {
      ++counts_.silentBeforeStart;
    }
    return;
  }
  counts_.started = true;
  if (mode_ == Mode::kCounter) {
    CheckCounter(samples, frames, channels);
  } else if (mode_ == Mode::kSine) {
    CheckSine(samples, frames, channels);
  }
}

void AudioStreamChecker::CountJump(int64_t frames) {
  if (frames > 0) {
    (reprimePending_ ? counts_.reprimeLostFrames : counts_.lostFrames) += static_cast<uint64_t>(frames);
  } else if (frames < 0) {
    (reprimePending_ ? counts_.reprimeRepeatedFrames : counts_.repeatedFrames) += static_cast<uint64_t>(-frames);
  }
}

void AudioStreamChecker::CheckCounter(const int16_t* samples, int32_t frames, int32_t channels) {
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
    if (haveExpected_) {
      // The shorter way round the counter's period.
      int32_t jump = position - expected_;
      if (jump > ToneGenerator::kCounterPeriod / 2) jump -= ToneGenerator::kCounterPeriod;
      if (jump < -ToneGenerator::kCounterPeriod / 2) jump += ToneGenerator::kCounterPeriod;
      CountJump(jump);
    }
    if (!havePeriodTime_) {
      // Frame f of the period is source frame `position` (modulo the period).
      const int32_t first = (position - f % ToneGenerator::kCounterPeriod + ToneGenerator::kCounterPeriod) %
                            ToneGenerator::kCounterPeriod;
      periodTime_ = static_cast<double>(first) / outputRate_;
      havePeriodTime_ = true;
    }
    // The first frame read after a re-prime shows its jump (none when the
    // new base happens to continue the stream).
    reprimePending_ = false;
    haveExpected_ = true;
    expected_ = (position + 1) % ToneGenerator::kCounterPeriod;
  }
  if (corrupt) ++counts_.corruptPeriods;
}

void AudioStreamChecker::PrepareFit(int32_t frames) {
  fitFrames_ = frames;
  const int n = kBasisPerTone * tones_;
  basis_.assign(static_cast<size_t>(n) * static_cast<size_t>(frames), 0.0);
  // Time runs from the period's centre, scaled to -1 ... 1 for the slope
  // terms, which take up a tone that runs a little fast or slow within the
  // period (a drift correction at every block stretches or shrinks time):
  // without them such a tone biases each tone's phase differently.
  const double centre = (frames - 1) / 2.0;
  const double scale = centre > 0 ? 1.0 / centre : 1.0;
  for (int t = 0; t < tones_; ++t) {
    double* row[kBasisPerTone];
    for (int b = 0; b < kBasisPerTone; ++b) row[b] = &basis_[static_cast<size_t>(kBasisPerTone * t + b) * frames];
    for (int32_t j = 0; j < frames; ++j) {
      const double u = j - centre;
      row[0][j] = std::sin(omega_[t] * u);
      row[1][j] = std::cos(omega_[t] * u);
      row[2][j] = u * scale * row[0][j];
      row[3][j] = u * scale * row[1][j];
    }
  }
  // The normal matrix and its inverse by Gauss-Jordan elimination; a
  // singular one (a period too short to tell the tones apart) leaves a zero
  // inverse, which fits no tone.
  double gram[kMaxBasis][2 * kMaxBasis] = {};
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      double sum = 0.0;
      const double* a = &basis_[static_cast<size_t>(r) * frames];
      const double* b = &basis_[static_cast<size_t>(c) * frames];
      for (int32_t j = 0; j < frames; ++j) sum += a[j] * b[j];
      gram[r][c] = sum;
    }
    gram[r][n + r] = 1.0;
  }
  for (auto& row : inverse_) {
    for (double& value : row) value = 0.0;
  }
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    for (int r = col + 1; r < n; ++r) {
      if (std::fabs(gram[r][col]) > std::fabs(gram[pivot][col])) pivot = r;
    }
    if (std::fabs(gram[pivot][col]) < 1e-9) return;
    for (int c = 0; c < 2 * n; ++c) std::swap(gram[col][c], gram[pivot][c]);
    const double pivotValue = gram[col][col];
    for (int c = 0; c < 2 * n; ++c) gram[col][c] /= pivotValue;
    for (int r = 0; r < n; ++r) {
      if (r == col) continue;
      const double factor = gram[r][col];
      for (int c = 0; c < 2 * n; ++c) gram[r][c] -= factor * gram[col][c];
    }
  }
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) inverse_[r][c] = gram[r][n + c];
  }
}

bool AudioStreamChecker::ResolveChange(const double phaseChange[kMaxTones], double* frames) const {
  const double fine = omega_[0] > 0 ? phaseChange[0] / omega_[0] : 0.0;
  *frames = fine;
  if (tones_ < 2 || cyclesPerPattern_ < 2 || omega_[1] <= 0) return true;
  // The change is `fine` plus whole cycles of the first tone: the number of
  // cycles whose span the second tone's change agrees with best. The
  // readings' disagreements with the second tone are distinct multiples of
  // `spacing` (the first tone's cycles run through every phase of the
  // second before the pair repeats), so a best one within kConsistentShare
  // of it is the only one that near; none that near means the two tones
  // tell different stories.
  const double second = phaseChange[1] / omega_[1];
  const double spacing = cycleFrames_[1] / static_cast<double>(cyclesPerPattern_);
  double bestResidual = std::numeric_limits<double>::infinity();
  for (int64_t k = -(cyclesPerPattern_ - 1) / 2; k <= cyclesPerPattern_ / 2; ++k) {
    const double candidate = fine + static_cast<double>(k) * cycleFrames_[0];
    double residual = candidate - second;
    residual -= cycleFrames_[1] * std::round(residual / cycleFrames_[1]);
    if (std::fabs(residual) < bestResidual) {
      bestResidual = std::fabs(residual);
      *frames = candidate;
    }
  }
  return bestResidual <= kConsistentShare * spacing;
}

void AudioStreamChecker::CheckSine(const int16_t* samples, int32_t frames, int32_t channels) {
  if (frames != fitFrames_) PrepareFit(frames);
  const int n = kBasisPerTone * tones_;
  // y[j] ≈ Σ (a_t + c_t u) sin(ω_t u) + (b_t + d_t u) cos(ω_t u) on channel
  // 0, u = j less the period's centre; R_t sin(ω_t u + φ_t) at the centre.
  double projection[kMaxBasis] = {};
  for (int b = 0; b < n; ++b) {
    const double* row = &basis_[static_cast<size_t>(b) * frames];
    double sum = 0.0;
    for (int32_t j = 0; j < frames; ++j) sum += samples[static_cast<int64_t>(j) * channels] * row[j];
    projection[b] = sum;
  }
  // Every basis row's coefficient, for the residual.
  double coefficients[kMaxBasis] = {};
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) coefficients[r] += inverse_[r][c] * projection[c];
  }
  double phase[kMaxTones] = {0, 0};
  double centrePhase[kMaxTones] = {0, 0};
  bool fits = true;
  for (int t = 0; t < tones_; ++t) {
    double a = 0, b = 0;
    for (int c = 0; c < n; ++c) {
      a += inverse_[kBasisPerTone * t][c] * projection[c];
      b += inverse_[kBasisPerTone * t + 1][c] * projection[c];
    }
    centrePhase[t] = std::atan2(b, a);
    // The phase at the tone's own time base: the phase at the period's
    // centre less the phase that the frames sounded before it account for.
    const double centre = static_cast<double>(soundingFrames_) + (frames - 1) / 2.0;
    const double elapsedCycles = std::fmod(frequency_[t] * centre / outputRate_, 1.0);
    phase[t] = WrapPhase(std::atan2(b, a) - kTwoPi * elapsedCycles);
    fits = fits && std::fabs(std::hypot(a, b) - expectedAmplitude_) <= kAmplitudeTolerance * expectedAmplitude_;
  }
  soundingFrames_ += frames;
  // Channel 0 of source frame n holds the phase 2π f n / rate: the phases at
  // the period's centre name its media time as a change from frame 0 does.
  double centreFrames = 0.0;
  if (fits && ResolveChange(centrePhase, &centreFrames)) {
    periodTime_ = (centreFrames - (frames - 1) / 2.0) / outputRate_;
    havePeriodTime_ = true;
  }

  // A period at a re-prime starts at a new read base: its jump is by design.
  if (haveReference_ && !reprimePending_) MeasureResidual(samples, frames, channels, coefficients);

  if (!haveReference_) {
    // The first sounding period may start inside the converter's warm-up or
    // the live delay's lead-in; the next one is the reference (or the first
    // after the settling time).
    if (periodsUntilReference_ > 0) {
      --periodsUntilReference_;
    } else if (fits && soundingFrames_ >= settleFrames_) {
      haveReference_ = true;
      for (int t = 0; t < tones_; ++t) lastPhase_[t] = phase[t];
      slipFrames_ = 0.0;
      lastSlipFrames_ = 0;
      reprimePending_ = false;
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
  double change[kMaxTones] = {0, 0};
  for (int t = 0; t < tones_; ++t) change[t] = WrapPhase(phase[t] - lastPhase_[t]);
  double resolved = 0.0;
  if (!ResolveChange(change, &resolved)) {
    // Tones that disagree are no clean period of the source either.
    if (pendingMisfit_) ++counts_.corruptPeriods;
    pendingMisfit_ = true;
    return;
  }
  for (int t = 0; t < tones_; ++t) lastPhase_[t] = phase[t];
  if (continuous_ && std::fabs(resolved) < 0.5) {
    wanderFrames_ += resolved;
    counts_.maxWanderFrames = std::max(counts_.maxWanderFrames, std::fabs(wanderFrames_));
    resolved = 0.0;
  }
  slipFrames_ += resolved;
  const int64_t slip = std::llround(slipFrames_);
  CountJump(slip - lastSlipFrames_);
  reprimePending_ = false;
  // A misfit that no jump explains held something other than the tone.
  if (pendingMisfit_ && slip == lastSlipFrames_) ++counts_.corruptPeriods;
  pendingMisfit_ = false;
  lastSlipFrames_ = slip;
}

bool AudioStreamChecker::LastPeriodMediaTime(double* seconds) const {
  if (!havePeriodTime_ || !seconds) return false;
  const double pattern = PatternSeconds();
  double time = pattern > 0.0 ? std::fmod(periodTime_, pattern) : periodTime_;
  if (time < 0.0) time += pattern;
  *seconds = time;
  return true;
}

double AudioStreamChecker::PatternSeconds() const {
  if (mode_ == Mode::kCounter) return static_cast<double>(ToneGenerator::kCounterPeriod) / outputRate_;
  return static_cast<double>(cyclesPerPattern_) * cycleFrames_[0] / outputRate_;
}

void AudioStreamChecker::MeasureResidual(const int16_t* samples, int32_t frames, int32_t channels,
                                         const double* coefficients) {
  const int n = kBasisPerTone * tones_;
  for (int32_t j = 0; j < frames; ++j) {
    double fit = 0.0;
    for (int r = 0; r < n; ++r) fit += coefficients[r] * basis_[static_cast<size_t>(r) * frames + j];
    const double residual = samples[static_cast<int64_t>(j) * channels] - fit;
    quality_.residualPeak = std::max(quality_.residualPeak, std::fabs(residual));
    quality_.signalEnergy += fit * fit;
    quality_.residualEnergy += residual * residual;
  }
  ++quality_.periods;
}

double AudioStreamChecker::Quality::ResidualPeakDbfs() const {
  if (periods == 0) return 0.0;
  return residualPeak > 0.0 ? 20.0 * std::log10(residualPeak / 32768.0) : -200.0;
}

double AudioStreamChecker::Quality::SinadDb() const {
  if (periods == 0) return 0.0;
  return residualEnergy > 0.0 ? 10.0 * std::log10(signalEnergy / residualEnergy) : 200.0;
}
