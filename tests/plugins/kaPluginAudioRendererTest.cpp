// The audio renderer's configuration, interface, flush and format conversion.
#include "plugins/kaPluginAudioRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "AudioRendererTestSupport.h"

namespace audiotest {
namespace {

using ConfigTest = AudioRendererTest;

// ---- configuration ---------------------------------------------------------

TEST_F(ConfigTest, NewRendererHasDefaultSettings) {
  EXPECT_EQ(renderer->GetNumChannels(), 2);
  EXPECT_EQ(renderer->GetAudioDelay(), 0.0);
  EXPECT_EQ(renderer->GetInputChannelSelection(), 0);
  EXPECT_EQ(renderer->GetMonitorSelection(), 0);
  EXPECT_TRUE(renderer->IsUsingDelay());
  EXPECT_FALSE(renderer->IsDriftCorrectionEnabled());
  EXPECT_FALSE(renderer->ChangingResolution());
  EXPECT_FALSE(renderer->ResolutionChangePending());
  EXPECT_FALSE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  EXPECT_EQ(renderer->RateConverter(), nullptr);
  EXPECT_EQ(renderer->DriftDetector(), nullptr);
  EXPECT_EQ(renderer->Resampler(), nullptr);
  EXPECT_EQ(renderer->Ring().Capacity(), 33'792'000u);
  EXPECT_EQ(renderer->Ring().WrapSize(), 33'792'000u);
  EXPECT_EQ(renderer->Ring().AvailableData(), 0u);
  for (int bus = 0; bus < 4; ++bus) {
    unsigned long long quad = 0;
    ASSERT_TRUE(renderer->GetBusMappingQuad(bus, &quad));
    EXPECT_EQ(quad, kDefaultQuad) << "bus " << bus;
    EXPECT_EQ(kaAudioSettings::DefaultChannelBusMapQuad(static_cast<unsigned>(bus)), kDefaultQuad);
  }
  EXPECT_EQ(kaAudioSettings::DefaultChannelBusMapQuad(4), 0u);
}

TEST_F(ConfigTest, SetAudioRecordWritesTheWorkingFormatAndKeepsOtherFields) {
  veMediaRecord record(veMediaTypeVideo);
  record.SetWidth(640);
  record.SetAudioFormat(zFourCC("fl32"));
  renderer->SetAudioRecord(record);
  EXPECT_EQ(record.MediaType(), veMediaTypeAudio);
  EXPECT_EQ(record.SampleRate(), 48000);
  EXPECT_EQ(record.Channels(), 2);
  EXPECT_EQ(record.BitsPerSample(), 16);
  EXPECT_EQ(record.ChannelBuffers(), 1);
  EXPECT_EQ(record.Width(), 640);                     // not the renderer's business
  EXPECT_EQ(record.AudioFormat(), zFourCC("fl32"));  // the audio format field is not set

  // The host's OutputFormat("audo") goes through it, with the current count.
  DeliverCounter(0, 16);  // stereo
  std::vector<int16_t> six(6 * 10, 1);
  renderer->OnReceive(veTimeRange{}, six.data(), static_cast<int>(six.size() * 2), 48000, 6, kSowt);
  veMediaRecord output;
  EXPECT_EQ(renderer->OutputFormat(veMediaTypeAudio, output, 0), 0);
  EXPECT_EQ(output.Channels(), 6);
  EXPECT_EQ(output.SampleRate(), 48000);
}

TEST_F(ConfigTest, SettersStoreWhatGettersReturn) {
  renderer->SetAudioDelay(0.75);
  renderer->SetInputChannelSelection(7);
  renderer->SetMonitorSelection(-3);
  renderer->SetBusMappingQuad(3, 0x0002000300040005ULL);
  EXPECT_EQ(renderer->GetAudioDelay(), 0.75);
  EXPECT_EQ(renderer->GetInputChannelSelection(), 7);
  EXPECT_EQ(renderer->GetMonitorSelection(), -3);
  unsigned long long quad = 0;
  ASSERT_TRUE(renderer->GetBusMappingQuad(3, &quad));
  EXPECT_EQ(quad, 0x0002000300040005ULL);

  renderer->SetDriftCorrectionEnabled(true);
  EXPECT_TRUE(renderer->IsDriftCorrectionEnabled());
  renderer->SetDriftCorrectionEnabled(false);
  EXPECT_FALSE(renderer->IsDriftCorrectionEnabled());
}

TEST_F(ConfigTest, BusMappingQuadOutsideTheFourBusesIsIgnored) {
  renderer->SetBusMappingQuad(-1, 9);
  renderer->SetBusMappingQuad(4, 9);
  renderer->SetBusMappingQuad(std::numeric_limits<int>::max(), 9);
  for (int bus = 0; bus < 4; ++bus) {
    unsigned long long quad = 0;
    ASSERT_TRUE(renderer->GetBusMappingQuad(bus, &quad));
    EXPECT_EQ(quad, kDefaultQuad);
  }
  unsigned long long untouched = 42;
  EXPECT_FALSE(renderer->GetBusMappingQuad(4, &untouched));
  EXPECT_FALSE(renderer->GetBusMappingQuad(-1, &untouched));
  EXPECT_FALSE(renderer->GetBusMappingQuad(0, nullptr));
  EXPECT_EQ(untouched, 42u);
}

TEST_F(ConfigTest, ChangingResolutionTrueSetsOnlyTheFlagAndFalseRaisesAPendingChange) {
  renderer->SetChangingResolution(true);
  EXPECT_TRUE(renderer->ChangingResolution());
  EXPECT_FALSE(renderer->ResolutionChangePending());
  renderer->SetChangingResolution(false);
  EXPECT_FALSE(renderer->ChangingResolution());
  EXPECT_TRUE(renderer->ResolutionChangePending());
}

// ---- interface ---------------------------------------------------------------

TEST_F(ConfigTest, QueryInterfaceAnswersTheLiveDelayInterfaceWithAReference) {
  const int32_t before = renderer->RefCountForTesting();
  void* p = nullptr;
  ASSERT_EQ(renderer->QueryInterface("kaXIAudioLiveDelay", &p), 0);
  ASSERT_NE(p, nullptr);
  auto* delay = static_cast<kaXIAudioLiveDelay*>(p);
  EXPECT_EQ(delay, static_cast<kaXIAudioLiveDelay*>(renderer.get()));
  EXPECT_EQ(renderer->RefCountForTesting(), before + 1);

  // Calls through the interface reach the renderer.
  delay->SetAudioDelay(0.5);
  delay->SetInputChannelSelection(4);
  delay->SetMonitorSelection(5);
  delay->SetBusMappingQuad(1, 77);
  EXPECT_EQ(renderer->GetAudioDelay(), 0.5);
  EXPECT_EQ(delay->GetInputChannelSelection(), 4);
  EXPECT_EQ(renderer->GetMonitorSelection(), 5);
  unsigned long long quad = 0;
  ASSERT_TRUE(renderer->GetBusMappingQuad(1, &quad));
  EXPECT_EQ(quad, 77u);
  EXPECT_TRUE(delay->IsUsingDelay());

  // The interface's own QueryInterface and Release act on the renderer.
  void* again = nullptr;
  EXPECT_EQ(delay->QueryInterface("kaXIAudioLiveDelay", &again), 0);
  EXPECT_EQ(again, p);
  EXPECT_EQ(renderer->RefCountForTesting(), before + 2);
  delay->Release();
  delay->Release();
  EXPECT_EQ(renderer->RefCountForTesting(), before);
}

TEST_F(ConfigTest, QueryInterfaceRefusesOtherNamesAndClearsOut) {
  const int32_t before = renderer->RefCountForTesting();
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(renderer->QueryInterface("kaXIVideoLiveDelay", &p), -1);
  EXPECT_EQ(p, nullptr);
  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(renderer->QueryInterface("kaXIAudioLiveDelayX", &p), -1);
  EXPECT_EQ(p, nullptr);
  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(renderer->QueryInterface(nullptr, &p), -1);
  EXPECT_EQ(p, nullptr);
  // A null out: the name is still answered, but no reference is handed out.
  EXPECT_EQ(renderer->QueryInterface("kaXIAudioLiveDelay", nullptr), 0);
  EXPECT_EQ(renderer->QueryInterface("other", nullptr), -1);
  EXPECT_EQ(renderer->RefCountForTesting(), before);
}

// ---- flush ---------------------------------------------------------------------

TEST_F(ConfigTest, FlushTrimsTheWrapSizeToWholeFramesAndNeverRestoresIt) {
  auto deliverSilence = [&](int channels) {
    std::vector<int16_t> block(static_cast<size_t>(channels) * 10, 0);
    renderer->OnReceive(veTimeRange{}, block.data(), channels * 20, 48000, channels, kSowt);
    ASSERT_EQ(renderer->GetNumChannels(), channels);
  };
  renderer->FlushAudio();  // stereo divides the capacity
  EXPECT_EQ(renderer->Ring().WrapSize(), 33'792'000u);

  deliverSilence(7);
  EXPECT_EQ(renderer->Ring().WrapSize(), 33'792'000u) << "only the flush trims";
  renderer->FlushAudio();
  EXPECT_EQ(renderer->Ring().WrapSize(), 33'791'996u);

  deliverSilence(2);
  renderer->FlushAudio();
  EXPECT_EQ(renderer->Ring().WrapSize(), 33'791'996u);

  deliverSilence(9);
  renderer->FlushAudio();
  EXPECT_EQ(renderer->Ring().WrapSize(), 33'791'994u);

  deliverSilence(7);
  renderer->FlushAudio();
  EXPECT_EQ(renderer->Ring().WrapSize(), 33'791'996u) << "a later flush may widen it again";
}

TEST_F(ConfigTest, FlushReleasesConvertersButKeepsTheRingAndThePriming) {
  std::vector<int16_t> block(2 * 441, 100);
  for (int i = 0; i < 8; ++i) {
    renderer->OnReceive(veTimeRange{}, block.data(), 441 * 4, 44100, 2, kSowt);
  }
  std::vector<float> floats(2 * 480, 0.25f);
  renderer->OnReceive(veTimeRange{}, floats.data(), 480 * 8, 48000, 2, kFl32);
  ASSERT_NE(renderer->RateConverter(), nullptr);
  ASSERT_NE(renderer->FormatConverter(), nullptr);
  const int64_t velObjects = Vel::CObject::LiveObjectsForTesting();
  BufferRef primed = CueAt(clock().Now());
  ASSERT_TRUE(renderer->ReadPrimed());
  const uint32_t held = renderer->Ring().AvailableData();

  renderer->FlushAudio();
  EXPECT_EQ(renderer->RateConverter(), nullptr);
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  EXPECT_LT(Vel::CObject::LiveObjectsForTesting(), velObjects) << "the converters were destroyed";
  EXPECT_TRUE(renderer->ReadPrimed());
  EXPECT_EQ(renderer->Ring().AvailableData(), held);
}

// ---- conversion --------------------------------------------------------------

class ConvertTest : public AudioRendererTest {
 protected:
  // Runs ConvertAudioFrame; on success *out owns the buffer.
  bool Convert(const void* data, int bytes, int format, int rate, int channels, int* frames, BufferRef* out) {
    kaBuffer2* made = nullptr;
    const bool ok =
        renderer->ConvertAudioFrame(const_cast<void*>(data), bytes, format, rate, channels, frames, &made);
    if (out) out->reset(made);
    return ok;
  }

