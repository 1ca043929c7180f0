// The host simulator: its command line, its audio checker (which must find
// every frame lost or repeated on the way from source to cue), its WAV output,
// its verdict, and two seconds of the default scene whose every number follows
// from the schedule. Longer runs with clocks that drift are in
// tests/CMakeLists.txt, judged by the simulator's own exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "AudioStreamChecker.h"
#include "HostAudioSource.h"
#include "HostSimOptions.h"
#include "HostSimulator.h"
#include "ToneGenerator.h"
#include "WavWriter.h"

namespace {

std::string TempFolder(const std::string& name) {
  const std::filesystem::path path = std::filesystem::path(::testing::TempDir()) / ("hostsim-test-" + name);
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path.string();
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- command line ---------------------------------------------------------------

TEST(HostSimOptionsTest, ParsesSourcesAndRefusesWhatItCannotRun) {
  struct Case {
    const char* text;
    bool video, valid;
    double rateOrScale;  // video: time scale; audio: sample rate
    double delayOrPpm;   // video: delay; audio: ppm
  };
  const Case cases[] = {
      {"1920x1080@29.97:2vuy", true, true, 30000, 0.0},  {"1280x720@59.94:rgba:delay=0.1", true, true, 60000, 0.1},
      {"640x480@23.976:2vuy", true, true, 24000, 0.0},   {"640x480@12.5:rgba", true, true, 12500, 0.0},
      {"1920x1080:2vuy", true, false, 0, 0},             {"1920x1080@29.97:yuv2", true, false, 0, 0},
      {"1920x1080@0.5:rgba", true, false, 0, 0},         {"100x72@30:rgba", true, false, 0, 0},
      {"129x72@30:2vuy", true, false, 0, 0},             {"640x480@30:rgba:delay=-1", true, false, 0, 0},
      {"640x480@30:rgba:speed=2", true, false, 0, 0},    {"fl32@44100:2:ppm=300:drift", false, true, 44100, 300},
      {"42ni@8000:1:drift:ppm=-12.5", false, true, 8000, -12.5},
      {"twos@48000:2", false, false, 0, 0},              {"sowt@48000", false, false, 0, 0},
      {"sowt@1000:2", false, false, 0, 0},               {"sowt@48000:0", false, false, 0, 0},
      {"sowt@48000:2:ppm=20000", false, false, 0, 0},    {"sowt@48000:2:loud", false, false, 0, 0},
  };
  for (const Case& c : cases) {
    std::string error;
    VideoSourceOptions video;
    AudioSourceOptions audio;
    const bool parsed = c.video ? ParseVideoSource(c.text, video, error) : ParseAudioSource(c.text, audio, error);
    ASSERT_EQ(parsed, c.valid) << c.text << ": " << error;
    if (!c.valid) {
      EXPECT_FALSE(error.empty()) << c.text;
    } else if (c.video) {
      EXPECT_EQ(video.timeScale, c.rateOrScale) << c.text;
      EXPECT_EQ(video.frameDuration, c.rateOrScale == 12500 ? 1000 : 1001) << c.text;
      EXPECT_DOUBLE_EQ(video.delaySeconds, c.delayOrPpm) << c.text;
    } else {
      EXPECT_EQ(audio.sampleRate, c.rateOrScale) << c.text;
      EXPECT_DOUBLE_EQ(audio.ppm, c.delayOrPpm) << c.text;
      EXPECT_TRUE(audio.driftCorrection) << c.text;
    }
  }
  const auto parse = [](std::vector<const char*> args, HostSimOptions& options, std::string& error) {
    args.insert(args.begin(), "kasp2-hostsim");
    return ParseHostSimOptions(static_cast<int>(args.size()), args.data(), options, error);
  };
  HostSimOptions options;
  std::string error;
  ASSERT_TRUE(parse({"--simulated", "--tolerance", "4", "--audio", "sowt@48000:1"}, options, error));
  EXPECT_EQ(options.tolerancePeriods, 4);
  EXPECT_TRUE(options.video.empty()) << "a source given replaces the default scene";
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
           {"--duration", "0"}, {"--duration"}, {"--tolerance", "0"}, {"--out"}, {"--frobnicate"}}) {
    EXPECT_FALSE(parse(bad, options, error)) << bad[0];
  }
}

