#pragma once
#include <cstdint>

#include "kasp2/kasp2.h"

// Makes the audio of a test audio source: interleaved blocks in "sowt",
// "fl32", "in24", "42ni" or "32ni", at any rate and channel count, with a
// source clock that runs fast or slow by a given number of parts per
// million. Two waveforms:
//  - kSine: amplitude × sin(2π f n / rate + c π/2) on channel c, so that
//    neighbouring channels are in quadrature; with a second frequency f₂
//    the two tones share the amplitude, (amplitude / 2) × (sin(2π f n / rate
//    + c π/2) + sin(2π f₂ n / rate + c π/2)), and their phases together name
//    the frame far beyond one cycle of either tone (with f and f₂ whole
//    numbers of hertz, modulo rate / gcd(f, f₂) frames);
//  - kCounter: a sample counter, the 16-bit word ((n + c × 4099) mod 65535)
//    + 1 on channel c (never zero), which survives the conversion to 16 bits
//    exactly and lets a host find every lost or repeated frame.
// Every sample is a function of its frame number n and channel, so a host
// can recompute what any frame held. Not thread-safe: one delivery thread
// uses it; it allocates nothing.
class ToneGenerator {
 public:
  enum class Waveform { kSine, kCounter };

  struct Settings {
    uint32_t format = zFourCC("sowt");
    int32_t sampleRate = 48000;  // nominal frames per second
    int32_t channels = 2;
    // Clock error: the source delivers sampleRate × (1 + ppm × 1e-6) frames
    // per second of host time.
    double ppm = 0.0;
    Waveform waveform = Waveform::kSine;
    double frequency = 440.0;  // Hz, kSine only
    double secondFrequency = 0.0;  // Hz, kSine only; 0: one tone
    double amplitude = 0.5;    // of full scale, kSine only
  };

  static constexpr int32_t kMinSampleRate = 8000;
  static constexpr int32_t kMaxSampleRate = 384000;
  static constexpr int32_t kMaxChannels = 32;
  // A clock more than 10 % off is not a drifting clock but a wrong rate.
  static constexpr double kMaxAbsPpm = 100000.0;
  static constexpr int32_t kCounterChannelStride = 4099;
  static constexpr int32_t kCounterPeriod = 65535;  // frames before the counter repeats

  // Bytes of one sample of `format`: 2, 3, 3, 4, 4 for "sowt", "in24",
  // "42ni", "32ni", "fl32"; 0 for any other code.
  static int32_t BytesPerSample(uint32_t format);
  static bool IsSupportedFormat(uint32_t format) { return BytesPerSample(format) > 0; }

  explicit ToneGenerator(const Settings& settings);

  // False when the settings cannot make audio: an unsupported format, a rate
  // outside kMinSampleRate … kMaxSampleRate, a channel count outside
  // 1 … kMaxChannels, |ppm| beyond kMaxAbsPpm (or not finite), or for kSine
  // a frequency outside (0, rate / 2), a second frequency neither 0 nor in
  // (0, rate / 2), or an amplitude outside (0, 1].
  bool IsUsable() const { return usable_; }
  const Settings& GetSettings() const { return settings_; }
  int32_t BytesPerFrame() const { return usable_ ? settings_.channels * BytesPerSample(settings_.format) : 0; }

  // The frames that fall due in the next `micros` microseconds of host time:
  // the whole frames of rate × (1 + ppm × 1e-6) × elapsed time since the
  // first call, less those handed out before, so fractions carry over from
  // block to block and nothing is lost to rounding. 0 for a negative
  // interval or when unusable.
  int32_t FramesForInterval(int64_t micros);
  // Host time accounted so far by FramesForInterval, in microseconds.
  int64_t ElapsedMicros() const { return elapsedMicros_; }

  // Writes the next `frames` frames of the stream (starting at
  // FramesGenerated()) into `destination` and returns the bytes written.
  // Returns -1 and writes nothing when unusable, `destination` is null,
  // `frames` is negative or the block needs more than `capacity` bytes.
  int32_t Generate(int32_t frames, void* destination, int64_t capacity);
  int64_t FramesGenerated() const { return framesGenerated_; }

  // Sample of frame `frame`, channel `channel` as a 32-bit full-scale word
  // (the 16-bit value in the high half for kCounter); the format's sample is
  // this word rounded to its width. 0 for a negative frame, a channel out of
  // range or when unusable.
  int32_t SampleWord(int64_t frame, int32_t channel) const;
  // The counter's 16-bit sample for frame `frame` on channel `channel`.
  static int16_t CounterSample(int64_t frame, int32_t channel);
  // Inverse of CounterSample: the frame number modulo kCounterPeriod that
  // gave `sample` on `channel`; false for a zero sample (silence), which the
  // counter never makes.
  static bool CounterPosition(int16_t sample, int32_t channel, int32_t* position);

 private:
  Settings settings_;
  bool usable_ = false;
  int64_t ppb_ = 0;  // clock error in parts per billion
  int64_t elapsedMicros_ = 0;
  int64_t framesScheduled_ = 0;
  int64_t framesGenerated_ = 0;
};
