// Every public entry point fed null, zero, negative, huge and misaligned
// arguments. Each row calls one entry point and checks its failure
// result and what it leaves in its out arguments; the fixture then
// checks that nothing else changed: the group's counters, the counted,
// framework and host objects alive, a video buffer's record and bytes, and
// the observable state of one video and one audio renderer.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Vel/CObject.h"
#include "Vel/CVideoProperties.h"
#include "adapters/kaBufferGraphicsSurface.h"
#include "adapters/kaBufferGroupGraphicsContext.h"
#include "adapters/kaBufferPixelDataReference.h"
#include "buffers/kaBufferGroup2.h"
#include "filters/kaRenderHash.h"
#include "filters/kaVideoFilterManager.h"
#include "plugins/kaAudioDriftDetector.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "plugins/kaSingleBufferAudioResampler.h"
#include "render/kaDelayedBufferQueue.h"
#include "support/TestHostMethods.h"
#include "support/TestImageFilter.h"
#include "support/TestVideoRenderer.h"
#include "support/TraceCapture.h"

namespace {

namespace Vel = Corvane::Vel;
using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;
using GroupRef = std::unique_ptr<kaBufferGroup2, zReleaseDeleter>;

constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
constexpr int kIn24 = static_cast<int>(zFourCC("in24"));
// A pointer no call may store, dereference or release.
kaBuffer2* const kSentinel = reinterpret_cast<kaBuffer2*>(uintptr_t{0x40});
auto* const kGpuSentinel = reinterpret_cast<kaGPUAccessibleBuffer*>(uintptr_t{0x40});

class BadInputAudioRenderer final : public kaPluginAudioRenderer {
 public:
  using Ptr = std::unique_ptr<BadInputAudioRenderer, zReleaseDeleter>;
  BadInputAudioRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host)
      : kaPluginAudioRenderer("audio", group, host) {}
  uint32_t RendererKind() const override { return zFourCC("baud"); }
  kaPluginRingBuffer& Ring() { return ringBuffer; }

 private:
  ~BadInputAudioRenderer() override = default;
};

veMediaRecord Video(int width, int height, uint32_t raster, int rowBytes = 0) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(raster);
  format.SetBytesPerRow(rowBytes);
  return format;
}

veMediaRecord Audio(int channels, int rate) {
  veMediaRecord format(veMediaTypeAudio);
  format.SetAudioFormat(zFourCC("sowt"));
  format.SetChannels(channels);
  format.SetSampleRate(rate);
  format.SetBitsPerSample(16);
  return format;
}

// What every row runs against: a group with warm caches, a host table, one
// renderer of each kind holding a frame or audio, and an 8 x 4 BGRA buffer.
struct World {
  World() : group(new kaBufferGroup2()), host(TestHostMethods::Make()) {
    host->SetRecording(false);
    audio.reset(new BadInputAudioRenderer(*group, *host));
    video = TestVideoRenderer::Make("video", *group, *host);
    kaGPUAccessibleBuffer* made = nullptr;
    EXPECT_EQ(group->CreateGPUAccessibleBuffer(Video(8, 4, zFourCC("BGRA")), &made), 0);
    buffer.reset(made);
    for (uint32_t i = 0; i < buffer->StorageSize(); ++i) buffer->GetStorage()[i] = static_cast<unsigned char>(i);
    std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(16, 8, zFourCC("BGRA"));
    video->OnReceiveVideo(frame.get());
    std::vector<int16_t> block(2 * 480, 3);
    audio->OnReceive(veTimeRange{}, block.data(), 480 * 4, 48000, 2, kSowt);
  }
  GroupRef group;
  TestHostMethods::Ptr host;
  BadInputAudioRenderer::Ptr audio;
  TestVideoRenderer::Ptr video;
  std::unique_ptr<kaGPUAccessibleBuffer, zReleaseDeleter> buffer;
};

