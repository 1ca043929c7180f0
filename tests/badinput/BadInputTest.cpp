// Failures are results: every public entry point fed null, zero, negative,
// huge and misaligned arguments, one case per refusal branch; every counted
// object asked for interfaces it has and has not; and a live scene with each
// of its allocations failing in turn (at the end of the file).
//
// Each bad-input row calls entry points and checks their failure results and
// what they leave in their out arguments; the fixture then checks that nothing
// else changed: the group's counters, the counted, framework and host objects
// alive, a video buffer's record and bytes, and the observable state of one
// video and one audio renderer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/wait.h>

#include "Vel/CObject.h"
#include "Vel/CVideoProperties.h"
#include "adapters/kaBufferGraphicsSurface.h"
#include "adapters/kaBufferGroupGraphicsContext.h"
#include "adapters/kaBufferPixelDataReference.h"
#include "buffers/kaBufferGroup2.h"
#include "buffers/kaGPUAccessibleBuffer.h"
#include "filters/kaRenderHash.h"
#include "filters/kaVideoFilterManager.h"
#include "plugins/kaAudioDriftDetector.h"
#include "plugins/kaAudioDriftTracker.h"
#include "plugins/kaSingleBufferAudioResampler.h"
#include "plugins/kaSmoothDriftResampler.h"
#include "render/kaDelayedBufferQueue.h"
#include "render/kaPluginRenderer.h"
#include "support/AllocationCounter.h"
#include "support/TestAudioRenderer.h"
#include "support/TestHostMethods.h"
#include "support/TestImageFilter.h"
#include "support/TestRecords.h"
#include "support/TestVideoRenderer.h"
#include "support/TraceCapture.h"
#include "tolm/zTraceManager.h"

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
constexpr uint32_t kBGRA = zFourCC("BGRA");
constexpr uint32_t kRgba = zFourCC("rgba");
// A pointer no call may store, dereference or release.
kaBuffer2* const kSentinel = reinterpret_cast<kaBuffer2*>(uintptr_t{0x40});
auto* const kGpuSentinel = reinterpret_cast<kaGPUAccessibleBuffer*>(uintptr_t{0x40});

veMediaRecord Video(int width, int height, uint32_t raster, int rowBytes = 0) {
  return VideoFormat(width, height, raster, rowBytes);
}
veMediaRecord Audio(int channels) { return AudioFormat(48000, channels); }

// An audio block as the audio entry points take it.
struct Block { void* data; int byteCount, format, rate, channels; };

// What every row runs against: a group with warm caches, a host table, one
// renderer of each kind holding a frame or audio, and an 8 x 4 BGRA buffer.
struct World {
  World() : group(new kaBufferGroup2()), host(TestHostMethods::Make()) {
    host->SetRecording(false);
    audio = TestAudioRenderer::Make("audio", *group, *host);
    video = TestVideoRenderer::Make("video", *group, *host);
    kaGPUAccessibleBuffer* made = nullptr;
    EXPECT_EQ(group->CreateGPUAccessibleBuffer(Video(8, 4, kBGRA), &made), 0);
    buffer.reset(made);
    for (uint32_t i = 0; i < buffer->StorageSize(); ++i) buffer->GetStorage()[i] = static_cast<unsigned char>(i);
    video->OnReceiveVideo(group->CreateGPUAccessibleBuffer(16, 8, kBGRA).get());
    std::vector<int16_t> block(2 * 480, 3);
    audio->OnReceive(veTimeRange{}, block.data(), 480 * 4, 48000, 2, kSowt);
  }
  GroupRef group;
  TestHostMethods::Ptr host;
  TestAudioRenderer::Ptr audio;
  TestVideoRenderer::Ptr video;
  std::unique_ptr<kaGPUAccessibleBuffer, zReleaseDeleter> buffer;
};

// Everything a row must leave as it was, but the buffer's record: the
// group's counters, the objects and host calls, the buffer's references and
// bytes, the audio renderer's channels, ring, delay and buses, the video
// renderer's delay and output size.
auto Observed(World& w) {
  kaPluginRingBuffer& ring = w.audio->ringBuffer;
  const unsigned char* bytes = w.buffer->GetStorage();
  std::vector<unsigned long long> quads(4);
  for (int bus = 0; bus < 4; ++bus) EXPECT_TRUE(w.audio->GetBusMappingQuad(bus, &quads[bus]));
  return std::tuple(w.group->GetStatistics(), xCUnknown::LiveObjectsForTesting(),
                    Vel::CObject::LiveObjectsForTesting(), w.host->VideoCount() + w.host->AudioCount(),
                    w.buffer->RefCountForTesting(),
                    std::vector<unsigned char>(bytes, bytes + w.buffer->StorageSize()),
                    w.audio->GetNumChannels(), ring.CurrentWritePosition(), ring.AvailableData(), ring.WrapSize(),
                    w.audio->GetAudioDelay(), quads, w.video->GetVideoDelay(), w.video->GetOutputWidth(),
                    w.video->GetOutputHeight());
}

// A second owner of the world's buffer, as a caller's shared pointer.
std::shared_ptr<kaGPUAccessibleBuffer> SharedCopy(World& w) {
  w.buffer->AddRef();
  return zAsSharedPtr(w.buffer.get());
}

// A renderer of no media kind.
class PlainRenderer final : public kaPluginRenderer {
 public:
  PlainRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host) : kaPluginRenderer("plain", group, host) {}
  uint32_t RendererKind() const override { return zFourCC("plan"); }
};

