#pragma once
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

// Turns decoded audio into interleaved blocks in a sample format that the
// audio renderer takes, at the decoder's own rate and channel count: planar
// output is interleaved sample by sample, and nothing is resampled. 16-bit,
// float and 32-bit decoders keep their format ("sowt", "fl32", "32ni");
// the three that the renderer does not take are narrowed as plainly as it
// goes: unsigned 8-bit to "sowt" (shifted up), double to "fl32", 64-bit to
// "32ni" (its high half). Owns the interleave buffer, which grows to the
// largest block seen and is then reused. Not thread-safe: the source's
// decode thread (or the simulated driver) uses it.
class MediaAudioInterleaver {
 public:
  static constexpr int32_t kMaxChannels = 64;  // what the renderer carries

  // The renderer's code for audio decoded as `format`; 0 for none.
  static uint32_t RendererFormat(AVSampleFormat format);
  // Bytes of one sample of renderer code `format` ("sowt" 2, "fl32" and
  // "32ni" 4); 0 for another code.
  static int32_t BytesPerSample(uint32_t format);

  MediaAudioInterleaver() = default;
  MediaAudioInterleaver(const MediaAudioInterleaver&) = delete;
  MediaAudioInterleaver& operator=(const MediaAudioInterleaver&) = delete;

  // Interleaves `block` into the buffer and returns its byte count; Data(),
  // Format() and Channels() then describe it. Returns -1, the buffer as it
  // was, for a sample format without a renderer code, a channel count
  // outside 1 … kMaxChannels, no samples or missing planes, or when memory
  // is short.
  int32_t Interleave(const AVFrame& block);

  const uint8_t* Data() const { return buffer_.data(); }
  uint32_t Format() const { return format_; }
  int32_t Channels() const { return channels_; }
  int32_t FrameBytes() const { return channels_ * BytesPerSample(format_); }

 private:
  std::vector<uint8_t> buffer_;
  uint32_t format_ = 0;
  int32_t channels_ = 0;
};
