#pragma once
#include <functional>
#include <vector>

#include "foundation/kaFoundation.h"

// kaSingleBufferAudioResampler: stretches or shrinks one block of interleaved
// signed 16-bit PCM from a source frame count S to a destination frame count D
// and hands the result to a callback. It owns one output buffer that grows to
// the largest block produced so far and is reused by every call, so steady
// state allocates nothing. No lock: one caller at a time (the audio
// renderer's delivery thread); the callback runs synchronously on it.
// Lives in a std::shared_ptr made with std::make_shared.
//
// Every method maps output frame i (0 ... D-1) to the source position
// x = (S-1) * i / (D-1), so the first and last frames of the block line up.
// `deliver` is called at most once, before the method returns:
//  - S == D: with `source` itself and S (no copy, the buffer is not touched);
//  - D == 0: with the own buffer's first element and 0 frames (that pointer
//    is null while no block has been produced yet and must not be read);
//  - D == 1 (S != 1): with source frame 0 copied into the own buffer, 1 frame;
//  - otherwise: with the own buffer holding D frames, and D.
// The delivered pointer is valid only during the callback.
// Nothing is computed or delivered, and the buffer is not touched, when
// `deliver` is empty, `source` is null, `channels` < 1, S < 1 or D < 0; nor
// when the buffer cannot be enlarged to C x D samples.
class KASP2_EXPORT kaSingleBufferAudioResampler : public zSharedObject {
 public:
  kaSingleBufferAudioResampler();
  ~kaSingleBufferAudioResampler() override;

  kaSingleBufferAudioResampler(const kaSingleBufferAudioResampler&) = delete;
  kaSingleBufferAudioResampler& operator=(const kaSingleBufferAudioResampler&) = delete;

  // Every output frame copies the nearest source frame n = (int)(x + 0.5).
  void Nearest(short* source, int channels, int sourceFrames, int destinationFrames,
               std::function<void(short*, int)> deliver);
  // Copies frame n when n differs from the previous output frame's n, else
  // blends linearly at x (several output frames on one source frame).
  void NearestLinear(short* source, int channels, int sourceFrames, int destinationFrames,
                     std::function<void(short*, int)> deliver);
  // Copies frame n when it is the first or the last source frame, else blends
  // linearly at x. Blends round each product to float, add in float and
  // truncate toward zero.
  void Linear(short* source, int channels, int sourceFrames, int destinationFrames,
              std::function<void(short*, int)> deliver);
  // Copies frame n when it is the first or the last source frame, else takes
  // the parabola through frames n-1, n, n+1 at x, rounded half away from zero.
  // Not saturated: the low 16 bits are stored, so overshoots wrap around.
  void Parabolic(short* source, int channels, int sourceFrames, int destinationFrames,
                 std::function<void(short*, int)> deliver);

  // Makes the buffer hold at least channels x frames samples (growing it with
  // zero samples; a larger buffer is left as it is) and returns its first
  // element. Returns null, leaving the buffer unchanged, for a negative
  // argument or when the buffer cannot grow; also null while the buffer is
  // empty and nothing is asked.
  short* DestinationBuffer(int channels, int frames);

 private:
  enum class Method { kNearest, kNearestLinear, kLinear, kParabolic };

  void Resample(Method method, short* source, int channels, int sourceFrames, int destinationFrames,
                const std::function<void(short*, int)>& deliver);

  // The single output buffer: only ever enlarged, never shrunk or cleared.
  std::vector<short> buffer_;
};
