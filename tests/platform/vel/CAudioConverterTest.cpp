#include "Vel/CAudioConverter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "VelTestHelpers.h"
#include "support/AllocationCounter.h"

namespace Corvane::Vel {
namespace {

using veltest::ConvertBlock;
using veltest::Describe;
using veltest::MakeConverter;
using veltest::VelObjectTest;

constexpr uint32_t kAfc = FourCC("afc ");
constexpr uint32_t kAsrc = FourCC("asrc");
constexpr uint32_t kSowt = FourCC("sowt");

class CAudioConverterTest : public VelObjectTest {
 protected:
  static RObject<CAudioConverter> Started(uint32_t type, uint32_t code, int channels, int rate,
                                          int bits, int64_t outputRate = 0) {
    Result started;
    auto converter = MakeConverter(type, *Describe(code, channels, rate, bits), outputRate, &started);
    EXPECT_FALSE(started.Failed());
    return converter;
  }
  static Result StartResult(uint32_t type, const CContainerReaderAudioProperties& description,
                            int64_t outputRate = 0) {
    Result started;
    MakeConverter(type, description, outputRate, &started);
    return started;
  }
};

TEST_F(CAudioConverterTest, StartFailsWithoutInputFormat) {
  auto converter = RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(kAfc));
  ASSERT_TRUE(converter);
  EXPECT_TRUE(converter->Start().Failed());
  EXPECT_FALSE(converter->IsStarted());
}

TEST_F(CAudioConverterTest, FormatConverterStartFailsForUnusableDescriptions) {
  EXPECT_TRUE(StartResult(kAfc, *Describe(FourCC("lpcm"), 2, 48000, 16)).Failed());
  EXPECT_TRUE(StartResult(kAfc, *Describe(0, 2, 48000, 16)).Failed());
  EXPECT_TRUE(StartResult(kAfc, *Describe(FourCC("fl32"), 0, 48000, 32)).Failed());
  EXPECT_TRUE(StartResult(kAfc, *Describe(FourCC("fl32"), -3, 48000, 32)).Failed());
  // Bits or packet size that disagree with the code.
  EXPECT_TRUE(StartResult(kAfc, *Describe(FourCC("in24"), 2, 48000, 32)).Failed());
  auto wrongPacket = Describe(FourCC("fl32"), 2, 48000, 32);
  wrongPacket->SetBytesPerPacket(6);
  EXPECT_TRUE(StartResult(kAfc, *wrongPacket).Failed());
  // A minimal description (code and channels) is enough.
  auto minimal = RObject<CContainerReaderAudioProperties>::Adopt(new CContainerReaderAudioProperties());
  minimal->SetChannels(3);
  minimal->SetFormatCode(FourCC("fl64"));
  EXPECT_FALSE(StartResult(kAfc, *minimal).Failed());
}

TEST_F(CAudioConverterTest, RateConverterStartFailsForUnusableDescriptions) {
  EXPECT_TRUE(StartResult(kAsrc, *Describe(kSowt, 2, 44100, 16)).Failed());  // no output rate
  EXPECT_TRUE(StartResult(kAsrc, *Describe(FourCC("fl32"), 2, 44100, 32), 48000).Failed());
  EXPECT_TRUE(StartResult(kAsrc, *Describe(kSowt, 0, 44100, 16), 48000).Failed());
  EXPECT_TRUE(StartResult(kAsrc, *Describe(kSowt, 65, 44100, 16), 48000).Failed());
  EXPECT_TRUE(StartResult(kAsrc, *Describe(kSowt, 2, 0, 16), 48000).Failed());
  EXPECT_FALSE(StartResult(kAsrc, *Describe(kSowt, 64, 44100, 16), 48000).Failed());
}

TEST_F(CAudioConverterTest, PropertiesCheckIdsAndValues) {
  auto rate = RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(kAsrc));
  auto format = RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(kAfc));
  ASSERT_TRUE(rate && format);
  IProperties& properties = *rate;
  int64_t value = -1;
  EXPECT_FALSE(properties.SetProperty(CodeBookProperty::AudioConverter::SampleRate, 48000).Failed());
  EXPECT_FALSE(properties.GetProperty(CodeBookProperty::AudioConverter::SampleRate, value).Failed());
  EXPECT_EQ(value, 48000);
  EXPECT_TRUE(properties.SetProperty(CodeBookProperty::AudioConverter::SampleRate, 0).Failed());
  EXPECT_TRUE(properties.SetProperty(CodeBookProperty::AudioConverter::SampleRate, 1LL << 40).Failed());
  properties.GetProperty(CodeBookProperty::AudioConverter::SampleRate, value);
  EXPECT_EQ(value, 48000);
  EXPECT_EQ(format->SetProperty(CodeBookProperty::AudioConverter::SampleRate, 48000),
            ResultNotSupported);
  EXPECT_EQ(format->SetFourProperty(CodeBookProperty::MediaFilter::OutputFormat, FourCC("fl32")),
            ResultNotSupported);
  EXPECT_EQ(format->SetFourProperty(FourCC("what"), kSowt), ResultNotSupported);
  uint32_t four = 0;
  EXPECT_FALSE(format->GetFourProperty(CodeBookProperty::MediaFilter::OutputFormat, four).Failed());
  EXPECT_EQ(four, kSowt);
}

