// The host simulator: its command line, its audio checker (which must find
// every frame lost or repeated on the way from source to cue), its WAV output,
// its verdict, and two seconds of the default scene whose every number follows
// from the schedule. Longer runs with clocks that drift are in
// tests/CMakeLists.txt, judged by the simulator's own exit status.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
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
  // Parsed: video {time scale, frame duration, delay}; audio {rate, ppm, drift correction}.
  const std::tuple<const char*, bool, bool, std::array<double, 3>> cases[] = {
      {"1920x1080@29.97:2vuy", true, true, {30000, 1001, 0}},
      {"1280x720@59.94:rgba:delay=0.1", true, true, {60000, 1001, 0.1}},
      {"640x480@12.5:rgba", true, true, {12500, 1000, 0}},
      {"42ni@8000:1:drift:ppm=-12.5", false, true, {8000, -12.5, 1}},
      {"1920x1080:2vuy", true, false, {}},        {"1920x1080@29.97:yuv2", true, false, {}},
      {"1920x1080@0.5:rgba", true, false, {}},    {"129x72@30:2vuy", true, false, {}},
      {"640x480@30:rgba:delay=-1", true, false, {}}, {"640x480@30:rgba:speed=2", true, false, {}},
      {"twos@48000:2", false, false, {}},         {"sowt@48000", false, false, {}},
      {"sowt@48000:2:ppm=20000", false, false, {}},
      {"sowt@48000:2:tone=1000:level=-20", false, true, {48000, 0, 0}},
      {"sowt@48000:2:tone=24000", false, false, {}},  // the output's Nyquist frequency
      {"sowt@16000:1:tone=8000", false, false, {}},   // the source's
      {"sowt@48000:2:tone=nan", false, false, {}},    {"sowt@48000:2:level=-6", false, false, {}},
      {"sowt@48000:2:tone=1000:level=0.5", false, false, {}},
  };
  for (const auto& [text, isVideo, valid, parsed] : cases) {
    std::string error;
    VideoSourceOptions v;
    AudioSourceOptions a;
    ASSERT_EQ(isVideo ? ParseVideoSource(text, v, error) : ParseAudioSource(text, a, error), valid) << text << error;
    EXPECT_EQ(error.empty(), valid) << text;
    const auto got = isVideo ? std::array{static_cast<double>(v.timeScale), static_cast<double>(v.frameDuration),
                                          v.delaySeconds}
                             : std::array{static_cast<double>(a.sampleRate), a.ppm, a.driftCorrection ? 1.0 : 0.0};
    EXPECT_TRUE(!valid || got == parsed) << text;
  }
  HostSimOptions options;
  std::string error;
  AudioSourceOptions tone;
  ASSERT_TRUE(ParseAudioSource("fl32@44100:2:tone=997.5:level=-20.5", tone, error)) << error;
  EXPECT_EQ(std::tuple(tone.toneHz, tone.toneLevelDbfs), std::tuple(997.5, -20.5));
  auto parse = [&](std::vector<const char*> args) {
    args.insert(args.begin(), "kasp2-hostsim");
    return ParseHostSimOptions(static_cast<int>(args.size()), args.data(), options, error);
  };
  ASSERT_TRUE(parse({"--simulated", "--tolerance", "4", "--audio", "sowt@48000:1"}));
  EXPECT_EQ(options.tolerancePeriods, 4);
  EXPECT_TRUE(options.video.empty()) << "a source given replaces the default scene";
  const std::vector<std::vector<const char*>> bad = {{"--duration", "0"}, {"--tolerance", "0"}, {"--out"}, {"--x"}};
  for (const std::vector<const char*>& args : bad) EXPECT_FALSE(parse(args)) << args[0];
}

// ---- audio checker -----------------------------------------------------------------

constexpr int32_t kPeriod = 1600;
constexpr auto kCounter = AudioStreamChecker::Mode::kCounter;

