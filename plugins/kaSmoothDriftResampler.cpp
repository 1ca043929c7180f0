#include "plugins/kaSmoothDriftResampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>

namespace {

constexpr int kHalfTaps = kaSmoothDriftResampler::kLatencyFrames;
constexpr int kTaps = kaSmoothDriftResampler::kTaps;
constexpr int kPhases = kaSmoothDriftResampler::kPhases;
// Frames in each channel's row: the taps that carry over plus one chunk.
constexpr int kHistoryFrames = kaSmoothDriftResampler::kChunkFrames + kTaps;
// Output frames one pass can make: the row's frames at the smallest ratio
// (1 / 0.98 < 1 + 1/32), and one for rounding.
constexpr int kOutputFrames = kHistoryFrames + kHistoryFrames / 32 + 2;

// The read position is fixed point, 32 fractional bits, so that it moves by
// the same exact steps however a stream is cut into blocks.
constexpr int kFractionBits = 32;
constexpr int64_t kOneFrame = int64_t{1} << kFractionBits;
constexpr int kPhaseBits = 9;  // kPhases = 2^9
static_assert(kPhases == 1 << kPhaseBits, "phases index the fraction's top bits");
constexpr int kBlendBits = kFractionBits - kPhaseBits;
constexpr float kBlendScale = 1.0f / static_cast<float>(int64_t{1} << kBlendBits);

// The filter: a sinc whose -6 dB point is 22 kHz at 48 kHz, under a Kaiser
// window with beta 12 (stopband near -120 dB), flat to 20 kHz and closed from
// 24 kHz, where the images of tones up to 20 kHz begin (48 kHz - 20 kHz =
// 28 kHz and above) and the input's own noise above the cutoff is cut.
constexpr double kCutoff = 22'000.0 / 48'000.0;  // of the sampling rate
constexpr double kKaiserBeta = 12.0;

// The zeroth-order modified Bessel function of the first kind (power series).
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  const double quarter = x * x / 4.0;
  for (int k = 1; k < 200; ++k) {
    term *= quarter / (static_cast<double>(k) * k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// Row p holds the taps for a read position p / kPhases of a frame past the
// newest frame's centre tap; row kPhases (a whole frame) closes the last
// interval. Each row sums to 1, so that every phase passes DC alike. Static
// storage, made on first use (thread-safe), never freed.
struct FilterTable {
  float taps[(kPhases + 1) * kTaps];

  FilterTable() {
    const double norm = BesselI0(kKaiserBeta);
    for (int p = 0; p <= kPhases; ++p) {
      const double mu = static_cast<double>(p) / kPhases;
      double row[kTaps];
      double sum = 0.0;
      for (int k = 0; k < kTaps; ++k) {
        // Distance from the read position to tap k's frame.
        const double d = mu + (kHalfTaps - 1) - k;
        const double x = d / kHalfTaps;
        const double window = std::fabs(x) >= 1.0 ? 0.0 : BesselI0(kKaiserBeta * std::sqrt(1.0 - x * x)) / norm;
        const double arg = std::numbers::pi * 2.0 * kCutoff * d;
        const double sinc = d == 0.0 ? 1.0 : std::sin(arg) / arg;
        row[k] = 2.0 * kCutoff * sinc * window;
        sum += row[k];
      }
      for (int k = 0; k < kTaps; ++k) taps[p * kTaps + k] = static_cast<float>(row[k] / sum);
    }
  }
};

const FilterTable& Table() {
  static const FilterTable table;
  return table;
}

// The taps for a read position whose fraction of a frame is `fraction`
// (fixed point), blended linearly between the two nearest phases.
void TapsFor(uint32_t fraction, float* out) {
  const float* table = Table().taps;
  const uint32_t phase = fraction >> kBlendBits;
  const float blend = static_cast<float>(fraction & ((1u << kBlendBits) - 1u)) * kBlendScale;
  const float* a = table + static_cast<size_t>(phase) * kTaps;
  const float* b = a + kTaps;
  for (int k = 0; k < kTaps; ++k) out[k] = a[k] + blend * (b[k] - a[k]);
}

// Σ taps × frames over the filter's span; four partial sums keep the adds
// independent.
float Dot(const float* taps, const float* frames) {
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
  for (int k = 0; k < kTaps; k += 4) {
    s0 += taps[k] * frames[k];
    s1 += taps[k + 1] * frames[k + 1];
    s2 += taps[k + 2] * frames[k + 2];
    s3 += taps[k + 3] * frames[k + 3];
  }
  return (s0 + s1) + (s2 + s3);
}

int16_t RoundToSample(float value) {
  const float clamped = std::clamp(value, -32768.0f, 32767.0f);
  return static_cast<int16_t>(std::lrint(clamped));
}

}  // namespace

kaSmoothDriftResampler::kaSmoothDriftResampler() { Table(); }

void kaSmoothDriftResampler::Reset() {
  // kHalfTaps - 1 frames of silence before the first frame, which is read at
  // once: its taps then reach back into the silence.
  filled_ = kHalfTaps - 1;
  for (int c = 0; c < channels_; ++c) {
    std::fill_n(history_.begin() + static_cast<ptrdiff_t>(c) * kHistoryFrames, filled_, 0.0f);
  }
  position_ = static_cast<int64_t>(kHalfTaps - 1) * kOneFrame;
  inputFrames_ = 0;
  outputFrames_ = 0;
}

bool kaSmoothDriftResampler::PrepareChannels(int channels) {
  const size_t historySize = static_cast<size_t>(channels) * kHistoryFrames;
  const size_t outputSize = static_cast<size_t>(channels) * kOutputFrames;
  try {
    // Reserved first, so that a failure leaves both as they were.
    history_.reserve(historySize);
    output_.reserve(outputSize);
  } catch (const std::bad_alloc&) {
    return false;
  }
  history_.resize(std::max(history_.size(), historySize));
  output_.resize(std::max(output_.size(), outputSize));
  channels_ = channels;
  Reset();
  return true;
}

int64_t kaSmoothDriftResampler::Process(const int16_t* input, int channels, int frames, double ratio,
                                        const Sink& sink) {
  if (!input || !sink || frames < 1 || channels < 1 || channels > kMaxChannels || !std::isfinite(ratio) ||
      std::fabs(ratio - 1.0) > kMaxRatioDeviation) {
    return -1;
  }
  if (channels != channels_ && !PrepareChannels(channels)) return -1;
  // Within ± 2 % of one frame: far from the 64-bit range.
  const auto step = static_cast<int64_t>(std::llround(ratio * static_cast<double>(kOneFrame)));

  int64_t delivered = 0;
  int taken = 0;
  while (taken < frames) {
    const int count = std::min(frames - taken, kHistoryFrames - filled_);
    const int16_t* from = input + static_cast<ptrdiff_t>(taken) * channels;
    for (int c = 0; c < channels; ++c) {
      float* row = history_.data() + static_cast<ptrdiff_t>(c) * kHistoryFrames + filled_;
      for (int f = 0; f < count; ++f) row[f] = static_cast<float>(from[static_cast<ptrdiff_t>(f) * channels + c]);
    }
    filled_ += count;
    taken += count;
    const int made = RunFilter(step);
    if (made > 0) {
      sink(output_.data(), made);
      delivered += made;
    }
    Compact();
  }
  inputFrames_ += frames;
  outputFrames_ += delivered;
  return delivered;
}

int kaSmoothDriftResampler::RunFilter(int64_t step) {
  float taps[kTaps];
  int made = 0;
  while (made < kOutputFrames) {
    const auto frame = static_cast<int>(position_ >> kFractionBits);
    // Its taps run from kHalfTaps - 1 frames before it to kHalfTaps after.
    if (frame + kHalfTaps > filled_ - 1) break;
    TapsFor(static_cast<uint32_t>(position_ & (kOneFrame - 1)), taps);
    const int first = frame - (kHalfTaps - 1);
    int16_t* out = output_.data() + static_cast<ptrdiff_t>(made) * channels_;
    for (int c = 0; c < channels_; ++c) {
      out[c] = RoundToSample(Dot(taps, history_.data() + static_cast<ptrdiff_t>(c) * kHistoryFrames + first));
    }
    ++made;
    position_ += step;
  }
  return made;
}

void kaSmoothDriftResampler::Compact() {
  // The next output's first tap is the oldest frame still needed.
  const auto drop = static_cast<int>(position_ >> kFractionBits) - (kHalfTaps - 1);
  if (drop <= 0) return;
  const int kept = filled_ - drop;
  for (int c = 0; c < channels_; ++c) {
    float* row = history_.data() + static_cast<ptrdiff_t>(c) * kHistoryFrames;
    std::memmove(row, row + drop, static_cast<size_t>(kept) * sizeof(float));
  }
  filled_ = kept;
  position_ -= static_cast<int64_t>(drop) * kOneFrame;
}
