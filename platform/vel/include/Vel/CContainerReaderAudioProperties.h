#pragma once
#include <cstdint>

#include "Vel/CObject.h"
#include "Vel/Result.h"

namespace Corvane::Vel {

// The fields of an audio stream description, as plain data (0 = not set).
struct AudioStreamDescription {
  int32_t channels = 0;
  int32_t sampleRate = 0;       // frames per second
  int32_t bitsPerSample = 0;
  int32_t bytesPerPacket = 0;
  int32_t framesPerPacket = 0;
  uint32_t formatCode = 0;      // four-character sample format ('sowt', 'fl32', ...)
};

// Description of an interleaved PCM stream, given to a converter as its input
// format. Made empty (every field 0); each setter checks its value. Not
// thread-safe; the converter copies what it needs, so the description can be
// released right after SetInputFormat.
class VEL_EXPORT CContainerReaderAudioProperties : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("caap");
  static constexpr int32_t kMaxChannels = 1024;
  static constexpr int32_t kMaxSampleRate = 768000;  // frames per second
  static constexpr int32_t kMaxBitsPerSample = 64;

  explicit CContainerReaderAudioProperties(uint32_t typeCode = kType) noexcept;
  bool IsType(uint32_t code) const noexcept override;

  // Each setter returns ResultOK and stores the value, or ResultError and
  // leaves the field as it was when the value is out of range: channels
  // 1...kMaxChannels, sample rate 1...kMaxSampleRate, bits 1...kMaxBitsPerSample,
  // bytes and frames per packet at least 1. Any format code is stored; the
  // converter decides at Start whether it can read it.
  Result SetChannels(int32_t channels) noexcept;
  Result SetSampleRate(int32_t framesPerSecond) noexcept;
  Result SetBitsPerSample(int32_t bits) noexcept;
  Result SetBytesPerPacket(int32_t bytes) noexcept;
  Result SetFramesPerPacket(int32_t frames) noexcept;
  Result SetFormatCode(uint32_t code) noexcept;

  int32_t GetChannels() const noexcept { return description_.channels; }
  int32_t GetSampleRate() const noexcept { return description_.sampleRate; }
  int32_t GetBitsPerSample() const noexcept { return description_.bitsPerSample; }
  int32_t GetBytesPerPacket() const noexcept { return description_.bytesPerPacket; }
  int32_t GetFramesPerPacket() const noexcept { return description_.framesPerPacket; }
  uint32_t GetFormatCode() const noexcept { return description_.formatCode; }
  const AudioStreamDescription& GetDescription() const noexcept { return description_; }

 protected:
  ~CContainerReaderAudioProperties() override;

 private:
  AudioStreamDescription description_;
};

}  // namespace Corvane::Vel
