#include "plugins/kaAudioDriftTracker.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kMicrosPerSecond = 1'000'000.0;
constexpr double kLockSeconds = static_cast<double>(kaAudioDriftTracker::kLockMicros) / kMicrosPerSecond;

// The loop: the level error e moves as de/dt = 48000 (u - p) for a source p
// off the clock and a ratio 1 + u; u = -(kP e + kI ∫e) makes that a second
// order loop of natural frequency ωn, critically damped.
constexpr double Proportional(const kaAudioDriftTracker::Gear& gear) {
  return 2.0 * gear.naturalFrequency / kaAudioDriftTracker::kWorkingSampleRate;  // per frame
}
constexpr double Integral(const kaAudioDriftTracker::Gear& gear) {
  return gear.naturalFrequency * gear.naturalFrequency / kaAudioDriftTracker::kWorkingSampleRate;  // per frame-second
}

}  // namespace

kaAudioDriftTracker::kaAudioDriftTracker(int64_t restartGapMicros)
    : restartGapMicros_(restartGapMicros > 0 ? restartGapMicros : 0) {}

bool kaAudioDriftTracker::BeginDelivery(int64_t now, int32_t channels) {
  int64_t since = 0;
  const bool restart = !measuring_ || restartPending_ || channels != channels_ ||
                       __builtin_sub_overflow(now, deliveryTime_, &since) || since < 0 || since > restartGapMicros_;
  if (restart) {
    if (measuring_) ++restarts_;
    StartMeasurement(now, channels);
  }
  deliveryTime_ = now;
  inDelivery_ = true;
  return restart;
}

void kaAudioDriftTracker::StartMeasurement(int64_t now, int32_t channels) {
  measuring_ = true;
  restartPending_ = false;
  haveReference_ = false;
  channels_ = channels;
  startTime_ = now;
  lastTime_ = now;
  written_ = 0.0;
  reference_ = 0.0;
  lastError_ = 0.0;
  smoothed_ = 0.0;
  filtered_ = 0.0;
  tracking_ = false;
  lockSeconds_ = 0.0;
  integral_ = 0.0;
  peakError_ = 0.0;
  ratio_ = 1.0;
  windowHead_ = 0;
  windowSize_ = 0;
}

void kaAudioDriftTracker::EndDelivery(double sourceFrames) {
  if (!inDelivery_) return;
  inDelivery_ = false;
  const double frames = std::isfinite(sourceFrames) && sourceFrames > 0.0 ? sourceFrames / ratio_ : 0.0;
  // In double: the times of one measurement may lie any distance apart
  // when the restart gap is large.
  const double expected =
      (static_cast<double>(deliveryTime_) - static_cast<double>(startTime_)) * kWorkingSampleRate / kMicrosPerSecond;
  const double level = expected - (written_ + frames / 2.0);
  written_ += frames;
  if (!haveReference_) {
    reference_ = level;
    haveReference_ = true;
    lastTime_ = deliveryTime_;
    return;
  }
  // A late delivery reads high: the reference is the lowest level of the
  // first window, the one nearest to on time.
  if (static_cast<double>(deliveryTime_) - static_cast<double>(startTime_) <= kMinimumWindowMicros) {
    reference_ = std::min(reference_, level);
  }

  if (std::fabs(level - reference_) > kMaxLevelErrorFrames) {
    // Beyond what the ring's cushion or backlog tolerance holds: the cue path
    // has underrun or re-primed, and the level it now reads from is the one
    // to hold. The ratio learned so far stays.
    ++restarts_;
    reference_ = level;
    smoothed_ = filtered_ = 0.0;
    windowSize_ = 0;
    lastTime_ = deliveryTime_;
    if (tracking_) ShiftGear(false);
    lockSeconds_ = 0.0;
    return;
  }
  const double error = level - reference_;
  lastError_ = error;
  peakError_ = std::max(peakError_, std::fabs(error));
  const double lowest = WindowMinimum(deliveryTime_, error);
  const double dt = (static_cast<double>(deliveryTime_) - static_cast<double>(lastTime_)) / kMicrosPerSecond;
  lastTime_ = deliveryTime_;
  // Blocks of one burst share a time: only the first moves the loop.
  if (dt <= 0.0) return;
  const double blend = 1.0 - std::exp(-dt / (tracking_ ? kTrack : kAcquire).smoothingSeconds);
  smoothed_ += blend * (lowest - smoothed_);
  filtered_ += blend * (smoothed_ - filtered_);
  integral_ += filtered_ * dt;
  double u = Control();
  if (std::fabs(u) > kMaxRatioDeviation) {
    // Held at the bound: the integral stops growing (no wind-up).
    integral_ -= filtered_ * dt;
    u = std::clamp(u, -kMaxRatioDeviation, kMaxRatioDeviation);
  }
  ratio_ = 1.0 + u;
  UpdateGear(dt);
}

double kaAudioDriftTracker::Control() const {
  const Gear& gear = tracking_ ? kTrack : kAcquire;
  return -(Proportional(gear) * filtered_ + Integral(gear) * integral_);
}

void kaAudioDriftTracker::ShiftGear(bool tracking) {
  const double u = ratio_ - 1.0;
  tracking_ = tracking;
  const Gear& gear = tracking_ ? kTrack : kAcquire;
  integral_ = (-u - Proportional(gear) * filtered_) / Integral(gear);
}

void kaAudioDriftTracker::UpdateGear(double dt) {
  if (tracking_) {
    if (std::fabs(filtered_) > kUnlockFrames) ShiftGear(false);
    return;
  }
  if (lockSeconds_ == 0.0) lockSum_ = 0.0, lockLow_ = lockHigh_ = filtered_;
  lockSeconds_ += dt;
  lockSum_ += filtered_ * dt;
  lockLow_ = std::min(lockLow_, filtered_);
  lockHigh_ = std::max(lockHigh_, filtered_);
  if (lockSeconds_ < kLockSeconds) return;
  if (std::fabs(lockSum_ / lockSeconds_) < kLockFrames && lockHigh_ - lockLow_ < kLockSpreadFrames) ShiftGear(true);
  lockSeconds_ = 0.0;
}

double kaAudioDriftTracker::WindowMinimum(int64_t now, double error) {
  // Entries no smaller than the new one can never be the minimum again.
  while (windowSize_ > 0 && window_[(windowHead_ + windowSize_ - 1) % kWindowCapacity].error >= error) --windowSize_;
  if (windowSize_ == kWindowCapacity) {  // deliveries faster than the capacity: the oldest goes early
    windowHead_ = (windowHead_ + 1) % kWindowCapacity;
    --windowSize_;
  }
  window_[(windowHead_ + windowSize_) % kWindowCapacity] = Sample{now, error};
  ++windowSize_;
  const auto age = [now](const Sample& sample) { return static_cast<double>(now) - static_cast<double>(sample.time); };
  while (windowSize_ > 1 && age(window_[windowHead_]) > kMinimumWindowMicros) {
    windowHead_ = (windowHead_ + 1) % kWindowCapacity;
    --windowSize_;
  }
  return window_[windowHead_].error;
}
