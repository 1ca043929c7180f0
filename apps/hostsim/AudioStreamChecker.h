#pragma once
#include <cstdint>
#include <vector>

// Checks the audio that a host cued from one renderer, period after period,
// against what the source generated, and counts frames lost or repeated on
// the way. Two ways, chosen by what the road from source to cue preserves:
//  - kCounter: the source sends the sample counter of ToneGenerator and
//    nothing resamples it (48 kHz, no drift correction), so every cued frame
//    names its source frame exactly; a jump of +k is k lost frames, of -k k
//    repeated frames.
//  - kSine: the source sends its quadrature sine and the audio is resampled
//    (another rate, or drift correction); each period's phase is fitted by
//    least squares on channel 0, and a change of phase between periods,
//    divided by the phase of one frame, is the number of frames gained or
//    lost (unambiguous up to half a cycle of the tone).
// Periods of all-zero samples are silence and are skipped: before the first
// sound they are the renderer priming, after it they are drop-outs. The
// stream continues across a drop-out (an underrun holds the read position).
// A period at which the renderer pinned a new read base while already
// running is a re-prime: its jump is counted as one and not as lost frames.
// Not thread-safe: the engine thread feeds it. Allocates only when made.
class AudioStreamChecker {
 public:
  enum class Mode { kCounter, kSine };

  struct Counts {
    uint64_t periods = 0;
    uint64_t silentBeforeStart = 0;  // priming (and the live delay's lead-in)
    uint64_t silentAfterStart = 0;   // drop-outs: underruns or a silent writer
    uint64_t lostFrames = 0;
    uint64_t repeatedFrames = 0;
    uint64_t reprimes = 0;           // jumps made by a new read base
    uint64_t corruptPeriods = 0;     // samples that are no frame of the source
    bool started = false;
  };

  // `frequency` is the tone's frequency in Hz and `amplitude` its share of
  // full scale (kSine only); `outputRate` the cued audio's rate.
  AudioStreamChecker(Mode mode, double frequency, double amplitude, int32_t outputRate);

  // One cued period: `frames` frames of `channels` interleaved 16-bit
  // samples; `newReadBase` when the renderer pinned a read base at this cue.
  // A period with a null pointer or no frames counts only as a period.
  void AddPeriod(const int16_t* samples, int32_t frames, int32_t channels, bool newReadBase);

  const Counts& GetCounts() const { return counts_; }
  Mode GetMode() const { return mode_; }

 private:
  void CheckCounter(const int16_t* samples, int32_t frames, int32_t channels, bool newReadBase);
  void CheckSine(const int16_t* samples, int32_t frames, int32_t channels, bool newReadBase);
  void PrepareFit(int32_t frames);

  Mode mode_;
  double frequency_;
  double expectedAmplitude_;  // in 16-bit steps
  int32_t outputRate_;
  double omega_;              // radians per output frame
  Counts counts_;

  // kCounter: the source frame (modulo the counter's period) expected next.
  bool haveExpected_ = false;
  int32_t expected_ = 0;

  // kSine: the fit's basis over one period and the inverse of its normal
  // matrix; sounding frames so far (the tone's time base); the phase slip
  // tracked since the reference period.
  std::vector<double> sin_;
  std::vector<double> cos_;
  double inverse_[3] = {0, 0, 0};  // [ss, sc, cc] of the inverse
  int64_t soundingFrames_ = 0;
  bool haveReference_ = false;
  int periodsUntilReference_ = 1;
  double lastPhase_ = 0.0;
  double slipRadians_ = 0.0;
  int64_t lastSlipFrames_ = 0;
  bool pendingMisfit_ = false;  // the last sounding period fitted no tone
};