// ---- audio checker -----------------------------------------------------------------

constexpr int32_t kPeriod = 1600;

// A cued stream: for each output frame the source frame it holds, or -1 for
// silence; `newBase` marks the periods at which the renderer pinned a base.
struct Stream {
  std::vector<int64_t> frames;
  std::vector<bool> newBase;

  void Play(int64_t from, int64_t count) {
    for (int64_t i = 0; i < count; ++i) frames.push_back(from + i);
  }
  void Silence(int64_t count) { frames.insert(frames.end(), static_cast<size_t>(count), -1); }
};

// Feeds `stream` to a checker, made of the simulator's own signal: the
// counter, or its two tones.
AudioStreamChecker::Counts Check(AudioStreamChecker::Mode mode, int32_t channels, const Stream& stream,
                                 int64_t corruptFrame = -1) {
  ToneGenerator::Settings settings;
  settings.channels = channels;
  settings.frequency = HostAudioSource::kToneFrequency;
  settings.secondFrequency = HostAudioSource::kSecondToneFrequency;
  settings.amplitude = HostAudioSource::kToneAmplitude;
  settings.waveform = mode == AudioStreamChecker::Mode::kCounter ? ToneGenerator::Waveform::kCounter
                                                                 : ToneGenerator::Waveform::kSine;
  const ToneGenerator tone(settings);
  AudioStreamChecker checker(mode,
                             {HostAudioSource::kToneFrequency, HostAudioSource::kSecondToneFrequency,
                              HostAudioSource::kToneAmplitude},
                             48000);
  std::vector<int16_t> period(static_cast<size_t>(kPeriod) * channels);
  for (size_t start = 0; start + kPeriod <= stream.frames.size(); start += kPeriod) {
    for (int32_t f = 0; f < kPeriod; ++f) {
      const int64_t n = stream.frames[start + f];
      for (int32_t c = 0; c < channels; ++c) {
        const int32_t word = n < 0 ? 0 : tone.SampleWord(n, c);
        int16_t sample = static_cast<int16_t>((static_cast<int64_t>(word) + 0x8000) >> 16);
        if (mode == AudioStreamChecker::Mode::kCounter && n >= 0) sample = ToneGenerator::CounterSample(n, c);
        // The corrupt frame's last channel is garbled; for the sine a whole
        // period of channel 0 is, since one sample does not move a fit.
        const int64_t at = static_cast<int64_t>(start) + f;
        if (mode == AudioStreamChecker::Mode::kCounter && at == corruptFrame && c == channels - 1) {
          sample = static_cast<int16_t>(sample ^ 0x0F0F);
        }
        if (mode == AudioStreamChecker::Mode::kSine && corruptFrame >= 0 && at / kPeriod == corruptFrame / kPeriod &&
            c == 0) {
          sample = static_cast<int16_t>(sample / 4);
        }
        period[static_cast<size_t>(f) * channels + c] = sample;
      }
    }
    const size_t index = start / kPeriod;
    checker.AddPeriod(period.data(), kPeriod, channels, index < stream.newBase.size() && stream.newBase[index]);
  }
  return checker.GetCounts();
}

struct CheckerCase {
  const char* name;
  AudioStreamChecker::Mode mode;
  int32_t channels;
  // What happens after 2 silent priming periods and 10 clean periods.
  enum Fault { kNone, kDrop, kRepeat, kUnderrun, kSkipPeriod, kReprime, kReprimeAfterSilence, kCorrupt } fault;
  int64_t count;  // frames skipped (negative: replayed)
  uint64_t lost, repeated, underruns, reprimes, reprimeLost, reprimeRepeated, corrupt;
};

std::string CheckerCaseName(const ::testing::TestParamInfo<CheckerCase>& param) { return param.param.name; }
void PrintTo(const CheckerCase& c, std::ostream* out) { *out << c.name; }