TEST_F(CAudioConverterTest, ConfigurationIsFrozenWhileStarted) {
  auto converter = Started(kAsrc, kSowt, 2, 44100, 16, 48000);
  EXPECT_TRUE(converter->SetProperty(CodeBookProperty::AudioConverter::SampleRate, 32000).Failed());
  EXPECT_TRUE(converter->SetInputFormat(*Describe(kSowt, 1, 8000, 16)).Failed());
  EXPECT_FALSE(converter->Start().Failed());  // starting again changes nothing
  EXPECT_EQ(converter->GetInputDescription().channels, 2);
  converter->Stop();
  EXPECT_FALSE(converter->SetProperty(CodeBookProperty::AudioConverter::SampleRate, 32000).Failed());
}

TEST_F(CAudioConverterTest, PushAndPullCheckTheirArguments) {
  auto converter = Started(kAfc, kSowt, 2, 48000, 16);
  int16_t frames[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(4));
  sample->SetExternalData(frames, sizeof frames, false);
  RObject<CMediaSample> out;

  EXPECT_TRUE(converter->PullSample(0, out).Failed());  // nothing converted yet
  EXPECT_TRUE(converter->PushSample(1, sample.Get()).Failed());
  EXPECT_TRUE(converter->PushSample(-1, sample.Get()).Failed());
  EXPECT_TRUE(converter->PushSample(0, nullptr).Failed());
  auto empty = RObject<CAudioSample>::Adopt(new CAudioSample(0));
  EXPECT_TRUE(converter->PushSample(0, empty.Get()).Failed());
  auto partial = RObject<CAudioSample>::Adopt(new CAudioSample(1));
  partial->SetExternalData(frames, 6, false);  // one and a half frames
  EXPECT_TRUE(converter->PushSample(0, partial.Get()).Failed());

  ASSERT_FALSE(converter->PushSample(0, sample.Get()).Failed());
  EXPECT_TRUE(converter->PushSample(0, sample.Get()).Failed());  // previous block not pulled
  EXPECT_TRUE(converter->PullSample(1, out).Failed());
  EXPECT_FALSE(out);
  ASSERT_FALSE(converter->PullSample(0, out).Failed());
  ASSERT_TRUE(out);
  EXPECT_EQ(static_cast<CAudioSample*>(out.Get())->GetFrameCount(), 4);
  RObject<CMediaSample> again = out;
  EXPECT_TRUE(converter->PullSample(0, again).Failed());  // one pull per push
  EXPECT_EQ(again, out);
}

TEST_F(CAudioConverterTest, StoppedConverterRefusesBlocksAndDropsPendingOutput) {
  auto converter = Started(kAfc, kSowt, 1, 48000, 16);
  int16_t frames[2] = {1, 2};
  auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(2));
  sample->SetExternalData(frames, sizeof frames, false);
  ASSERT_FALSE(converter->PushSample(0, sample.Get()).Failed());
  EXPECT_FALSE(converter->Stop().Failed());
  RObject<CMediaSample> out;
  EXPECT_TRUE(converter->PullSample(0, out).Failed());
  EXPECT_TRUE(converter->PushSample(0, sample.Get()).Failed());
  ASSERT_FALSE(converter->Start().Failed());
  EXPECT_EQ(ConvertBlock(*converter, frames, sizeof frames), (std::vector<int16_t>{1, 2}));
}