// Feeds a cued stream to a checker, made of the simulator's own signal (the
// counter, or its two tones): for each output frame the source frame it holds,
// or -1 for silence. `newBase` marks the periods at which the renderer pinned
// a base; in the period `corrupt` one channel is garbled (the last one, or
// for the sine channel 0, whose fit would otherwise not see it).
AudioStreamChecker::Counts Check(AudioStreamChecker::Mode mode, int32_t channels, const std::vector<int64_t>& frames,
                                 const std::vector<bool>& newBase, size_t corrupt) {
  const auto waveform = mode == kCounter ? ToneGenerator::Waveform::kCounter : ToneGenerator::Waveform::kSine;
  const AudioStreamChecker::Tone tones = {HostAudioSource::kToneFrequency, HostAudioSource::kSecondToneFrequency,
                                          HostAudioSource::kToneAmplitude};
  const ToneGenerator tone({.channels = channels, .waveform = waveform, .frequency = tones.frequency,
                            .secondFrequency = tones.secondFrequency, .amplitude = tones.amplitude});
  AudioStreamChecker checker(mode, tones, 48000);
  std::vector<int16_t> period(static_cast<size_t>(kPeriod) * channels);
  for (size_t index = 0; (index + 1) * kPeriod <= frames.size(); ++index) {
    for (int32_t f = 0; f < kPeriod; ++f) {
      const int64_t n = frames[index * kPeriod + f];
      for (int32_t c = 0; c < channels; ++c) {
        int16_t sample = static_cast<int16_t>((static_cast<int64_t>(n < 0 ? 0 : tone.SampleWord(n, c)) + 0x8000) >> 16);
        if (mode == kCounter && n >= 0) sample = ToneGenerator::CounterSample(n, c);
        if (index == corrupt && c == (mode == kCounter ? channels - 1 : 0)) sample = static_cast<int16_t>(sample / 4);
        period[static_cast<size_t>(f) * channels + c] = sample;
      }
    }
    checker.AddPeriod(period.data(), kPeriod, channels, newBase[index]);
  }
  return checker.GetCounts();
}

// After 2 silent priming periods and 10 and a bit clean ones, one thing
// happens to the stream, which then runs on clean. Checked: {lost, repeated,
// silent after the start, re-primes, lost and repeated in re-primes, corrupt}.
// The sine cases jump by more than a cycle of either tone (2242 frames is
// 20.55 cycles of 440 Hz, 10.32 of 221 Hz): only the pair names them.
TEST(AudioStreamCheckerTest, FindsWhatHappenedToTheStream) {
  enum Fault { kDrop, kUnderrun, kSkipPeriod, kReprime, kReprimeAfterSilence, kCorrupt };
  constexpr auto kSine = AudioStreamChecker::Mode::kSine;
  // {name, mode, channels, fault, frames skipped (negative: replayed), expected counts}
  const std::tuple<const char*, AudioStreamChecker::Mode, int32_t, Fault, int64_t, std::array<uint64_t, 7>> cases[] = {
      {"CounterDrop", kCounter, 2, kDrop, 7, {7, 0, 0, 0, 0, 0, 0}},
      {"CounterRepeat", kCounter, 6, kDrop, -5, {0, 5, 0, 0, 0, 0, 0}},
      {"CounterUnderrun", kCounter, 2, kUnderrun, 0, {0, 0, 1, 0, 0, 0, 1}},
      {"CounterSkippedPeriod", kCounter, 2, kSkipPeriod, 0, {2500, 0, 1, 0, 0, 0, 1}},
      {"CounterReprime", kCounter, 2, kReprime, 2242, {0, 0, 0, 1, 2242, 0, 0}},
      {"CounterReprimeBack", kCounter, 2, kReprime, -1200, {0, 0, 0, 1, 0, 1200, 0}},
      {"CounterReprimeAfterSilence", kCounter, 2, kReprimeAfterSilence, 3000, {0, 0, 1, 1, 3000, 0, 0}},
      {"CounterCorrupt", kCounter, 2, kCorrupt, 0, {0, 0, 0, 0, 0, 0, 1}},
      {"SineDropOne", kSine, 2, kDrop, 1, {1, 0, 0, 0, 0, 0, 0}},
      {"SineFarRepeat", kSine, 1, kDrop, -15000, {0, 15000, 0, 0, 0, 0, 0}},
      {"SineReprimeAfterSilence", kSine, 6, kReprimeAfterSilence, 4000, {0, 0, 1, 1, 4000, 0, 0}},
      {"SineCorrupt", kSine, 2, kCorrupt, 0, {0, 0, 0, 0, 0, 0, 1}},
  };
  for (const auto& [name, mode, channels, fault, jump, expected] : cases) {
    std::vector<int64_t> frames(2 * kPeriod, -1);
    std::vector<bool> newBase(64, false);
    newBase[2] = true;  // the first sound: the first prime
    int64_t next = 1000;
    auto play = [&](int64_t count, bool sound = true) {
      for (int64_t i = 0; i < count; ++i) frames.push_back(sound ? next++ : -1);
    };
    play(10 * kPeriod + 700);
    if (fault == kDrop) next += jump;
    if (fault == kUnderrun || fault == kSkipPeriod) play(kPeriod - 700 + kPeriod, false);
    if (fault == kSkipPeriod) next += kPeriod - 700 + kPeriod;  // a silent writer: the reader moved on
    if (fault == kReprime || fault == kReprimeAfterSilence) {
      play(kPeriod - 700);  // a new base at the next period, far ahead or back
      next += jump;
      newBase[frames.size() / kPeriod] = true;
    }
    if (fault == kReprimeAfterSilence) play(kPeriod, false);  // a base pinned at a silent cue moves the next sound
    play(12 * kPeriod);
    const AudioStreamChecker::Counts counts = Check(mode, channels, frames, newBase, fault == kCorrupt ? 12 : SIZE_MAX);
    EXPECT_TRUE(counts.started && counts.silentBeforeStart == 2) << name;
    EXPECT_EQ((std::array{counts.lostFrames, counts.repeatedFrames, counts.silentAfterStart, counts.reprimes,
                          counts.reprimeLostFrames, counts.reprimeRepeatedFrames, counts.corruptPeriods}),
              expected)
        << name;
  }
}

