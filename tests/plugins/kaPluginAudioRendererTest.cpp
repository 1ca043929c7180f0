// The audio renderer's receive side: its description and flush, each sample
// format and rate on its way into the ring, converter failures, the host's
// offer, and the drift-corrected path.
#include "plugins/kaPluginAudioRenderer.h"

#include "AudioRendererTestSupport.h"
#include "Vel/IProperties.h"

namespace audiotest {
namespace {

constexpr int kIn24 = static_cast<int>(zFourCC("in24")), k42ni = static_cast<int>(zFourCC("42ni"));
constexpr int k32ni = static_cast<int>(zFourCC("32ni")), kTwos = static_cast<int>(zFourCC("twos"));
using ReceiveTest = AudioRendererTest;

// `values` in the layout of `format`: floats for 'fl32', big-endian 24-bit
// for 'in24', little-endian 24 and 32-bit for '42ni' and '32ni', 16-bit
// little-endian for anything else.
std::vector<uint8_t> Encode(int format, const std::vector<double>& values) {
  const int size = format == kFl32 || format == k32ni ? 4 : (format == kIn24 || format == k42ni ? 3 : 2);
  std::vector<uint8_t> bytes;
  for (double value : values) {
    auto bits = static_cast<uint32_t>(static_cast<int64_t>(value));
    const auto single = static_cast<float>(value);
    if (format == kFl32) std::memcpy(&bits, &single, sizeof bits);
    for (int i = 0; i < size; ++i) bytes.push_back(uint8_t(bits >> 8 * (format == kIn24 ? size - 1 - i : i)));
  }
  return bytes;
}

// What a framework converter was told: its input's code, channels, rate,
// bits, bytes and frames per packet; its output format and rate.
using Told = std::tuple<uint32_t, int, int, int, int, int, uint32_t, int64_t>;
Told TellsOf(Vel::CAudioFilter* filter) {
  Told told{};
  if (auto* converter = dynamic_cast<Vel::CAudioConverter*>(filter)) {
    const Vel::AudioStreamDescription& in = converter->GetInputDescription();
    told = {in.formatCode, in.channels, in.sampleRate, in.bitsPerSample, in.bytesPerPacket, in.framesPerPacket, 0, 0};
    converter->GetFourProperty(Vel::CodeBookProperty::MediaFilter::OutputFormat, std::get<6>(told));
    converter->GetProperty(Vel::CodeBookProperty::AudioConverter::SampleRate, std::get<7>(told));
  }
  return told;
}

// The renderer describes the working format with the latest channel count; a
// flush trims the ring to whole frames of it, never back to the full capacity.
TEST_F(ReceiveTest, TheDescriptionAndTheFlushFollowTheLatestChannelCount) {
  const std::pair<int, uint32_t> flushes[] = {{2, 33'792'000}, {7, 33'791'996}, {2, 33'791'996}, {9, 33'791'994},
                                              {7, 33'791'996}};
  for (const auto& [channels, wrap] : flushes) {
    std::vector<int16_t> block(static_cast<size_t>(channels) * 10, 0);
    renderer->OnReceive(veTimeRange{}, block.data(), channels * 20, 48000, channels, kSowt);
    veMediaRecord record(veMediaTypeVideo);
    renderer->OutputFormat(veMediaTypeAudio, record, 0);  // through SetAudioRecord
    renderer->FlushAudio();
    EXPECT_EQ(std::tuple(Described(record), renderer->ringBuffer.WrapSize()),
              std::tuple(std::tuple(veMediaTypeAudio, 48000, channels, 16, 1), wrap));
  }
}

// ---- each format and rate ------------------------------------------------------

// 10 ms of `values` repeated (in the format's own scale) to a new renderer:
// offered to the host, setting the channel count, and converted into the
// ring through the format converter (told the input `code`) and, at another
// rate, the rate converter. `ring` repeats through the ring (at another rate:
// a held level, once the filter has filled). A format the converters do not
// take is offered, but dropped (`ring` empty).
struct Delivery {
  const char* name;
  int format, rate, channels;
  std::vector<double> values;
  std::vector<int16_t> ring;
  uint32_t code;
};
void PrintTo(const Delivery& row, std::ostream* out) { *out << row.name; }

const Delivery kDeliveries[] = {
    {"sowtGoesStraightIntoTheRing", kSowt, 48000, 2, {1, -1, 32767, -32768}, {1, -1, 32767, -32768}, 0},
    {"fl32IsScaledRoundedAndSaturated", kFl32, 48000, 2, {0.5, -0.5, 1.0, -1.0, 2.0, -3.0, 0.4 / 32768, -2.7 / 32768},
     {16384, -16384, 32767, -32768, 32767, -32768, 0, -3}, zFourCC("23lf")},
    {"in24KeepsTheHigh16Bits", kIn24, 48000, 3, {0x7FFFFF, -0x800000, 0x0102FF, -1, 0x00FF00, -0x100},
     {0x7FFF, -0x8000, 0x0102, -1, 0x00FF, -1}, zFourCC("in24")},
    {"42niKeepsTheHigh16Bits", k42ni, 48000, 3, {0x7FFFFF, -0x800000, 0x0102FF, -1, 0x00FF00, -0x100},
     {0x7FFF, -0x8000, 0x0102, -1, 0x00FF, -1}, zFourCC("42ni")},
    {"32niKeepsTheHigh16Bits", k32ni, 48000, 2, {0x7FFFFFFF, -2147483648.0, 0x0102FFFF, -1},
     {0x7FFF, -0x8000, 0x0102, -1}, zFourCC("23ni")},
    {"sowtAt44100GoesThroughTheRateConverter", kSowt, 44100, 2, {4660}, {4660}, 0},
    {"in24At96kGoesThroughTheFormatThenTheRateConverter", kIn24, 96000, 2, {0x123456}, {4660}, zFourCC("in24")},
    {"fl32MonoAt32k", kFl32, 32000, 1, {4660.0 / 32768}, {4660}, zFourCC("23lf")},
    {"LowestRate", kSowt, 8000, 2, {4660}, {4660}, 0},
    {"HighestRate", kSowt, 384000, 2, {4660}, {4660}, 0},
    {"MostChannels", kSowt, 48000, 64, {7, -7}, {7, -7}, 0},
    {"MostChannelsAt44100", kSowt, 44100, 64, {4660}, {4660}, 0},
    {"MostChannelsIn24At96k", kIn24, 96000, 64, {0x123456}, {4660}, zFourCC("in24")},
    {"twosIsOfferedButDropped", kTwos, 48000, 6, {1}, {}, 0},
    {"in32IsOfferedButDropped", static_cast<int>(zFourCC("in32")), 48000, 2, {1}, {}, 0},
    {"fl64IsOfferedButDropped", static_cast<int>(zFourCC("fl64")), 48000, 2, {1}, {}, 0},
    {"AnUnknownSampleSizeIsOfferedButDropped", static_cast<int>(zFourCC("abcd")), 48000, 5, {}, {}, 0},  // 1001 bytes
};

class DeliveryTest : public AudioRendererTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(DeliveryTest, IsOfferedAndConvertedIntoTheRingOrDropped) {
  const Delivery& row = GetParam();
  std::vector<double> values(static_cast<size_t>(row.rate / 100 * row.channels));
  for (size_t i = 0; i < values.size() && !row.values.empty(); ++i) values[i] = row.values[i % row.values.size()];
  std::vector<uint8_t> bytes = row.values.empty() ? std::vector<uint8_t>(1001) : Encode(row.format, values);
  host->SetRequest(TestHostMethods::Request::kMetadata);
  renderer->OnReceive(veTimeRange{}, bytes.data(), static_cast<int>(bytes.size()), row.rate, row.channels, row.format);
  const TestHostMethods::Call offer = host->Calls().at(0);
  const int bits = veAudioFormat::BitsPerSample(row.format);
  EXPECT_EQ(std::tuple(offer.rendererName, offer.metadata.AudioFormat(), Described(offer.metadata)),
            std::tuple("mic", uint32_t(row.format), std::tuple(veMediaTypeAudio, row.rate, row.channels, bits, 1)));
  const bool stored = !row.ring.empty(), resampled = stored && row.rate != 48000;
  const kaPluginAudioRenderer::ReceiveCounters counters = renderer->GetReceiveCounters();
  EXPECT_EQ(std::tuple(host->AudioCount(), renderer->GetNumChannels(), counters.received, counters.refused,
                       counters.dropped, counters.truncated, GroupRequests()),
            std::tuple(1, row.channels, 1u, 0u, stored ? 0u : 1u, 0u, stored && (row.code || resampled) ? 1u : 0u))
      << "offered, channels, received, refused, dropped, cut, group requests (a conversion's; the host did not ask)";
  std::vector<int16_t> ring(renderer->ringBuffer.AvailableData() / 2);
  renderer->ringBuffer.Read(ring.data(), static_cast<uint32_t>(ring.size() * 2));
  const size_t frames = ring.size() / row.channels;
  EXPECT_TRUE(stored ? frames <= 480 && frames >= (resampled ? 240u : 480u) : ring.empty()) << frames << " frames";
  for (size_t i = resampled ? ring.size() * 3 / 4 : 0; i < ring.size(); ++i) {
    ASSERT_NEAR(ring[i], row.ring[i % row.ring.size()], resampled ? 2 : 0) << "sample " << i;
  }
  const Told format{row.code, row.channels, row.rate, bits, bits * row.channels / 8, 1, zFourCC("sowt"), 0};
  const Told rate{zFourCC("sowt"), row.channels, row.rate, 16, 2 * row.channels, 1, zFourCC("sowt"), 48000};
  EXPECT_EQ(TellsOf(renderer->formatConverter.Get()), row.code ? format : Told{});
  EXPECT_EQ(TellsOf(renderer->rateConverter.Get()), resampled ? rate : Told{});
}

INSTANTIATE_TEST_SUITE_P(Formats, DeliveryTest, ::testing::ValuesIn(kDeliveries), ::testing::PrintToStringParamName());

// A converter is made for the first block that needs it and serves every
// later block, whatever its rate, until a flush releases it. Each conversion
// hands the caller a working-format buffer with one reference.
TEST_F(ReceiveTest, ConvertersLiveFromTheFirstBlockThatNeedsThemUntilAFlush) {
  std::vector<int16_t> block(2 * 441, 0);
  auto convert = [&](int frames, int rate) {
    int made = 0;
    kaBuffer2* out = nullptr;
    EXPECT_TRUE(renderer->ConvertAudioFrame(block.data(), frames * 4, kSowt, rate, 2, &made, &out));
    BufferRef owned(out);
    EXPECT_EQ(std::tuple(owned->RefCountForTesting(), Described(*owned), owned->StorageSize()),
              std::tuple(1, kWorkingStereo, made * 4u));
    return made;
  };
  for (int i = 0; i < 3; ++i) convert(441, 44100);
  Vel::CAudioFilter* const first = renderer->rateConverter.Get();
  EXPECT_NEAR(convert(320, 32000), 320 * 48000 / 44100, 2) << "still the converter made for 44100";
  EXPECT_EQ(renderer->rateConverter.Get(), first);
  const int64_t velObjects = Vel::CObject::LiveObjectsForTesting();
  renderer->FlushAudio();
  EXPECT_TRUE(!renderer->rateConverter && Vel::CObject::LiveObjectsForTesting() < velObjects) << "released";
  EXPECT_NEAR(convert(320, 32000) + convert(320, 32000) + convert(320, 32000), 3 * 480, 48) << "one for 32000";
}

// A host that asks for the buffer gets the untouched block with its time
// range (the offers of the table above ask only for the description).
TEST_F(ReceiveTest, AHostThatAsksGetsTheUntouchedBlockWithItsTimeRange) {
  std::vector<float> block(3 * 441);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i) / 4096.0f;
  const veTimeRange range{44100, 123456, 44100, 441};
  host->SetRequest(TestHostMethods::Request::kBuffer);
  host->SetKeepBuffers(true);
  TestAudioRenderer::Make(*group, *host, "")->OnReceive(range, block.data(), 441 * 12, 44100, 3, kFl32);
  const std::vector<TestHostMethods::Call> calls = host->Calls();
  ASSERT_TRUE(calls.size() == 1 && calls[0].buffer && calls[0].buffer->StorageSize() == 441u * 12);
  EXPECT_EQ(calls[0].rendererName, "") << "a renderer without a name";
  const kaBuffer2& offered = *calls[0].buffer;
  EXPECT_EQ(std::tuple(offered.AudioFormat(), offered.Channels(), offered.SampleRate(), offered.GetBufferTimeRange(),
                       std::memcmp(offered.GetStorage(), block.data(), 441 * 12)),
            std::tuple(zFourCC("fl32"), 3, 44100, range, 0));
  host->ClearCalls();
}

// ---- drift correction --------------------------------------------------------------------

// A drift-enabled renderer gets a ramp block of 480 frames every 10 ms, but
// the first block measured after the 500 ms warm-up (block 50) is short or
// long, so that every level the detector records is +450 (the source lags) or
// -450 (it leads). The first correction is allowed once the history spans
// the 2 s window: at block 251, 2.51 s after the first delivery, and not one
// block earlier or later.
struct DriftCase { const char* name; int block50Frames, format; bool misaligned; int adjustment; };
void PrintTo(const DriftCase& row, std::ostream* out) { *out << row.name; }

const DriftCase kDrifts[] = {
    {"LaggingSourceGetsOneFrameMore", 30, kSowt, false, 1},
    {"LeadingSourceGetsOneFrameLess", 930, kSowt, false, -1},
    {"MisalignedBlockIsStretchedFromAnAlignedCopy", 30, kSowt, true, 1},
    {"ConvertedBlockIsCorrectedToo", 30, kFl32, false, 1},
};

class DriftReceiveTest : public AudioRendererTest, public ::testing::WithParamInterface<DriftCase> {
 protected:
  // Delivers a ramp block of `frames` frames; returns the frames that reached the ring.
  int Deliver(int k, int frames) {
    block.assign(static_cast<size_t>(frames) * 2, -1);
    for (int i = 0; i < frames; ++i) block[2 * i] = static_cast<int16_t>(k % 97 + 10 * i);
    const bool fl32 = GetParam().format == kFl32;
    std::vector<uint8_t> data(static_cast<size_t>(frames) * (fl32 ? 8 : 4) + 1);
    uint8_t* start = data.data() + (GetParam().misaligned ? 1 : 0);
    std::memcpy(start, fl32 ? static_cast<const void*>(ToFloat(block).data()) : block.data(), data.size() - 1);
    const uint32_t before = renderer->ringBuffer.AvailableData();
    renderer->OnReceive(veTimeRange{}, start, static_cast<int>(data.size() - 1), 48000, 2, GetParam().format);
    return static_cast<int>((renderer->ringBuffer.AvailableData() - before) / 4);
  }
  std::vector<int16_t> block;
};

TEST_P(DriftReceiveTest, TheFirstCorrectionComesExactlyOneWindowAfterTheWarmUp) {
  const DriftCase& row = GetParam();
  renderer->SetDriftCorrectionEnabled(true);
  for (int k = 0; k < 251; ++k, clock().Advance(10'000)) {
    ASSERT_EQ(Deliver(k, k == 50 ? row.block50Frames : 480), k == 50 ? row.block50Frames : 480) << "block " << k;
    ASSERT_TRUE(renderer->driftDetector && !renderer->resampler) << "a detector from the first block, no resampler";
  }
  const uint64_t requests = GroupRequests();
  const int written = 480 + row.adjustment;
  ASSERT_EQ(Deliver(251, 480), written) << "at block 251";
  EXPECT_EQ(std::tuple(GroupRequests() - requests, !!renderer->resampler, renderer->driftDetector->TotalAdjustment()),
            std::tuple(row.misaligned || row.format == kFl32 ? 1u : 0u, true, 0LL + row.adjustment))
      << "an aligned copy or a conversion buffer, the resampler, the adjustment";
  // The block keeps its end frames and its ramp.
  std::vector<int16_t> ring(static_cast<size_t>(written) * 2);
  ASSERT_TRUE(renderer->ringBuffer.SeekBackwardsRelativeToWritePosition(written * 4));
  ASSERT_EQ(renderer->ringBuffer.Read(ring.data(), written * 4), static_cast<uint32_t>(written * 4));
  EXPECT_EQ(std::tuple(ring[0], ring[2 * written - 2]), std::tuple(block[0], block[958]));
  for (int i = 1; i < written; ++i) ASSERT_TRUE(ring[2 * i] >= ring[2 * i - 2] && ring[2 * i + 1] == -1) << i;
  // A one-frame block that would shrink to nothing goes in as it is; the
  // detector counts the adjustment.
  if (row.adjustment > 0) return;
  clock().Advance(10'000);
  EXPECT_EQ(Deliver(252, 1), 1);
  EXPECT_EQ(renderer->driftDetector->TotalAdjustment(), 2 * row.adjustment);
}

INSTANTIATE_TEST_SUITE_P(Cases, DriftReceiveTest, ::testing::ValuesIn(kDrifts), ::testing::PrintToStringParamName());

}  // namespace
}  // namespace audiotest
