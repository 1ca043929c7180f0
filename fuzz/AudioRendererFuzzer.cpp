// Feeds kaPluginAudioRenderer arbitrary blocks (any format code, rate,
// channel count, size and alignment) and cues at arbitrary times, with live
// delay, drift correction, resolution changes, flushes and settings mixed in,
// on the manual clock. Checks what every call promises: a cue returns 0 and
// one period of the current channel count stamped with the cue time and
// tagged with the settings; the host's producer yields the block's own bytes;
// rejected conversions leave their outs alone; and after each input, with
// every buffer released and the cache swept, no buffer, counted object or
// framework object is left alive.
//
// The renderer owns a 33.8 MB ring, so one renderer serves the whole process;
// each input starts by emptying it and resetting the cue state. Any rate is
// fed: the renderer refuses those its conversion cannot carry before they
// cost anything.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "Vel/CObject.h"
#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "render/kaSourcesPluginMethods.h"
#include "tolm/zTime.h"
#include "tolm/zTraceManager.h"

namespace {

constexpr int kMaxOperations = 64;
constexpr size_t kMaxHeldBuffers = 3;
constexpr int32_t kPeriodFrames = 1600;

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;

// The block being delivered, for the host's checks.
struct Delivery {
  const uint8_t* data = nullptr;
  int byteCount = 0;
  int channels = 0;
  int format = 0;
};

// A host table that asks the producer for the format, the buffer, both or
// neither, and checks what it gets.
class FuzzHost final : public kaSourcesPluginMethods {
 public:
  void AudioReceived(const std::string& /*name*/, kaOptimizedBuffer2Producer& producer) override {
    ++calls;
    if (request & 1) {
      const veMediaRecord* format = producer.ProduceMetadata();
      FUZZ_CHECK(format != nullptr, "the producer has no format");
      FUZZ_CHECK(format->Channels() == delivery.channels && format->AudioFormat() == uint32_t(delivery.format),
                 "the offered format is not the block's");
    }
    if (request & 2) {
      std::shared_ptr<kaBuffer2> buffer = producer.ProduceBuffer();
      if (buffer) {
        FUZZ_CHECK(buffer->StorageSize() == uint32_t(delivery.byteCount), "host buffer holds %u bytes, block %d",
                   buffer->StorageSize(), delivery.byteCount);
        FUZZ_CHECK(std::memcmp(buffer->GetStorage(), delivery.data, size_t(delivery.byteCount)) == 0,
                   "host buffer differs from the block");
      }
    }
  }
  int request = 0;
  int64_t calls = 0;
  Delivery delivery;
};

// The plug-in's renderer class, with a reset between fuzz inputs.
class FuzzAudioRenderer final : public kaPluginAudioRenderer {
 public:
  FuzzAudioRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host)
      : kaPluginAudioRenderer("fuzz", group, host) {}
  uint32_t RendererKind() const override { return zFourCC("fuzz"); }

  // Converters released, ring emptied, cue state unprimed, settings back to
  // their defaults. The wrap size and the resolution silence count stay as
  // the last input left them (nothing restores either).
  void ResetForInput() {
    FlushAudio();
    ringBuffer.MakeEmpty();
    {
      zCriticalGuard guard(rendererLock);
      readPrimed = false;
      primeTime = 0;
      readBase = 0;
    }
    numChannels = 2;
    changingResolution = false;
    resolutionChangePending = false;
    SetAudioDelay(0.0);
    SetDriftCorrectionEnabled(false);
    SetInputChannelSelection(0);
    SetMonitorSelection(0);
    for (int bus = 0; bus < 4; ++bus) SetBusMappingQuad(bus, kaAudioSettings::DefaultChannelBusMapQuad(bus));
  }
  bool Pending() const { return resolutionChangePending.load(); }
  uint32_t WrapForChecks() { return ringBuffer.WrapSize(); }

 private:
  ~FuzzAudioRenderer() override = default;
};

void DiscardTrace(void*, uint32_t, const char*, size_t) {}

struct Process {
  Process() {
    zTraceManager::Default().SetSink(DiscardTrace, nullptr);  // the drift detector's notes
    host = new FuzzHost();
    group = new kaBufferGroup2();
    renderer = new FuzzAudioRenderer(*group, *host);
    liveObjects = xCUnknown::LiveObjectsForTesting();
    liveVelObjects = Corvane::Vel::CObject::LiveObjectsForTesting();
  }
  zTestClock clock{1'000'000};
  FuzzHost* host;
  kaBufferGroup2* group;
  FuzzAudioRenderer* renderer;
  int64_t liveObjects = 0;
  int64_t liveVelObjects = 0;
};

int PickFormat(FuzzedDataProvider& input) {
  static constexpr uint32_t kCodes[] = {zFourCC("sowt"), zFourCC("fl32"), zFourCC("in24"), zFourCC("42ni"),
                                        zFourCC("32ni"), zFourCC("twos"), zFourCC("in32"), zFourCC("23ni"),
                                        zFourCC("fl64"), zFourCC("23lf"), zFourCC("afc ")};
  const size_t pick = input.ConsumeIntegralInRange<size_t>(0, std::size(kCodes) + 1);
  if (pick < std::size(kCodes)) return static_cast<int>(kCodes[pick]);
  return pick == std::size(kCodes) ? 0 : input.ConsumeIntegral<int>();
}

