#include "MediaAudioInterleaver.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstring>
#include <new>

#include "kasp2/kasp2.h"

namespace {

static_assert(std::endian::native == std::endian::little, "the renderer codes used here are little-endian");

constexpr uint32_t kSowt = zFourCC("sowt");
constexpr uint32_t kFl32 = zFourCC("fl32");
constexpr uint32_t k32ni = zFourCC("32ni");

// Writes sample `s` of every channel of `block` (`In` each) as `Out`,
// converted by `convert`, interleaved.
template <class In, class Out, class Convert>
void InterleaveAs(const AVFrame& block, int32_t channels, bool planar, uint8_t* destination, Convert convert) {
  const int32_t frames = block.nb_samples;
  auto* out = reinterpret_cast<Out*>(destination);
  if (!planar) {
    const auto* in = reinterpret_cast<const In*>(block.extended_data[0]);
    const int64_t count = static_cast<int64_t>(frames) * channels;
    for (int64_t i = 0; i < count; ++i) out[i] = convert(in[i]);
    return;
  }
  for (int32_t c = 0; c < channels; ++c) {
    const auto* in = reinterpret_cast<const In*>(block.extended_data[c]);
    for (int32_t f = 0; f < frames; ++f) out[static_cast<int64_t>(f) * channels + c] = convert(in[f]);
  }
}

template <class T>
T Same(T value) {
  return value;
}

}  // namespace

uint32_t MediaAudioInterleaver::RendererFormat(AVSampleFormat format) {
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_S16:
      return kSowt;
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_DBL:
      return kFl32;
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S64:
      return k32ni;
    default:
      return 0;
  }
}

int32_t MediaAudioInterleaver::BytesPerSample(uint32_t format) {
  if (format == kSowt) return 2;
  if (format == kFl32 || format == k32ni) return 4;
  return 0;
}

int32_t MediaAudioInterleaver::Interleave(const AVFrame& block) {
  const auto format = static_cast<AVSampleFormat>(block.format);
  const uint32_t code = RendererFormat(format);
  const int32_t channels = block.ch_layout.nb_channels;
  if (code == 0 || channels < 1 || channels > kMaxChannels || block.nb_samples <= 0 || !block.extended_data) return -1;
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  for (int32_t c = 0; c < (planar ? channels : 1); ++c) {
    if (!block.extended_data[c]) return -1;
  }
  // At most 64 channels × 4 bytes × nb_samples (an int): checked in 64 bits.
  const int64_t bytes = static_cast<int64_t>(block.nb_samples) * channels * BytesPerSample(code);
  if (bytes > INT32_MAX) return -1;
  if (buffer_.size() < static_cast<size_t>(bytes)) {
    try {
      buffer_.resize(static_cast<size_t>(bytes));
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  uint8_t* out = buffer_.data();
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
      InterleaveAs<uint8_t, int16_t>(block, channels, planar, out, [](uint8_t v) {
        return static_cast<int16_t>((static_cast<int32_t>(v) - 128) * 256);
      });
      break;
    case AV_SAMPLE_FMT_S16:
      InterleaveAs<int16_t, int16_t>(block, channels, planar, out, Same<int16_t>);
      break;
    case AV_SAMPLE_FMT_FLT:
      InterleaveAs<float, float>(block, channels, planar, out, Same<float>);
      break;
    case AV_SAMPLE_FMT_DBL:
      InterleaveAs<double, float>(block, channels, planar, out, [](double v) {
        // Beyond float's range the conversion would be undefined; NaN passes.
        return static_cast<float>(std::clamp(v, -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)));
      });
      break;
    case AV_SAMPLE_FMT_S32:
      InterleaveAs<int32_t, int32_t>(block, channels, planar, out, Same<int32_t>);
      break;
    default:  // AV_SAMPLE_FMT_S64
      InterleaveAs<int64_t, int32_t>(block, channels, planar, out,
                                     [](int64_t v) { return static_cast<int32_t>(v >> 32); });
      break;
  }
  format_ = code;
  channels_ = channels;
  return static_cast<int32_t>(bytes);
}
