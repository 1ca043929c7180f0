#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/kaFoundation.h"

// Resamples one continuous stream of interleaved 16-bit PCM at a ratio that
// may change from block to block (input frames consumed per output frame,
// within 1 ± kMaxRatioDeviation), with a polyphase Kaiser-windowed sinc of
// kTaps taps whose kPhases + 1 phases are interpolated linearly. The filter
// passes up to 20 kHz and stops from 24 kHz at 48 kHz: images and
// interpolation error of tones up to 20 kHz stay below -100 dB, in float
// arithmetic; each output sample is rounded to 16 bits and saturated.
// Phase-continuous: the fractional read position and the last kTaps input
// frames carry over from block to block, so a stream cut into blocks of any
// sizes comes out as the same samples as in one block. Output lags the input
// by kLatencyFrames frames; after construction or Reset the stream starts
// against silence.
// Owns its history and output storage, sized for a channel count the first
// time a block of that many channels arrives (a block of another count
// restarts the stream); blocks of any length are taken kChunkFrames at a
// time, so nothing is allocated after that. No lock: one caller at a time
// (the renderer's delivery thread).
class KASP2_EXPORT kaSmoothDriftResampler {
 public:
  static constexpr int kTaps = 96;
  static constexpr int kPhases = 512;
  static constexpr int kLatencyFrames = kTaps / 2;
  static constexpr int kMaxChannels = 64;
  // The filter is laid out for a near-unity ratio; farther off, tones near
  // 20 kHz would alias.
  static constexpr double kMaxRatioDeviation = 0.02;
  // Input frames taken per pass: bounds the storage whatever the block size.
  static constexpr int kChunkFrames = 1024;

  // Where output goes: `count` frames of the block's channel count, valid
  // only during the call. May be called several times for one block.
  using Sink = std::function<void(const int16_t* frames, int count)>;

  kaSmoothDriftResampler();
  kaSmoothDriftResampler(const kaSmoothDriftResampler&) = delete;
  kaSmoothDriftResampler& operator=(const kaSmoothDriftResampler&) = delete;

  // Takes `frames` frames of `channels` interleaved samples, resamples them
  // at `ratio` from the stream's current position on, hands the output to
  // `sink` and returns how many frames it handed (0 while the first
  // kLatencyFrames of a stream fill the filter).
  // Returns -1, with nothing delivered and the stream unchanged, for a null
  // `input` or empty `sink`, `frames` below 1, `channels` outside
  // 1 ... kMaxChannels, a ratio that is not finite or lies outside
  // 1 ± kMaxRatioDeviation, or memory short for a new channel count.
  int64_t Process(const int16_t* input, int channels, int frames, double ratio, const Sink& sink);

  // Forgets the history and the position: the next block starts a new
  // stream against silence. Keeps the storage.
  void Reset();

  // The channel count of the current stream; 0 before the first block.
  int Channels() const { return channels_; }
  // Input frames taken and output frames made since the stream began.
  int64_t InputFrames() const { return inputFrames_; }
  int64_t OutputFrames() const { return outputFrames_; }

 private:
  // Sizes the storage for `channels` and restarts the stream; false, nothing
  // changed, when memory is short.
  bool PrepareChannels(int channels);
  // Makes every output frame whose taps are all in the history, the read
  // position moving `step` (fixed point) per frame; returns how many.
  int RunFilter(int64_t step);
  // Drops the frames that no later output needs.
  void Compact();

  int channels_ = 0;
  // Planar history, one row of kHistoryFrames per channel: the frames the
  // filter still needs followed by those of the chunk being taken.
  std::vector<float> history_;
  std::vector<int16_t> output_;  // interleaved, one pass's output
  int filled_ = 0;               // frames in each row
  // Read position of the next output frame from the row's start, in frames
  // with 32 fractional bits: exact steps, however a stream is cut.
  int64_t position_ = 0;
  int64_t inputFrames_ = 0;
  int64_t outputFrames_ = 0;
};
