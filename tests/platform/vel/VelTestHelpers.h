#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "Vel/CAudioConverter.h"
#include "Vel/CAudioSample.h"
#include "Vel/CComponentInventory.h"
#include "Vel/CContainerReaderAudioProperties.h"
#include "Vel/IProperties.h"
#include "Vel/RObject.h"

namespace Corvane::Vel::veltest {

// Fixture base: every test leaves no framework object alive.
class VelObjectTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(CObject::LiveObjectsForTesting(), liveBefore_); }

 private:
  const int64_t liveBefore_ = CObject::LiveObjectsForTesting();
};

// A description filled the way the audio renderer fills one: channels, rate,
// bits, bytes per frame, one frame per packet, then the format code.
inline RObject<CContainerReaderAudioProperties> Describe(uint32_t code, int channels, int rate,
                                                         int bits) {
  auto description =
      RObject<CContainerReaderAudioProperties>::Adopt(new CContainerReaderAudioProperties());
  description->SetChannels(channels);
  description->SetSampleRate(rate);
  description->SetBitsPerSample(bits);
  description->SetBytesPerPacket(bits * channels / 8);
  description->SetFramesPerPacket(1);
  description->SetFormatCode(code);
  return description;
}

// A converter of `type` from the inventory, given `description` (and, for a
// rate converter, the output rate), with `*started` = the Start result.
inline RObject<CAudioConverter> MakeConverter(uint32_t type,
                                              const CContainerReaderAudioProperties& description,
                                              int64_t outputRate, Result* started) {
  auto converter = RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(type));
  if (!converter) {
    ADD_FAILURE() << "no converter of the requested type";
    return converter;
  }
  converter->SetInputFormat(description);
  converter->SetFourProperty(CodeBookProperty::MediaFilter::OutputFormat, FourCC("sowt"));
  if (outputRate > 0) converter->SetProperty(CodeBookProperty::AudioConverter::SampleRate, outputRate);
  *started = converter->Start();
  return converter;
}

// Pushes `length` bytes through `converter` as one block and returns the
// pulled 16-bit samples; a failed push or pull is a test failure.
inline std::vector<int16_t> ConvertBlock(CAudioConverter& converter, const void* bytes,
                                         int32_t length, int32_t frames = 0) {
  auto input = RObject<CAudioSample>::Adopt(new CAudioSample(frames));
  input->SetExternalData(const_cast<void*>(bytes), length, false);
  std::vector<int16_t> values;
  if (converter.PushSample(0, input.Get()).Failed()) {
    ADD_FAILURE() << "push failed";
    return values;
  }
  RObject<CMediaSample> output;
  if (converter.PullSample(0, output).Failed() || !output) {
    ADD_FAILURE() << "pull failed";
    return values;
  }
  const CLockedDataReference locked = output->GetLockedDataReference(CMediaSample::kAccessRead);
  values.resize(static_cast<std::size_t>(locked.GetLength()) / 2);
  if (!values.empty()) std::memcpy(values.data(), locked.GetData(), values.size() * 2);
  return values;
}

}  // namespace Corvane::Vel::veltest
