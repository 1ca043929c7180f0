// The media source plug-in on a 1080p H.264 file: demux, decode, convert to
// "2vuy", interleave and deliver every picture and audio block into the
// sample renderers, stepped on a manual clock, beside FFmpeg's own demux and
// decode of the same file. Both count the CPU time of every thread of the
// process (the decoder's own threads included) per pass over the 2 s file
// (60 pictures; items per second are pictures). The file is made once with
// the ffmpeg command; without it both rows are skipped.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "MediaSource.h"
#include "SampleAudioRenderer.h"
#include "SampleVideoRenderer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// The file, made on first use; empty when the ffmpeg command is missing.
const std::string& HdClip() {
  static const std::string path = [] {
    const std::string file = (std::filesystem::temp_directory_path() / "kasp2-bench-1080p.mp4").string();
    if (std::filesystem::exists(file)) return file;
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac '" +
        file + "'";
    return std::system(command.c_str()) == 0 ? file : std::string();
  }();
  return path;
}

void BM_Media_DecodeDeliver1080p(benchmark::State& state) {
  if (HdClip().empty()) {
    state.SkipWithError("the ffmpeg command is needed to make the 1080p file");
    return;
  }
  std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  std::unique_ptr<kaSourcesPluginMethods, zReleaseDeleter> host(new kaSourcesPluginMethods());
  SampleVideoRenderer::Ptr video = SampleVideoRenderer::Make("bench video", *group, *host);
  SampleAudioRenderer::Ptr audio = SampleAudioRenderer::Make("bench audio", *group, *host);
  zTestClock clock(1'000'000);
  uint64_t frames = 0;
  for (auto _ : state) {
    MediaSource::Settings settings;
    settings.url = HdClip();
    MediaSource source(settings, *group, video.get(), audio.get());
    std::string error;
    if (!source.Open(error) || !source.StartStepped(clock.Now())) {
      state.SkipWithError(error.c_str());
      return;
    }
    for (int64_t due = source.NextDueMicros(); due != MediaSource::kNever; due = source.NextDueMicros()) {
      clock.Set(due);
      source.Step();
    }
    frames += source.GetCounters().framesDelivered;
  }
  state.counters["periods"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(static_cast<int64_t>(frames));
}
BENCHMARK(BM_Media_DecodeDeliver1080p)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The baseline: the same demuxer and decoders, every frame decoded and
// dropped.
void BM_Media_FFmpegDecodeOnly1080p(benchmark::State& state) {
  if (HdClip().empty()) {
    state.SkipWithError("the ffmpeg command is needed to make the 1080p file");
    return;
  }
  uint64_t frames = 0;
  for (auto _ : state) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, HdClip().c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
      state.SkipWithError("cannot open the file");
      return;
    }
    AVCodecContext* decoders[2] = {nullptr, nullptr};
    int streams[2] = {-1, -1};
    const AVMediaType types[2] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO};
    for (int i = 0; i < 2; ++i) {
      const AVCodec* codec = nullptr;
      streams[i] = av_find_best_stream(format, types[i], -1, -1, &codec, 0);
      if (streams[i] < 0) continue;
      decoders[i] = avcodec_alloc_context3(codec);
      avcodec_parameters_to_context(decoders[i], format->streams[streams[i]]->codecpar);
      avcodec_open2(decoders[i], codec, nullptr);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&](int i) {
      while (avcodec_receive_frame(decoders[i], frame) == 0) {
        if (i == 0) ++frames;
        av_frame_unref(frame);
      }
    };
    while (av_read_frame(format, packet) >= 0) {
      for (int i = 0; i < 2; ++i) {
        if (decoders[i] && packet->stream_index == streams[i]) {
          avcodec_send_packet(decoders[i], packet);
          drain(i);
        }
      }
      av_packet_unref(packet);
    }
    for (int i = 0; i < 2; ++i) {
      if (!decoders[i]) continue;
      avcodec_send_packet(decoders[i], nullptr);
      drain(i);
      avcodec_free_context(&decoders[i]);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&format);
  }
  state.counters["periods"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(static_cast<int64_t>(frames));
}
BENCHMARK(BM_Media_FFmpegDecodeOnly1080p)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace
