#include "plugins/kaSingleBufferAudioResampler.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

namespace {

// 2^63 as a double: beyond it a value has no int64 form.
constexpr double kTwoPow63 = 9223372036854775808.0;

// Stores the low 16 bits of an integer as a sample: the modular conversion
// goes through unsigned types, so a value outside the 16-bit range wraps
// instead of invoking undefined behaviour.
inline short Low16(int64_t value) {
  return static_cast<short>(static_cast<uint16_t>(static_cast<uint64_t>(value)));
}

// Product of two 32-bit integers as a 32-bit integer, wrapping on overflow
// (the parabola forms its products of frame indices in 32 bits).
inline int32_t Multiply32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

inline void CopyFrame(const short* source, size_t channels, size_t frame, short* out) {
  const short* in = source + frame * channels;
  for (size_t c = 0; c < channels; ++c) out[c] = in[c];
}

// Linear blend at source position x: each product rounded to single
// precision, the two added in single precision, the sum truncated toward zero.
void BlendFrame(const short* source, size_t channels, int sourceFrames, double x, short* out) {
  const int f = static_cast<int>(x);
  const int g = (f + 1 >= sourceFrames) ? f : f + 1;
  const float t = static_cast<float>(x - f);
  const double w = 1.0 - t;
  const short* a = source + static_cast<size_t>(f) * channels;
  const short* b = source + static_cast<size_t>(g) * channels;
  for (size_t c = 0; c < channels; ++c) {
    const float left = static_cast<float>(a[c] * w);
    const float right = static_cast<float>(b[c] * static_cast<double>(t));
    const float sum = left + right;
    out[c] = Low16(static_cast<int64_t>(sum));
  }
}

// Value at x of the parabola through (n-1, y0), (n, y1), (n+1, y2), in
// absolute frame coordinates; 1 <= n <= S-2 here.
void ParabolaFrame(const short* source, size_t channels, int n, double x, short* out) {
  const int32_t np1 = n + 1;
  const int32_t nm1 = n - 1;
  const double squareNext = Multiply32(np1, np1);
  const double squareThis = Multiply32(n, n);
  const double squarePrevious = Multiply32(nm1, nm1);
  const double nextTimesThis = Multiply32(np1, n);
  const double twicePreviousTimesNext = Multiply32(Multiply32(2, nm1), np1);
  const double previousTimesThis = Multiply32(nm1, n);
  const short* frame0 = source + static_cast<size_t>(nm1) * channels;
  const short* frame1 = source + static_cast<size_t>(n) * channels;
  const short* frame2 = source + static_cast<size_t>(np1) * channels;
  for (size_t c = 0; c < channels; ++c) {
    const int y0 = frame0[c];
    const int y1 = frame1[c];
    const int y2 = frame2[c];
    const double p = static_cast<double>(np1) * (y1 - y0) + static_cast<double>(n) * (y0 - y2) +
                     static_cast<double>(nm1) * (y2 - y1);
    const double q = squareNext * (y0 - y1) + squareThis * (y2 - y0) + squarePrevious * (y1 - y2);
    const double r = -(nextTimesThis * y0) + twicePreviousTimesNext * y1 - previousTimesThis * y2;
    const double value = (p * -0.5 * x * x + q * -0.5 * x) + r * -0.5;
    const double rounded = std::round(value);
    // In range the low 16 bits of the int64 equal those of the int32
    // truncation; a value with no integer form (only from frame indices so
    // large that their products wrap) stores 0.
    out[c] = (std::fabs(rounded) < kTwoPow63) ? Low16(static_cast<int64_t>(rounded)) : short{0};
  }
}

}  // namespace

kaSingleBufferAudioResampler::kaSingleBufferAudioResampler() = default;

kaSingleBufferAudioResampler::~kaSingleBufferAudioResampler() = default;

void kaSingleBufferAudioResampler::Nearest(short* source, int channels, int sourceFrames, int destinationFrames,
                                           std::function<void(short*, int)> deliver) {
  Resample(Method::kNearest, source, channels, sourceFrames, destinationFrames, deliver);
}

void kaSingleBufferAudioResampler::NearestLinear(short* source, int channels, int sourceFrames, int destinationFrames,
                                                 std::function<void(short*, int)> deliver) {
  Resample(Method::kNearestLinear, source, channels, sourceFrames, destinationFrames, deliver);
}