class AudioStreamCheckerTest : public ::testing::TestWithParam<CheckerCase> {};

TEST_P(AudioStreamCheckerTest, FindsWhatHappenedToTheStream) {
  const CheckerCase& c = GetParam();
  Stream stream;
  stream.Silence(2 * kPeriod);
  stream.newBase.assign(64, false);
  stream.newBase[2] = true;  // the first sound: the first prime
  stream.Play(1000, 10 * kPeriod + 700);
  int64_t next = 1000 + 10 * kPeriod + 700;
  int64_t corruptFrame = -1;
  switch (c.fault) {
    case CheckerCase::kNone:
      break;
    case CheckerCase::kDrop:
      next += c.count;
      break;
    case CheckerCase::kRepeat:
      next -= c.count;
      break;
    case CheckerCase::kUnderrun:  // silence to the end of the period, the stream goes on after it
      stream.Silence(kPeriod - 700 + kPeriod);
      break;
    case CheckerCase::kSkipPeriod:  // a silent writer: the reader moved on
      stream.Silence(kPeriod - 700 + kPeriod);
      next += kPeriod - 700 + kPeriod;
      break;
    case CheckerCase::kReprime:  // a new base at the next period, far ahead or back
      stream.Play(next, kPeriod - 700);
      next += kPeriod - 700 + c.count;
      stream.newBase[stream.frames.size() / kPeriod] = true;
      break;
    case CheckerCase::kReprimeAfterSilence:  // a base pinned at a silent cue moves the next sound
      stream.Play(next, kPeriod - 700);
      next += kPeriod - 700 + c.count;
      stream.newBase[stream.frames.size() / kPeriod] = true;
      stream.Silence(kPeriod);
      break;
    case CheckerCase::kCorrupt:
      corruptFrame = static_cast<int64_t>(stream.frames.size()) + 5;
      break;
  }
  stream.Play(next, 12 * kPeriod);
  const AudioStreamChecker::Counts counts = Check(c.mode, c.channels, stream, corruptFrame);
  EXPECT_TRUE(counts.started);
  EXPECT_EQ(counts.silentBeforeStart, 2u);
  EXPECT_EQ(counts.lostFrames, c.lost);
  EXPECT_EQ(counts.repeatedFrames, c.repeated);
  EXPECT_EQ(counts.silentAfterStart, c.underruns);
  EXPECT_EQ(counts.reprimes, c.reprimes);
  EXPECT_EQ(counts.reprimeLostFrames, c.reprimeLost);
  EXPECT_EQ(counts.reprimeRepeatedFrames, c.reprimeRepeated);
  EXPECT_EQ(counts.corruptPeriods, c.corrupt);
}

constexpr auto kCounterMode = AudioStreamChecker::Mode::kCounter;
constexpr auto kSineMode = AudioStreamChecker::Mode::kSine;

