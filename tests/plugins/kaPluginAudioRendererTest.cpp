// The audio renderer's receive side: each sample format and rate offered to
// the host and converted into the ring. The drift-corrected path is run by
// the stream tests.
#include "plugins/kaPluginAudioRenderer.h"

#include "AudioRendererTestSupport.h"

namespace audiotest {
namespace {

constexpr int kIn24 = static_cast<int>(zFourCC("in24")), k42ni = static_cast<int>(zFourCC("42ni"));
constexpr int k32ni = static_cast<int>(zFourCC("32ni"));

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

// 10 ms of `in` repeated (in the format's own scale) to a new renderer:
// offered to the host as it came, with its description and time range,
// setting the channel count, and converted into the ring through the format
// converter and, at another rate, the rate converter. `ring` repeats through
// the ring (at another rate: a held level, once the filter has filled). A
// format the converters do not take is offered, but dropped (`ring` empty).
// The same block at a rate below 8000 is refused: only counted.
struct Delivery { const char* name; int format, rate, channels; std::vector<double> in; std::vector<int16_t> ring; };
void PrintTo(const Delivery& row, std::ostream* out) { *out << row.name; }

const Delivery kDeliveries[] = {
    {"sowtGoesStraightIntoTheRing", kSowt, 48000, 2, {1, -1, 32767, -32768}, {1, -1, 32767, -32768}},
    {"fl32IsScaledRoundedAndSaturated", kFl32, 48000, 2, {0.5, -0.5, 1.0, -1.0, 2.0, -3.0, 0.4 / 32768, -2.7 / 32768},
     {16384, -16384, 32767, -32768, 32767, -32768, 0, -3}},
    {"in24KeepsTheHigh16Bits", kIn24, 48000, 3, {0x7FFFFF, -0x800000, 0x0102FF, -1, 0x00FF00, -0x100},
     {0x7FFF, -0x8000, 0x0102, -1, 0x00FF, -1}},
    {"42niKeepsTheHigh16Bits", k42ni, 48000, 3, {0x7FFFFF, -0x800000, 0x0102FF, -1, 0x00FF00, -0x100},
     {0x7FFF, -0x8000, 0x0102, -1, 0x00FF, -1}},
    {"32niKeepsTheHigh16Bits", k32ni, 48000, 2, {0x7FFFFFFF, -2147483648.0, 0x0102FFFF, -1},
     {0x7FFF, -0x8000, 0x0102, -1}},
    {"sowtAt44100GoesThroughTheRateConverter", kSowt, 44100, 2, {4660}, {4660}},
    {"in24At96kGoesThroughTheFormatThenTheRateConverter", kIn24, 96000, 2, {0x123456}, {4660}},
    {"fl32MonoAt32k", kFl32, 32000, 1, {4660.0 / 32768}, {4660}},
    {"LowestRate", kSowt, 8000, 2, {4660}, {4660}},
    {"MostChannels", kSowt, 48000, 64, {7, -7}, {7, -7}},
    {"AnUnknownSampleSizeIsOfferedButDropped", static_cast<int>(zFourCC("abcd")), 48000, 5, {}, {}},  // 1001 bytes
};

class DeliveryTest : public AudioRendererTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(DeliveryTest, IsOfferedAndConvertedIntoTheRingOrDropped) {
  const Delivery& row = GetParam();
  std::vector<double> values(static_cast<size_t>(row.rate / 100 * row.channels));
  for (size_t i = 0; i < values.size() && !row.in.empty(); ++i) values[i] = row.in[i % row.in.size()];
  std::vector<uint8_t> bytes = row.in.empty() ? std::vector<uint8_t>(1001) : Encode(row.format, values);
  const veTimeRange range{row.rate, 123456, row.rate, static_cast<uint64_t>(row.rate / 100)};
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  host->SetKeepBuffers(true);
  renderer->OnReceive(range, bytes.data(), static_cast<int>(bytes.size()), row.rate, row.channels, row.format);
  renderer->OnReceive(range, bytes.data(), static_cast<int>(bytes.size()), 7999, row.channels, row.format);
  const TestHostMethods::Call offer = host->Calls().at(0);
  const int bits = veAudioFormat::BitsPerSample(row.format);
  const kaBuffer2* copy = offer.buffer.get();  // none of a sample size the group cannot make a buffer of
  const veMediaRecord& told = offer.metadata;
  EXPECT_EQ(std::tuple(offer.rendererName, told.MediaType(), told.AudioFormat(), told.SampleRate(), told.Channels(),
                       told.BitsPerSample(), told.ChannelBuffers(), !copy),
            std::tuple("mic", veMediaTypeAudio, uint32_t(row.format), row.rate, row.channels, bits, 1, !bits));
  EXPECT_TRUE(!copy || (copy->GetBufferTimeRange() == range && copy->StorageSize() == bytes.size() &&
                        std::memcmp(copy->GetStorage(), bytes.data(), bytes.size()) == 0)) << "the host's copy";
  const bool stored = !row.ring.empty(), resampled = stored && row.rate != 48000;
  // Without drift correction a conversion goes straight into the ring: the
  // only request is the host's copy.
  const uint64_t requests = bits ? 1u : 0u;
  const kaPluginAudioRenderer::ReceiveCounters counters = renderer->GetReceiveCounters();
  const auto cache = group->GetStatistics();
  EXPECT_EQ(std::tuple(host->AudioCount(), renderer->GetNumChannels(), counters.received, counters.refused,
                       counters.dropped, counters.truncated, cache.hits + cache.misses),
            std::tuple(1, row.channels, 2u, 1u, stored ? 0u : 1u, 0u, requests))
      << "offered, channels, received, refused, dropped, cut, group requests";
  veMediaRecord working(veMediaTypeVideo);  // the host asks for the working format: 48 kHz 16-bit, as many channels
  EXPECT_EQ(renderer->OutputFormat(veMediaTypeAudio, working, 0), 0);
  EXPECT_EQ(std::tuple(working.MediaType(), working.SampleRate(), working.Channels(), working.BitsPerSample()),
            std::tuple(veMediaTypeAudio, 48000, row.channels, 16));
  std::vector<int16_t> ring(renderer->ringBuffer.AvailableData() / 2);
  renderer->ringBuffer.Read(ring.data(), static_cast<uint32_t>(ring.size() * 2));
  const size_t frames = ring.size() / row.channels;
  EXPECT_TRUE(stored ? frames <= 480 && frames >= (resampled ? 240u : 480u) : ring.empty()) << frames << " frames";
  for (size_t i = resampled ? ring.size() * 3 / 4 : 0; i < ring.size(); ++i) {
    ASSERT_NEAR(ring[i], row.ring[i % row.ring.size()], resampled ? 2 : 0) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DeliveryTest, ::testing::ValuesIn(kDeliveries), ::testing::PrintToStringParamName());

}  // namespace
}  // namespace audiotest