void kaSingleBufferAudioResampler::Linear(short* source, int channels, int sourceFrames, int destinationFrames,
                                          std::function<void(short*, int)> deliver) {
  Resample(Method::kLinear, source, channels, sourceFrames, destinationFrames, deliver);
}

void kaSingleBufferAudioResampler::Parabolic(short* source, int channels, int sourceFrames, int destinationFrames,
                                             std::function<void(short*, int)> deliver) {
  Resample(Method::kParabolic, source, channels, sourceFrames, destinationFrames, deliver);
}

short* kaSingleBufferAudioResampler::DestinationBuffer(int channels, int frames) {
  if (channels < 0 || frames < 0) return nullptr;
  // Both factors are below 2^31, so the product fits in size_t.
  const size_t needed = static_cast<size_t>(channels) * static_cast<size_t>(frames);
  if (needed > buffer_.size()) {
    if (needed > buffer_.max_size()) return nullptr;
    try {
      buffer_.resize(needed, short{0});
    } catch (const std::bad_alloc&) {
      return nullptr;
    } catch (const std::length_error&) {
      return nullptr;
    }
  }
  return buffer_.data();
}

void kaSingleBufferAudioResampler::Resample(Method method, short* source, int channels, int sourceFrames,
                                            int destinationFrames, const std::function<void(short*, int)>& deliver) {
  // A bad block has nothing that could be delivered safely: refused before
  // any work, with no call. An empty `deliver` throws std::bad_function_call
  // where it is called, after the output was computed, as std::function does.
  if (!source || channels < 1 || sourceFrames < 1 || destinationFrames < 0) return;

  // Nothing to change: the caller's own block, no copy.
  if (sourceFrames == destinationFrames) {
    deliver(source, sourceFrames);
    return;
  }

  // An empty result is still delivered, with the buffer's first element,
  // which is null while nothing was ever produced and must not be read.
  short* out = DestinationBuffer(channels, destinationFrames);
  if (destinationFrames == 0) {
    deliver(out, 0);
    return;
  }
  if (!out) return;

  const auto frameSize = static_cast<size_t>(channels);
  if (destinationFrames == 1) {
    // One output frame has no position on the (S-1)/(D-1) map: deliver the
    // block's first frame.
    CopyFrame(source, frameSize, 0, out);
    deliver(out, 1);
    return;
  }

  // Output frame i sits at source position x = (S-1)·i / (D-1), so the first
  // and last frames of the block line up; n is the source frame nearest x.
  const double sourceSpan = static_cast<double>(sourceFrames - 1);
  const double destinationSpan = static_cast<double>(destinationFrames - 1);
  const int lastFrame = sourceFrames - 1;
  int previousNearest = -1;
  double i = 0.0;
  for (int frame = 0; frame < destinationFrames; ++frame, i += 1.0) {
    const double x = sourceSpan * i / destinationSpan;
    const int n = static_cast<int>(x + 0.5);  // 0 <= x <= S-1, so 0 <= n <= S-1
    short* o = out + static_cast<size_t>(frame) * frameSize;
    switch (method) {
      case Method::kNearest:
        CopyFrame(source, frameSize, static_cast<size_t>(n), o);
        break;
      case Method::kNearestLinear:
        // Blends only where several output frames fall on one source frame.
        if (n != previousNearest) {
          CopyFrame(source, frameSize, static_cast<size_t>(n), o);
        } else {
          BlendFrame(source, frameSize, sourceFrames, x, o);
        }
        previousNearest = n;
        break;
      case Method::kLinear:
        // The block's edges have no neighbour on one side: copied.
        if (n < 1 || n >= lastFrame) {
          CopyFrame(source, frameSize, static_cast<size_t>(n), o);
        } else {
          BlendFrame(source, frameSize, sourceFrames, x, o);
        }
        break;
      case Method::kParabolic:
        if (n < 1 || n >= lastFrame) {
          CopyFrame(source, frameSize, static_cast<size_t>(n), o);
        } else {
          ParabolaFrame(source, frameSize, n, x, o);
        }
        break;
    }
  }
  deliver(out, destinationFrames);
}