// The sine cases jump by more than a cycle of either tone (2242 frames is
// 20.55 cycles of 440 Hz, 10.32 of 221 Hz): only the pair names them.
INSTANTIATE_TEST_SUITE_P(
    Faults, AudioStreamCheckerTest,
    ::testing::Values(
        CheckerCase{"CounterClean", kCounterMode, 2, CheckerCase::kNone, 0, 0, 0, 0, 0, 0, 0, 0},
        CheckerCase{"CounterDrop", kCounterMode, 2, CheckerCase::kDrop, 7, 7, 0, 0, 0, 0, 0, 0},
        CheckerCase{"CounterRepeat", kCounterMode, 6, CheckerCase::kRepeat, 5, 0, 5, 0, 0, 0, 0, 0},
        CheckerCase{"CounterUnderrun", kCounterMode, 2, CheckerCase::kUnderrun, 0, 0, 0, 1, 0, 0, 0, 1},
        CheckerCase{"CounterSkippedPeriod", kCounterMode, 2, CheckerCase::kSkipPeriod, 0, 2500, 0, 1, 0, 0, 0, 1},
        CheckerCase{"CounterReprime", kCounterMode, 2, CheckerCase::kReprime, 2242, 0, 0, 0, 1, 2242, 0, 0},
        CheckerCase{"CounterReprimeBack", kCounterMode, 2, CheckerCase::kReprime, -1200, 0, 0, 0, 1, 0, 1200, 0},
        CheckerCase{"CounterReprimeAfterSilence", kCounterMode, 2, CheckerCase::kReprimeAfterSilence, 3000, 0, 0, 1,
                    1, 3000, 0, 0},
        CheckerCase{"CounterCorrupt", kCounterMode, 2, CheckerCase::kCorrupt, 0, 0, 0, 0, 0, 0, 0, 1},
        CheckerCase{"SineDropOne", kSineMode, 2, CheckerCase::kDrop, 1, 1, 0, 0, 0, 0, 0, 0},
        CheckerCase{"SineRepeatThree", kSineMode, 6, CheckerCase::kRepeat, 3, 0, 3, 0, 0, 0, 0, 0},
        CheckerCase{"SineFarDrop", kSineMode, 2, CheckerCase::kDrop, 2242, 2242, 0, 0, 0, 0, 0, 0},
        CheckerCase{"SineFarRepeat", kSineMode, 1, CheckerCase::kRepeat, 15000, 0, 15000, 0, 0, 0, 0, 0},
        CheckerCase{"SineReprime", kSineMode, 2, CheckerCase::kReprime, 2242, 0, 0, 0, 1, 2242, 0, 0},
        CheckerCase{"SineReprimeAfterSilence", kSineMode, 2, CheckerCase::kReprimeAfterSilence, 4000, 0, 0, 1, 1,
                    4000, 0, 0},
        CheckerCase{"SineCorrupt", kSineMode, 2, CheckerCase::kCorrupt, 0, 0, 0, 0, 0, 0, 0, 1}),
    CheckerCaseName);

// ---- output files -----------------------------------------------------------------------

TEST(HostSimFilesTest, WavWriterWritesAPlayableFile) {
  const std::string path = TempFolder("wav") + "/three.wav";
  WavWriter wav;
  EXPECT_FALSE(wav.Write(nullptr, 0)) << "nothing open";
  EXPECT_FALSE(wav.Open(path, 0, 48000));
  ASSERT_TRUE(wav.Open(path, 2, 48000));
  const int16_t samples[] = {1, -1, 0x1234, -32768, 32767, 0};
  ASSERT_TRUE(wav.Write(samples, 3));
  EXPECT_FALSE(wav.Write(samples, -1));
  ASSERT_TRUE(wav.Close());
  const std::vector<uint8_t> expected = {
      'R', 'I', 'F', 'F', 48, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
      1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 12, 0, 0, 0,
      0x01, 0x00, 0xFF, 0xFF, 0x34, 0x12, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00};
  EXPECT_EQ(ReadFile(path), expected);
}

// ---- whole runs on the simulated clock -----------------------------------------------------

HostSimOptions SimulatedOptions(const std::string& outDir, double seconds, std::vector<const char*> video,
                                std::vector<const char*> audio) {
  HostSimOptions options;
  options.simulated = true;
  options.quiet = true;
  options.durationSeconds = seconds;
  options.outDir = outDir;
  std::string error;
  for (const char* text : video) {
    VideoSourceOptions v;
    EXPECT_TRUE(ParseVideoSource(text, v, error)) << error;
    options.video.push_back(v);
  }
  for (const char* text : audio) {
    AudioSourceOptions a;
    EXPECT_TRUE(ParseAudioSource(text, a, error)) << error;
    options.audio.push_back(a);
  }
  return options;
}