// `object` seen through one of its interfaces.
template <typename Interface, typename T>
xIUnknown* As(T* object) {
  return static_cast<xIUnknown*>(static_cast<Interface*>(object));
}

// What a counted object promises a host that asks it for an interface by
// name. `object` holds only its creator's reference, which this gives back.
// Each answered name hands out its sub-object with one reference more (the
// same again when asked through it; nothing counted for a null out pointer);
// each refused name, and null, "" and "other", gives -1, clears the out
// pointer and takes no reference. The last reference may go through an
// interface.
void ExpectInterfaceContract(xCUnknown& object, const std::vector<std::pair<const char*, xIUnknown*>>& answers,
                             std::vector<const char*> refused) {
  ASSERT_EQ(object.RefCountForTesting(), 1);
  for (const auto& [name, expected] : answers) {
    SCOPED_TRACE(name);
    void *out = nullptr, *again = nullptr;
    ASSERT_EQ(object.QueryInterface(name, &out), 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(object.RefCountForTesting(), 2);
    ASSERT_EQ(expected->QueryInterface(name, &again), 0);
    EXPECT_EQ(again, out);
    expected->Release();
    expected->Release();
    EXPECT_EQ(object.QueryInterface(name, nullptr), 0);
    EXPECT_EQ(object.RefCountForTesting(), 1);
  }
  refused.insert(refused.end(), {nullptr, "", "other"});
  for (const char* name : refused) {
    void* out = &object;
    EXPECT_EQ(object.QueryInterface(name, &out), -1) << (name ? name : "(null)");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object.QueryInterface(name, nullptr), -1);
  }
  EXPECT_EQ(object.RefCountForTesting(), 1);
  EXPECT_EQ(answers.front().second->AddRef(), 2);
  EXPECT_EQ(object.Release(), 1);
  EXPECT_EQ(answers.front().second->Release(), 0);
}

struct BadInput {
  const char* name;
  void (*run)(World&);
};