int PickRate(FuzzedDataProvider& input) {
  static constexpr int kRates[] = {48000, 48000, 44100, 32000, 96000, 8000, 192000, 22050, 47999};
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return kRates[input.ConsumeIntegralInRange<size_t>(0, std::size(kRates) - 1)];
    case 1: return input.ConsumeIntegralInRange<int>(1, std::numeric_limits<int>::max());
    case 2: return input.ConsumeIntegralInRange<int>(std::numeric_limits<int>::min(), 0);
    default: return 48000;
  }
}

int PickChannels(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return input.ConsumeIntegral<int>();
    case 1: return input.ConsumeIntegralInRange<int>(200, 300);
    default: return input.ConsumeIntegralInRange<int>(1, 8);
  }
}

int64_t PickTime(FuzzedDataProvider& input, int64_t now) {
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return input.ConsumeIntegral<int64_t>();
    case 1: return input.ConsumeBool() ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    default: return now + input.ConsumeIntegralInRange<int64_t>(-200'000, 200'000);
  }
}

double PickDelay(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return input.ConsumeBool() ? std::numeric_limits<double>::infinity() : -1e300;
    case 2: return input.ConsumeFloatingPoint<double>();
    default: return input.ConsumeFloatingPointInRange<double>(0.0, 0.5);
  }
}

