#pragma once
#include <cstdint>
#include <vector>

// Checks the audio that a host cued from one renderer, period after period,
// against what the source generated, and counts frames lost or repeated on
// the way. Everything it counts is measured on the cued samples; the
// renderer's own counters only say where to book a jump. Two ways, chosen by
// what the road from source to cue preserves:
//  - kCounter: the source sends the sample counter of ToneGenerator and
//    nothing resamples it (48 kHz, no drift correction), so every cued frame
//    names its source frame exactly; a jump of +k is k lost frames, of -k k
//    repeated frames (exact up to half the counter's period, ±32767 frames).
//  - kSine: the source sends one or two sines and the audio is resampled
//    (another rate, or drift correction); each period's phases are fitted by
//    least squares on channel 0, and the change of phase between periods,
//    divided by the phase of one frame, is the number of frames gained or
//    lost. One tone names a jump up to half its cycle; with a second tone the
//    second phase tells how many whole cycles of the first a jump spans, so
//    that a jump is named up to half the pair's common period (±24000 frames
//    for 440 and 221 Hz at 48 kHz).
// Periods of all-zero samples are silence and are skipped: before the first
// sound they are the renderer priming, after it they are drop-outs. The
// stream continues across a drop-out (an underrun holds the read position).
// A new read base after the first sound is a re-prime: whatever jump the
// audio makes there (frames skipped forward or replayed backward) is counted
// apart from other losses, but counted all the same.
//
//   silent ──first sound──> started ──new read base──> re-prime pending
//                              ^                              │
//                              └──── next measured jump ──────┘
//                                   (booked as a re-prime's)
//
// Not thread-safe: the engine thread feeds it. Allocates only when made and
// when the period length changes.
class AudioStreamChecker {
 public:
  // kSound: content the host does not know (a media input): only silence,
  // drop-outs and re-primes are counted.
  enum class Mode { kCounter, kSine, kSound };

  // The source's sine (kSine): one or two frequencies in Hz (0: no second
  // tone) and the share of full scale that the tones have together.
  struct Tone {
    double frequency = 440.0;
    double secondFrequency = 0.0;
    double amplitude = 0.5;
    // Sounding time before the reference period: a smooth drift correction
    // that is still settling hears the tones a little off their frequency,
    // so jumps and quality are measured only after it.
    double settleSeconds = 0.0;
    // The stream is resampled continuously (smooth drift correction): its
    // timing may wander slowly with the correction's ratio, so a change of
    // less than half a frame from one period to the next is wander, not a
    // lost or repeated frame.
    bool continuous = false;
  };

  // What a listener hears of a sine (kSine), over the periods after the
  // reference that are not at a re-prime: per period, the residual is the
  // samples of channel 0 less the fitted tones.
  struct Quality {
    uint64_t periods = 0;
    double residualPeak = 0.0;    // largest |residual|, in 16-bit steps
    double signalEnergy = 0.0;    // Σ fit², in 16-bit steps squared
    double residualEnergy = 0.0;  // Σ residual²
    // The residual's peak in dBFS, and signal over residual power (SINAD)
    // in dB; both -200 / 200 without residual, 0 / 0 without periods.
    double ResidualPeakDbfs() const;
    double SinadDb() const;
  };

  struct Counts {
    uint64_t periods = 0;
    uint64_t silentBeforeStart = 0;  // priming (and the live delay's lead-in)
    uint64_t silentAfterStart = 0;   // drop-outs: underruns or a silent writer
    uint64_t lostFrames = 0;         // skipped, away from re-primes
    uint64_t repeatedFrames = 0;     // replayed, away from re-primes
    uint64_t reprimes = 0;           // new read bases after the first sound
    uint64_t reprimeLostFrames = 0;      // skipped where a re-prime moved the read position
    uint64_t reprimeRepeatedFrames = 0;  // replayed where one did
    uint64_t corruptPeriods = 0;     // samples that are no frame of the source
    bool started = false;
    double maxWanderFrames = 0.0;  // continuous: the farthest the timing wandered from the reference
  };

