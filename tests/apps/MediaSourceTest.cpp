// The media source plug-in: its two converters sample by sample (and with no
// allocation once warm), what it refuses, and whole files played stepped on
// the manual clock, every delivery checked against the stream's timestamps
// and against what ffprobe counts in the file. Runs through the host
// simulator, real time and network included, are in HostSimTest.cpp.
#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "MediaAudioInterleaver.h"
#include "MediaSource.h"
#include "MediaTestFiles.h"
#include "MediaVideoConverter.h"
#include "SampleAudioRenderer.h"
#include "SampleVideoRenderer.h"
#include "support/AllocationCounter.h"
#include "support/ManualClock.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

constexpr uint32_t kSowt = zFourCC("sowt"), kFl32 = zFourCC("fl32"), k32ni = zFourCC("32ni");

using mediatest::kMp4, mediatest::kTs, mediatest::Make, mediatest::MediaFile;

// UYVY pictures and packed 16-bit audio: both reach the renderers as they are.
constexpr MediaFile kRaw{"raw.nut",
                         "-f lavfi -i testsrc2=size=160x120:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                         "-t 1 -c:v rawvideo -pix_fmt uyvy422 -c:a pcm_s16le -ac 2"};

// ---- the converters ----------------------------------------------------------------

using FramePtr = std::unique_ptr<AVFrame, void (*)(AVFrame*)>;

FramePtr NewFrame() {
  return FramePtr(av_frame_alloc(), [](AVFrame* frame) { av_frame_free(&frame); });
}

// A block of the frames in `values`, one after the other.
template <class T>
FramePtr Block(AVSampleFormat format, int channels, const std::vector<T>& values) {
  FramePtr block = NewFrame();
  block->format = format;
  block->nb_samples = static_cast<int>(values.size()) / channels;
  block->sample_rate = 48000;
  av_channel_layout_default(&block->ch_layout, channels);
  if (av_frame_get_buffer(block.get(), 0) < 0) return block;
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const size_t f = i / channels, c = i % channels;
    reinterpret_cast<T*>(block->extended_data[planar ? c : 0])[planar ? f : i] = values[i];
  }
  return block;
}
template <class T>
std::vector<uint8_t> Bytes(const std::vector<T>& values) {
  const auto* p = reinterpret_cast<const uint8_t*>(values.data());
  return std::vector<uint8_t>(p, p + values.size() * sizeof(T));
}