  // Expects ConvertAudioFrame to fail with *frameCount 0 and *buffer as it
  // was.
  void ExpectFailure(const void* data, int bytes, int format, int rate, int channels) {
    int frames = 77;
    auto* sentinel = reinterpret_cast<kaBuffer2*>(0x10);
    kaBuffer2* out = sentinel;
    EXPECT_FALSE(renderer->ConvertAudioFrame(const_cast<void*>(data), bytes, format, rate, channels, &frames, &out));
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(out, sentinel);
  }
};

TEST_F(ConvertTest, FormatsOutsideTheTableFailWithoutTouchingTheBuffer) {
  std::vector<uint8_t> block(1920, 1);
  ExpectFailure(block.data(), 1920, kIn32, 48000, 2);
  ExpectFailure(block.data(), 1920, kTwos, 48000, 2);
  ExpectFailure(block.data(), 1920, static_cast<int>(zFourCC("fl64")), 44100, 2);
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  EXPECT_EQ(renderer->RateConverter(), nullptr);
}

TEST_F(ConvertTest, WorkingFormatBlockIsCopiedIntoAPooledBufferWithoutAConverter) {
  std::vector<int16_t> block(2 * 480);
  CounterFrames(0, 480, block.data());
  const int64_t velObjects = Vel::CObject::LiveObjectsForTesting();
  int frames = 0;
  BufferRef out;
  ASSERT_TRUE(Convert(block.data(), 1920, kSowt, 48000, 2, &frames, &out));
  ASSERT_TRUE(out);
  EXPECT_EQ(frames, 480);
  ASSERT_EQ(out->StorageSize(), 1920u);
  EXPECT_EQ(std::memcmp(out->GetStorage(), block.data(), 1920), 0);
  EXPECT_EQ(out->MediaType(), veMediaTypeAudio);
  EXPECT_EQ(out->SampleRate(), 48000);
  EXPECT_EQ(out->Channels(), 2);
  EXPECT_EQ(out->BitsPerSample(), 16);
  EXPECT_EQ(out->ChannelBuffers(), 1);
  EXPECT_EQ(out->RefCountForTesting(), 1) << "the caller owns the one reference";
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  EXPECT_EQ(renderer->RateConverter(), nullptr);
  EXPECT_EQ(Vel::CObject::LiveObjectsForTesting(), velObjects) << "the wrapping sample is gone";
}

TEST_F(ConvertTest, Float32AtTheWorkingRateMakesOnlyTheFormatConverterAndConvertsExactly) {
  std::vector<int16_t> expected(2 * 480);
  CounterFrames(1000, 480, expected.data());
  std::vector<float> block(expected.size());
  ToFloat(expected.data(), static_cast<int>(expected.size()), block.data());
  int frames = 0;
  BufferRef out;
  ASSERT_TRUE(Convert(block.data(), 480 * 8, kFl32, 48000, 2, &frames, &out));
  EXPECT_NE(renderer->FormatConverter(), nullptr);
  EXPECT_EQ(renderer->RateConverter(), nullptr);
  EXPECT_EQ(frames, 480);
  EXPECT_EQ(Samples(*out), expected);
}

TEST_F(ConvertTest, WorkingFormatAtAnotherRateMakesOnlyTheRateConverter) {
  std::vector<int16_t> block(2 * 441, 0);
  int total = 0;
  for (int i = 0; i < 10; ++i) {
    int frames = 0;
    BufferRef out;
    ASSERT_TRUE(Convert(block.data(), 441 * 4, kSowt, 44100, 2, &frames, &out));
    EXPECT_EQ(out->StorageSize(), static_cast<uint32_t>(frames) * 4);
    total += frames;
  }
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  EXPECT_NE(renderer->RateConverter(), nullptr);
  // 10 ms at 44100 is 480 frames at 48000; the filter holds back under 1 ms.
  EXPECT_LE(total, 4800);
  EXPECT_GE(total, 4800 - 48);
}

TEST_F(ConvertTest, TwentyFourBitAt96kPassesThroughTheFormatThenTheRateConverter) {
  factories.Add(zFourCC("afc "), Script::kConvert, &log);
  factories.Add(zFourCC("asrc"), Script::kConvert, &log);
  // 4 frames of big-endian 24-bit stereo: the high 16 bits are 0x0102 + i.
  std::vector<uint8_t> block;
  for (int i = 0; i < 4; ++i) {
    for (int c = 0; c < 2; ++c) {
      block.push_back(0x01);
      block.push_back(static_cast<uint8_t>(0x02 + i + 0x10 * c));
      block.push_back(0xFF);
    }
  }
  int frames = 0;
  BufferRef out;
  ASSERT_TRUE(Convert(block.data(), static_cast<int>(block.size()), kIn24, 96000, 2, &frames, &out));
  ASSERT_EQ(log.converts.size(), 2u);
  EXPECT_EQ(log.converts[0], zFourCC("afc "));
  EXPECT_EQ(log.converts[1], zFourCC("asrc"));
  // The rate converter took every other frame of the format converter's output.
  EXPECT_EQ(frames, 2);
  EXPECT_EQ(Samples(*out), (std::vector<int16_t>{0x0102, 0x0112, 0x0104, 0x0114}));

  // What each converter was told: the format converter reads the block as it
  // came, the rate converter reads 16-bit audio at the block's rate.
  ASSERT_EQ(log.inputs.size(), 2u);
  EXPECT_EQ(log.inputs[0].channels, 2);
  EXPECT_EQ(log.inputs[0].sampleRate, 96000);
  EXPECT_EQ(log.inputs[0].bitsPerSample, 24);
  EXPECT_EQ(log.inputs[0].bytesPerPacket, 6);
  EXPECT_EQ(log.inputs[0].framesPerPacket, 1);
  EXPECT_EQ(log.inputs[0].formatCode, zFourCC("in24"));
  EXPECT_EQ(log.outputFormats[0], zFourCC("sowt"));
  EXPECT_EQ(log.inputs[1].sampleRate, 96000);
  EXPECT_EQ(log.inputs[1].bitsPerSample, 16);
  EXPECT_EQ(log.inputs[1].bytesPerPacket, 4);
  EXPECT_EQ(log.inputs[1].formatCode, zFourCC("sowt"));
  EXPECT_EQ(log.outputRates[1], 48000);
  EXPECT_EQ(log.outputFormats[1], zFourCC("sowt"));
}

TEST_F(ConvertTest, TwentyFourBitAt96kThroughTheFrameworkConvertersHalvesTheFrames) {
  // 10 ms of a quiet ramp, big-endian 24-bit stereo.
  std::vector<uint8_t> block;
  for (int i = 0; i < 960; ++i) {
    for (int c = 0; c < 2; ++c) {
      block.push_back(0x00);
      block.push_back(static_cast<uint8_t>(i & 0x7F));
      block.push_back(0x00);
    }
  }
  int total = 0;
  for (int i = 0; i < 4; ++i) {
    int frames = 0;
    BufferRef out;
    ASSERT_TRUE(Convert(block.data(), static_cast<int>(block.size()), kIn24, 96000, 2, &frames, &out));
    total += frames;
  }
  EXPECT_NE(renderer->FormatConverter(), nullptr);
  EXPECT_NE(renderer->RateConverter(), nullptr);
  EXPECT_LE(total, 4 * 480);
  EXPECT_GE(total, 4 * 480 - 48);
}

TEST_F(ConvertTest, EachInputFormatIsDescribedToTheFormatConverterByItsOwnCode) {
  struct Case {
    int format;
    int bits;
    uint32_t code;
  };
  const Case cases[] = {{kFl32, 32, zFourCC("23lf")}, {kIn24, 24, zFourCC("in24")},
                        {k42ni, 24, zFourCC("42ni")}, {k32ni, 32, zFourCC("23ni")}};
  factories.Add(zFourCC("afc "), Script::kConvert, &log);
  std::vector<uint8_t> block(3 * 4 * 8, 0);  // whole frames of every case, 3 channels
  for (const Case& c : cases) {
    renderer->FlushAudio();
    log.inputs.clear();
    int frames = 0;
    BufferRef out;
    const int bytes = c.bits * 3 / 8 * 8;
    ASSERT_TRUE(Convert(block.data(), bytes, c.format, 48000, 3, &frames, &out)) << c.code;
    EXPECT_EQ(frames, 8);
    ASSERT_EQ(log.inputs.size(), 1u);
    EXPECT_EQ(log.inputs[0].formatCode, c.code);
    EXPECT_EQ(log.inputs[0].bitsPerSample, c.bits);
    EXPECT_EQ(log.inputs[0].bytesPerPacket, c.bits * 3 / 8);
    EXPECT_EQ(log.inputs[0].channels, 3);
  }
}

TEST_F(ConvertTest, ConvertersAreReusedWhateverTheRateUntilFlush) {
  ScriptedFactory* rate = factories.Add(zFourCC("asrc"), Script::kConvert, &log);
  std::vector<int16_t> block(2 * 441, 5);
  int frames = 0;
  BufferRef out;
  ASSERT_TRUE(Convert(block.data(), 441 * 4, kSowt, 44100, 2, &frames, &out));
  EXPECT_EQ(frames, 480);
  // A block at 32000: 320 frames are converted as if they were at 44100.
  ASSERT_TRUE(Convert(block.data(), 320 * 4, kSowt, 32000, 2, &frames, &out));
  EXPECT_EQ(frames, 320 * 48000 / 44100);
  EXPECT_EQ(rate->made, 1);
  ASSERT_EQ(log.inputs.size(), 1u);
  EXPECT_EQ(log.inputs[0].sampleRate, 44100);

  renderer->FlushAudio();
  ASSERT_TRUE(Convert(block.data(), 320 * 4, kSowt, 32000, 2, &frames, &out));
  EXPECT_EQ(frames, 480);
  EXPECT_EQ(rate->made, 2);
  ASSERT_EQ(log.inputs.size(), 2u);
  EXPECT_EQ(log.inputs[1].sampleRate, 32000);
}

TEST_F(ConvertTest, FrameworkRateConverterMadeFor44100KeepsThatRatioForA32kBlock) {
  std::vector<int16_t> block(2 * 441, 0);
  int frames = 0;
  BufferRef out;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Convert(block.data(), 441 * 4, kSowt, 44100, 2, &frames, &out));
  ASSERT_TRUE(Convert(block.data(), 320 * 4, kSowt, 32000, 2, &frames, &out));
  EXPECT_NEAR(frames, 320 * 48000 / 44100, 2) << "still the 44100 converter";
  renderer->FlushAudio();
  int total = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Convert(block.data(), 320 * 4, kSowt, 32000, 2, &frames, &out));
    total += frames;
  }
  EXPECT_NEAR(total, 3 * 480, 48) << "a converter made for 32000";
}