// Everything a row must leave as it was.
struct Snapshot {
  explicit Snapshot(World& w)
      : statistics(w.group->GetStatistics()),
        liveObjects(xCUnknown::LiveObjectsForTesting()),
        liveVelObjects(Vel::CObject::LiveObjectsForTesting()),
        hostCalls(w.host->VideoCount() + w.host->AudioCount()),
        record(*w.buffer),
        bytes(w.buffer->GetStorage(), w.buffer->GetStorage() + w.buffer->StorageSize()),
        channels(w.audio->GetNumChannels()),
        ringWrite(w.audio->Ring().CurrentWritePosition()),
        ringCount(w.audio->Ring().AvailableData()),
        ringWrap(w.audio->Ring().WrapSize()),
        audioDelay(w.audio->GetAudioDelay()),
        videoDelay(w.video->GetVideoDelay()),
        outputWidth(w.video->GetOutputWidth()),
        outputHeight(w.video->GetOutputHeight()) {
    for (int bus = 0; bus < 4; ++bus) w.audio->GetBusMappingQuad(bus, &quads[bus]);
  }
  void ExpectUnchanged(World& w) const {
    EXPECT_EQ(w.group->GetStatistics(), statistics) << "the group's counters moved";
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveObjects) << "counted objects made or leaked";
    EXPECT_EQ(Vel::CObject::LiveObjectsForTesting(), liveVelObjects) << "framework objects made or leaked";
    EXPECT_EQ(w.host->VideoCount() + w.host->AudioCount(), hostCalls) << "the host was called";
    EXPECT_TRUE(w.buffer->Equals(record)) << "the buffer's record changed";
    EXPECT_EQ(std::vector<unsigned char>(w.buffer->GetStorage(), w.buffer->GetStorage() + w.buffer->StorageSize()),
              bytes)
        << "the buffer's bytes changed";
    EXPECT_EQ(w.buffer->RefCountForTesting(), 1);
    EXPECT_EQ(w.audio->GetNumChannels(), channels);
    EXPECT_EQ(w.audio->Ring().CurrentWritePosition(), ringWrite) << "the ring was written";
    EXPECT_EQ(w.audio->Ring().AvailableData(), ringCount);
    EXPECT_EQ(w.audio->Ring().WrapSize(), ringWrap);
    EXPECT_EQ(w.audio->GetAudioDelay(), audioDelay);
    for (int bus = 0; bus < 4; ++bus) {
      unsigned long long quad = 0;
      EXPECT_TRUE(w.audio->GetBusMappingQuad(bus, &quad));
      EXPECT_EQ(quad, quads[bus]) << "bus " << bus;
    }
    EXPECT_EQ(w.video->GetVideoDelay(), videoDelay);
    EXPECT_EQ(w.video->GetOutputWidth(), outputWidth);
    EXPECT_EQ(w.video->GetOutputHeight(), outputHeight);
  }
  kaCacheStatistics statistics;
  int64_t liveObjects, liveVelObjects, hostCalls;
  veMediaRecord record;
  std::vector<unsigned char> bytes;
  int channels;
  unsigned int ringWrite, ringCount, ringWrap;
  double audioDelay, videoDelay;
  int32_t outputWidth, outputHeight;
  unsigned long long quads[4] = {};
};

// A second owner of the world's buffer, as a caller's shared pointer.
std::shared_ptr<kaGPUAccessibleBuffer> SharedCopy(World& w) {
  w.buffer->AddRef();
  return zAsSharedPtr(w.buffer.get());
}

struct BadInput {
  const char* name;
  void (*run)(World&);
};