const BadInput kBadInputs[] = {
    // ---- kaBuffer2 ----
    {"BufferStorageMappingAndCopies", [](World& w) {
       EXPECT_EQ(w.buffer->AllocateStorage(-1), -1);
       EXPECT_THROW(w.buffer->MapPlanarStorage({}), std::bad_function_call);
       EXPECT_THROW(w.buffer->MapPlanarStorageReadOnly({}), std::bad_function_call);
       w.buffer->CopyImageFrom(nullptr, 32);
       // Sub-images: no destination, no pixel inside, sums that saturate (nothing is copied).
       char destination[4] = {1, 2, 3, 4};
       int x = -2, y = -2, width = 5, height = 5;
       EXPECT_EQ(w.buffer->CopySubImage(nullptr, x, y, width, height), nullptr);
       EXPECT_EQ(std::tie(x, width), std::tuple(-2, 5));
       x = kIntMax, y = 0, width = kIntMax, height = 1;
       EXPECT_EQ(w.buffer->CopySubImage(destination, x, y, width, height), nullptr);
       x = kIntMin, y = kIntMin, width = kIntMin, height = kIntMin;
       EXPECT_EQ(w.buffer->CopySubImage(destination, x, y, width, height), destination);
       EXPECT_EQ(width, kIntMin);
       EXPECT_EQ(std::string(destination, 4), std::string("\1\2\3\4"));
     }},
    {"BufferCopyImageFromRecordsItCannotCopySafely", [](World&) {
       std::vector<unsigned char> source(4096, 0xEE);
       veMediaRecord audio = Video(2, 2, kRgba, 8);
       audio.SetMediaType(veMediaTypeAudio);
       // Not video, no raster type, no width, a row's bytes overflowing, rows past the storage, row bytes
       // below a row, source rows too short, no row bytes and storage for less than a row each, no storage.
       const std::tuple<veMediaRecord, int, int> cases[] = {  // record, storage bytes, source row bytes
           {audio, 16, 8}, {Video(2, 2, 0, 8), 16, 8}, {Video(0, 2, kRgba, 8), 16, 8},
           {Video(kIntMax, 2, kRgba, 8), 16, 8}, {Video(2, 8, kRgba, 8), 16, 8}, {Video(4, 2, kRgba, 8), 64, 16},
           {Video(2, 2, kRgba, 8), 16, 4}, {Video(4, 2, kRgba, 0), 20, 16}, {Video(2, 2, kRgba, 8), 0, 8}};
       for (const auto& [format, storage, sourceRowBytes] : cases) {
         BufferRef buffer(new kaBuffer2());
         static_cast<veMediaRecord&>(*buffer) = format;
         ASSERT_EQ(buffer->AllocateStorage(storage), 0);
         buffer->CopyImageFrom(source.data(), sourceRowBytes);
         EXPECT_EQ(std::count(buffer->GetStorage(), buffer->GetStorage() + storage, 0), storage) << format.Width();
       }
     }},
    // ---- kaBufferGroup2 and its cache ----
    {"GroupBuffersOfNoSize", [](World& w) {
       EXPECT_EQ(w.group->allocate_buffer(Audio(2), -1, 16, 0, nullptr), -1);
       // Usable records asked for 0 bytes or no frames, and records that give no size.
       const std::tuple<veMediaRecord, int, int> calls[] = {  // record, size, count
           {Audio(2), 0, 1}, {Audio(2), -1, 0}, {Audio(2), -1, kIntMin}, {Video(8, 4, kBGRA), -1, -1},
           {Audio(0), -1, 10}, {Audio(256), -1, 1}, {veMediaRecord(), -1, 1}, {Video(0, 4, kRgba), -1, 1},
           {Video(8, 4, zFourCC("none")), -1, 1}, {Video(-8, 4, kBGRA), -1, 1}, {Video(8, 4, kBGRA, -32), -1, 1},
           {Video(kIntMax, kIntMax, kBGRA), -1, 1}, {Video(4096, 4096, kRgba), -1, 64}};
       for (const auto& [format, size, count] : calls) {
         kaBuffer2* out = kSentinel;
         EXPECT_EQ(w.group->allocate_buffer(format, size, count, 0, &out), -1) << format.Width() << " " << count;
         EXPECT_EQ(out, nullptr);
       }
       kaBuffer2* out = kSentinel;
       EXPECT_EQ(w.group->CreateBuffer(Video(kIntMax, kIntMax, kBGRA), 1, 0, &out), -1);
       EXPECT_EQ(out, nullptr);
       EXPECT_EQ(w.group->CreateColoredBuffer(4, -1, 0x12345678), nullptr);
     }},
    {"GroupGPUAccessibleAndBlankBuffersOfUnusableFormats", [](World& w) {
       EXPECT_EQ(w.group->CreateGPUAccessibleBuffer(Video(8, 4, kBGRA), nullptr), -1);
       EXPECT_EQ(w.group->CreateBlankGPUAccessibleBuffer(Video(8, 4, kBGRA), true, nullptr), -1);
       // Formats no form can size, then odd widths of YUV formats, which only a blank buffer refuses.
       const veMediaRecord formats[] = {Video(0, 4, kBGRA), Video(8, -4, kBGRA), Video(8, 4, 0),
                                        Video(65536, 65536, kBGRA), Video(kIntMax, 1, zFourCC("v210")),
                                        Video(40000, kIntMax / 2, zFourCC("I420")), Video(7, 4, zFourCC("2vuy")),
                                        Video(3, 2, zFourCC("I420"))};
       for (size_t i = 0; i < std::size(formats); ++i) {
         const veMediaRecord& format = formats[i];
         kaGPUAccessibleBuffer* out = kGpuSentinel;
         EXPECT_EQ(w.group->CreateBlankGPUAccessibleBuffer(format, false, &out), -1) << i;
         EXPECT_EQ(out, nullptr);
         std::shared_ptr<kaGPUAccessibleBuffer> shared = SharedCopy(w);
         EXPECT_EQ(w.group->CreateBlankGPUAccessibleBuffer(format, false, shared), -1);
         EXPECT_EQ(shared.get(), w.buffer.get());  // left alone
         if (i >= 6) continue;
         out = kGpuSentinel;
         EXPECT_EQ(w.group->CreateGPUAccessibleBuffer(format, &out), -1);
         EXPECT_EQ(out, kGpuSentinel);
         EXPECT_NE(w.group->CreateGPUAccessibleBuffer(format, shared), 0);
         EXPECT_EQ(shared, nullptr);  // emptied first
         EXPECT_EQ(w.group->CreateGPUAccessibleBuffer(format.Width(), format.Height(), format.RasterType()), nullptr);
       }
     }},
    {"GroupGPUAccessibleBufferFromBadData", [](World& w) {
       std::vector<unsigned char> source(64 * 4, 0x11);
       unsigned char* const s = source.data();
       const veMediaRecord usable = Video(8, 4, kBGRA, 32);
       for (const auto& [format, data] : {std::pair{Audio(2), s}, {Video(8, 4, 0, 32), s}, {Video(0, 4, kBGRA, 32), s},
                                          {Video(8, 4, kBGRA, 0), s}, {Video(8, 4, kBGRA, 31), s}, {usable, nullptr},
                                          {Video(kIntMax / 2, 1, kRgba, kIntMax), s}}) {
         kaGPUAccessibleBuffer* out = kGpuSentinel;
         EXPECT_EQ(w.group->CreateGPUAccessibleBufferFromData(format, data, source.size(), &out), -1);
         EXPECT_EQ(out, kGpuSentinel);
       }
       EXPECT_EQ(w.group->CreateGPUAccessibleBufferFromData(usable, s, source.size(), nullptr), -1);
     }},
    {"GroupMakeAudioBufferBadBlocks", [](World& w) {
       alignas(8) unsigned char bytes[64] = {};
       const Block blocks[] = {{nullptr, 64, kSowt, 48000, 2}, {bytes, 0, kSowt, 48000, 2},
                               {bytes, 6, kSowt, 48000, 2} /* 1.5 frames */, {bytes, 10, kIn24, 44100, 3},
                               {bytes, 64, kSowt, 0, 2}, {bytes, 64, kSowt, 48000, 0}, {bytes, 64, kSowt, 48000, 256},
                               {bytes, 64, static_cast<int>(zFourCC("what")), 48000, 2}};
       for (const Block& b : blocks) {
         EXPECT_EQ(w.group->MakeAudioBuffer(b.data, b.byteCount, b.format, b.rate, b.channels, veTimeRange{}), nullptr)
             << b.byteCount << " bytes, " << b.rate << " Hz, " << b.channels << " channels";
       }
     }},
    {"ProducersAndGroupCallsWithoutFunctionOrUnknownFormat", [](World& w) {
       EXPECT_EQ(kaBuffer2Producer().ProduceBuffer(), nullptr);
       EXPECT_EQ(kaBuffer2Producer().ProduceMetadata(), &kaBuffer2Producer::EmptyMetadata());
       EXPECT_EQ(kaOptimizedBuffer2Producer(nullptr).ProduceMetadata(), nullptr);
       EXPECT_THROW(w.group->RenderSharedBuffers({}), std::bad_function_call);
       EXPECT_EQ(w.group->ConvertBufferToVideoMemoryBuffer({}), nullptr);
       EXPECT_EQ(w.group->Debug_CountOfCachedBuffers(Video(3, 3, zFourCC("what")), 17), -1);
       TraceCapture trace;
       kaBufferGroup2::TraceBufferStatistics({{nullptr, kaCacheStatistics{}}});
       EXPECT_EQ(trace.Count(), 5u);
       EXPECT_TRUE(trace.Contains("n/a"));
     }},
    {"CacheRequestsThatMakeNoBuffer", [](World&) {
       using Cache = kaBufferGroupCache<_kaCachedBuffer>;
       int calls = 0;
       const Cache::Factory failing = [&calls](const veMediaRecord&, unsigned long) {
         ++calls;
         return std::shared_ptr<_kaCachedBuffer>();
       };
       const veMediaRecord format = Video(4, 4, kRgba, 16);
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
    {"RendererNullFramesNullOutsUnknownTypesAndNames", [](World& w) {
       w.video->OnReceiveVideo(nullptr);
       EXPECT_EQ(w.video->CueVideo(nullptr, ka_renderer_params{1}), -1);
       // Without a frame a cue would make a blank one; refused, it makes none.
       TestVideoRenderer::Ptr empty = TestVideoRenderer::Make("empty", *w.group, *w.host);
       EXPECT_EQ(empty->CueVideo(nullptr, ka_renderer_params{1}), -1);
       EXPECT_EQ(empty->CueTimestampForParameters(ka_renderer_params{0}), -1);
       kaBuffer2* out = kSentinel;
       EXPECT_EQ(static_cast<kaRenderer2&>(*w.audio).Cue(&out, ka_renderer_params{1}), -1);
       EXPECT_EQ(out, kSentinel);
       veMediaRecord record = Video(1, 2, kBGRA);
       EXPECT_EQ(w.audio->OutputFormat(zFourCC("what"), record, 0), -1);
       EXPECT_TRUE(record.Equals(Video(1, 2, kBGRA)));
       for (double seconds : {std::nan(""), -1.0}) {
         w.video->SetVideoDelay(seconds);
         EXPECT_EQ(w.video->GetVideoDelay(), 0.0) << seconds;
       }
       // A name is told to the host up to its first NUL.
       TestHostMethods::Ptr table = TestHostMethods::Make();
       TestVideoRenderer::Make(std::string("ab\0c", 4), *w.group, *table)
           ->OnReceiveVideo(BufferRef(new kaBuffer2(veMediaTypeVideo)).get());
       EXPECT_EQ(table->Calls().back().rendererName, "ab");
     }},
    {"DelayQueueNullBufferAndTimesHeldWithinTheInt64Range", [](World& w) {
       kaDelayedBufferQueue<kaBuffer2> queue;
       EXPECT_FALSE(queue.Enqueue(nullptr, 5));
       queue.SetDelay(-5);
       EXPECT_EQ(queue.GetDelay(), 0);
       // Expiry limits and due times below the range are held at its minimum, never wrapped round to late ones.
       queue.SetDelay(kInt64Max);
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), kInt64Min + 10));
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), 1));
       EXPECT_EQ(queue.CountForTesting(), 2);
       EXPECT_EQ(queue.Dequeue(kInt64Min), nullptr);
       EXPECT_EQ(BufferRef(queue.Dequeue(kInt64Max)).get(), w.buffer.get());  // due by 0
       // An arrival at the end of the range expires one at its start: it lies before INT64_MAX - delay - margin.
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), kInt64Min));
       EXPECT_TRUE(queue.Enqueue(w.buffer.get(), kInt64Max));
       EXPECT_EQ(queue.CountForTesting(), 2);  // the arrivals at 1 and at the end
     }},
    {"AudioRendererMalformedBlocksNullCueAndBusesOutOfRange", [](World& w) {
       alignas(8) unsigned char bytes[1 + 1920] = {};
       unsigned char* m = bytes + 1;  // misaligned
       static std::vector<unsigned char> tooLong(34'000'000);  // more than the ring holds at 48 kHz
       const Block blocks[] = {{nullptr, 1920, kSowt, 48000, 2}, {m, 0, kSowt, 48000, 2}, {m, kIntMin, kSowt, 48000, 2},
                               {m, 1920, kSowt, 7999, 2}, {m, 1920, kSowt, 384001, 2}, {m, 1920, kSowt, 48000, 0},
                               {m, 1920, kSowt, 48000, 65}, {m, 1918, kSowt, 48000, 2}, {m, 1919, kIn24, 44100, 2},
                               {tooLong.data(), static_cast<int>(tooLong.size()), kSowt, 48000, 2}};
       const kaPluginAudioRenderer::ReceiveCounters before = w.audio->GetReceiveCounters();
       for (const Block& b : blocks) w.audio->OnReceive({}, b.data, b.byteCount, b.rate, b.channels, b.format);
       const kaPluginAudioRenderer::ReceiveCounters after = w.audio->GetReceiveCounters();
       EXPECT_EQ(after.received - before.received, std::size(blocks));
       EXPECT_EQ(after.refused - before.refused, std::size(blocks));
       EXPECT_EQ(after.dropped, before.dropped);
       EXPECT_EQ(w.audio->Cue(nullptr, ka_renderer_params{1}, 0, 3), -1);
       for (int bus : {-1, 4}) {
         w.audio->SetBusMappingQuad(bus, 0x1234);
         unsigned long long quad = 77;
         EXPECT_FALSE(w.audio->GetBusMappingQuad(bus, &quad));
         EXPECT_EQ(quad, 77u);
       }
       EXPECT_FALSE(w.audio->GetBusMappingQuad(0, nullptr));
     }},
    {"AudioRendererConversionRefusals", [](World& w) {
       alignas(8) unsigned char pcm[130] = {};
       int frames = 99;
       kaBuffer2* out = kSentinel;
       EXPECT_FALSE(w.audio->ConvertAudioFrame(pcm, 96, kSowt, 48000, 2, nullptr, &out));
       EXPECT_FALSE(w.audio->ConvertAudioFrame(pcm, 96, kSowt, 48000, 2, &frames, nullptr));
       const Block blocks[] = {{nullptr, 96, kSowt, 48000, 2}, {pcm, 0, kSowt, 48000, 2}, {pcm, 95, kSowt, 48000, 2},
                               {pcm, 96, static_cast<int>(zFourCC("twos")), 48000, 2}, {pcm, 96, kSowt, 7999, 2},
                               {pcm, 96, kSowt, 384001, 2}, {pcm, 96, kSowt, 48000, 0}, {pcm, 130, kSowt, 44100, 65}};
       for (const Block& b : blocks) {
         EXPECT_FALSE(w.audio->ConvertAudioFrame(b.data, b.byteCount, b.format, b.rate, b.channels, &frames, &out));
         EXPECT_EQ(std::tie(frames, out), std::tuple(0, kSentinel)) << b.byteCount << " pcm, " << b.rate << " Hz";
         frames = 99;
       }
     }},
    // ---- the audio path's parts ----
    {"RingBufferWithoutStorageNullPointersAndDistancesOutOfRange", [](World&) {
       kaPluginRingBuffer none(0, true);
       unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
       EXPECT_EQ(none.Write(bytes, 8) + none.Read(bytes, 8) + none.Capacity() + none.AvailableSpace(), 0u);  // all 0
       EXPECT_FALSE(none.SeekRelative(0) || none.SeekBackwardsRelativeToWritePosition(0));
       kaPluginRingBuffer ring(16, true);
       EXPECT_EQ(ring.Write(nullptr, 8), 0u);
       EXPECT_EQ(ring.LastWriteTime(), 0);  // a refused write does not count as one
       EXPECT_EQ(ring.Write(bytes, 8), 8u);
       EXPECT_EQ(ring.Read(nullptr, 8) + ring.ReadAndSeek(nullptr, 8), 0u);
       const long long distances[] = {9, -9, kInt64Min, 1LL << 32};
       for (long long distance : distances) EXPECT_FALSE(ring.SeekRelative(distance)) << distance;
       ring.SetWrapBufferSize(0);
       ring.SetWrapBufferSize(0xFFFFFFFFu);
       EXPECT_EQ(ring.WrapSize(), 16u);
       EXPECT_FALSE(ring.SeekBackwardsRelativeToWritePosition(0xFFFFFFFFu));
       EXPECT_EQ(ring.AvailableData(), 0u);  // the 8 bytes are skipped instead
     }},
    {"ResamplerRefusesWhatItCannotMap", [](World&) {
       auto resampler = std::make_shared<kaSingleBufferAudioResampler>();
       short source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
       int calls = 0;
       auto deliver = [&calls](short*, int) { ++calls; };
       resampler->Linear(nullptr, 2, 4, 5, deliver);
       resampler->Linear(source, 0, 4, 5, deliver);
       resampler->Linear(source, 2, -4, 5, deliver);
       resampler->NearestLinear(source, 2, -4, -4, deliver);  // equal counts pass nothing through either
       resampler->Parabolic(source, 2, 4, -5, deliver);
       EXPECT_THROW(resampler->Nearest(source, 2, 4, 5, {}), std::bad_function_call);
       EXPECT_EQ(calls, 0);
       EXPECT_EQ(resampler->DestinationBuffer(-1, 5), nullptr);
       EXPECT_EQ(resampler->DestinationBuffer(2, kIntMin), nullptr);
     }},
    {"SmoothResamplerRefusesWhatItCannotResample", [](World&) {
       kaSmoothDriftResampler resampler;
       const int16_t stereo[8] = {1, 2, 3, 4, 5, 6, 7, 8};
       int calls = 0;
       const kaSmoothDriftResampler::Sink sink = [&calls](const int16_t*, int) { ++calls; };
       EXPECT_EQ(resampler.Process(stereo, 2, 4, 1.0, sink), 0);  // held: the filter's look-ahead
       const struct { const int16_t* input; int channels, frames; double ratio; bool sink; } refused[] = {
           {nullptr, 2, 4, 1.0, true}, {stereo, 0, 4, 1.0, true}, {stereo, 65, 4, 1.0, true},
           {stereo, 2, 0, 1.0, true}, {stereo, 2, kIntMin, 1.0, true}, {stereo, 2, 4, 0.0, true},
           {stereo, 2, 4, -1.0, true}, {stereo, 2, 4, 1.0201, true}, {stereo, 2, 4, 0.9799, true},
           {stereo, 2, 4, std::nan(""), true}, {stereo, 2, 4, HUGE_VAL, true}, {stereo, 2, 4, 1.0, false}};
       for (const auto& r : refused) {
         EXPECT_EQ(resampler.Process(r.input, r.channels, r.frames, r.ratio, r.sink ? sink : nullptr), -1) << r.ratio;
       }
       EXPECT_EQ(std::tuple(calls, resampler.Channels(), resampler.InputFrames()), std::tuple(0, 2, 4))
           << "the stream is as the first block left it";
     }},
    {"DriftTrackerExtremeTimesAndCounts", [](World&) {
       kaAudioDriftTracker tracker(-5);  // a negative gap is none: every later delivery restarts
       tracker.EndDelivery(480);         // no delivery begun
       EXPECT_FALSE(tracker.IsMeasuring());
       for (const int64_t now : {kInt64Max, kInt64Min, int64_t{0}, kInt64Max}) {
         EXPECT_TRUE(tracker.BeginDelivery(now, 2)) << now;  // each a jump beyond any gap
         for (const double frames : {-1.0, std::nan(""), HUGE_VAL, 1e300, 480.0}) {
           tracker.BeginDelivery(now, 2);
           tracker.EndDelivery(frames);
           EXPECT_TRUE(std::fabs(tracker.Ratio() - 1.0) <= kaAudioDriftTracker::kMaxRatioDeviation) << frames;
         }
       }
     }},
    {"AudioRendererDriftModeOutsideTheEnumeration", [](World& w) {
       w.audio->SetDriftCorrectionMode(kaPluginAudioRenderer::DriftCorrectionMode::kSmooth);
       w.audio->SetDriftCorrectionMode(static_cast<kaPluginAudioRenderer::DriftCorrectionMode>(7));
       w.audio->SetDriftCorrectionMode(static_cast<kaPluginAudioRenderer::DriftCorrectionMode>(-1));
       EXPECT_EQ(w.audio->GetDriftCorrectionMode(), kaPluginAudioRenderer::DriftCorrectionMode::kSmooth);
       w.audio->SetDriftCorrectionMode(kaPluginAudioRenderer::DriftCorrectionMode::kStep);
     }},
    {"DriftDetectorNegativeFramesAndExtremeTimes", [](World&) {
       TraceCapture trace;
       kaAudioDriftDetector detector("bad", std::chrono::milliseconds(-5), std::chrono::seconds(kInt64Max));
       EXPECT_EQ(detector.DriftCorrect(-1, 1'000'000), 0);
       EXPECT_EQ(std::tuple(detector.DeliveryCount(), detector.SamplesReceived()), std::tuple(0u, 0));  // not counted
       EXPECT_EQ(detector.DriftCorrect(kIntMax, kInt64Min), 0);
       EXPECT_EQ(detector.DriftCorrect(kIntMax, kInt64Max), 0);
       detector.SetLogInterval(std::nan(""));
       detector.ResetMeasurement(nullptr);
       EXPECT_TRUE(trace.Contains("RESET []"));
     }},
    // ---- filters and adapters ----
    {"RenderHashAndFilterManagerWithoutDataGroupOrCache", [](World& w) {
       kaRenderHash hash;
       hash.Generate(nullptr, 1000);
       EXPECT_EQ(hash.Complete(), kaRenderHash::GenerateHash("", 0));
       std::shared_ptr<kaVideoFilterManager> manager = w.group->VideoFilterManager();
       kaDiscreteRenderGraph::Node node;
       node.Filters().emplace_back();  // an entry without a filter
       kaOutputDevice device;
       EXPECT_EQ(manager->RunVideoFilterGraph(node, nullptr, *w.group, device, {}), nullptr);
       EXPECT_EQ(manager->LocateCachedBufferForFilterGraph(node, nullptr), nullptr);
       manager->PerformCacheHousekeeping(std::chrono::seconds::min());
       manager->RemoveOldestCacheEntry();
       EXPECT_EQ(manager->EntryCountForTesting(), 0u);
       // Without the group's shared pointer no filter runs, not even a real one.
       const std::shared_ptr<TestImageFilter> filter = TestImageFilter::Make();
       AddFilterEntry(node, filter, "blur");
       EXPECT_EQ(manager->RunVideoFilterGraph(node, SharedCopy(w), *w.group, device, {}), nullptr);
       EXPECT_EQ(filter->RenderCount(), 0);
     }},
    {"AdaptersOverNothingAndSurfacesOfUnusableProperties", [](World& w) {
       EXPECT_EQ(kaBufferPixelDataReference::Create(nullptr), nullptr);
       EXPECT_EQ(kaBufferGraphicsSurface::Create(nullptr), nullptr);
       EXPECT_EQ(kaBufferGroupGraphicsContext::Create(nullptr), nullptr);
       Vel::CGraphicsContext* context = nullptr;
       ASSERT_TRUE(w.group->WrapInVelGraphicsContext(context));
       auto* const sentinel = reinterpret_cast<Vel::CGraphicsSurface*>(uintptr_t{0x40});
       Vel::CGraphicsSurface* surface = sentinel;
       EXPECT_TRUE(context->CreateSurface(nullptr, surface).Failed());
       for (const auto& [width, height, format] : {std::tuple{64, 32, zFourCC("zzzz")}, std::tuple{0, 0, kBGRA}}) {
         auto* properties = new Vel::CVideoProperties();
         properties->SetWidth(width), properties->SetHeight(height), properties->SetPixelFormat(format);
         EXPECT_TRUE(context->CreateSurface(properties, surface).Failed()) << width << " x " << height;
         properties->Release();
       }
       EXPECT_EQ(surface, sentinel);
       context->Release();
     }},
    // ---- interface queries: one contract per counted object, refusing its neighbours' names ----
    {"BufferInterfaces", [](World&) {
       auto* buffer = new kaBuffer2();
       ExpectInterfaceContract(*buffer, {{"xIUnknown", As<xCUnknown>(buffer)}},
                               {"kaXIGPUAccessibleBuffer", "kaXIVideoBuffer", "xIUnknownX"});
     }},
    {"GpuAccessibleBufferInterfaces", [](World&) {
       GroupRef group(new kaBufferGroup2());  // not the world's, whose counters must not move
       kaGPUAccessibleBuffer* buffer = nullptr;
       ASSERT_EQ(group->CreateGPUAccessibleBuffer(Video(8, 4, kBGRA), &buffer), 0);
       ExpectInterfaceContract(*buffer,
                               {{"kaXIGPUAccessibleBuffer", As<kaXIGPUAccessibleBuffer>(buffer)},
                                {"kaXIVideoBuffer", As<kaXIVideoBuffer>(buffer)}, {"xIUnknown", As<xCUnknown>(buffer)}},
                               {"kaXIGPUAccessibleBufferX", "kaxigpuaccessiblebuffer", "kaXIVideoLiveDelay"});
     }},
    {"BufferGroupInterfaces", [](World&) {
       auto* group = new kaBufferGroup2();
       ExpectInterfaceContract(*group, {{"xIUnknown", As<xCUnknown>(group)}},
                               {"kaXIGPUAccessibleBuffer", "kaXIVideoLiveDelay"});
     }},
    {"PluginRendererInterfaces", [](World& w) {
       auto* renderer = new PlainRenderer(*w.group, *w.host);
       ExpectInterfaceContract(*renderer, {{"xIUnknown", As<xCUnknown>(renderer)}},
                               {"kaXIVideoLiveDelay", "kaXIAudioLiveDelay"});
     }},
    {"VideoRendererInterfaces", [](World& w) {
       TestVideoRenderer* renderer = TestVideoRenderer::Make("video", *w.group, *w.host).release();
       ExpectInterfaceContract(*renderer, {{"kaXIVideoLiveDelay", As<kaXIVideoLiveDelay>(renderer)}},
                               {"xIUnknown", "kaXIAudioLiveDelay", "kaXIVideoLiveDelay ", "kaxivideolivedelay",
                                "kaXIGPUAccessibleBuffer"});
     }},
    {"AudioRendererInterfaces", [](World& w) {
       TestAudioRenderer* renderer = TestAudioRenderer::Make("audio", *w.group, *w.host).release();
       ExpectInterfaceContract(*renderer, {{"kaXIAudioLiveDelay", As<kaXIAudioLiveDelay>(renderer)}},
                               {"xIUnknown", "kaXIVideoLiveDelay", "kaXIAudioLiveDelayX", "kaXIGPUAccessibleBuffer"});
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
    const veMediaRecord record(*world.buffer);
    const auto before = Observed(world);
    GetParam().run(world);
    EXPECT_EQ(Observed(world), before);
    EXPECT_TRUE(world.buffer->Equals(record)) << "the buffer's record changed";
  }
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart) << "objects left alive";
  EXPECT_EQ(TestHostMethods::LiveCount(), tablesAtStart);
}

