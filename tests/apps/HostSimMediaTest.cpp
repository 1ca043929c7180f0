// The host simulator with media inputs (--input) and a recorded program
// (--record): each run's verdict, what the input delivered against what
// ffprobe counts in its file, and the recording as ffprobe reads it: one
// video and one audio stream of the container's codecs, one picture and 1600
// samples per output period, the run's duration to within a period, sound
// while the input sounded and silence once its stream died or ended. One run
// takes a live MPEG-TS stream over loopback UDP from an ffmpeg process in
// real time, and goes on to its end after the sender stops.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "HostSimOptions.h"
#include "HostSimulator.h"
#include "MediaTestFiles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace {

constexpr int kPeriodsPerSecond = 30;
constexpr int kFramesPerPeriod = 1600;
// Sound: the generated sines at their default level peak near a quarter
// of full scale; anything above this is not silence.
constexpr int kSoundPeak = 1000;

const char kMp4Args[] =
    "-f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
    "-t 3 -c:v libx264 -g 15 -pix_fmt yuv420p -c:a aac";
const char kTsArgs[] =
    "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=1000:sample_rate=44100 "
    "-t 2 -c:v mpeg2video -c:a mp2 -ac 2";

std::string Folder(const std::string& name) {
  const std::filesystem::path path = std::filesystem::path(mediatest::Folder()) / name;
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path.string();
}

// The first `share` of `path`'s bytes, as a stream cut off mid-file, in
// this test's own folder.
std::string Truncated(const std::string& path, const std::string& folder, double share) {
  const std::string cut = folder + "/truncated.ts";
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * share));
  std::ofstream(cut, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return cut;
}