// Each decoder sample format reaches the renderer interleaved, at its own
// rate, in the nearest format the renderer takes, sample for sample.
TEST(MediaAudioInterleaverTest, InterleavesEachFormatPlainly) {
  struct Case { const char* name; FramePtr block; uint32_t code; std::vector<uint8_t> bytes; };  // of two frames
  std::vector<Case> cases;
  cases.push_back({"S16Planar", Block<int16_t>(AV_SAMPLE_FMT_S16P, 2, {100, -100, 101, -101, 102, -102}), kSowt,
                   Bytes<int16_t>({100, -100, 101, -101})});
  cases.push_back({"S16Packed", Block<int16_t>(AV_SAMPLE_FMT_S16, 2, {0, 1, 10, 11, 20, 21}), kSowt,
                   Bytes<int16_t>({0, 1, 10, 11})});
  cases.push_back({"FloatPlanar", Block<float>(AV_SAMPLE_FMT_FLTP, 2, {0.0f, -1.0f, 0.25f, -1.0f}), kFl32,
                   Bytes<float>({0.0f, -1.0f, 0.25f, -1.0f})});
  cases.push_back({"Unsigned8", Block<uint8_t>(AV_SAMPLE_FMT_U8, 1, {0, 255}), kSowt, Bytes<int16_t>({-32768, 32512})});
  cases.push_back({"DoubleNarrowed", Block<double>(AV_SAMPLE_FMT_DBLP, 1, {0.5, 1e300}), kFl32,
                   Bytes<float>({0.5f, FLT_MAX})});
  cases.push_back({"Int64HighHalf", Block<int64_t>(AV_SAMPLE_FMT_S64P, 1, {0x123456789ABCDEF0, -1}), k32ni,
                   Bytes<int32_t>({0x12345678, -1})});
  const std::vector<int32_t> low = {INT32_MIN,     INT32_MIN + 1, INT32_MIN + 2,
                                    INT32_MIN + 3, INT32_MIN + 4, INT32_MIN + 5};
  cases.push_back({"Int32ThreeChannels", Block<int32_t>(AV_SAMPLE_FMT_S32P, 3, low), k32ni, Bytes<int32_t>(low)});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaAudioInterleaver interleaver;
    const int32_t bytes = interleaver.Interleave(*c.block);
    ASSERT_EQ(bytes,
              c.block->nb_samples * c.block->ch_layout.nb_channels * MediaAudioInterleaver::BytesPerSample(c.code));
    EXPECT_EQ(std::pair(interleaver.Format(), interleaver.Channels()),
              std::pair(c.code, c.block->ch_layout.nb_channels));
    EXPECT_EQ(std::vector<uint8_t>(interleaver.Data(), interleaver.Data() + c.bytes.size()), c.bytes);
  }

  // Refused, the last block kept: no channels, too many, no samples, a
  // format without a renderer code, a missing plane.
  MediaAudioInterleaver interleaver;
  FramePtr good = Block<int16_t>(AV_SAMPLE_FMT_S16, 2, {0, 1, 1, 2, 2, 3, 3, 4});
  ASSERT_EQ(interleaver.Interleave(*good), 16);
  const std::vector<uint8_t> kept(interleaver.Data(), interleaver.Data() + 16);
  std::vector<FramePtr> bad;
  for (int i = 0; i < 5; ++i) bad.push_back(Block(AV_SAMPLE_FMT_S16P, 2, std::vector<int16_t>(8, 7)));
  av_channel_layout_uninit(&bad[0]->ch_layout);
  bad[1]->ch_layout.nb_channels = MediaAudioInterleaver::kMaxChannels + 1;
  bad[2]->nb_samples = 0;
  bad[3]->format = AV_SAMPLE_FMT_NONE;
  bad[4]->extended_data[1] = nullptr;
  for (const FramePtr& frame : bad) {
    const AVFrame* const block = frame.get();
    EXPECT_EQ(interleaver.Interleave(*block), -1);
    EXPECT_EQ(std::vector<uint8_t>(interleaver.Data(), interleaver.Data() + 16), kept);
    EXPECT_EQ(std::pair(interleaver.Format(), interleaver.Channels()), std::pair(kSowt, 2));
  }
  bad[4]->extended_data[1] = bad[4]->data[1];  // freed by its buffer, not by this pointer
}

FramePtr Picture(AVPixelFormat format, int width, int height, uint8_t fill) {
  FramePtr picture = NewFrame();
  picture->format = format;
  picture->width = width;
  picture->height = height;
  if (av_frame_get_buffer(picture.get(), 0) < 0) return picture;
  for (int plane = 0; plane < 4 && picture->buf[plane]; ++plane) {
    std::memset(picture->buf[plane]->data, fill, picture->buf[plane]->size);
  }
  return picture;
}

