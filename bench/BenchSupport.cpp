#include "BenchSupport.h"

#include <cmath>
#include <cstring>

#include <benchmark/benchmark.h>

namespace kasp2bench {

veMediaRecord HdFrameFormat() {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(kHdWidth);
  format.SetHeight(kHdHeight);
  format.SetRasterType(veRasterType::k2vuy);
  format.SetBytesPerRow(kHdRowBytes);
  return format;
}

veMediaRecord WorkingAudioFormat(int channels) {
  veMediaRecord format(veMediaTypeAudio);
  format.SetSampleRate(48000);
  format.SetChannelBuffers(1);
  format.SetChannels(channels);
  format.SetBitsPerSample(16);
  return format;
}

std::vector<int16_t> ToneS16(int frames) {
  std::vector<int16_t> samples(static_cast<size_t>(frames) * kStereo);
  double phase = 0.0;
  for (int i = 0; i < frames; ++i) {
    // A sweep from 200 Hz upward at -6 dBFS; the right channel inverted.
    phase += 2.0 * M_PI * (200.0 + 10.0 * i) / 48000.0;
    const auto value = static_cast<int16_t>(std::lround(16384.0 * std::sin(phase)));
    samples[2 * i] = value;
    samples[2 * i + 1] = static_cast<int16_t>(-value);
  }
  return samples;
}

int BitsPerSample(int format) {
  if (format == kSowt) return 16;
  if (format == kIn24 || format == k42ni) return 24;
  return 32;  // fl32, 32ni
}

std::vector<unsigned char> ToneBytes(int format, int frames) {
  const std::vector<int16_t> tone = ToneS16(frames);
  const size_t sampleBytes = static_cast<size_t>(BitsPerSample(format)) / 8;
  std::vector<unsigned char> bytes(tone.size() * sampleBytes);
  for (size_t i = 0; i < tone.size(); ++i) {
    unsigned char* out = bytes.data() + i * sampleBytes;
    const auto s = static_cast<uint16_t>(tone[i]);
    if (format == kSowt) {
      std::memcpy(out, &tone[i], 2);
    } else if (format == kFl32) {
      const float f = static_cast<float>(tone[i]) / 32768.0f;
      std::memcpy(out, &f, 4);
    } else if (format == kIn24) {  // big-endian 24-bit
      out[0] = static_cast<unsigned char>(s >> 8);
      out[1] = static_cast<unsigned char>(s & 0xFF);
      out[2] = 0x40;
    } else if (format == k42ni) {  // little-endian 24-bit
      out[0] = 0x40;
      out[1] = static_cast<unsigned char>(s & 0xFF);
      out[2] = static_cast<unsigned char>(s >> 8);
    } else {  // 32ni: little-endian 32-bit
      const int32_t wide = static_cast<int32_t>(static_cast<uint32_t>(s) << 16) | 0x4000;
      std::memcpy(out, &wide, 4);
    }
  }
  return bytes;
}

void BenchHost::VideoReceived(const std::string& /*rendererName*/, kaBuffer2Producer& producer) {
  if (takesBuffer_) {
    std::shared_ptr<kaBuffer2> buffer = producer.ProduceBuffer();
    benchmark::DoNotOptimize(buffer.get());
  }
}

void BenchHost::AudioReceived(const std::string& /*rendererName*/, kaOptimizedBuffer2Producer& producer) {
  const veMediaRecord* format = producer.ProduceMetadata();
  benchmark::DoNotOptimize(format);
  if (takesBuffer_) {
    std::shared_ptr<kaBuffer2> buffer = producer.ProduceBuffer();
    benchmark::DoNotOptimize(buffer.get());
  }
}

}  // namespace kasp2bench