// Two seconds of the default scene. Every number follows from the schedule:
// period k at k/30 s; 29.97 and 59.94 frames from 0; an audio block every
// 5 ms from 5 ms; the audio primes at the period after the ring holds 2400
// frames; the delayed video shows its first frame at 100 ms.
TEST(HostSimRunTest, DefaultSceneRunsCleanAndAddsUp) {
  HostSimOptions simulated = SimulatedOptions(TempFolder("default"), 2.0, {}, {});
  AddDefaultScene(simulated);
  HostSimSummary summary;
  ASSERT_EQ(RunHostSimulator(simulated, summary, nullptr), 0) << (summary.failures.empty() ? "" : summary.failures[0]);
  EXPECT_TRUE(summary.failures.empty());
  EXPECT_EQ(summary.periods, 60u);

  ASSERT_EQ(summary.video.size(), 2u);
  const HostSimVideoSummary& v1 = summary.video[0];
  EXPECT_EQ(v1.delivered, 60u);
  EXPECT_EQ(v1.cued, 60u);
  EXPECT_EQ(v1.blank, 0u);
  EXPECT_EQ(v1.shown, 59u) << "at 29.97 on a 30 Hz output one frame shows twice in two seconds";
  EXPECT_LE(v1.latencyMaxMs, 1001.0 / 30.0 + 0.01);
  const HostSimVideoSummary& v2 = summary.video[1];
  EXPECT_EQ(v2.delivered, 120u);
  EXPECT_EQ(v2.blank, 3u) << "cues at 0, 33 and 67 ms come before the 100 ms delay";
  EXPECT_EQ(v2.blankAfterFirst, 0u);
  EXPECT_EQ(v2.shown, 57u);
  for (const HostSimVideoSummary& v : summary.video) EXPECT_EQ(v.deliveryMaxLateMs + v.deliveryStalls, 0.0);
  EXPECT_GE(v2.latencyAvgMs, 100.0);
  EXPECT_LE(v2.latencyMaxMs, 100.0 + 1001.0 / 60.0 + 0.01);

  ASSERT_EQ(summary.audio.size(), 3u);
  const uint64_t expectedFrames[3] = {399 * 240, 88005, 191520};  // 1.995 s of each clock (44.1 kHz +300 ppm)
  for (size_t i = 0; i < 3; ++i) {
    const HostSimAudioSummary& a = summary.audio[i];
    SCOPED_TRACE(a.option);
    EXPECT_EQ(a.framesDelivered, expectedFrames[i]);
    EXPECT_EQ(a.blocks, 399u);
    EXPECT_EQ(a.cues, 60u);
    EXPECT_TRUE(a.started);
    EXPECT_EQ(a.silentBeforeStart, 2u);
    EXPECT_EQ(a.underruns, 0u);
    EXPECT_EQ(a.lostFrames + a.repeatedFrames + a.corruptPeriods + a.reprimes, 0u);
    EXPECT_EQ(a.reprimeLostFrames + a.reprimeRepeatedFrames + a.driftResets, 0u);
    EXPECT_EQ(a.primes, 1u);
    EXPECT_EQ(a.receive.received, a.blocks);
    EXPECT_EQ(a.receive.refused + a.receive.dropped + a.receive.truncated, 0u);
    EXPECT_EQ(a.deliveryMaxLateMs, 0.0) << "every step runs at its due time on the simulated clock";
    EXPECT_EQ(a.deliveryStalls, 0u);
    EXPECT_EQ(a.counterCheck, i == 0) << "only the 48 kHz source without drift correction sends the counter";
    const uint64_t channels = i == 2 ? 6 : 2;
    EXPECT_EQ(ReadFile(a.wavPath).size(), 44 + 60 * 1600 * channels * 2);
  }
  EXPECT_EQ(summary.hostVideoCalls, 180u);
  EXPECT_EQ(summary.hostAudioCalls, 3 * 399u);
  EXPECT_EQ(summary.filterHits + summary.filterMisses, 2u * 2u * 60u);
  EXPECT_GE(summary.filterHits, 120u) << "the multiview finds every program render in the filter cache";
  EXPECT_GT(summary.CacheHitPercent(), 90.0);
  EXPECT_EQ(summary.rendersDropped, 0u);
  EXPECT_EQ(summary.statisticsLines.size(), 5u);
  ASSERT_EQ(summary.driftLines.size(), 1u);
  EXPECT_EQ(summary.driftLines[0].rfind("Drift 'A2 fl32@44100:2:ppm=300:drift' ", 0), 0u) << summary.driftLines[0];
  const std::vector<uint8_t> png = ReadFile(summary.contactSheetPath);
  ASSERT_GT(png.size(), 1000u);
  EXPECT_EQ(png[1], 'P');
}