// UYVY and RGBA pictures are copied row by row; others go through swscale
// into the raster the renderer takes; the converter then allocates nothing
// of its own (the group's cache serves the frames).
TEST(MediaVideoConverterTest, CopiesOrConvertsIntoTheRendererRaster) {
  std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  ASSERT_TRUE(group);
  struct Case {
    const char* name;
    AVPixelFormat format;
    int width;
    uint32_t preferred;
    uint32_t raster;
    bool direct;
    std::array<uint8_t, 4> firstBytes;  // of row 0
  };
  const Case cases[] = {
      {"UyvyCopied", AV_PIX_FMT_UYVY422, 64, 0, veRasterType::k2vuy, true, {0x55, 0x55, 0x55, 0x55}},
      {"RgbaCopied", AV_PIX_FMT_RGBA, 64, 0, veRasterType::kRgba, true, {0x55, 0x55, 0x55, 0x55}},
      // Luma 0x55, chroma 0x55: U Y V Y as they were.
      {"Yuv420To2vuy", AV_PIX_FMT_YUV420P, 64, 0, veRasterType::k2vuy, false, {0x55, 0x55, 0x55, 0x55}},
      {"Rgb24ToRgba", AV_PIX_FMT_RGB24, 64, 0, veRasterType::kRgba, false, {0x55, 0x55, 0x55, 0xFF}},
      {"OddWidthTakesRgba", AV_PIX_FMT_UYVY422, 63, veRasterType::k2vuy, veRasterType::kRgba, false, {}},
      {"RgbaAsked", AV_PIX_FMT_YUV420P, 64, veRasterType::kRgba, veRasterType::kRgba, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MediaVideoConverter::ChooseRaster(c.format, c.width, c.preferred), c.raster);
    EXPECT_EQ(MediaVideoConverter::IsDirect(c.format, c.raster), c.direct);
    MediaVideoConverter converter(c.preferred);
    FramePtr picture = Picture(c.format, c.width, 48, 0x55);
    const std::unique_ptr<kaBuffer2, zReleaseDeleter> frame(converter.Convert(*picture, *group));
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::tuple(frame->Width(), frame->Height(), frame->RasterType()), std::tuple(c.width, 48, c.raster));
    EXPECT_EQ(std::pair(converter.CopiedFrames(), converter.ScaledFrames()),
              (std::pair<uint64_t, uint64_t>(c.direct ? 1 : 0, c.direct ? 0 : 1)));
    if (c.firstBytes != std::array<uint8_t, 4>{}) {
      const uint8_t* row = frame->GetStorage();
      EXPECT_EQ((std::array{row[0], row[1], row[2], row[3]}), c.firstBytes);
    }
  }
  MediaVideoConverter converter;
  FramePtr sizeless = Picture(AV_PIX_FMT_YUV420P, 64, 48, 0);
  sizeless->width = 0;
  EXPECT_EQ(converter.Convert(*sizeless, *group), nullptr);

  if (!AllocationCounter::IsCounting()) return;
  FramePtr picture = Picture(AV_PIX_FMT_YUV420P, 320, 240, 0x40);
  std::vector<float> ramp(2 * 1024);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i / 2) / 1024.0f;
  FramePtr block = Block(AV_SAMPLE_FMT_FLTP, 2, ramp);
  MediaAudioInterleaver interleaver;
  for (int warm = 0; warm < 3; ++warm) {
    const std::unique_ptr<kaBuffer2, zReleaseDeleter> frame(converter.Convert(*picture, *group));
    ASSERT_TRUE(frame);
    ASSERT_GT(interleaver.Interleave(*block), 0);
  }
  AllocationCounter counter;
  for (int i = 0; i < 10; ++i) {
    const std::unique_ptr<kaBuffer2, zReleaseDeleter> frame(converter.Convert(*picture, *group));
    interleaver.Interleave(*block);
  }
  EXPECT_EQ(counter.Allocations(), 0);
}

// ---- whole files, stepped ------------------------------------------------------------

// A host table that records every delivery: when it came (foundation
// clock), and what the renderer offered.
class RecordingHost final : public kaSourcesPluginMethods {
 public:
  struct Video { int64_t at, number, due; veTimeRange range; uint32_t raster; };
  struct Audio { int64_t at; uint32_t format; int32_t rate, channels; int64_t scale; uint64_t time, duration; };
  void VideoReceived(const std::string&, kaBuffer2Producer& producer) override {
    const std::shared_ptr<kaBuffer2> frame = producer.ProduceBuffer();
    if (!frame) return;
    video.push_back({zTime::MicroNow(), frame->AsInt64(MediaSource::kFrameNumberKey, -1),
                     frame->AsInt64(MediaSource::kDueTimeKey, -1), frame->GetBufferTimeRange(), frame->RasterType()});
  }
  void AudioReceived(const std::string&, kaOptimizedBuffer2Producer& producer) override {
    const std::shared_ptr<kaBuffer2> block = producer.ProduceBuffer();
    if (!block) return;
    audio.push_back({zTime::MicroNow(), block->AudioFormat(), block->SampleRate(), block->Channels(),
                     block->AsInt64(veKeyTimeScale, 0), block->AsUInt64(veKeyTime, 0),
                     block->AsUInt64(veKeyDuration, 0)});
  }
  std::vector<Video> video;
  std::vector<Audio> audio;