const BadInput kBadInputs[] = {
    // ---- kaBuffer2 and its interfaces ----
    {"BufferAllocateStorageNegative", [](World& w) { EXPECT_EQ(w.buffer->AllocateStorage(-1), -1); }},
    {"BufferMapPlanarStorageEmptyFunction",
     [](World& w) {
       EXPECT_THROW(w.buffer->MapPlanarStorage({}), std::bad_function_call);
       EXPECT_THROW(w.buffer->MapPlanarStorageReadOnly({}), std::bad_function_call);
     }},
    {"BufferCopyImageFromNullOrShortRows",
     [](World& w) {
       std::vector<unsigned char> source(8 * 32, 0xEE);
       w.buffer->CopyImageFrom(nullptr, 32);
       w.buffer->CopyImageFrom(source.data(), 31);  // shorter than a row's 32 active bytes
       w.buffer->CopyImageFrom(source.data(), -32);
       w.buffer->CopyImageFrom(source.data() + 1, kIntMin);
     }},
    {"BufferCopyImageFromRecordsItCannotCopySafely",
     [](World&) {
       std::vector<unsigned char> source(4096, 0xEE);
       veMediaRecord audio = Video(2, 2, zFourCC("rgba"), 8);
       audio.SetMediaType(veMediaTypeAudio);
       const std::tuple<veMediaRecord, int, int> cases[] = {  // record, storage bytes, source row bytes
           {audio, 16, 8}, {Video(2, 2, 0, 8), 16, 8}, {Video(2, 2, zFourCC("abcd"), 8), 16, 8},
           {Video(0, 2, zFourCC("rgba"), 8), 16, 8}, {Video(2, 0, zFourCC("rgba"), 8), 16, 8},
           {Video(2, 8, zFourCC("rgba"), 8), 16, 8} /* rows past the storage */, {Video(2, 2, zFourCC("rgba"), 400), 16, 8},
           {Video(4, 2, zFourCC("rgba"), 8), 64, 16} /* row bytes below a row */, {Video(2, 2, zFourCC("rgba"), -8), 16, 8},
           {Video(2, 2, zFourCC("rgba"), 8), 16, 4} /* source rows too short */, {Video(kIntMax, 2, zFourCC("rgba"), 8), 16, 8},
           {Video(4, 2, zFourCC("rgba"), 0), 20, 16} /* no row bytes, storage for no row */, {Video(2, 2, zFourCC("rgba"), 8), 0, 8}};
       for (const auto& [format, storage, sourceRowBytes] : cases) {
         BufferRef buffer(new kaBuffer2());
         static_cast<veMediaRecord&>(*buffer) = format;
         ASSERT_EQ(buffer->AllocateStorage(storage), 0);
         buffer->CopyImageFrom(source.data(), sourceRowBytes);
         EXPECT_EQ(std::count(buffer->GetStorage(), buffer->GetStorage() + storage, 0), storage) << format.Width();
       }
     }},
    {"BufferCopySubImageNullDestination",
     [](World& w) {
       int x = -2, y = -2, width = 5, height = 5;
       EXPECT_EQ(w.buffer->CopySubImage(nullptr, x, y, width, height), nullptr);
       EXPECT_EQ(x, -2);
       EXPECT_EQ(width, 5);
     }},
    {"BufferCopySubImageOutsideOrEmpty",
     [](World& w) {
       char destination[4] = {1, 2, 3, 4};
       int x = kIntMax, y = 0, width = kIntMax, height = 1;
       EXPECT_EQ(w.buffer->CopySubImage(destination, x, y, width, height), nullptr);
       x = kIntMin, y = kIntMin, width = kIntMin, height = kIntMin;  // sums saturate, nothing is copied
       EXPECT_EQ(w.buffer->CopySubImage(destination, x, y, width, height), destination);
       EXPECT_EQ(width, kIntMin);
       EXPECT_EQ(destination[0], 1);
       EXPECT_EQ(destination[3], 4);
     }},
    {"ProducerWithoutFunction",
     [](World&) {
       kaBuffer2Producer producer;
       EXPECT_EQ(producer.ProduceBuffer(), nullptr);
       EXPECT_EQ(producer.ProduceMetadata(), &kaBuffer2Producer::EmptyMetadata());
       kaOptimizedBuffer2Producer optimized(nullptr);
       EXPECT_EQ(optimized.ProduceMetadata(), nullptr);
     }},
    // ---- kaBufferGroup2 ----
    {"GroupAllocateBufferNullOut",
     [](World& w) { EXPECT_EQ(w.group->allocate_buffer(Audio(2, 48000), -1, 16, 0, nullptr), -1); }},
    {"GroupAllocateBufferZeroNegativeAndUnusableSizes",
     [](World& w) {
       const veMediaRecord formats[] = {Audio(2, 48000), Audio(0, 48000), Audio(256, 48000), Audio(-1, 48000),
                                        Video(8, 4, zFourCC("none")), Video(-8, 4, zFourCC("BGRA")),
                                        Video(kIntMax, kIntMax, zFourCC("BGRA")), Video(8, 4, zFourCC("BGRA"), -32),
                                        veMediaRecord()};
       for (const veMediaRecord& format : formats) {
         for (int count : {0, -1, kIntMin}) {
           kaBuffer2* out = kSentinel;
           EXPECT_EQ(w.group->allocate_buffer(format, -1, count, 0, &out), -1);
           EXPECT_EQ(out, nullptr);
         }
         kaBuffer2* out = kSentinel;
         EXPECT_EQ(w.group->allocate_buffer(format, 0, 1, 0, &out), -1);
         EXPECT_EQ(out, nullptr);
       }
       kaBuffer2* out = kSentinel;
       EXPECT_EQ(w.group->CreateBuffer(Video(kIntMax, kIntMax, zFourCC("BGRA")), 1, 0, &out), -1);
       EXPECT_EQ(out, nullptr);
     }},
    {"GroupAllocateBufferRecordsThatGiveNoSize",
     [](World& w) {
       veMediaRecord untyped;
       untyped.SetWidth(4);
       const std::tuple<veMediaRecord, int, int> calls[] = {  // record, size, count
           {untyped, -1, 1}, {Audio(0, 48000), -1, 10}, {Video(4, 4, zFourCC("zzzz")), 64, 1},
           {Video(-4, 4, zFourCC("rgba")), 64, 1}, {Video(kIntMax / 2, 1, zFourCC("rgba")), 64, 1},
           {Video(65536, 65536, zFourCC("rgba")), -1, 1}, {Video(4096, 4096, zFourCC("rgba")), -1, 64},
           {Video(0, 4, zFourCC("rgba")), -1, 1}};
       for (const auto& [format, size, count] : calls) {
         kaBuffer2* out = kSentinel;
         EXPECT_EQ(w.group->allocate_buffer(format, size, count, 0, &out), -1) << format.Width() << " " << size;
         EXPECT_EQ(out, nullptr);
       }
     }},
    {"GroupGPUAccessibleBufferUnusableFormats",
     [](World& w) {
       const veMediaRecord formats[] = {Video(0, 4, zFourCC("BGRA")), Video(8, -4, zFourCC("BGRA")),
                                        Video(8, 4, 0), Video(8, 4, zFourCC("what")),
                                        Video(65536, 65536, zFourCC("BGRA")), Video(kIntMax, 1, zFourCC("v210")),
                                        Video(-2, 4, zFourCC("BGRA")), Video(8, 0, zFourCC("BGRA")),
                                        Video(600'000'000, 1, zFourCC("BGRA")), Video(40000, kIntMax / 2, zFourCC("I420"))};
       for (const veMediaRecord& format : formats) {
         kaGPUAccessibleBuffer* out = kGpuSentinel;
         EXPECT_EQ(w.group->CreateGPUAccessibleBuffer(format, &out), -1);
         EXPECT_EQ(out, kGpuSentinel);
         std::shared_ptr<kaGPUAccessibleBuffer> shared = SharedCopy(w);
         EXPECT_NE(w.group->CreateGPUAccessibleBuffer(format, shared), 0);
         EXPECT_EQ(shared, nullptr);  // emptied first
         EXPECT_EQ(w.group->CreateGPUAccessibleBuffer(format.Width(), format.Height(), format.RasterType()), nullptr);
       }
       EXPECT_EQ(w.group->CreateGPUAccessibleBuffer(Video(8, 4, zFourCC("BGRA")), nullptr), -1);
     }},
    {"GroupGPUAccessibleBufferFromBadData",
     [](World& w) {
       std::vector<unsigned char> source(64 * 4, 0x11);
       const veMediaRecord usable = Video(8, 4, zFourCC("BGRA"), 32);
       const veMediaRecord refused[] = {Video(8, 4, zFourCC("BGRA"), 0), Video(8, 4, zFourCC("BGRA"), 31),
                                        Video(8, 4, zFourCC("BGRA"), -32), Video(0, 4, zFourCC("BGRA"), 32),
                                        Video(8, 0, zFourCC("BGRA"), 32), Video(8, 4, 0, 32), Audio(2, 48000),
                                        Video(8, 4, zFourCC("zzzz"), 32), Video(kIntMax / 2, 1, zFourCC("rgba"), kIntMax)};
       for (const veMediaRecord& format : refused) {
         kaGPUAccessibleBuffer* out = kGpuSentinel;
         EXPECT_EQ(w.group->CreateGPUAccessibleBufferFromData(format, source.data(), source.size(), &out), -1);
         EXPECT_EQ(out, kGpuSentinel);
       }
       kaGPUAccessibleBuffer* out = kGpuSentinel;
       EXPECT_EQ(w.group->CreateGPUAccessibleBufferFromData(usable, nullptr, 0, &out), -1);
       EXPECT_EQ(out, kGpuSentinel);
       EXPECT_EQ(w.group->CreateGPUAccessibleBufferFromData(usable, source.data(), source.size(), nullptr), -1);
     }},
    {"GroupBlankBufferNullOutOddYuvAndUnusable",
     [](World& w) {
       EXPECT_EQ(w.group->CreateBlankGPUAccessibleBuffer(Video(8, 4, zFourCC("BGRA")), true, nullptr), -1);
       for (const veMediaRecord& format : {Video(7, 4, zFourCC("2vuy")), Video(3, 2, zFourCC("I420")),
                                           Video(-1, 4, zFourCC("yuvs")), Video(8, 4, zFourCC("what")),
                                           Video(65536, 65536, zFourCC("rgba")), Video(3, 4, zFourCC("v210")),
                                           Video(0, 4, zFourCC("rgba")), Video(65536, 65536, zFourCC("BGRA"))}) {
         kaGPUAccessibleBuffer* out = kGpuSentinel;
         EXPECT_EQ(w.group->CreateBlankGPUAccessibleBuffer(format, false, &out), -1);
         EXPECT_EQ(out, nullptr);
         std::shared_ptr<kaGPUAccessibleBuffer> shared = SharedCopy(w);
         kaGPUAccessibleBuffer* const held = shared.get();
         EXPECT_EQ(w.group->CreateBlankGPUAccessibleBuffer(format, false, shared), -1);
         EXPECT_EQ(shared.get(), held);  // left alone
       }
     }},
    {"GroupColouredBufferBadSizes",
     [](World& w) {
       for (const auto& [width, height] : {std::pair{-1, 4}, std::pair{4, -1}, std::pair{0, 4}, std::pair{4, 0},
                                           std::pair{kIntMax, kIntMax}, std::pair{kIntMin, 2}, std::pair{65536, 65536}}) {
         EXPECT_EQ(w.group->CreateColoredBuffer(width, height, 0x12345678), nullptr) << width << " x " << height;
       }
     }},
    {"GroupMakeAudioBufferBadBlocks",
     [](World& w) {
       alignas(8) unsigned char bytes[64] = {};
       const veTimeRange range{48000, 0, 48000, 16};
       EXPECT_EQ(w.group->MakeAudioBuffer(nullptr, 64, kSowt, 48000, 2, range), nullptr);
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 0, kSowt, 48000, 2, range), nullptr);
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, -4, kSowt, 48000, 2, range), nullptr);
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 6, kSowt, 48000, 2, range), nullptr);  // 1.5 frames
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 64, kSowt, 0, 2, range), nullptr);
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 64, kSowt, -48000, 2, range), nullptr);
       for (int channels : {0, -1, 256, 257, kIntMin}) {
         EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 64, kSowt, 48000, channels, range), nullptr) << channels;
       }
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 10, kIn24, 44100, 3, range), nullptr);  // not whole frames
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 64, static_cast<int>(zFourCC("what")), 48000, 2, range), nullptr);
       EXPECT_EQ(w.group->MakeAudioBuffer(bytes, 64, 0, 48000, 2, range), nullptr);
     }},
    {"GroupMiscellaneousEmptyArguments",
     [](World& w) {
       EXPECT_THROW(w.group->RenderSharedBuffers({}), std::bad_function_call);
       EXPECT_EQ(w.group->ConvertBufferToVideoMemoryBuffer({}), nullptr);
       EXPECT_EQ(w.group->Debug_CountOfCachedBuffers(Video(3, 3, zFourCC("what")), 17), -1);
       TraceCapture trace;
       kaBufferGroup2::TraceBufferStatistics({{nullptr, kaCacheStatistics{}}});
       EXPECT_EQ(trace.Count(), 5u);
       EXPECT_TRUE(trace.Contains("n/a"));
     }},
    {"CacheRequestsThatMakeNoBuffer",
     [](World&) {
       using Cache = kaBufferGroupCache<_kaCachedBuffer>;
       int calls = 0;
       const Cache::Factory failing = [&calls](const veMediaRecord&, unsigned long) -> std::shared_ptr<_kaCachedBuffer> {
         return ++calls, nullptr;
       };
       const veMediaRecord format = Video(4, 4, zFourCC("rgba"), 16);
       auto cache = std::make_shared<Cache>(failing), empty = std::make_shared<Cache>(Cache::Factory{});
       EXPECT_EQ(cache->CreateBuffer(format, 64), nullptr);  // a miss, and nothing else
       EXPECT_EQ(cache->CreateBuffer(format, 0x80000000UL), nullptr);  // beyond a signed 32-bit size: not asked
       EXPECT_EQ(cache->CreateBuffer(format, 0x100000040UL), nullptr);  // 64 in the low 32 bits
       EXPECT_EQ(empty->CreateBuffer(format, 64), nullptr);
       EXPECT_EQ(cache->Statistics(), (kaCacheStatistics{0, 0, 0, 0, 0, 3}));
       EXPECT_EQ(empty->Statistics(), (kaCacheStatistics{0, 0, 0, 0, 0, 1}));
       EXPECT_EQ(cache->LiveBuffersForTesting() + empty->LiveBuffersForTesting(), 0u);
       Cache unowned(failing);  // outside a shared pointer returned buffers could never come back
       EXPECT_EQ(unowned.CreateBuffer(format, 64), nullptr);
       EXPECT_EQ(unowned.Statistics(), kaCacheStatistics{});
       EXPECT_EQ(calls, 1);
     }},
    // ---- renderers ----
    {"VideoRendererNullFrameAndNullOut",
     [](World& w) {
       w.video->OnReceiveVideo(nullptr);
       EXPECT_EQ(w.video->CueVideo(nullptr, ka_renderer_params{1}), -1);
       EXPECT_EQ(w.video->Cue(nullptr, ka_renderer_params{1}), -1);
     }},
    {"VideoRendererDelayWithoutMeaning",
     [](World& w) {
       for (double seconds : {std::nan(""), -1.0, -1e300, 0.0}) {
         w.video->SetVideoDelay(seconds);
         EXPECT_EQ(w.video->GetVideoDelay(), 0.0) << seconds;
       }
     }},
    {"RendererOutputFormatOfUnknownType",
     [](World& w) {
       veMediaRecord record = Video(1, 2, zFourCC("BGRA"));
       const veMediaRecord before = record;
       EXPECT_EQ(w.audio->OutputFormat(zFourCC("what"), record, 0), -1);
       EXPECT_TRUE(record.Equals(before));
     }},
    {"RendererDefaultCueLeavesOutAlone",
     [](World& w) {
       kaBuffer2* out = kSentinel;
       EXPECT_EQ(static_cast<kaRenderer2&>(*w.audio).Cue(&out, ka_renderer_params{1}), -1);
       EXPECT_EQ(out, kSentinel);
     }},
    {"VideoRendererNullOutMakesNoBlankFrame",
     [](World& w) {
       // Without a frame a cue would make a blank one; refused, it makes none.
       TestVideoRenderer::Ptr empty = TestVideoRenderer::Make("empty", *w.group, *w.host);
       EXPECT_EQ(empty->CueVideo(nullptr, ka_renderer_params{1}), -1);
       EXPECT_EQ(empty->CueTimestampForParameters(ka_renderer_params{0}), -1);
     }},
    {"VideoRendererNameWithoutText",
     [](World& w) {
       TestHostMethods::Ptr table = TestHostMethods::Make();
       BufferRef frame(new kaBuffer2(veMediaTypeVideo));
       const std::pair<std::string, std::string> names[] = {{"", ""}, {std::string("\0x", 2), ""}, {std::string("ab\0c", 4), "ab"}};
       for (const auto& [given, told] : names) {
         TestVideoRenderer::Make(given, *w.group, *table)->OnReceiveVideo(frame.get());
         EXPECT_EQ(table->Calls().back().rendererName, told);
       }
     }},
    {"DelayQueueNullBufferAndExtremeTimes",
     [](World& w) {
       kaDelayedBufferQueue<kaBuffer2> queue;
       EXPECT_FALSE(queue.Enqueue(nullptr, 5));
       queue.SetDelay(-5);
       EXPECT_EQ(queue.GetDelay(), 0);
       EXPECT_EQ(queue.Dequeue(kInt64Min), nullptr);
       queue.SetDelay(kInt64Max);
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), kInt64Min));
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), kInt64Max));
       EXPECT_EQ(queue.Dequeue(kInt64Min), nullptr);
       // The second arrival expires the first: it lies before
       // INT64_MAX - delay - margin, computed without wrapping.
       EXPECT_EQ(queue.CountForTesting(), 1);
       queue.Clear();
     }},
    {"DelayQueueTimesHeldWithinTheInt64Range",
     [](World& w) {
       // Expiry limits and due times below the range are held at its minimum,
       // never wrapped round to late ones.
       kaDelayedBufferQueue<kaBuffer2> queue;
       queue.SetDelay(kInt64Max);
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), kInt64Min + 10));
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), 1));
       EXPECT_EQ(queue.CountForTesting(), 2);
       EXPECT_EQ(queue.Dequeue(kInt64Min), nullptr);
       EXPECT_EQ(BufferRef(queue.Dequeue(kInt64Max)).get(), w.buffer.get());  // due by 0
       queue.SetDelay(1'000);
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), kInt64Min + 1));
       EXPECT_EQ(queue.Dequeue(kInt64Min + 999), nullptr);
       EXPECT_EQ(BufferRef(queue.Dequeue(kInt64Min + 1'001)).get(), w.buffer.get());
     }},
    {"AudioRendererMalformedBlocks",
     [](World& w) {
       alignas(8) unsigned char bytes[1 + 1920] = {};
       unsigned char* misaligned = bytes + 1;
       struct Block {
         void* data;
         int byteCount, rate, channels, format;
       };
       static std::vector<unsigned char> tooLong(34'000'000);  // more than the ring holds at 48 kHz
       const Block blocks[] = {{nullptr, 1920, 48000, 2, kSowt},  {misaligned, 0, 48000, 2, kSowt},
                               {misaligned, -4, 48000, 2, kSowt}, {misaligned, 1920, 0, 2, kSowt},
                               {misaligned, 1920, -48000, 2, kSowt}, {misaligned, 1920, 48000, 0, kSowt},
                               {misaligned, 1920, 48000, -2, kSowt}, {misaligned, 1920, 48000, 256, kSowt},
                               {misaligned, 1918, 48000, 2, kSowt}, {misaligned, 1919, 44100, 2, kIn24},
                               {misaligned, kIntMin, 48000, 2, kSowt},
                               // rates and channel counts the conversion cannot carry
                               {misaligned, 1920, 1, 2, kSowt}, {misaligned, 1920, 255, 2, kSowt},
                               {misaligned, 1920, 7999, 2, kSowt}, {misaligned, 1920, 384001, 2, kSowt},
                               {misaligned, 1920, 768001, 2, kIn24}, {misaligned, 1920, 48000, 65, kSowt},
                               {misaligned, 1920, 44100, 255, kSowt},
                               {tooLong.data(), static_cast<int>(tooLong.size()), 48000, 2, kSowt}};
       const kaPluginAudioRenderer::ReceiveCounters before = w.audio->GetReceiveCounters();
       for (const Block& block : blocks) {
         w.audio->OnReceive(veTimeRange{}, block.data, block.byteCount, block.rate, block.channels, block.format);
       }
       const kaPluginAudioRenderer::ReceiveCounters after = w.audio->GetReceiveCounters();
       EXPECT_EQ(after.received - before.received, std::size(blocks));
       EXPECT_EQ(after.refused - before.refused, std::size(blocks));
       EXPECT_EQ(after.dropped, before.dropped);
     }},
    {"AudioRendererNullCueAndBusesOutOfRange",
     [](World& w) {
       EXPECT_EQ(w.audio->Cue(nullptr, ka_renderer_params{1}, 0, 3), -1);
       for (int bus : {-1, 4, kIntMin, kIntMax}) {
         w.audio->SetBusMappingQuad(bus, 0x1234);
         unsigned long long quad = 77;
         EXPECT_FALSE(w.audio->GetBusMappingQuad(bus, &quad));
         EXPECT_EQ(quad, 77u);
       }
       EXPECT_FALSE(w.audio->GetBusMappingQuad(0, nullptr));
     }},
    {"AudioRendererConversionRefusals",
     [](World& w) {
       alignas(8) unsigned char bytes[96] = {};
       int frames = 0;
       kaBuffer2* out = kSentinel;
       EXPECT_FALSE(w.audio->ConvertAudioFrame(bytes, 96, kSowt, 48000, 2, nullptr, &out));
       EXPECT_EQ(out, kSentinel);
       EXPECT_FALSE(w.audio->ConvertAudioFrame(bytes, 96, kSowt, 48000, 2, &frames, nullptr));
       struct Call {
         void* data;
         int byteCount, format, rate, channels;
       };
       for (const Call& call : {Call{nullptr, 96, kSowt, 48000, 2}, Call{bytes, 0, kSowt, 48000, 2},
                                Call{bytes, -96, kSowt, 48000, 2}, Call{bytes, 95, kSowt, 48000, 2},
                                Call{bytes, 96, static_cast<int>(zFourCC("twos")), 48000, 2},
                                Call{bytes, 96, kSowt, 0, 2}, Call{bytes, 96, kSowt, 48000, 0},
                                Call{bytes, 96, kSowt, 48000, 256}, Call{bytes, 96, kIn24, 44100, -1},
                                Call{bytes, 96, kSowt, 7999, 2}, Call{bytes, 96, kSowt, 384001, 2},
                                Call{bytes, 130, kSowt, 44100, 65}}) {
         frames = 99;
         out = kSentinel;
         EXPECT_FALSE(w.audio->ConvertAudioFrame(call.data, call.byteCount, call.format, call.rate, call.channels,
                                                 &frames, &out));
         EXPECT_EQ(frames, 0);
         EXPECT_EQ(out, kSentinel);
       }
     }},
    // ---- the audio path's parts ----
    {"RingBufferWithoutStorage",
     [](World&) {
       kaPluginRingBuffer ring(0, true);
       unsigned char bytes[8] = {1};
       EXPECT_EQ(ring.Capacity(), 0u);
       EXPECT_EQ(ring.Write(bytes, 8), 0u);
       EXPECT_EQ(ring.Read(bytes, 8), 0u);
       EXPECT_FALSE(ring.SeekRelative(0));
       EXPECT_FALSE(ring.SeekBackwardsRelativeToWritePosition(0));
       ring.Seek(12345);
       ring.SetWrapBufferSize(4);
       EXPECT_EQ(ring.WrapSize(), 0u);
       EXPECT_EQ(ring.AvailableSpace(), 0u);
     }},
    {"RingBufferNullPointersAndDistancesOutOfRange",
     [](World&) {
       kaPluginRingBuffer ring(16, true);
       unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
       EXPECT_EQ(ring.Write(nullptr, 8), 0u);
       EXPECT_EQ(ring.LastWriteTime(), 0);  // a refused write does not count as one
       EXPECT_EQ(ring.Write(bytes, 8), 8u);
       EXPECT_EQ(ring.Read(nullptr, 8), 0u);
       EXPECT_EQ(ring.ReadAndSeek(nullptr, 8), 0u);
       const long long distances[] = {9, -9, kInt64Min, kInt64Max, 1LL << 32, -(1LL << 32)};
       for (long long distance : distances) {
         EXPECT_FALSE(ring.SeekRelative(distance)) << distance;
       }
       ring.SetWrapBufferSize(16);
       ring.SetWrapBufferSize(0);
       ring.SetWrapBufferSize(0xFFFFFFFFu);
       EXPECT_EQ(ring.WrapSize(), 16u);
       EXPECT_EQ(ring.AvailableData(), 8u);
       EXPECT_FALSE(ring.SeekBackwardsRelativeToWritePosition(0xFFFFFFFFu));
       EXPECT_EQ(ring.AvailableData(), 0u);
       EXPECT_EQ(ring.CurrentReadPosition(), ring.CurrentWritePosition());
     }},
    {"ResamplerRefusesWhatItCannotMap",
     [](World&) {
       auto resampler = std::make_shared<kaSingleBufferAudioResampler>();
       short source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
       int calls = 0;
       auto deliver = [&calls](short*, int) { ++calls; };
       resampler->Linear(nullptr, 2, 4, 5, deliver);
       resampler->Linear(source, 0, 4, 5, deliver);
       resampler->Linear(source, -2, 4, 5, deliver);
       resampler->Linear(source, 2, 0, 5, deliver);
       resampler->Linear(source, 2, -4, 5, deliver);
       resampler->NearestLinear(source, 2, -4, -4, deliver);  // equal counts pass nothing through either
       resampler->Parabolic(source, 2, 4, -5, deliver);
       EXPECT_THROW(resampler->Nearest(source, 2, 4, 5, {}), std::bad_function_call);
       EXPECT_EQ(calls, 0);
       EXPECT_EQ(resampler->DestinationBuffer(-1, 5), nullptr);
       EXPECT_EQ(resampler->DestinationBuffer(2, kIntMin), nullptr);
       short* delivered = nullptr;
       int deliveredFrames = -1;
       resampler->NearestLinear(source, 2, 4, 1, [&](short* out, int n) { delivered = out, deliveredFrames = n; });
       ASSERT_EQ(deliveredFrames, 1);  // one output frame: source frame 0
       EXPECT_EQ(delivered[0], 1);
       EXPECT_EQ(delivered[1], 2);
     }},
    {"DriftDetectorNegativeFramesAndExtremeTimes",
     [](World&) {
       TraceCapture trace;
       kaAudioDriftDetector detector("bad", std::chrono::milliseconds(-5), std::chrono::seconds(kInt64Max));
       EXPECT_EQ(detector.DriftCorrect(-1, 1'000'000), 0);
       EXPECT_EQ(detector.DeliveryCount(), 0u);
       EXPECT_EQ(detector.SamplesReceived(), 0);
       EXPECT_EQ(detector.DriftCorrect(kIntMax, kInt64Min), 0);
       EXPECT_EQ(detector.DriftCorrect(kIntMax, kInt64Max), 0);
       detector.SetLogInterval(std::nan(""));
       detector.ResetMeasurement(nullptr);
       EXPECT_TRUE(trace.Contains("RESET []"));
     }},
    // ---- filters and adapters ----
    {"RenderHashNullData",
     [](World&) {
       kaRenderHash hash;
       hash.Generate(nullptr, 1000);
       EXPECT_EQ(hash.Complete(), kaRenderHash::GenerateHash("", 0));
     }},
    {"FilterManagerEmptyGroupAndInput",
     [](World& w) {
       std::shared_ptr<kaVideoFilterManager> manager = w.group->VideoFilterManager();
       ASSERT_NE(manager, nullptr);
       kaDiscreteRenderGraph::Node node;
       node.Filters().emplace_back();  // an entry without a filter
       kaOutputDevice device;
       const std::shared_ptr<kaBuffer2> input;
       EXPECT_EQ(manager->RunVideoFilterGraph(node, input, *w.group, device, {}), nullptr);
       EXPECT_EQ(manager->LocateCachedBufferForFilterGraph(node, input), nullptr);
       manager->PerformCacheHousekeeping(std::chrono::seconds::max());
       manager->PerformCacheHousekeeping(std::chrono::seconds::min());
       manager->RemoveOldestCacheEntry();
       EXPECT_EQ(manager->EntryCountForTesting(), 0u);
       EXPECT_EQ(manager->CacheSize(), 0);
     }},
    {"FilterManagerWithoutGroupRunsNoFilter",
     [](World& w) {
       const std::shared_ptr<TestImageFilter> filter = TestImageFilter::Make();
       kaDiscreteRenderGraph::Node node;
       AddFilterEntry(node, filter, "blur");
       kaOutputDevice device;
       EXPECT_EQ(w.group->VideoFilterManager()->RunVideoFilterGraph(node, SharedCopy(w), *w.group, device, {}), nullptr);
       EXPECT_EQ(filter->RenderCount(), 0);
     }},
    {"AdaptersOverNothing",
     [](World& w) {
       EXPECT_EQ(kaBufferPixelDataReference::Create(nullptr), nullptr);
       EXPECT_EQ(kaBufferGraphicsSurface::Create(nullptr), nullptr);
       EXPECT_EQ(kaBufferGroupGraphicsContext::Create(nullptr), nullptr);
       Vel::CGraphicsContext* context = nullptr;
       ASSERT_TRUE(w.group->WrapInVelGraphicsContext(context));
       auto* const sentinel = reinterpret_cast<Vel::CGraphicsSurface*>(uintptr_t{0x40});
       Vel::CGraphicsSurface* surface = sentinel;
       EXPECT_TRUE(context->CreateSurface(nullptr, surface).Failed());
       EXPECT_EQ(surface, sentinel);
       context->Release();
     }},
    {"ContextSurfaceOfUnusableProperties",
     [](World& w) {
       Vel::CGraphicsContext* context = nullptr;
       ASSERT_TRUE(w.group->WrapInVelGraphicsContext(context));
       auto* const sentinel = reinterpret_cast<Vel::CGraphicsSurface*>(uintptr_t{0x40});
       for (const auto& [width, height, format] : {std::tuple{64, 32, zFourCC("zzzz")}, std::tuple{0, 0, zFourCC("BGRA")}}) {
         auto* properties = new Vel::CVideoProperties();
         properties->SetWidth(width), properties->SetHeight(height), properties->SetPixelFormat(format);
         Vel::CGraphicsSurface* surface = sentinel;
         EXPECT_TRUE(context->CreateSurface(properties, surface).Failed()) << width << " x " << height;
         EXPECT_EQ(surface, sentinel);
         properties->Release();
       }
       context->Release();
     }},
};

// Rows print as their names (ctest shows the parameter).
void PrintTo(const BadInput& input, std::ostream* out) { *out << input.name; }

class BadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, FailsCleanlyAndChangesNothing) {
  const int64_t liveAtStart = xCUnknown::LiveObjectsForTesting();
  const int64_t tablesAtStart = TestHostMethods::LiveCount();
  {
    World world;
    const Snapshot before(world);
    GetParam().run(world);
    before.ExpectUnchanged(world);
  }
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart) << "objects left alive";
  EXPECT_EQ(TestHostMethods::LiveCount(), tablesAtStart);
}

INSTANTIATE_TEST_SUITE_P(EveryEntryPoint, BadInputTest, ::testing::ValuesIn(kBadInputs),
                         [](const ::testing::TestParamInfo<BadInput>& entry) { return std::string(entry.param.name); });

}  // namespace