TEST_F(ConvertTest, MalformedArgumentsFailBeforeAnythingChanges) {
  std::vector<float> block(2 * 480, 0.5f);
  ExpectFailure(block.data(), 3840, kFl32, 48000, 0);
  ExpectFailure(block.data(), 3840, kFl32, 48000, -2);
  ExpectFailure(block.data(), 3840, kFl32, 48000, 256);
  ExpectFailure(block.data(), 0, kFl32, 48000, 2);
  ExpectFailure(block.data(), -8, kFl32, 48000, 2);
  ExpectFailure(block.data(), 3844, kFl32, 48000, 2);  // half a frame
  ExpectFailure(block.data(), 3841, kSowt, 48000, 2);
  ExpectFailure(nullptr, 3840, kFl32, 48000, 2);
  ExpectFailure(block.data(), 3840, kFl32, 0, 2);
  ExpectFailure(block.data(), 3840, kFl32, -44100, 2);
  EXPECT_EQ(renderer->FormatConverter(), nullptr) << "no converter was made for a malformed block";
  EXPECT_EQ(renderer->RateConverter(), nullptr);

  kaBuffer2* out = nullptr;
  int frames = 5;
  EXPECT_FALSE(renderer->ConvertAudioFrame(block.data(), 3840, kFl32, 48000, 2, nullptr, &out));
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(renderer->ConvertAudioFrame(block.data(), 3840, kFl32, 48000, 2, &frames, nullptr));
  EXPECT_EQ(frames, 5) << "nothing is written when either out pointer is null";
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
}