 private:
  ~RecordingHost() override = default;
};

class MediaSourceTest : public ManualClockTest {
 protected:
  void SetUp() override {
    if (!mediatest::HaveTools()) GTEST_SKIP() << "the ffmpeg and ffprobe commands are needed to make test media";
    group = zNewSharedPtr<kaBufferGroup2>();
    host.reset(new RecordingHost());
    video = SampleVideoRenderer::Make("media video", *group, *host);
    audio = SampleAudioRenderer::Make("media audio", *group, *host);
    ASSERT_TRUE(group && video && audio);
  }

  // Steps `source` from now to `seconds` later as the simulator's driver does.
  void Play(MediaSource& source, double seconds) {
    start = clock().Now();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e6);
    ASSERT_TRUE(source.StartStepped(start));
    for (int64_t due = source.NextDueMicros(); due < end; due = source.NextDueMicros()) {
      ASSERT_GE(due, clock().Now()) << "a step falls due in the past";
      clock().Set(due);
      source.Step();
    }
    clock().Set(end);
  }

  std::shared_ptr<kaBufferGroup2> group;
  std::unique_ptr<RecordingHost, zReleaseDeleter> host{nullptr};
  SampleVideoRenderer::Ptr video;
  SampleAudioRenderer::Ptr audio;
  int64_t start = 0;
};