bool Parse(std::vector<std::string> args, HostSimOptions& options, std::string& error) {
  std::vector<const char*> argv{"kasp2-hostsim"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return ParseHostSimOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(HostSimMediaOptionsTest, ParsesInputsAndRecordings) {
  struct Case {
    std::vector<std::string> args;
    bool valid;
    std::string url;
    bool loop;
    int recordInput;
  };
  const Case cases[] = {
      {{"--input", "clip.mp4:loop"}, true, "clip.mp4", true, -1},
      {{"--input", "udp://127.0.0.1:5000"}, true, "udp://127.0.0.1:5000", false, -1},
      {{"--input", "srt://host:9000:stop", "--record", "out.TS:source=1"}, true, "srt://host:9000", false, 0},
      {{"--input", ":loop"}, false, "", false, -1},
      {{"--input", "a.mp4", "--record", "out.mkv:source=2"}, false, "", false, -1},
      {{"--input", "a.mp4", "--record", "out.avi"}, false, "", false, -1},
      {{"--input", "a.mp4", "--record", "out.mkv:source=0"}, false, "", false, -1},
  };
  for (const Case& c : cases) {
    HostSimOptions options;
    std::string error;
    ASSERT_EQ(Parse(c.args, options, error), c.valid) << c.args[1] << error;
    if (!c.valid) continue;
    ASSERT_EQ(options.inputs.size(), 1u);
    EXPECT_EQ(std::tuple(options.inputs[0].url, options.inputs[0].loop, options.record.input),
              std::tuple(c.url, c.loop, c.recordInput));
    EXPECT_TRUE(options.video.empty() && options.audio.empty()) << "an input replaces the default scene";
  }
}

// One run: the command line (its input made by `input`), then what the
// input, the verdict and the recording must show.
struct MediaRun {
  const char* name;
  std::function<std::string()> input;  // the --input value, its media made first
  std::vector<std::string> extra;      // more of the command line
  std::string record;                  // "out.mkv", "out.ts:source=1"
  bool simulated;
  double seconds;
  // Of the input: looped this often, ended, stalled at least once.
  uint64_t loops;
  bool ended;
  bool stalls;
  // Of the recording: the audio codec (the video's follows from libx264);
  // sound from 0.2 s to `loudUntil`, and silence from `quietFrom` to the end
  // (0: never silent), in seconds of the run.
  const char* audioCodec;
  double loudUntil;
  double quietFrom;
};

class HostSimMediaTest : public ::testing::TestWithParam<MediaRun> {
 protected:
  void SetUp() override {
    if (!mediatest::HaveTools()) GTEST_SKIP() << "the ffmpeg and ffprobe commands are needed to make test media";
    av_log_set_level(AV_LOG_ERROR);  // as kasp2-hostsim does: no encoder banners
  }
};

TEST_P(HostSimMediaTest, PlaysTheInputAndRecordsTheProgram) {
  const MediaRun& run = GetParam();
  const std::string input = run.input();
  ASSERT_FALSE(input.empty());
  const std::string out = Folder(run.name);
  const std::string record = out + "/" + run.record;
  std::vector<std::string> args{
      "--quiet", "--duration", std::to_string(run.seconds), "--input", input, "--record", record, "--out", out};
  if (run.simulated) args.push_back("--simulated");
  args.insert(args.end(), run.extra.begin(), run.extra.end());
  HostSimOptions options;
  std::string error;
  ASSERT_TRUE(Parse(args, options, error)) << error;
  HostSimSummary summary;
  const int result = RunHostSimulator(options, summary, nullptr);
  ASSERT_EQ(result, 0) << (summary.failures.empty() ? "" : summary.failures[0]);

  // The run ended on time: every period cued, however the stream fared.
  const uint64_t periods = static_cast<uint64_t>(std::llround(run.seconds * kPeriodsPerSecond));
  EXPECT_EQ(summary.periods, periods);
  ASSERT_EQ(summary.inputs.size(), 1u);
  const HostSimInputSummary& in = summary.inputs[0];
  EXPECT_EQ(std::tuple(in.loops, in.ended, in.stalls > 0), std::tuple(run.loops, run.ended, run.stalls)) << in.option;
  const HostSimVideoSummary* video = nullptr;
  const HostSimAudioSummary* audio = nullptr;
  for (const HostSimVideoSummary& v : summary.video) video = v.input == 0 ? &v : video;
  for (const HostSimAudioSummary& a : summary.audio) audio = a.input == 0 ? &a : audio;
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(std::pair(video->delivered, audio->blocks), std::pair(in.framesDelivered, in.audioBlocks));
  EXPECT_TRUE(video->shown > 0 && audio->started);
  // A stream that died or ended shows blank and falls silent; one that
  // loops never does.
  EXPECT_EQ(video->blankAfterFirst > 0, run.ended || run.stalls);
  EXPECT_EQ(audio->underruns > 0, run.ended || run.stalls);
  mediatest::Facts source;
  if (run.simulated && !run.stalls && mediatest::Probe(input.substr(0, input.rfind(":loop")), &source)) {
    // Stepped, every picture and sample of each pass is delivered.
    if (run.loops == 0) {
      EXPECT_EQ(std::pair(in.framesDelivered, in.audioFrames),
                std::pair(static_cast<uint64_t>(source.videoFrames), static_cast<uint64_t>(source.audioSamples)));
    } else {
      EXPECT_GT(in.framesDelivered, run.loops * static_cast<uint64_t>(source.videoFrames));
    }
  }

  // The recording: what the host put on air, period by period.
  const HostSimRecordSummary& r = summary.record;
  EXPECT_EQ(std::tuple(r.periods, r.overflows, r.errors), std::tuple(periods, 0u, 0u)) << r.error;
  mediatest::Facts recorded;
  ASSERT_TRUE(mediatest::Probe(r.path, &recorded)) << r.path;
  // H.264 wherever libavcodec has libx264, else FFV1 in Matroska and MPEG-2
  // in MPEG-TS.
  const bool transportStream = r.path.size() > 3 && r.path.compare(r.path.size() - 3, 3, ".ts") == 0;
  const std::string videoCodec = avcodec_find_encoder_by_name("libx264") ? "h264"
                                 : transportStream                       ? "mpeg2video"
                                                                         : "ffv1";
  EXPECT_EQ(std::tuple(recorded.videoStreams, recorded.audioStreams, recorded.videoCodec, recorded.audioCodec),
            std::tuple(1, 1, videoCodec, std::string(run.audioCodec)));
  EXPECT_EQ(std::tuple(recorded.videoFrames, recorded.audioSamples, recorded.sampleRate),
            std::tuple(static_cast<int64_t>(periods), static_cast<int64_t>(periods) * kFramesPerPeriod, 48000));
  EXPECT_NEAR(recorded.duration, run.seconds, 1.0 / kPeriodsPerSecond);
  const std::vector<int16_t> sound = mediatest::DecodeAudio(r.path, recorded.channels);
  constexpr double kRate = 48000.0;
  auto frame = [&](double seconds) { return static_cast<int64_t>(seconds * kRate); };
  // Sound from just after priming while the stream played, silence once it
  // was over.
  EXPECT_GT(mediatest::MaxAbs(sound, recorded.channels, frame(0.2), frame(run.loudUntil)), kSoundPeak);
  if (run.quietFrom > 0) {
    EXPECT_EQ(mediatest::MaxAbs(sound, recorded.channels, frame(run.quietFrom), frame(run.seconds)), 0);
  }
}

// The UDP sender: 2 s of MPEG-TS in real time, then it stops, as a network
// source that dies.
std::string UdpInput() {
  static std::unique_ptr<mediatest::BackgroundCommand> sender;
  const int port = mediatest::FreeUdpPort();
  if (port <= 0) return "";
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  sender =
      std::make_unique<mediatest::BackgroundCommand>(std::vector<std::string>{"ffmpeg",
                                                                              "-nostdin",
                                                                              "-v",
                                                                              "error",
                                                                              "-re",
                                                                              "-f",
                                                                              "lavfi",
                                                                              "-i",
                                                                              "testsrc2=size=320x240:rate=30",
                                                                              "-f",
                                                                              "lavfi",
                                                                              "-i",
                                                                              "sine=frequency=440:sample_rate=48000",
                                                                              "-t",
                                                                              "2",
                                                                              "-c:v",
                                                                              "mpeg2video",
                                                                              "-g",
                                                                              "15",
                                                                              "-c:a",
                                                                              "mp2",
                                                                              "-f",
                                                                              "mpegts",
                                                                              url + "?pkt_size=1316"});
  return sender->Running() ? url : "";
}

std::string Mp4() { return mediatest::Make("clip.mp4", kMp4Args); }
std::string Ts() { return mediatest::Make("clip.ts", kTsArgs); }

INSTANTIATE_TEST_SUITE_P(
    Runs, HostSimMediaTest,
    ::testing::Values(
        // Stopped after 3 s (its sound 50 ms later, the cue's priming
        // distance): blank and silent for the rest.
        MediaRun{"Mp4StopsIntoMkv", Mp4, {}, "out.mkv", true, 4.0, 0, true, false, "pcm_s16le", 2.9, 3.1},
        // Looped beside a test source, input 1 recorded.
        MediaRun{"TsLoopsBesideATestSourceIntoTs",
                 [] { return Ts() + ":loop"; },
                 {"--video", "320x240@30:2vuy"},
                 "out.ts:source=1",
                 true,
                 5.0,
                 2,
                 false,
                 false,
                 "s302m",
                 4.9,
                 0.0},
        // A stream cut off mid-file, about a second in: what there is plays,
        // then blank and silence.
        MediaRun{"TruncatedStreamEndsEarly",
                 [] { return Truncated(Ts(), Folder("TruncatedSource"), 0.5); },
                 {},
                 "out.mkv",
                 true,
                 3.0,
                 0,
                 true,
                 false,
                 "pcm_s16le",
                 0.6,
                 1.6},
        // Live over loopback UDP in real time; the sender stops less than 2 s
        // into the run (it started before the input was opened).
        MediaRun{"UdpStreamDiesMidRun", UdpInput, {}, "out.mkv", false, 5.0, 0, false, true, "pcm_s16le", 0.6, 2.8}),
    [](const ::testing::TestParamInfo<MediaRun>& row) { return std::string(row.param.name); });

}  // namespace