TEST_F(ConvertTest, AConverterThatFailsToStartIsKeptUntilFlush) {
  ScriptedFactory* failing = factories.Add(zFourCC("afc "), Script::kFailStart, &log);
  std::vector<float> block(2 * 480, 0.5f);
  ExpectFailure(block.data(), 3840, kFl32, 48000, 2);
  EXPECT_NE(renderer->FormatConverter(), nullptr) << "kept";
  ExpectFailure(block.data(), 3840, kFl32, 48000, 2);
  EXPECT_EQ(failing->made, 1) << "not made again";
  EXPECT_TRUE(log.converts.empty()) << "nothing was pushed into a stopped converter";

  factories.Clear();
  ExpectFailure(block.data(), 3840, kFl32, 48000, 2);  // still the kept one
  renderer->FlushAudio();
  int frames = 0;
  BufferRef out;
  EXPECT_TRUE(Convert(block.data(), 3840, kFl32, 48000, 2, &frames, &out));
  EXPECT_EQ(frames, 480);
}

TEST_F(ConvertTest, ARateConverterThatFailsToStartFailsTheBlock) {
  factories.Add(zFourCC("asrc"), Script::kFailStart, &log);
  std::vector<int16_t> block(2 * 441, 1);
  ExpectFailure(block.data(), 441 * 4, kSowt, 44100, 2);
  EXPECT_NE(renderer->RateConverter(), nullptr);
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
}

