#include "CSampleFormatConverter.h"

#include <bit>
#include <cfenv>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VEL_HAVE_AVX2_PATH 1
#else
#define VEL_HAVE_AVX2_PATH 0
#endif

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
// round to nearest with halves to even, done by hand (truncate, step down to
// the floor, look at the fraction) so that a caller who changed the
// floating-point rounding mode still gets that result. Branch-free: a branch
// on the fraction mispredicts about every other sample of real audio.
template <class F>
int16_t ScaledToS16(F scaled) noexcept {
  F x = scaled == scaled ? scaled : F(0);
  x = x < F(-32768) ? F(-32768) : x;
  x = x > F(32767) ? F(32767) : x;
  const auto truncated = static_cast<int32_t>(x);  // toward zero; in range after the clamp
  const int32_t floor = truncated - static_cast<int32_t>(x < static_cast<F>(truncated));
  const F fraction = x - static_cast<F>(floor);  // exact: |x| <= 2^15
  // All-ones masks: above one half, or exactly one half from an odd floor.
  const int32_t above = -static_cast<int32_t>(fraction > F(0.5));
  const int32_t half = -static_cast<int32_t>(fraction == F(0.5));
  return static_cast<int16_t>(floor + ((above | (half & floor)) & 1));
}

// The same result in the default rounding mode (to nearest, halves to even):
// adding 1.5 x 2^23 (2^52 for double) leaves no fraction bits, so the
// hardware rounds the clamped value to an integer in that mode, and
// subtracting it again is exact.
template <class F>
struct RoundingConstant;
template <>
struct RoundingConstant<float> {
  static constexpr float kValue = 12582912.0f;
};
template <>
struct RoundingConstant<double> {
  static constexpr double kValue = 6755399441055744.0;
};

template <class F>
int16_t ScaledToS16RoundingToNearest(F scaled) noexcept {
  F x = scaled == scaled ? scaled : F(0);
  x = x < F(-32768) ? F(-32768) : x;
  x = x > F(32767) ? F(32767) : x;
  const F rounded = (x + RoundingConstant<F>::kValue) - RoundingConstant<F>::kValue;
  return static_cast<int16_t>(static_cast<int32_t>(rounded));
}

// Whether the floating-point unit that does the arithmetic rounds to
// nearest. With SSE that is MXCSR, which fegetround does not read.
bool RoundsToNearest() noexcept {
#if defined(__SSE2__)
  constexpr unsigned kRoundingControl = 0x6000;  // MXCSR bits 13-14; 0 is to nearest
  return (_mm_getcsr() & kRoundingControl) == 0;
#else
  return std::fegetround() == FE_TONEAREST;
#endif
}

#if VEL_HAVE_AVX2_PATH
// Sixteen floats at a time with AVX2, the same steps as the SSE2 loop below
// (NaN cleared, clamp, conversion in the current rounding mode, saturating
// pack); the pack works within each 128-bit half, so the halves are put back
// in order before the store. Returns how many samples it converted (a
// multiple of 16); the caller converts the rest.
__attribute__((target("avx2"))) std::size_t FloatsToS16Avx2(const uint8_t* data, int16_t* out,
                                                            std::size_t count) noexcept {
  const __m256 scale = _mm256_set1_ps(32768.0f);
  const __m256 low = _mm256_set1_ps(-32768.0f);
  const __m256 high = _mm256_set1_ps(32767.0f);
  const auto toInt32 = [&](const uint8_t* from) __attribute__((target("avx2"))) {
    __m256 x = _mm256_mul_ps(_mm256_loadu_ps(reinterpret_cast<const float*>(from)), scale);
    x = _mm256_and_ps(x, _mm256_cmp_ps(x, x, _CMP_ORD_Q));
    return _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(x, low), high));
  };
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i packed = _mm256_packs_epi32(toInt32(data + 4 * i), toInt32(data + 4 * i + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute4x64_epi64(packed, 0xD8));
  }
  return i;
}

bool HasAvx2() noexcept {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

// A block of little-endian floats scaled by 32768 to s16, in the form that
// suits the current rounding mode. In the default mode sixteen at a time
// where the processor has AVX2, then eight at a time with SSE2: NaN cleared,
// clamp, a conversion that rounds in that mode, and a saturating pack.
template <class F>
void FloatsToS16(const uint8_t* data, int16_t* out, std::size_t count) noexcept {
  std::size_t i = 0;
  if (!RoundsToNearest()) {
    for (; i < count; ++i) {
      F value;
      std::memcpy(&value, data + sizeof(F) * i, sizeof value);
      out[i] = ScaledToS16(value * F(32768));  // exact: a power of two
    }
    return;
  }
#if VEL_HAVE_AVX2_PATH
  if constexpr (std::is_same_v<F, float>) {
    if (HasAvx2()) i = FloatsToS16Avx2(data, out, count);
  }
#endif
#if defined(__SSE2__)
  if constexpr (std::is_same_v<F, float>) {
    const __m128 scale = _mm_set1_ps(32768.0f);
    const __m128 low = _mm_set1_ps(-32768.0f);
    const __m128 high = _mm_set1_ps(32767.0f);
    const auto toInt32 = [&](const uint8_t* from) {
      __m128 x = _mm_mul_ps(_mm_loadu_ps(reinterpret_cast<const float*>(from)), scale);
      x = _mm_and_ps(x, _mm_cmpord_ps(x, x));
      return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(x, low), high));
    };
    for (; i + 8 <= count; i += 8) {
      const __m128i packed = _mm_packs_epi32(toInt32(data + 4 * i), toInt32(data + 4 * i + 16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
  }
#endif
  for (; i < count; ++i) {
    F value;
    std::memcpy(&value, data + sizeof(F) * i, sizeof value);
    out[i] = ScaledToS16RoundingToNearest(value * F(32768));
  }
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
      FloatsToS16<float>(data, out, count);
      break;
    case kFl64:
      FloatsToS16<double>(data, out, count);
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
