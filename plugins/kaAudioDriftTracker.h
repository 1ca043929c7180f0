#pragma once
#include <cstdint>

#include "foundation/kaFoundation.h"

// Follows one audio renderer's source clock for smooth drift correction: it
// measures, at each delivery, the level (frames expected at 48000 per second
// of the foundation clock since measuring began, less the frames the
// renderer wrote to its ring) and steers the resampling ratio (input frames
// per output frame) so that the level holds where it started. Owns no
// memory beyond itself. No lock: only the renderer's delivery thread calls
// it; the clock is read by the caller (zTime::MicroNow) and passed in.
//
// The level is taken at the middle of each block (the frames before it plus
// half of it), which removes the saw-tooth of whole blocks, and counts the
// frames written exactly, without the rounding to whole frames. Deliveries
// run late, never early (a block cannot arrive before its frames exist), so
// a late or bursty delivery only raises the level for a moment: the smallest
// level of the last kMinimumWindowMicros is the one the loop sees, smoothed
// by two first-order stages; the level to hold is the lowest of the first
// window. A PI loop, critically damped, turns it into the
// ratio, in two gears:
//  - acquiring (from start-up, and whenever the level runs off): natural
//    frequency kAcquire, so that a clock 5,000 ppm off moves the level at
//    most ~180 frames before the ratio has caught up, well inside the ~560
//    frames that the audio cue keeps beyond one period and one block;
//  - tracking (once the level has stayed put for kLockMicros): kTrack, a
//    slower loop that lets late deliveries move the ratio far less (a
//    ratio that wobbles is heard as a tone that wobbles).
// The gears change without a jump of the ratio.
//
//   idle --first delivery--> acquiring --level held kLockMicros--> tracking
//     ^                          ^  |                                  |
//     |                          |  +-- error > kMaxLevelErrorFrames:  |
//     |                          |      new reference, same ratio      |
//     |                          +------ error > kUnlockFrames --------+
//     +--- gap > restart gap, time back, other channel count, Restart
//          (from any state; ratio back to 1)
class KASP2_EXPORT kaAudioDriftTracker {
 public:
  static constexpr int32_t kWorkingSampleRate = 48000;  // frames per second of the clock
  static constexpr double kMaxRatioDeviation = 0.01;     // the ratio stays within 1 ± 1 %
  // A gear: the loop's natural frequency (rad/s, damping 1) and the time
  // constant of each of the two smoothing stages (s).
  struct Gear {
    double naturalFrequency;
    double smoothingSeconds;
  };
  static constexpr Gear kAcquire{0.75, 0.1};
  static constexpr Gear kTrack{0.25, 0.4};
  static constexpr int64_t kMinimumWindowMicros = 250'000;
  // Tracking begins after kLockMicros whose smoothed level error averaged
  // within ±kLockFrames and spread over less than kLockSpreadFrames; it ends
  // when the error passes kUnlockFrames (1 ms).
  static constexpr int64_t kLockMicros = 3'000'000;
  static constexpr double kLockFrames = 4.0;
  static constexpr double kLockSpreadFrames = 48.0;
  static constexpr double kUnlockFrames = 48.0;
  // A level error beyond this many frames (the prime distance, 50 ms) is
  // past the ring's cushion and backlog tolerance: the cue path has underrun
  // or re-primed, so the tracker holds the new level from there (counted as a
  // restart; the ratio stays). Reached only by a clock beyond the bound.
  static constexpr double kMaxLevelErrorFrames = 2400.0;
  // Levels kept for the window's minimum: a window of deliveries of 1 ms or
  // longer; shorter ones shorten the window instead.
  static constexpr int kWindowCapacity = 256;

  // `restartGapMicros`: a delivery later than this after the one before
  // starts a new measurement (the renderer gives its flush time-out).
  explicit kaAudioDriftTracker(int64_t restartGapMicros);

  kaAudioDriftTracker(const kaAudioDriftTracker&) = delete;
  kaAudioDriftTracker& operator=(const kaAudioDriftTracker&) = delete;

  // Begins a delivery at `now` (microseconds) of a block of `channels`
  // channels. Returns true when it starts a new measurement: the first
  // delivery, one after a gap longer than the restart gap or before the last
  // delivery's time, one whose channel count differs, or the first after
  // Restart. The caller then restarts its resampler too.
  bool BeginDelivery(int64_t now, int32_t channels);
  // The ratio for the block being delivered: 1 until the loop has moved it,
  // always within 1 ± kMaxRatioDeviation.
  double Ratio() const { return ratio_; }
  // Ends the delivery begun last, of a block of `sourceFrames` frames at the
  // working rate (its own frames × 48000 / its rate, not rounded): it wrote
  // sourceFrames / Ratio() frames to the ring, counted exactly rather than
  // as the whole frames that the converters and the resampler hand out, so
  // that the loop sees no rounding. Measures the level and moves the ratio.
  // A negative or non-finite count is taken as 0; nothing happens without a
  // delivery begun.
  void EndDelivery(double sourceFrames);
  // The next delivery starts a new measurement (a stream that was written
  // around the tracker, or a new one).
  void Restart() { restartPending_ = true; }

  // Observers (delivery thread, tests, diagnostics). Level errors are frames
  // above the level at the measurement's start: positive when the writer is
  // behind the clock.
  bool IsMeasuring() const { return measuring_; }
  bool IsTracking() const { return tracking_; }
  double LevelError() const { return lastError_; }
  double FilteredLevelError() const { return filtered_; }
  // The largest |LevelError()| since the measurement started.
  double PeakLevelError() const { return peakError_; }
  uint64_t Restarts() const { return restarts_; }

 private:
  struct Sample {
    int64_t time;
    double error;
  };

  void StartMeasurement(int64_t now, int32_t channels);
  // The loop's ratio deviation from the smoothed error and the integral.
  double Control() const;
  // Moves to the other gear, the integral set so that the ratio stays.
  void ShiftGear(bool tracking);
  // Tracking: leaves it when the error ran off. Acquiring: gathers the
  // lock interval and enters tracking at its end when the level held.
  void UpdateGear(double dt);
  // The smallest error of the window after adding `error` at `now`.
  double WindowMinimum(int64_t now, double error);

  int64_t restartGapMicros_;
  bool measuring_ = false;
  bool restartPending_ = false;
  bool inDelivery_ = false;
  bool haveReference_ = false;
  int32_t channels_ = 0;
  int64_t startTime_ = 0;     // clock of the first delivery
  int64_t deliveryTime_ = 0;  // clock of the delivery begun
  int64_t lastTime_ = 0;      // clock of the last measured delivery
  double written_ = 0.0;      // frames written since the start
  double reference_ = 0.0;    // the level of the measurement's first delivery
  double lastError_ = 0.0;
  double smoothed_ = 0.0;     // the first smoothing stage
  double filtered_ = 0.0;     // the second
  bool tracking_ = false;
  // The lock interval: its length so far, the integral of the filtered
  // error over it, and the error's extremes in it.
  double lockSeconds_ = 0.0;
  double lockSum_ = 0.0;
  double lockLow_ = 0.0;
  double lockHigh_ = 0.0;
  double integral_ = 0.0;     // frame-seconds
  double peakError_ = 0.0;
  double ratio_ = 1.0;
  uint64_t restarts_ = 0;
  // Monotonic queue of the window: increasing errors, oldest first.
  Sample window_[kWindowCapacity] = {};
  int windowHead_ = 0;
  int windowSize_ = 0;
};