TEST_F(ConvertTest, AConverterMissingFromTheInventoryFailsAndIsTriedAgainLater) {
  ScriptedFactory* missing = factories.Add(zFourCC("afc "), Script::kConvert, &log, true);
  std::vector<float> block(2 * 480, 0.5f);
  ExpectFailure(block.data(), 3840, kFl32, 48000, 2);
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  EXPECT_EQ(missing->made, 1);
  factories.Clear();
  int frames = 0;
  BufferRef out;
  EXPECT_TRUE(Convert(block.data(), 3840, kFl32, 48000, 2, &frames, &out));
  EXPECT_NE(renderer->FormatConverter(), nullptr);
}

TEST_F(ConvertTest, FailedPushPullNullOrEmptyOutputFailTheBlock) {
  const Script scripts[] = {Script::kFailPush, Script::kFailPull, Script::kNullPull, Script::kEmptyOutput};
  std::vector<float> floats(2 * 480, 0.5f);
  std::vector<int16_t> shorts(2 * 441, 1);
  for (const Script script : scripts) {
    SCOPED_TRACE(static_cast<int>(script));
    factories.Clear();
    renderer->FlushAudio();
    factories.Add(zFourCC("afc "), script, &log);
    factories.Add(zFourCC("asrc"), script, &log);
    ExpectFailure(floats.data(), 3840, kFl32, 48000, 2);
    ExpectFailure(shorts.data(), 441 * 4, kSowt, 44100, 2);
  }
}