  // `outputRate` is the cued audio's rate; `tone` matters to kSine only.
  AudioStreamChecker(Mode mode, const Tone& tone, int32_t outputRate);

  // One cued period: `frames` frames of `channels` interleaved 16-bit
  // samples; `newReadBase` when the renderer pinned a read base at this cue.
  // A period with a null pointer or no frames counts only as a period.
  void AddPeriod(const int16_t* samples, int32_t frames, int32_t channels, bool newReadBase);

  const Counts& GetCounts() const { return counts_; }
  const Quality& GetQuality() const { return quality_; }
  Mode GetMode() const { return mode_; }

  // Where the last period began on the source's own clock: the media time of
  // its first frame, in seconds from the source's frame 0, known modulo
  // PatternSeconds() (the sample counter's period; the pair of tones' common
  // period; one cycle of a single tone). Read from the cued samples alone:
  // the frame the counter names, or the instant the fitted phases name.
  // False when the last period was silent, held no clean frame of the
  // counter, or fitted no tone.
  bool LastPeriodMediaTime(double* seconds) const;
  double PatternSeconds() const;

 private:
  static constexpr int kMaxTones = 2;
  // Per tone: sine and cosine, and each times the time from the period's
  // centre.
  static constexpr int kBasisPerTone = 4;
  static constexpr int kMaxBasis = kBasisPerTone * kMaxTones;

  void CheckCounter(const int16_t* samples, int32_t frames, int32_t channels);
  void CheckSine(const int16_t* samples, int32_t frames, int32_t channels);
  void PrepareFit(int32_t frames);
  // Books a jump of `frames` (positive: skipped) as a re-prime's when one is
  // pending, else as an ordinary loss or repeat.
  void CountJump(int64_t frames);
  // The change of the tone's time base in `*frames`, from the change of each
  // tone's phase: the first tone's names it within half a cycle, the second
  // picks the whole cycles. False when the two do not agree on any.
  bool ResolveChange(const double phaseChange[kMaxTones], double* frames) const;
  // Adds channel 0 of a period less the fit of `coefficients` (one per
  // basis row) to quality_.
  void MeasureResidual(const int16_t* samples, int32_t frames, int32_t channels, const double* coefficients);

  Mode mode_;
  int tones_ = 1;
  double frequency_[kMaxTones] = {0, 0};
  double omega_[kMaxTones] = {0, 0};      // radians per output frame
  double cycleFrames_[kMaxTones] = {0, 0};
  double expectedAmplitude_ = 0.0;        // of each tone, in 16-bit steps
  int32_t outputRate_;
  // Cycles of the first tone before the pair of tones repeats (1 with one
  // tone, or when the frequencies are not whole numbers of hertz).
  int64_t cyclesPerPattern_ = 1;
  Counts counts_;
  Quality quality_;
  int64_t settleFrames_ = 0;  // sounding frames before the reference may be taken
  bool continuous_ = false;
  double wanderFrames_ = 0.0;  // continuous: the slow slips summed
  bool reprimePending_ = false;

  // kCounter: the source frame (modulo the counter's period) expected next.
  bool haveExpected_ = false;
  int32_t expected_ = 0;

  // kSine: the fit's basis over one period (kBasisPerTone rows of
  // `fitFrames_` values for each tone) and the inverse of its normal matrix;
  // sounding frames so far (the tone's time base); the slip tracked since
  // the reference period, in frames.
  int32_t fitFrames_ = 0;
  std::vector<double> basis_;
  double inverse_[kMaxBasis][kMaxBasis] = {};
  int64_t soundingFrames_ = 0;
  bool haveReference_ = false;
  int periodsUntilReference_ = 1;
  double lastPhase_[kMaxTones] = {0, 0};
  double slipFrames_ = 0.0;
  int64_t lastSlipFrames_ = 0;
  bool pendingMisfit_ = false;  // the last sounding period fitted no tone

  // The last period's media time (LastPeriodMediaTime), when known.
  bool havePeriodTime_ = false;
  double periodTime_ = 0.0;
};
