#include "CSampleFormatConverter.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace Corvane::Vel::detail {
namespace {

// The little-endian codes are read with memcpy into native values.
static_assert(std::endian::native == std::endian::little, "Vel reads LE samples natively");

constexpr uint32_t kSowt = FourCC("sowt");
constexpr uint32_t kTwos = FourCC("twos");
constexpr uint32_t kIn24 = FourCC("in24");
constexpr uint32_t k42ni = FourCC("42ni");
constexpr uint32_t kIn32 = FourCC("in32");
constexpr uint32_t k23ni = FourCC("23ni");
constexpr uint32_t k32ni = FourCC("32ni");
constexpr uint32_t kFl32 = FourCC("fl32");
constexpr uint32_t k23lf = FourCC("23lf");
constexpr uint32_t kFl64 = FourCC("fl64");

// Any rate will do for a conversion without resampling; it only has to be
// the same on both sides.
constexpr int kPassThroughRate = 48000;

int16_t FromHighBytes(uint8_t high, uint8_t low) noexcept {
  return static_cast<int16_t>(static_cast<uint16_t>((high << 8) | low));
}

// Scaled float to s16: saturate first (also +/-inf), NaN gives silence, then
// round to nearest with halves to even, done by hand so that the caller's
// floating-point rounding mode cannot change the result.
template <class F>
int16_t ScaledToS16(F scaled) noexcept {
  if (scaled != scaled) return 0;
  if (scaled >= F(32767)) return 32767;
  if (scaled <= F(-32768)) return -32768;
  const F floor = std::floor(scaled);
  const F fraction = scaled - floor;  // exact: |scaled| < 2^15
  auto value = static_cast<int32_t>(floor);
  if (fraction > F(0.5) || (fraction == F(0.5) && (value & 1) != 0)) ++value;
  return static_cast<int16_t>(value);
}

}  // namespace

CSampleFormatConverter::CSampleFormatConverter() noexcept : CAudioConverter(kComponentType) {}

CSampleFormatConverter::~CSampleFormatConverter() { OnStop(); }

bool CSampleFormatConverter::IsType(uint32_t code) const noexcept {
  return code == kComponentType || CAudioConverter::IsType(code);
}

int32_t CSampleFormatConverter::BytesPerSample(uint32_t formatCode) noexcept {
  switch (formatCode) {
    case kSowt:
    case kTwos:
      return 2;
    case kIn24:
    case k42ni:
      return 3;
    case kIn32:
    case k23ni:
    case k32ni:
    case kFl32:
    case k23lf:
      return 4;
    case kFl64:
      return 8;
    default:
      return 0;
  }
}

int32_t CSampleFormatConverter::OnStart(const AudioStreamDescription& input) noexcept {
  const int32_t sampleBytes = BytesPerSample(input.formatCode);
  if (sampleBytes == 0) return 0;
  if (input.channels < 1 || input.channels > CContainerReaderAudioProperties::kMaxChannels) {
    return 0;
  }
  const int32_t frameBytes = input.channels * sampleBytes;
  if (input.bitsPerSample != 0 && input.bitsPerSample != sampleBytes * 8) return 0;
  if (input.bytesPerPacket != 0) {
    const int64_t framesPerPacket = input.framesPerPacket > 0 ? input.framesPerPacket : 1;
    if (input.bytesPerPacket != framesPerPacket * frameBytes) return 0;
  }

  if (input.formatCode == k23ni || input.formatCode == k32ni) {
    // s32 -> s16 in libswresample is an arithmetic shift by 16, exactly the
    // "keep the high 16 bits" rule, and vectorised. The interleaved block is
    // handed over as one mono run of samples, so the channel count is free.
    AVChannelLayout mono;
    av_channel_layout_default(&mono, 1);
    if (swr_alloc_set_opts2(&swr_, &mono, AV_SAMPLE_FMT_S16, kPassThroughRate, &mono,
                            AV_SAMPLE_FMT_S32, kPassThroughRate, 0, nullptr) < 0 ||
        av_opt_set_int(swr_, "dither_method", SWR_DITHER_NONE, 0) < 0 || swr_init(swr_) < 0) {
      swr_free(&swr_);
      return 0;
    }
  }
  format_ = input.formatCode;
  channels_ = input.channels;
  return frameBytes;
}

