#pragma once
#include <functional>
#include <vector>

#include "foundation/kaFoundation.h"

// Stretches or shrinks one block of interleaved 16-bit PCM from S source to
// D destination frames, first and last frames lined up (D == 1 gives the first
// frame), and hands the result to `deliver`, which must not be empty, at most
// once before returning; the pointer is valid only during that call (`source`
// itself when S == D). Owns one output buffer that grows to the largest block
// and is reused, so steady state allocates nothing. No lock: one caller at a
// time (the delivery thread). Lives in a std::shared_ptr.
// Each method delivers nothing, touching nothing, for a null `source`,
// channels or S below 1, a negative D, or memory short for D frames.
class KASP2_EXPORT kaSingleBufferAudioResampler : public zSharedObject {
 public:
  kaSingleBufferAudioResampler();
  ~kaSingleBufferAudioResampler() override;

  kaSingleBufferAudioResampler(const kaSingleBufferAudioResampler&) = delete;
  kaSingleBufferAudioResampler& operator=(const kaSingleBufferAudioResampler&) = delete;

  // Every output frame copies the nearest source frame.
  void Nearest(short* source, int channels, int sourceFrames, int destinationFrames,
               std::function<void(short*, int)> deliver);
  // Copies the nearest frame, but blends linearly where several output
  // frames fall on one source frame.
  void NearestLinear(short* source, int channels, int sourceFrames, int destinationFrames,
                     std::function<void(short*, int)> deliver);
  // Blends the two neighbouring frames linearly (single precision, truncated
  // toward zero); the block's first and last frames are copied.
  void Linear(short* source, int channels, int sourceFrames, int destinationFrames,
              std::function<void(short*, int)> deliver);
  // The parabola through the three nearest frames, rounded half away from
  // zero; the first and last frames are copied. Not saturated: overshoots
  // wrap around in 16 bits.
  void Parabolic(short* source, int channels, int sourceFrames, int destinationFrames,
                 std::function<void(short*, int)> deliver);

  // Grows the buffer (with zero samples) to at least channels × frames
  // samples and returns it; null while it is empty and nothing is asked.
  // Returns null, the buffer unchanged, for a negative argument or memory short.
  short* DestinationBuffer(int channels, int frames);

 private:
  enum class Method { kNearest, kNearestLinear, kLinear, kParabolic };

  void Resample(Method method, short* source, int channels, int sourceFrames, int destinationFrames,
                const std::function<void(short*, int)>& deliver);

  // Only ever enlarged, never shrunk or cleared.
  std::vector<short> buffer_;
};
