#include "Vel/CContainerReaderAudioProperties.h"

namespace Corvane::Vel {

CContainerReaderAudioProperties::CContainerReaderAudioProperties(uint32_t typeCode) noexcept
    : CObject(typeCode) {}

CContainerReaderAudioProperties::~CContainerReaderAudioProperties() = default;

bool CContainerReaderAudioProperties::IsType(uint32_t code) const noexcept {
  return code == kType || CObject::IsType(code);
}

Result CContainerReaderAudioProperties::SetChannels(int32_t channels) noexcept {
  if (channels < 1 || channels > kMaxChannels) return ResultError("channel count out of range");
  description_.channels = channels;
  return ResultOK;
}

Result CContainerReaderAudioProperties::SetSampleRate(int32_t framesPerSecond) noexcept {
  if (framesPerSecond < 1 || framesPerSecond > kMaxSampleRate) {
    return ResultError("sample rate out of range");
  }
  description_.sampleRate = framesPerSecond;
  return ResultOK;
}

Result CContainerReaderAudioProperties::SetBitsPerSample(int32_t bits) noexcept {
  if (bits < 1 || bits > kMaxBitsPerSample) return ResultError("bits per sample out of range");
  description_.bitsPerSample = bits;
  return ResultOK;
}

Result CContainerReaderAudioProperties::SetBytesPerPacket(int32_t bytes) noexcept {
  if (bytes < 1) return ResultError("bytes per packet must be positive");
  description_.bytesPerPacket = bytes;
  return ResultOK;
}

Result CContainerReaderAudioProperties::SetFramesPerPacket(int32_t frames) noexcept {
  if (frames < 1) return ResultError("frames per packet must be positive");
  description_.framesPerPacket = frames;
  return ResultOK;
}

Result CContainerReaderAudioProperties::SetFormatCode(uint32_t code) noexcept {
  description_.formatCode = code;
  return ResultOK;
}

}  // namespace Corvane::Vel