// ---- output files -----------------------------------------------------------------------

TEST(HostSimFilesTest, WavWriterWritesAPlayableFile) {
  const std::string path = TempFolder("wav") + "/three.wav";
  WavWriter wav;
  EXPECT_FALSE(wav.Open(path, 0, 48000));
  ASSERT_TRUE(wav.Open(path, 2, 48000));
  const int16_t samples[] = {1, -1, 0x1234, -32768, 32767, 0};
  ASSERT_TRUE(wav.Write(samples, 3));
  ASSERT_TRUE(wav.Close());
  const std::vector<uint8_t> expected = {
      'R', 'I', 'F', 'F', 48, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
      1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 12, 0, 0, 0,
      0x01, 0x00, 0xFF, 0xFF, 0x34, 0x12, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00};
  EXPECT_EQ(ReadFile(path), expected);
}

// ---- whole runs on the simulated clock -----------------------------------------------------

// Two seconds of the default scene. Every number follows from the schedule:
// period k at k/30 s; 29.97 and 59.94 frames from 0; an audio block every
// 5 ms from 5 ms; the audio primes at the period after the ring holds 2400
// frames; the delayed video shows its first frame at 100 ms.
TEST(HostSimRunTest, DefaultSceneRunsCleanAndAddsUp) {
  HostSimOptions options;
  options.durationSeconds = 2.0;
  options.simulated = options.quiet = true;
  options.outDir = TempFolder("default");
  AddDefaultScene(options);
  HostSimSummary summary;
  ASSERT_EQ(RunHostSimulator(options, summary, nullptr), 0);
  EXPECT_EQ(std::pair(summary.failures, summary.periods), std::pair(std::vector<std::string>{}, uint64_t{60}));

  ASSERT_EQ(std::pair(summary.video.size(), summary.audio.size()), std::pair(size_t{2}, size_t{3}));
  const HostSimVideoSummary& v1 = summary.video[0];
  EXPECT_EQ(std::tuple(v1.delivered, v1.cued, v1.blank), std::tuple(60u, 60u, 0u));
  EXPECT_EQ(v1.shown, 59u) << "at 29.97 on a 30 Hz output one frame shows twice in two seconds";
  EXPECT_LE(v1.latencyMaxMs, 1001.0 / 30.0 + 0.01);
  const HostSimVideoSummary& v2 = summary.video[1];
  // Cues at 0, 33 and 67 ms come before the 100 ms delay: 3 blank frames.
  EXPECT_EQ(std::tuple(v2.delivered, v2.blank, v2.blankAfterFirst, v2.shown), std::tuple(120u, 3u, 0u, 57u));
  EXPECT_GE(v2.latencyAvgMs, 100.0);
  EXPECT_LE(v2.latencyMaxMs, 100.0 + 1001.0 / 60.0 + 0.01);
  for (const HostSimVideoSummary& v : summary.video) EXPECT_EQ(v.deliveryMaxLateMs + v.deliveryStalls, 0.0);

  const uint64_t expectedFrames[3] = {399 * 240, 88005, 191520};  // 1.995 s of each clock (44.1 kHz +300 ppm)
  for (size_t i = 0; i < 3; ++i) {
    const HostSimAudioSummary& a = summary.audio[i];
    SCOPED_TRACE(a.option);
    EXPECT_EQ(std::tuple(a.framesDelivered, a.blocks, a.cues, a.primes), std::tuple(expectedFrames[i], 399u, 60u, 1u));
    EXPECT_EQ(std::tuple(a.started, a.silentBeforeStart, a.underruns, a.deliveryStalls), std::tuple(true, 2u, 0u, 0u));
    EXPECT_EQ(a.lostFrames + a.repeatedFrames + a.corruptPeriods + a.reprimes, 0u);
    EXPECT_EQ(a.reprimeLostFrames + a.reprimeRepeatedFrames + a.driftResets, 0u);
    EXPECT_EQ(std::pair(a.receive.received, a.receive.refused + a.receive.dropped + a.receive.truncated),
              std::pair(a.blocks, uint64_t{0}));
    EXPECT_EQ(a.deliveryMaxLateMs, 0.0) << "every step runs at its due time on the simulated clock";
    EXPECT_EQ(a.counterCheck, i == 0) << "only the 48 kHz source without drift correction sends the counter";
    EXPECT_EQ(ReadFile(a.wavPath).size(), 44u + 60u * 1600u * (i == 2 ? 6u : 2u) * 2u);
  }
  EXPECT_EQ(std::tuple(summary.hostVideoCalls, summary.hostAudioCalls), std::tuple(180u, 3 * 399u));
  EXPECT_EQ(summary.filterHits + summary.filterMisses, 2u * 2u * 60u);
  EXPECT_GE(summary.filterHits, 120u) << "the multiview finds every program render in the filter cache";
  EXPECT_EQ(std::tuple(summary.rendersDropped, summary.statisticsLines.size()), std::tuple(0u, 5u));
  ASSERT_EQ(summary.driftLines.size(), 1u);
  EXPECT_EQ(summary.driftLines[0].rfind("Drift 'A2 fl32@44100:2:ppm=300:drift' ", 0), 0u) << summary.driftLines[0];
  const std::vector<uint8_t> png = ReadFile(summary.contactSheetPath);
  EXPECT_TRUE(png.size() > 1000 && png[1] == 'P') << summary.contactSheetPath;
}