// ---- the verdict ------------------------------------------------------------------------------

// Faults that a run on the simulated clock cannot make (a starved thread, a
// renderer that refuses the sources' blocks), set on a clean summary of one
// video and one audio source: each fails the run with its own line, and a
// source whose delivery thread ran later than the reader's slack says so.
TEST(HostSimVerdictTest, EachFaultFailsTheRunWithItsReason) {
  const HostSimOptions options = SimulatedOptions(TempFolder("verdict"), 10.0, {"640x480@30:rgba"}, {"sowt@48000:2"});
  HostSimSummary clean;
  clean.video.push_back({});
  clean.video[0].name = "V1";
  clean.video[0].delivered = 300;
  clean.video[0].shown = 300;
  clean.audio.push_back({});
  HostSimAudioSummary& a = clean.audio[0];
  a.name = "A1";
  a.started = true;
  a.blocks = 2000;
  a.receive.received = 2000;
  clean.hostVideoCalls = 300;
  clean.hostAudioCalls = 2000;

  struct Case {
    void (*fault)(HostSimSummary&);
    const char* failure;  // the only one; null: the run passes
  };
  const Case cases[] = {
      {[](HostSimSummary&) {}, nullptr},
      {[](HostSimSummary& s) { s.audio[0].deliveryMaxLateMs = 11.0; }, nullptr},  // late, within the slack
      {[](HostSimSummary& s) { s.audio[0].receive.refused = 1; },
       "A1: the renderer refused 1, dropped 0 and truncated 0 of 2000 blocks"},
      {[](HostSimSummary& s) { s.audio[0].receive.dropped = 2; },
       "A1: the renderer refused 0, dropped 2 and truncated 0 of 2000 blocks"},
      {[](HostSimSummary& s) { s.audio[0].receive.truncated = 3; },
       "A1: the renderer refused 0, dropped 0 and truncated 3 of 2000 blocks"},
      {[](HostSimSummary& s) { s.audio[0].receive.received = 1999; },
       "A1: the renderer counted 1999 blocks received, the source delivered 2000"},
      {[](HostSimSummary& s) {
         s.audio[0].reprimes = 2;
         s.audio[0].reprimeLostFrames = 4484;
       },
       "A1: lost 4484 frames in 2 re-primes"},
      {[](HostSimSummary& s) {
         s.audio[0].reprimes = 1;
         s.audio[0].reprimeRepeatedFrames = 800;
       },
       "A1: repeated 800 frames in 1 re-prime"},
      {[](HostSimSummary& s) {
         s.audio[0].underruns = 3;
         s.audio[0].deliveryMaxLateMs = 140.0;
         s.audio[0].deliveryStalls = 2;
       },
       "A1: 3 silent cues after priming (its delivery thread ran up to 140.0 ms late: the machine starved it)"},
      {[](HostSimSummary& s) {
         s.audio[0].underruns = 1;
         s.audio[0].driftResets = 4;
       },
       "A1: 1 silent cues after priming (its drift correction gave up and restarted 4 times)"},
      {[](HostSimSummary& s) {
         s.video[0].blankAfterFirst = 2;
         s.video[0].deliveryMaxLateMs = 50.0;
       },
       "V1: 2 blank frames after its first frame (its delivery thread ran up to 50.0 ms late: the machine "
       "starved it)"},
  };
  for (const Case& c : cases) {
    HostSimSummary summary = clean;
    c.fault(summary);
    EvaluateHostSimSummary(summary, options);
    if (!c.failure) {
      EXPECT_TRUE(summary.failures.empty()) << summary.failures[0];
      continue;
    }
    ASSERT_EQ(summary.failures.size(), 1u) << c.failure;
    EXPECT_EQ(summary.failures[0], c.failure);
  }
}

}  // namespace
