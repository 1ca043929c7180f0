#pragma once
#include <atomic>
#include <cstdint>

#include "HostSimOptions.h"

// Lip sync of the simulator's source pairs (--pair): how the host lines each
// pair up before its sources are made, and the meter of what the output did.

// Gives each paired video source its audio source's ppm (one clock), and,
// unless the pair is to stay unaligned, sets the pair's delays as a host does
// with kaLipSync::Align: the video delay
// asked of the picture (raised when the sound path needs it) and the latency
// at which the sound is to be heard, the audio source's own delay= counting
// as a trim of the sound against the picture.
void AlignSourcePairs(HostSimOptions& options);

// The offsets between when a pair's frames are shown and when their sound is
// heard, positive when the sound comes late: min, average and max over the
// run, and whether they kept to a window. The engine thread adds; any thread
// reads (each figure is loaded on its own).
class LipSyncMeter {
 public:
  // EBU R37: sound at most 40 ms early and at most 60 ms late.
  static constexpr double kMaxEarlyMs = 40.0;
  static constexpr double kMaxLateMs = 60.0;

  void Add(double offsetMs);

  uint64_t Count() const { return count_.load(std::memory_order_relaxed); }
  // 0 before anything was added.
  double MinMs() const { return Count() ? min_.load(std::memory_order_relaxed) : 0.0; }
  double MaxMs() const { return Count() ? max_.load(std::memory_order_relaxed) : 0.0; }
  double AverageMs() const;
  // Every offset within [-maxEarlyMs, +maxLateMs]; false with none measured.
  bool Within(double maxEarlyMs, double maxLateMs) const;

 private:
  std::atomic<uint64_t> count_{0};
  std::atomic<double> sum_{0.0};
  std::atomic<double> min_{0.0};
  std::atomic<double> max_{0.0};
};

// The offset of one newly shown frame: its media time less that of the sound
// heard with it, both in seconds from the source's frame 0, the sound's known
// modulo `patternSeconds`; reduced to the nearest representative (within half
// a pattern of zero), in milliseconds.
double LipSyncOffsetMs(double frameSeconds, double soundSeconds, double patternSeconds);