// ---- the verdict ------------------------------------------------------------------------------

// Faults that a run on the simulated clock cannot make (a starved thread, a
// renderer that refuses the sources' blocks), set on a clean summary of one
// video and one audio source: each fails the run with its own line, and a
// source whose delivery thread ran later than the reader's slack says so.
TEST(HostSimVerdictTest, EachFaultFailsTheRunWithItsReason) {
  HostSimOptions options;
  options.durationSeconds = 10.0;
  options.video.resize(1);
  options.audio.resize(1);
  HostSimSummary clean;
  clean.video.resize(1);
  clean.video[0].name = "V1";
  clean.video[0].delivered = clean.video[0].shown = clean.hostVideoCalls = 300;
  clean.audio.resize(1);
  clean.audio[0].name = "A1";
  clean.audio[0].started = true;
  clean.audio[0].blocks = clean.audio[0].receive.received = clean.hostAudioCalls = 2000;

  using A = HostSimAudioSummary;
  const std::pair<void (*)(A&, HostSimVideoSummary&), const char*> cases[] = {
      {[](A&, HostSimVideoSummary&) {}, nullptr},
      {[](A& a, HostSimVideoSummary&) { a.receive = {2000, 1, 2, 3}; },
       "A1: the renderer refused 1, dropped 2 and truncated 3 of 2000 blocks"},
      {[](A& a, HostSimVideoSummary&) { a.receive.received = 1999; },
       "A1: the renderer counted 1999 blocks received, the source delivered 2000"},
      {[](A& a, HostSimVideoSummary&) { std::tie(a.reprimes, a.reprimeLostFrames) = std::pair(2, 4484); },
       "A1: lost 4484 frames in 2 re-primes"},
      {[](A& a, HostSimVideoSummary&) { std::tie(a.reprimes, a.reprimeRepeatedFrames) = std::pair(1, 800); },
       "A1: repeated 800 frames in 1 re-prime"},
      {[](A& a, HostSimVideoSummary&) {
         std::tie(a.underruns, a.deliveryMaxLateMs, a.deliveryStalls) = std::tuple(3, 140, 2);
       },
       "A1: 3 silent cues after priming (its delivery thread ran up to 140.0 ms late: the machine starved it)"},
      {[](A& a, HostSimVideoSummary&) {  // late, but within the slack: no word of it
         std::tie(a.underruns, a.driftResets, a.deliveryMaxLateMs) = std::tuple(1, 4, 11.0);
       },
       "A1: 1 silent cues after priming (its drift correction gave up and restarted 4 times)"},
      {[](A&, HostSimVideoSummary& v) { std::tie(v.blankAfterFirst, v.deliveryMaxLateMs) = std::pair(2, 50); },
       "V1: 2 blank frames after its first frame (its delivery thread ran up to 50.0 ms late: the machine "
       "starved it)"},
  };
  for (const auto& [fault, failure] : cases) {
    HostSimSummary summary = clean;
    fault(summary.audio[0], summary.video[0]);
    EvaluateHostSimSummary(summary, options);
    if (!failure) {
      EXPECT_TRUE(summary.failures.empty()) << summary.failures[0];
    } else {
      EXPECT_EQ(summary.failures, std::vector<std::string>{failure});
    }
  }
}

}  // namespace