INSTANTIATE_TEST_SUITE_P(EveryEntryPoint, BadInputTest, ::testing::ValuesIn(kBadInputs),
                         [](const ::testing::TestParamInfo<BadInput>& entry) { return std::string(entry.param.name); });

// ---- allocation failures --------------------------------------------------------------
//
// A small live scene (a group, a host table, a video and an audio renderer,
// deliveries with and without delay, conversions, drift correction, cues,
// flushes) run with its Nth allocation failing, for every N until a run makes
// fewer than N allocations. Each run is a fresh process (the test binary
// re-executed), so that the first use of every process-wide registry and pool
// (interned record keys, the shared-pointer pool, the trace log) meets the
// failure too, and later N reach every allocation of the warmed-up scene.
// Every run must end without a crash and with nothing left alive; the
// library's operations meet the shortage with their failure results, and only
// constructors (and the test's own code) may throw std::bad_alloc; a
// renderer's constructor throws rather than leave it without its locks. Leaks
// below the counted objects are LeakSanitizer's business in the asan build.

// Far more than one run allocates: a sweep that reaches it never ended.
constexpr int64_t kMaxSweep = 20'000;

// A video renderer that shows whether its constructor made every lock.
class SweepVideoRenderer final : public TestVideoRenderer {
 public:
  SweepVideoRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host) : TestVideoRenderer("V", group, host) {}
  bool Guarded() const { return rendererLock && frameLock && formatLock; }
};

