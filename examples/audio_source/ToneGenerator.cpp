#include "ToneGenerator.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

namespace {

__extension__ using Int128 = __int128;

constexpr double kFullScale32 = 2147483648.0;  // 2^31
constexpr int64_t kPartsPerBillion = 1'000'000'000;
constexpr Int128 kMicrosTimesBillion = static_cast<Int128>(1'000'000) * kPartsPerBillion;

int32_t Saturate32(int64_t value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// The word rounded to the nearest value of its top `bits` bits (halves
// upward), saturated at the largest.
int32_t RoundToBits(int32_t word, int bits) {
  const int shift = 32 - bits;
  const int64_t rounded = (static_cast<int64_t>(word) + (int64_t{1} << (shift - 1))) >> shift;
  const int64_t largest = (int64_t{1} << (bits - 1)) - 1;
  return static_cast<int32_t>(rounded > largest ? largest : rounded);
}

}  // namespace

int32_t ToneGenerator::BytesPerSample(uint32_t format) {
  switch (format) {
    case zFourCC("sowt"):
      return 2;
    case zFourCC("in24"):
    case zFourCC("42ni"):
      return 3;
    case zFourCC("32ni"):
    case zFourCC("fl32"):
      return 4;
    default:
      return 0;
  }
}

ToneGenerator::ToneGenerator(const Settings& settings) : settings_(settings) {
  const Settings& s = settings_;
  usable_ = IsSupportedFormat(s.format) && s.sampleRate >= kMinSampleRate && s.sampleRate <= kMaxSampleRate &&
            s.channels >= 1 && s.channels <= kMaxChannels && std::isfinite(s.ppm) && std::fabs(s.ppm) <= kMaxAbsPpm;
  if (usable_ && s.waveform == Waveform::kSine) {
    const auto audible = [&s](double frequency) { return frequency > 0.0 && frequency < s.sampleRate / 2.0; };
    usable_ = audible(s.frequency) && (s.secondFrequency == 0.0 || audible(s.secondFrequency)) && s.amplitude > 0.0 &&
              s.amplitude <= 1.0;
  }
  if (usable_) ppb_ = std::llround(s.ppm * 1000.0);
}

int32_t ToneGenerator::FramesForInterval(int64_t micros) {
  if (!usable_ || micros < 0) return 0;
  if (elapsedMicros_ > std::numeric_limits<int64_t>::max() - micros) return 0;
  elapsedMicros_ += micros;
  // Frames due = rate × (1e9 + ppb) × elapsed / (1e6 × 1e9), exactly.
  const Int128 due =
      static_cast<Int128>(settings_.sampleRate) * (kPartsPerBillion + ppb_) * elapsedMicros_ / kMicrosTimesBillion;
  const Int128 frames = due - framesScheduled_;
  framesScheduled_ = static_cast<int64_t>(due);
  return frames > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                      : static_cast<int32_t>(frames);
}

int16_t ToneGenerator::CounterSample(int64_t frame, int32_t channel) {
  const int64_t n = frame < 0 ? 0 : frame;
  const int64_t c = channel < 0 ? 0 : channel;
  const uint32_t code = static_cast<uint32_t>((n + c * kCounterChannelStride) % kCounterPeriod) + 1;
  return static_cast<int16_t>(static_cast<uint16_t>(code));
}

bool ToneGenerator::CounterPosition(int16_t sample, int32_t channel, int32_t* position) {
  const uint32_t code = static_cast<uint16_t>(sample);
  if (code == 0 || !position || channel < 0) return false;
  const int64_t offset = (static_cast<int64_t>(channel) * kCounterChannelStride) % kCounterPeriod;
  int64_t p = (static_cast<int64_t>(code) - 1 - offset) % kCounterPeriod;
  if (p < 0) p += kCounterPeriod;
  *position = static_cast<int32_t>(p);
  return true;
}

int32_t ToneGenerator::SampleWord(int64_t frame, int32_t channel) const {
  if (!usable_ || frame < 0 || channel < 0 || channel >= settings_.channels) return 0;
  if (settings_.waveform == Waveform::kCounter) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(CounterSample(frame, channel))) << 16);
  }
  // The phase is taken modulo one cycle before it is scaled, so that frame
  // numbers of hours keep their precision.
  const auto tone = [&](double frequency) {
    const double cycles = std::fmod(frequency * static_cast<double>(frame) / settings_.sampleRate, 1.0);
    return std::sin(2.0 * std::numbers::pi * cycles + channel * (std::numbers::pi / 2.0));
  };
  if (settings_.secondFrequency == 0.0) {
    return Saturate32(std::llround(settings_.amplitude * tone(settings_.frequency) * kFullScale32));
  }
  const double sum = tone(settings_.frequency) + tone(settings_.secondFrequency);
  return Saturate32(std::llround(settings_.amplitude / 2.0 * sum * kFullScale32));
}

int32_t ToneGenerator::Generate(int32_t frames, void* destination, int64_t capacity) {
  if (!usable_ || !destination || frames < 0) return -1;
  const int64_t bytes = static_cast<int64_t>(frames) * BytesPerFrame();
  if (bytes > capacity || bytes > std::numeric_limits<int32_t>::max()) return -1;
  auto* out = static_cast<uint8_t*>(destination);
  for (int32_t i = 0; i < frames; ++i) {
    const int64_t n = framesGenerated_ + i;
    for (int32_t c = 0; c < settings_.channels; ++c) {
      const int32_t word = SampleWord(n, c);
      switch (settings_.format) {
        case zFourCC("sowt"): {
          const auto v = static_cast<uint16_t>(RoundToBits(word, 16));
          *out++ = static_cast<uint8_t>(v);
          *out++ = static_cast<uint8_t>(v >> 8);
          break;
        }
        case zFourCC("in24"): {  // big-endian
          const auto v = static_cast<uint32_t>(RoundToBits(word, 24));
          *out++ = static_cast<uint8_t>(v >> 16);
          *out++ = static_cast<uint8_t>(v >> 8);
          *out++ = static_cast<uint8_t>(v);
          break;
        }
        case zFourCC("42ni"): {  // little-endian
          const auto v = static_cast<uint32_t>(RoundToBits(word, 24));
          *out++ = static_cast<uint8_t>(v);
          *out++ = static_cast<uint8_t>(v >> 8);
          *out++ = static_cast<uint8_t>(v >> 16);
          break;
        }
        case zFourCC("32ni"): {
          const auto v = static_cast<uint32_t>(word);
          for (int b = 0; b < 4; ++b) *out++ = static_cast<uint8_t>(v >> (8 * b));
          break;
        }
        default: {  // "fl32", little-endian IEEE float
          const float value = static_cast<float>(word / kFullScale32);
          uint32_t v = 0;
          std::memcpy(&v, &value, sizeof v);
          for (int b = 0; b < 4; ++b) *out++ = static_cast<uint8_t>(v >> (8 * b));
          break;
        }
      }
    }
  }
  framesGenerated_ += frames;
  return static_cast<int32_t>(bytes);
}