void CheckCue(Process& p, int64_t cueTime, int tolerance, std::vector<BufferRef>& held, int selection, int monitor,
              const uint64_t quads[4]) {
  const int channels = p.renderer->GetNumChannels();
  const bool pendingBefore = p.renderer->Pending();
  kaBuffer2* out = reinterpret_cast<kaBuffer2*>(uintptr_t{0x1});  // overwritten by every cue
  FUZZ_CHECK(p.renderer->Cue(&out, ka_renderer_params{cueTime}, 0, tolerance) == 0, "a cue returns 0");
  FUZZ_CHECK(out != nullptr && out != reinterpret_cast<kaBuffer2*>(uintptr_t{0x1}), "a cue hands out a buffer");
  BufferRef buffer(out);
  FUZZ_CHECK(buffer->StorageSize() == uint32_t(kPeriodFrames * channels * 2), "period of %u bytes for %d channels",
             buffer->StorageSize(), channels);
  FUZZ_CHECK(buffer->Channels() == channels && buffer->SampleRate() == 48000 && buffer->BitsPerSample() == 16,
             "cued format");
  FUZZ_CHECK(buffer->DirtiedTime() == cueTime, "stamped with the cue time");
  const bool tagged = buffer->Has(zRecord::KeyForString("input_channel_selection"));
  if (!pendingBefore) FUZZ_CHECK(tagged, "only a pending resolution change leaves a cue untagged");
  if (tagged) {
    FUZZ_CHECK(buffer->AsInt32("input_channel_selection", -7) == selection, "channel selection tag");
    FUZZ_CHECK(buffer->AsInt32(zFourCC("rams"), -7) == monitor, "monitor tag");
    static constexpr zKey kQuadKeys[4] = {zFourCC("cBs0"), zFourCC("cBs1"), zFourCC("cBs2"), zFourCC("cBs3")};
    for (int bus = 0; bus < 4; ++bus) {
      const bool differs = quads[bus] != kaAudioSettings::DefaultChannelBusMapQuad(bus);
      FUZZ_CHECK(buffer->Has(kQuadKeys[bus]) == differs, "quad key of bus %d", bus);
      if (differs) FUZZ_CHECK(buffer->AsUInt64(kQuadKeys[bus], 0) == quads[bus], "quad of bus %d", bus);
    }
  }
  if (held.size() < kMaxHeldBuffers) held.push_back(std::move(buffer));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Process p;
  FuzzedDataProvider input(data, size);
  p.renderer->ResetForInput();
  p.host->request = input.ConsumeIntegralInRange<int>(0, 3);
  p.clock.Set(input.ConsumeIntegralInRange<int64_t>(1, int64_t{1} << 50));

  std::vector<BufferRef> held;
  int selection = 0;
  int monitor = 0;
  uint64_t quads[4];
  for (int bus = 0; bus < 4; ++bus) quads[bus] = kaAudioSettings::DefaultChannelBusMapQuad(bus);

  for (int step = 0; step < kMaxOperations && input.remaining_bytes() > 0; ++step) {
    switch (input.ConsumeIntegralInRange<int>(0, 11)) {
      case 0:
      case 1:
      case 2: {  // a block, in a heap copy of exactly its size (misaligned on request)
        const int format = PickFormat(input);
        const int rate = PickRate(input);
        const int channels = PickChannels(input);
        const bool misaligned = input.ConsumeBool();
        const std::vector<uint8_t> bytes =
            input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 4096));
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
        uint8_t* block = copy.get() + (misaligned ? 1 : 0);
        if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
        int byteCount = static_cast<int>(bytes.size());
        if (!misaligned && input.ConsumeIntegralInRange<int>(0, 15) == 0) byteCount = -byteCount;
        p.host->delivery = Delivery{block, byteCount, channels, format};
        const int channelsBefore = p.renderer->GetNumChannels();
        const int64_t callsBefore = p.host->calls;
        p.renderer->OnReceive(veTimeRange{30000, 1, 30000, 1001}, bytes.empty() ? nullptr : block, byteCount, rate,
                              channels, format);
        const bool offered = p.host->calls == callsBefore + 1;
        FUZZ_CHECK(p.host->calls <= callsBefore + 1, "one host call per block");
        FUZZ_CHECK(p.renderer->GetNumChannels() == (offered ? channels : channelsBefore),
                   "the channel count follows offered blocks only");
        if (byteCount <= 0 || bytes.empty() || rate < kaPluginAudioRenderer::kMinSampleRate ||
            rate > kaPluginAudioRenderer::kMaxSampleRate || channels < 1 ||
            channels > kaPluginAudioRenderer::kMaxChannels) {
          FUZZ_CHECK(!offered, "a block the renderer cannot take (%d bytes, %d Hz, %d channels) was offered",
                     byteCount, rate, channels);
        }
        break;
      }
      case 3:
      case 4:
      case 5:
        CheckCue(p, PickTime(input, p.clock.Now()), input.ConsumeIntegralInRange<int>(-2, 12), held, selection,
                 monitor, quads);
        break;
      case 6:
        p.clock.Advance(input.ConsumeIntegralInRange<int64_t>(0, 3'000'000));
        break;
      case 7:
        p.renderer->SetAudioDelay(PickDelay(input));
        break;
      case 8:
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
          case 0: p.renderer->SetChangingResolution(input.ConsumeBool()); break;
          case 1: p.renderer->SetDriftCorrectionEnabled(input.ConsumeBool()); break;
          case 2: {
            p.renderer->FlushAudio();
            const uint32_t frame = uint32_t(p.renderer->GetNumChannels()) * 2;
            const uint32_t wrap = p.renderer->WrapForChecks();
            FUZZ_CHECK(wrap <= kaPluginAudioRenderer::kRingCapacityBytes && wrap > 0, "wrap %u", wrap);
            if (kaPluginAudioRenderer::kRingCapacityBytes % frame != 0) {
              FUZZ_CHECK(wrap % frame == 0, "flush leaves a wrap of whole frames: %u for %u", wrap, frame);
            }
            break;
          }
          default: {
            const int bus = input.ConsumeIntegralInRange<int>(-2, 6);
            const uint64_t quad = input.ConsumeBool() ? input.ConsumeIntegral<uint64_t>() : 0x0001000100010001ULL;
            p.renderer->SetBusMappingQuad(bus, quad);
            if (bus >= 0 && bus < 4) quads[bus] = quad;
            unsigned long long got = 0;
            FUZZ_CHECK(p.renderer->GetBusMappingQuad(bus, &got) == (bus >= 0 && bus < 4), "bus %d", bus);
            break;
          }
        }
        break;
      case 9:
        selection = input.ConsumeIntegral<int>();
        monitor = input.ConsumeIntegral<int>();
        p.renderer->SetInputChannelSelection(selection);
        p.renderer->SetMonitorSelection(monitor);
        break;
      case 10: {  // the conversion's failure results leave their outs alone
        int frames = 77;
        kaBuffer2* sentinel = reinterpret_cast<kaBuffer2*>(uintptr_t{0x8});
        kaBuffer2* converted = sentinel;
        int16_t samples[8] = {};
        const int byteCount = input.ConsumeIntegralInRange<int>(-16, 16);
        const int channels = PickChannels(input);
        const int rate = PickRate(input);
        const int format = PickFormat(input);
        const bool ok = p.renderer->ConvertAudioFrame(input.ConsumeBool() ? samples : nullptr,
                                                      std::min(byteCount, int(sizeof samples)), format, rate,
                                                      channels, &frames, &converted);
        if (ok) {
          FUZZ_CHECK(converted != sentinel && converted != nullptr, "a conversion hands out a buffer");
          converted->Release();
        } else {
          FUZZ_CHECK(frames == 0 && converted == sentinel, "a failed conversion sets 0 frames and no buffer");
        }
        break;
      }
      default:
        if (!held.empty()) held.erase(held.begin());
        break;
    }
  }

  held.clear();
  p.renderer->ResetForInput();
  p.group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + std::chrono::hours(1));
  FUZZ_CHECK(p.group->GetStatistics().liveBytes == 0, "buffers left alive: %llu bytes",
             static_cast<unsigned long long>(p.group->GetStatistics().liveBytes));
  FUZZ_CHECK(xCUnknown::LiveObjectsForTesting() == p.liveObjects, "counted objects leaked: %lld",
             static_cast<long long>(xCUnknown::LiveObjectsForTesting() - p.liveObjects));
  FUZZ_CHECK(Corvane::Vel::CObject::LiveObjectsForTesting() == p.liveVelObjects, "framework objects leaked");
  return 0;
}