// How a run ended: its process's exit code.
enum Outcome {
  kAbsorbed,       // the failure met a failure result
  kThrown,         // a constructor (or the test's own code) threw std::bad_alloc
  kSceneComplete,  // the scene made fewer than N allocations
  kFailed,         // anything else, named on stderr
};

// One run of the scene; false when a renderer came without its locks. What it
// makes is released before it returns or while an exception leaves it.
// `inLibraryOperation` tells a constructor's std::bad_alloc from one that
// escaped a library operation.
bool RunScene(zTestClock& clock, bool& inLibraryOperation) {
  std::vector<int16_t> sowt(2 * 480, 100);
  std::vector<float> fl32(2 * 441, 0.25f);
  std::unique_ptr<kaBufferGroup2, zReleaseDeleter> group(new kaBufferGroup2());
  TestHostMethods::Ptr host = TestHostMethods::Make();
  host->SetRecording(false);
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  std::unique_ptr<SweepVideoRenderer, zReleaseDeleter> video(new SweepVideoRenderer(*group, *host));
  TestAudioRenderer::Ptr audio = TestAudioRenderer::Make("A", *group, *host);
  if (!video->Guarded() || !audio->Guarded()) return false;

  inLibraryOperation = true;
  for (const double delay : {0.0, 0.02}) {
    video->SetVideoDelay(delay);
    for (int i = 0; i < 3; ++i) {
      std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(64, 36, zFourCC("2vuy"));
      if (frame) video->OnReceiveVideo(frame.get());
      clock.Advance(16'667);
      kaBuffer2* out = nullptr;
      video->CueVideo(&out, ka_renderer_params{clock.Now()});
      BufferRef cued(out);
    }
  }
  video->FlushVideo();

  audio->SetDriftCorrectionEnabled(true);
  audio->SetInputChannelSelection(3);
  audio->SetBusMappingQuad(1, 7);
  for (int i = 0; i < 6; ++i) {
    // The last three through smooth correction, whose tracker and resampler
    // the first of them makes.
    if (i == 3) audio->SetDriftCorrectionMode(kaPluginAudioRenderer::DriftCorrectionMode::kSmooth);
    audio->OnReceive(veTimeRange{48000, 0, 48000, 480}, sowt.data(), 480 * 4, 48000, 2, zFourCC("sowt"));
    clock.Advance(10'000);
  }
  for (int i = 0; i < 4; ++i) {  // a cue, then 44.1 kHz float blocks each followed by a cue
    if (i > 0) audio->OnReceive(veTimeRange{}, fl32.data(), 441 * 8, 44100, 2, zFourCC("fl32"));
    kaBuffer2* out = nullptr;
    audio->Cue(&out, ka_renderer_params{clock.Now()}, 0, 3);
    BufferRef cued(out);
    clock.Advance(10'000);
  }
  audio->FlushAudio();
  inLibraryOperation = false;
  return true;
}

void DiscardTrace(void*, uint32_t, const char*, size_t) {}

// One run in a process where nothing ran before it, with the nth allocation
// failing; ends the process with the run's outcome.
[[noreturn]] void RunSceneInFreshProcess(int64_t n) {
  zTraceManager::Default().SetSink(&DiscardTrace, nullptr);
  zTestClock clock(5'000'000);
  const int64_t liveObjects = xCUnknown::LiveObjectsForTesting();
  const int64_t liveVelObjects = Vel::CObject::LiveObjectsForTesting();
  bool inLibraryOperation = false;
  Outcome outcome = kAbsorbed;
  const char* failure = nullptr;
  AllocationCounter::FailNthAllocationForTesting(n);
  try {
    if (!RunScene(clock, inLibraryOperation)) failure = "a renderer was made without its locks";
  } catch (const std::bad_alloc&) {
    outcome = kThrown;
    if (inLibraryOperation) failure = "std::bad_alloc escaped a library operation";
  } catch (...) {
    failure = "an exception other than std::bad_alloc";
  }
  const bool happened = AllocationCounter::InjectedFailureHappened();
  AllocationCounter::FailNthAllocationForTesting(0);
  if (!failure && (xCUnknown::LiveObjectsForTesting() != liveObjects || TestHostMethods::LiveCount() != 0 ||
                   Vel::CObject::LiveObjectsForTesting() != liveVelObjects)) {
    failure = "counted objects, framework objects or host tables left alive";
  }
  if (failure) {
    std::fprintf(stderr, "allocation %lld: %s\n", static_cast<long long>(n), failure);
    std::exit(kFailed);
  }
  std::exit(happened ? outcome : kSceneComplete);  // leak checkers run at exit
}

TEST(AllocationFailureTest, EveryAllocationOfALiveSceneMayFailWithoutCrashOrLeak) {
  if (!AllocationCounter::IsCounting()) GTEST_SKIP() << "allocations are not counted in this build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int64_t n = 1;
  int64_t absorbed = 0;
  for (; n <= kMaxSweep; ++n) {
    int status = -1;
    EXPECT_EXIT(RunSceneInFreshProcess(n),
                [&status](int exitStatus) {
                  status = exitStatus;
                  return WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) != kFailed;
                },
                "")
        << "allocation " << n;
    if (status == -1) continue;  // a re-executed run passing the death tests before its own
    if (!WIFEXITED(status) || WEXITSTATUS(status) >= kSceneComplete) break;
    absorbed += WEXITSTATUS(status) == kAbsorbed ? 1 : 0;
  }
  EXPECT_LT(n, kMaxSweep) << "the sweep did not reach the end of the scene";
  EXPECT_GT(absorbed, 0) << "no failure was met by a failure result";
}

}  // namespace
