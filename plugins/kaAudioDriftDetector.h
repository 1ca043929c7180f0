#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/kaFoundation.h"

// Measures how far one audio renderer's deliveries lag behind (positive
// level) or run ahead of (negative) 48000 frames per second of the foundation
// clock, and asks for a block to be stretched or shrunk by one frame when the
// smallest level in a sliding window grows large. Owns its history; writes
// statistics to the trace log. No lock: only the renderer's delivery thread
// calls it.
//
//   not measuring --first delivery--> warming up (warmup, 500 ms)
//        ^                                 | now >= measureStart
//        |                                 v
//        +---- ResetMeasurement <---- measuring: each delivery records a level;
//              (|adjustment| > 20,    once the history spans the window every
//               rate change)          delivery may return -1, 0 or +1
class KASP2_EXPORT kaAudioDriftDetector {
 public:
  // One measurement.
  struct History {
    int64_t time;  // clock reading of the delivery, microseconds
    double level;  // expected minus received frames at it (after adjustments)
  };

  // Negative durations count as 0; longer than int64 microseconds saturate.
  kaAudioDriftDetector(std::string name, std::chrono::milliseconds warmup, std::chrono::seconds window);
  // Logs the final statistics (nothing when nothing was measured).
  virtual ~kaAudioDriftDetector();

  kaAudioDriftDetector(const kaAudioDriftDetector&) = delete;
  kaAudioDriftDetector& operator=(const kaAudioDriftDetector&) = delete;

  // One statistics line as a trace note; nothing before anything was measured.
  void LogStats();
  // Logs, notes "RESET" with `reason` (may be null), and measures afresh
  // from the next delivery.
  void ResetMeasurement(const char* reason);
  // Records the delivery of `frames` frames at `now` (microseconds) and
  // returns the frames by which to stretch (+1) or shrink (-1) this block;
  // 0 leaves it unchanged.
  // Returns 0, nothing recorded, for a negative `frames`.
  int DriftCorrect(int frames, long long now);

  // Seconds between statistics lines while measuring; off at first, and for
  // any value that is not finite and positive.
  void SetLogInterval(double seconds);
  // Any rate but 48000 makes the next delivery restart the measurement
  // ("Sample Rate Change") and restore 48000.
  void SetSampleRateForTesting(int hz);

  // Observers of the measurement (diagnostics and tests).
  bool IsMeasuring() const { return measuring_; }
  long long SamplesReceived() const { return samplesReceived_; }
  unsigned long long DeliveryCount() const { return deliveryCount_; }
  long long FirstTime() const { return firstTime_; }
  long long TotalAdjustment() const { return totalAdjustment_; }
  double MaxMinLevel() const { return maxMinLevel_; }
  double LevelSum() const { return levelSum_; }
  size_t HistorySize() const { return history_.Size(); }
  // Entry `index`, 0 being the oldest; {0, 0.0} when out of range.
  History HistoryEntry(size_t index) const;

 private:
  // The history, oldest first. A circular buffer that doubles when full and
  // never shrinks, so once it holds a window's deliveries none allocates (a
  // std::deque would allocate and free a block every few dozen deliveries).
  class HistoryRing {
   public:
    // Grows the capacity to at least `count` entries; false when memory is short.
    bool Reserve(size_t count);
    size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }
    const History& Front() const { return slots_[head_]; }
    const History& Back() const { return At(size_ - 1); }
    const History& At(size_t index) const { return slots_[(head_ + index) & (slots_.size() - 1)]; }
    History& At(size_t index) { return slots_[(head_ + index) & (slots_.size() - 1)]; }
    // False, with nothing appended, when the ring is full and cannot grow.
    bool PushBack(const History& entry);
    void PopFront();
    void Clear();

   private:
    std::vector<History> slots_;  // size is 0 or a power of two
    size_t head_ = 0;
    size_t size_ = 0;
  };

  // The entry of smallest magnitude, scanning from the oldest (the older one
  // wins ties); 0 for an empty history.
  double SmallestLevel() const;
  // Appends (now, level) and adds level to levelSum_. When memory is short
  // the oldest entry makes room.
  void Append(int64_t now, double level);

  // Measurement state. Times are zTime::MicroNow() microseconds; levels are
  // frames.
  int64_t samplesReceived_ = 0;
  int32_t sampleRate_ = 48000;
  bool measuring_ = false;
  int64_t lastTime_ = 0;
  int64_t firstTime_ = 0;
  int64_t warmup_ = 0;  // microseconds
  int64_t window_ = 0;  // microseconds
  int64_t measureStart_ = 0;
  HistoryRing history_;
  double nextLogTime_ = 0.0;   // seconds of measuring time
  double maxMinLevel_ = 0.0;
  double levelSum_ = 0.0;
  uint64_t deliveryCount_ = 0;
  int64_t totalAdjustment_ = 0;
  std::string name_;
  double logInterval_ = 0.0;   // seconds; 0 = off
};
