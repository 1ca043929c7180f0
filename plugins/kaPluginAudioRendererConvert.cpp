// kaPluginAudioRenderer::ConvertAudioFrame: one received block to the working
// format through the media framework's converters, into a pooled buffer.
#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "Vel/CAudioConverter.h"
#include "Vel/CAudioSample.h"
#include "Vel/CComponentInventory.h"
#include "Vel/CContainerReaderAudioProperties.h"
#include "Vel/CLockedDataReference.h"
#include "Vel/CMediaSample.h"
#include "Vel/IProperties.h"
#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "vesk/veVelBridge.h"

namespace {

namespace Vel = Corvane::Vel;

// The sample formats a block may arrive in, with what the format converter
// is told about them. The framework names the little-endian float and 32-bit
// integer layouts by their own codes.
struct InputFormat {
  uint32_t code;
  int32_t bitsPerSample;
  uint32_t converterCode;
  bool needsFormatConversion;
};

constexpr InputFormat kInputFormats[] = {
    {zFourCC("fl32"), 32, zFourCC("23lf"), true},
    {zFourCC("in24"), 24, zFourCC("in24"), true},
    {zFourCC("42ni"), 24, zFourCC("42ni"), true},
    {zFourCC("32ni"), 32, zFourCC("23ni"), true},
    {zFourCC("sowt"), 16, zFourCC("sowt"), false},
};

const InputFormat* FindInputFormat(int format) {
  const auto code = static_cast<uint32_t>(format);
  for (const InputFormat& entry : kInputFormats) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

// A stream description for a converter's input. Setter results are not
// looked at: an out-of-range value leaves its field empty, and the
// converter's start then refuses the description.
Vel::RObject<Vel::CContainerReaderAudioProperties> Describe(int channels, int sampleRate, int bitsPerSample,
                                                            int bytesPerFrame, uint32_t formatCode) {
  auto description = Vel::RObject<Vel::CContainerReaderAudioProperties>::Adopt(
      new (std::nothrow) Vel::CContainerReaderAudioProperties());
  if (!description) return description;
  description->SetChannels(channels);
  description->SetSampleRate(sampleRate);
  description->SetBitsPerSample(bitsPerSample);
  description->SetBytesPerPacket(bytesPerFrame);
  description->SetFramesPerPacket(1);
  description->SetFormatCode(formatCode);
  return description;
}

// Makes the converter of `type` in `slot` from the inventory, gives it
// `description` and the working output format (and, for a rate converter,
// the working rate), and starts it. False when the description or the
// converter cannot be had (the slot stays empty, so the next block tries
// again) or the start fails (the converter stays in the slot, and every later
// block fails at its push until FlushAudio releases it).
bool MakeConverter(Vel::RObject<Vel::CAudioFilter>& slot, uint32_t type,
                   const Vel::RObject<Vel::CContainerReaderAudioProperties>& description, bool setsRate) {
  if (!description) return false;
  slot = Vel::RObject<Vel::CAudioFilter>::Adopt(Vel::CAudioConverterInventory::CreateInstance(type));
  if (!slot) return false;
  slot->SetInputFormat(*description);
  if (setsRate) {
    slot->SetProperty(Vel::CodeBookProperty::AudioConverter::SampleRate, kaPluginAudioRenderer::kWorkingSampleRate);
  }
  slot->SetFourProperty(Vel::CodeBookProperty::MediaFilter::OutputFormat, kaPluginAudioRenderer::kWorkingFormat);
  return !slot->Start().Failed();
}

// Pushes `current` into `filter` and replaces it with the pulled sample.
// False on a failed push or pull or a null pulled sample.
bool PassThrough(Vel::CAudioFilter& filter, Vel::RObject<Vel::CMediaSample>& current) {
  if (filter.PushSample(0, current.Get()).Failed()) return false;
  Vel::RObject<Vel::CMediaSample> pulled;
  if (filter.PullSample(0, pulled).Failed()) return false;
  if (!pulled) return false;
  current = std::move(pulled);
  return true;
}

}  // namespace

bool kaPluginAudioRenderer::ConvertToWorking(void* data, int byteCount, int format, int sampleRate, int channels,
                                             Vel::RObject<Vel::CMediaSample>& converted) {
  if (!data || byteCount <= 0 || channels < 1 || channels > kMaxChannels || sampleRate < kMinSampleRate ||
      sampleRate > kMaxSampleRate) {
    return false;
  }
  const InputFormat* input = FindInputFormat(format);
  if (!input) return false;
  // At most 32 bits × kMaxChannels: no overflow.
  const int inputFrameBytes = input->bitsPerSample * channels / 8;
  if (inputFrameBytes <= 0 || byteCount % inputFrameBytes != 0) return false;

  // A converter is made for the first block that needs it and then serves
  // every block, whatever its format, rate or channel count, until FlushAudio.
  if (input->needsFormatConversion && !formatConverter) {
    const auto description =
        Describe(channels, sampleRate, input->bitsPerSample, inputFrameBytes, input->converterCode);
    if (!MakeConverter(formatConverter, kFormatConverterType, description, false)) return false;
  }

  const bool needsRateConversion = sampleRate != kWorkingSampleRate;
  if (needsRateConversion && !rateConverter) {
    const auto description = Describe(channels, sampleRate, kWorkingBitsPerSample, channels * 2, kWorkingFormat);
    if (!MakeConverter(rateConverter, kRateConverterType, description, true)) return false;
  }

  // The framework sample refers to the caller's bytes for the rest of the
  // call; samples come from the framework's pool.
  auto wrapped = Vel::RObject<Vel::CAudioSample>::Adopt(new (std::nothrow) Vel::CAudioSample(byteCount / inputFrameBytes));
  if (!wrapped) return false;
  VEL_SetAudioSampleData(wrapped.Get(), data, byteCount, false);
  Vel::RObject<Vel::CMediaSample> current(std::move(wrapped));

  if (input->needsFormatConversion && !PassThrough(*formatConverter, current)) return false;
  if (needsRateConversion && !PassThrough(*rateConverter, current)) return false;
  converted = std::move(current);
  return true;
}

bool kaPluginAudioRenderer::ConvertAudioFrame(void* data, int byteCount, int format, int sampleRate, int channels,
                                              int* frameCount, kaBuffer2** buffer) {
  if (!frameCount || !buffer) return false;
  *frameCount = 0;
  Vel::RObject<Vel::CMediaSample> current;
  if (!ConvertToWorking(data, byteCount, format, sampleRate, channels, current)) return false;

  const Vel::CLockedDataReference converted = current->GetLockedDataReference(Vel::CMediaSample::kAccessReadWrite);
  const uint8_t* bytes = converted.GetData();
  const int32_t length = converted.GetLength();
  if (!bytes || length <= 0) return false;
  const int outputFrameBytes = channels * 2;
  const int frames = length / outputFrameBytes;
  if (frames < 1) return false;

  veMediaRecord description(veMediaTypeAudio);
  description.SetSampleRate(kWorkingSampleRate);
  description.SetChannelBuffers(1);
  description.SetChannels(channels);
  description.SetBitsPerSample(kWorkingBitsPerSample);

  kaBuffer2* allocated = nullptr;
  const int32_t result = bufferGroup->allocate_buffer(description, -1, frames, 0, &allocated);
  kaRef<kaBuffer2> made = kaRef<kaBuffer2>::Adopt(allocated);
  if (result != 0 || !made) return false;
  // A buffer without room for the frames would hand the caller a frame count
  // that its storage does not hold.
  const uint32_t wanted = static_cast<uint32_t>(frames) * static_cast<uint32_t>(outputFrameBytes);
  unsigned char* storage = made->GetStorage();
  if (!storage || made->StorageSize() < wanted) return false;
  zCopyMemory(bytes, storage, std::min<uint32_t>(static_cast<uint32_t>(length), made->StorageSize()));

  *buffer = made.Detach();
  *frameCount = frames;
  return true;
}

bool kaPluginAudioRenderer::WriteConverted(void* data, int byteCount, int format, int sampleRate, int channels) {
  Vel::RObject<Vel::CMediaSample> current;
  if (!ConvertToWorking(data, byteCount, format, sampleRate, channels, current)) return false;
  const Vel::CLockedDataReference converted = current->GetLockedDataReference(Vel::CMediaSample::kAccessRead);
  const uint8_t* bytes = converted.GetData();
  const int32_t length = converted.GetLength();
  if (!bytes || length <= 0 || length / (channels * 2) < 1) return false;
  WriteFrames(bytes, length / (channels * 2), channels);
  return true;
}