TEST_F(CAudioConverterTest, OutputSamplesAreReusedOnceReleased) {
  auto converter = Started(kAfc, kSowt, 1, 48000, 16);
  int16_t frames[4] = {1, 2, 3, 4};
  auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(4));
  sample->SetExternalData(frames, sizeof frames, false);
  RObject<CMediaSample> first;
  ASSERT_FALSE(converter->PushSample(0, sample.Get()).Failed());
  ASSERT_FALSE(converter->PullSample(0, first).Failed());
  CMediaSample* firstAddress = first.Get();

  // Held by the caller: the next block goes to another sample.
  RObject<CMediaSample> second;
  ASSERT_FALSE(converter->PushSample(0, sample.Get()).Failed());
  ASSERT_FALSE(converter->PullSample(0, second).Failed());
  EXPECT_NE(second.Get(), firstAddress);
  EXPECT_EQ(first->GetData()[0], 1);  // the held block is untouched

  first.Reset();
  second.Reset();
  RObject<CMediaSample> third;
  ASSERT_FALSE(converter->PushSample(0, sample.Get()).Failed());
  ASSERT_FALSE(converter->PullSample(0, third).Failed());
  EXPECT_EQ(third.Get(), firstAddress);
}

TEST_F(CAudioConverterTest, CallerHoldingManyBlocksGetsFreshSamples) {
  auto converter = Started(kAfc, kSowt, 1, 48000, 16);
  std::vector<RObject<CMediaSample>> held;
  for (int16_t i = 0; i < 10; ++i) {
    int16_t frame = i;
    auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(1));
    sample->SetExternalData(&frame, 2, false);
    RObject<CMediaSample> out;
    ASSERT_FALSE(converter->PushSample(0, sample.Get()).Failed());
    ASSERT_FALSE(converter->PullSample(0, out).Failed());
    held.push_back(out);
  }
  for (int16_t i = 0; i < 10; ++i) {
    int16_t value;
    std::memcpy(&value, held[static_cast<std::size_t>(i)]->GetData(), 2);
    EXPECT_EQ(value, i);
  }
}

TEST_F(CAudioConverterTest, ReleasingAStartedConverterFreesEverything) {
  auto converter = Started(kAsrc, kSowt, 2, 44100, 16, 48000);
  std::vector<int16_t> block(882, 1000);
  ConvertBlock(*converter, block.data(), static_cast<int32_t>(block.size() * 2));
  int16_t frame[2] = {1, 2};
  auto sample = RObject<CAudioSample>::Adopt(new CAudioSample(1));
  sample->SetExternalData(frame, sizeof frame, false);
  ASSERT_FALSE(converter->PushSample(0, sample.Get()).Failed());  // left pending
  converter.Reset();  // the fixture checks that no object survives
}

// The chain the audio renderer runs per block: wrap the caller's bytes in a
// new sample, convert the format, convert the rate, read the result.
TEST_F(CAudioConverterTest, ChainAllocatesNothingPerBlockAfterWarmUp) {
  auto format = Started(kAfc, FourCC("23lf"), 2, 44100, 32);
  auto rate = Started(kAsrc, kSowt, 2, 44100, 16, 48000);
  std::vector<float> block(441 * 2);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i % 100) / 100.0f;
  int64_t frames = 0;
  auto runBlock = [&] {
    auto input = RObject<CAudioSample>::Adopt(new CAudioSample(441));
    input->SetExternalData(block.data(), static_cast<int32_t>(block.size() * 4), false);
    RObject<CMediaSample> current = input;
    for (CAudioConverter* converter : {format.Get(), rate.Get()}) {
      RObject<CMediaSample> next;
      ASSERT_FALSE(converter->PushSample(0, current.Get()).Failed());
      ASSERT_FALSE(converter->PullSample(0, next).Failed());
      current = std::move(next);
    }
    frames += current->GetLockedDataReference(CMediaSample::kAccessRead).GetLength() / 4;
  };
  for (int i = 0; i < 5; ++i) runBlock();
  AllocationCounter counter;
  frames = 0;
  for (int i = 0; i < 50; ++i) runBlock();
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_EQ(frames, 50 * 480);
}

}  // namespace
}  // namespace Corvane::Vel