TEST_F(ConvertTest, AFailureInTheSecondConverterFailsTheBlockAfterTheFirst) {
  factories.Add(zFourCC("afc "), Script::kConvert, &log);
  factories.Add(zFourCC("asrc"), Script::kFailPush, &log);
  std::vector<float> block(2 * 441, 0.5f);
  ExpectFailure(block.data(), 441 * 8, kFl32, 44100, 2);
  ASSERT_EQ(log.converts.size(), 2u);
  EXPECT_EQ(log.converts[0], zFourCC("afc "));
  EXPECT_EQ(log.converts[1], zFourCC("asrc"));
}

class NoBufferConvertTest : public ConvertTest {
 protected:
  kaBufferGroup2* MakeGroup() override { return failing = new FailingGroup(); }
  FailingGroup* failing = nullptr;
};

TEST_F(NoBufferConvertTest, NoBufferFromTheGroupFailsTheBlock) {
  failing->fail = true;
  std::vector<int16_t> block(2 * 480, 3);
  ExpectFailure(block.data(), 1920, kSowt, 48000, 2);
  std::vector<float> floats(2 * 480, 0.5f);
  ExpectFailure(floats.data(), 3840, kFl32, 48000, 2);
  EXPECT_EQ(failing->requests, 2);
}

}  // namespace
}  // namespace audiotest