void CSampleFormatConverter::OnStop() noexcept {
  swr_free(&swr_);
  format_ = 0;
  channels_ = 0;
}

// Floats are converted here, not by libswresample: its float -> s16 rounds
// to nearest (halves to even) as we do, but it saturates only inside
// +/-65536.0. Beyond that, and for +/-inf and NaN, its f32 path yields
// -32768 and its f64 path 0 or -32768 (measured with 4.7), where the rule
// is to saturate. Byte-swapped and 24-bit codes are plain loops as well:
// the library has no big-endian or packed 24-bit sample formats.
Result CSampleFormatConverter::Convert(const uint8_t* data, int32_t frames,
                                       CAudioSample& output) noexcept {
  const int64_t samples = static_cast<int64_t>(frames) * channels_;
  const int64_t outBytes = samples * 2;
  if (outBytes > INT32_MAX) return ResultError("block too large");
  if (output.Reserve(static_cast<int32_t>(outBytes)).Failed()) return ResultError("out of memory");
  auto* out = reinterpret_cast<int16_t*>(output.GetData());
  const auto count = static_cast<std::size_t>(samples);

  switch (format_) {
    case kSowt:
      std::memcpy(out, data, count * 2);
      break;
    case kTwos:
      for (std::size_t i = 0; i < count; ++i) out[i] = FromHighBytes(data[2 * i], data[2 * i + 1]);
      break;
    case kIn24:  // big-endian: the first two bytes are the high 16 bits
      for (std::size_t i = 0; i < count; ++i) out[i] = FromHighBytes(data[3 * i], data[3 * i + 1]);
      break;
    case k42ni:  // little-endian: the last two bytes are the high 16 bits
      for (std::size_t i = 0; i < count; ++i) {
        out[i] = FromHighBytes(data[3 * i + 2], data[3 * i + 1]);
      }
      break;
    case kIn32:
      for (std::size_t i = 0; i < count; ++i) out[i] = FromHighBytes(data[4 * i], data[4 * i + 1]);
      break;
    case k23ni:
    case k32ni:
      if (swr_ != nullptr && reinterpret_cast<uintptr_t>(data) % alignof(int32_t) == 0) {
        const uint8_t* in[1] = {data};
        uint8_t* outPlanes[1] = {output.GetData()};
        const int converted = swr_convert(swr_, outPlanes, static_cast<int>(samples), in,
                                          static_cast<int>(samples));
        if (converted != static_cast<int>(samples)) return ResultError("conversion failed");
      } else {
        // Caller bytes that are not 4-byte aligned cannot be read as int32_t
        // by the library; the same rule by hand.
        for (std::size_t i = 0; i < count; ++i) {
          out[i] = FromHighBytes(data[4 * i + 3], data[4 * i + 2]);
        }
      }
      break;
    case kFl32:
    case k23lf:
      for (std::size_t i = 0; i < count; ++i) {
        float value;
        std::memcpy(&value, data + 4 * i, sizeof value);
        out[i] = ScaledToS16(value * 32768.0f);  // exact: scaling by a power of two
      }
      break;
    case kFl64:
      for (std::size_t i = 0; i < count; ++i) {
        double value;
        std::memcpy(&value, data + 8 * i, sizeof value);
        out[i] = ScaledToS16(value * 32768.0);
      }
      break;
    default:
      return ResultError("not started");
  }
  output.SetLength(static_cast<int32_t>(outBytes));
  output.SetFrameCount(frames);
  return ResultOK;
}

CAudioConverter* CSampleFormatConverterFactory::CreateInstance() noexcept {
  return new (std::nothrow) CSampleFormatConverter();
}

}  // namespace Corvane::Vel::detail
