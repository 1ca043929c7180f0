#pragma once
#include <cstdint>

#include "foundation/kaFoundation.h"

// The records tests describe video images and audio blocks with.
inline veMediaRecord VideoFormat(int32_t width, int32_t height, uint32_t raster, int32_t bytesPerRow = 0) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(raster);
  format.SetBytesPerRow(bytesPerRow);
  return format;
}

// 16-bit interleaved audio.
inline veMediaRecord AudioFormat(int32_t sampleRate, int32_t channels) {
  veMediaRecord format(veMediaTypeAudio);
  format.SetAudioFormat(veAudioFormat::kSowt);
  format.SetBitsPerSample(16);
  format.SetChannelBuffers(1);
  format.SetChannels(channels);
  format.SetSampleRate(sampleRate);
  return format;
}