// Every picture and every sample of the file reaches the renderers, once,
// at the foundation-clock time its timestamp maps to, in the raster and
// sample format expected, with its stream time as time range; audio in
// contiguous blocks of at most 5 ms. Stopped at the end, nothing more falls
// due; looped, the stream time runs on.
TEST_F(MediaSourceTest, DeliversEveryFrameAtItsStreamTime) {
  struct Case { const char* name; MediaFile file; bool loop; double seconds; uint32_t raster, audioFormat; };
  const Case cases[] = {
      {"Mp4H264Aac", kMp4, false, 3.5, veRasterType::k2vuy, kFl32},
      {"TsMpeg2Mp2", kTs, false, 2.5, veRasterType::k2vuy, kSowt},
      {"RawUyvyPcm", kRaw, false, 1.5, veRasterType::k2vuy, kSowt},
      {"TsLoopedTwice", kTs, true, 5.0, veRasterType::k2vuy, kSowt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host->video.clear();
    host->audio.clear();
    video->FlushVideo();
    const std::string path = Make(c.file);
    mediatest::Facts facts;
    ASSERT_TRUE(mediatest::Probe(path, &facts)) << path;
    const MediaSource::Settings settings{.url = path,
                                         .atEnd = c.loop ? MediaSource::AtEnd::kLoop : MediaSource::AtEnd::kStop};
    MediaSource source(settings, *group, video.get(), audio.get());
    std::string error;
    ASSERT_TRUE(source.Open(error)) << error;
    Play(source, c.seconds);
    const MediaSource::Counters counters = source.GetCounters();

    EXPECT_EQ(counters.loops, c.loop ? 2u : 0u);
    EXPECT_EQ(std::tuple(counters.decodeErrors, counters.convertFailures, counters.stalls), std::tuple(0u, 0u, 0u));
    EXPECT_EQ(counters.framesDelivered, host->video.size());
    EXPECT_EQ(counters.audioBlocks, host->audio.size());
    if (c.loop) {
      EXPECT_GT(counters.framesDelivered, 2 * static_cast<uint64_t>(facts.videoFrames));
      EXPECT_FALSE(counters.ended);
    } else {
      EXPECT_EQ(counters.framesDelivered, static_cast<uint64_t>(facts.videoFrames));
      EXPECT_EQ(counters.audioFrames, static_cast<uint64_t>(facts.audioSamples));
      EXPECT_TRUE(counters.ended);
      EXPECT_EQ(source.NextDueMicros(), MediaSource::kNever);  // blank and silent after: HostSimTest.cpp
    }

    // One mapping of stream time to the clock for pictures and sound alike:
    // each delivery came at base + its time, to within the time range's unit.
    ASSERT_FALSE(host->video.empty());
    const RecordingHost::Video& first = host->video.front();
    const int64_t base = first.at - static_cast<int64_t>(first.range.time * 1'000'000 / first.range.timeScale);
    for (size_t i = 0; i < host->video.size(); ++i) {
      const RecordingHost::Video& v = host->video[i];
      ASSERT_EQ(std::tuple(v.number, v.due, v.raster), std::tuple(static_cast<int64_t>(i), v.at, c.raster));
      ASSERT_GT(v.range.timeScale, 0);
      const double streamMicros = static_cast<double>(v.range.time) * 1e6 / static_cast<double>(v.range.timeScale);
      ASSERT_NEAR(static_cast<double>(v.at - base), streamMicros, 1e6 / static_cast<double>(v.range.timeScale) + 1)
          << "frame " << i;
      ASSERT_TRUE(i == 0 || v.range.time > host->video[i - 1].range.time) << "frame " << i;
    }
    ASSERT_FALSE(host->audio.empty());
    for (size_t i = 0; i < host->audio.size(); ++i) {
      const RecordingHost::Audio& a = host->audio[i];
      ASSERT_EQ(std::tuple(a.format, a.rate, a.channels, a.scale),
                std::tuple(c.audioFormat, facts.sampleRate, facts.channels, static_cast<int64_t>(facts.sampleRate)));
      ASSERT_TRUE(a.duration > 0 && a.duration <= static_cast<uint64_t>(a.rate / 200)) << "block " << i;
      const double streamMicros = static_cast<double>(a.time) * 1e6 / a.rate;
      ASSERT_NEAR(static_cast<double>(a.at - base), streamMicros, 1e6 / a.rate + 1) << "block " << i;
      const uint64_t follows = i > 0 ? host->audio[i - 1].time + host->audio[i - 1].duration : a.time;
      ASSERT_NEAR(static_cast<double>(a.time), static_cast<double>(follows), 1.0) << "block " << i << " follows";
    }
  }
}

// What it cannot play fails with a reason and starts nothing: a missing
// file, a file of no media, a stream no renderer was given for, a network
// stream that never comes (within the open time-out); starting twice, or
// before opening, fails too.
TEST_F(MediaSourceTest, RefusesWhatItCannotPlay) {
  const std::string text = mediatest::Folder() + "/not-media.txt";
  std::ofstream(text) << "no media here\n";
  const std::string silentVideo = mediatest::Make("video-only.nut", "-f lavfi -i testsrc2=size=64x48:rate=10 -t 0.5");
  ASSERT_FALSE(silentVideo.empty());
  struct Case { const char* name; std::string url; bool withVideo; const char* reason; };
  const Case cases[] = {
      {"Missing", mediatest::Folder() + "/missing.mp4", true, "cannot open"},
      {"NotMedia", text, true, "cannot"},
      {"NoStreamForTheRenderers", silentVideo, false, "no stream for the renderers"},
      {"SilentNetwork", "udp://127.0.0.1:" + std::to_string(mediatest::FreeUdpPort()), true, "timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MediaSource::Settings settings{.url = c.url, .openTimeoutMicros = 300'000};
    MediaSource source(settings, *group, c.withVideo ? video.get() : nullptr, audio.get());
    std::string error;
    EXPECT_FALSE(source.StartStepped(clock().Now())) << "not open";
    EXPECT_FALSE(source.Open(error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_FALSE(source.Start());
    EXPECT_EQ(source.NextDueMicros(), MediaSource::kNever);
  }
  MediaSource source(MediaSource::Settings{.url = silentVideo}, *group, video.get(), nullptr);
  std::string error;
  ASSERT_TRUE(source.Open(error)) << error;
  EXPECT_TRUE(source.StartStepped(clock().Now()));
  EXPECT_FALSE(source.StartStepped(clock().Now()));
  EXPECT_FALSE(source.Start()) << "already started";
  EXPECT_NE(source.NextDueMicros(), MediaSource::kNever);
}

}  // namespace
