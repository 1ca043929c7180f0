// The host simulator: its command line, its audio checker (which must find
// every frame lost or repeated on the way from source to cue), its WAV output,
// its verdict, two seconds of the default scene whose every number follows
// from the schedule, and media inputs (--input) with a recorded program
// (--record). Longer runs with clocks that drift, and lip sync as measured,
// are in tests/CMakeLists.txt, judged by the simulator's own verdict.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "AudioStreamChecker.h"
#include "HostAudioSource.h"
#include "HostSimOptions.h"
#include "HostSimulator.h"
#include "MediaTestFiles.h"
#include "ToneGenerator.h"
#include "WavWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace {

std::string TempFolder(const std::string& name) {
  const std::filesystem::path path = std::filesystem::path(::testing::TempDir()) / ("hostsim-test-" + name);
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path.string();
}

// Parses a command line given without the program's name.
bool Parse(std::vector<std::string> args, HostSimOptions& options, std::string& error) {
  std::vector<const char*> argv{"kasp2-hostsim"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return ParseHostSimOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- command line ---------------------------------------------------------------

TEST(HostSimOptionsTest, ParsesSourcesAndRefusesWhatItCannotRun) {
  // Parsed: video {time scale, frame duration, delay}; audio {rate, ppm, drift correction}.
  const std::tuple<const char*, bool, bool, std::array<double, 3>> cases[] = {
      {"1920x1080@29.97:2vuy", true, true, {30000, 1001, 0}}, {"640x480@12.5:rgba", true, true, {12500, 1000, 0}},
      {"1280x720@59.94:rgba:delay=0.1", true, true, {60000, 1001, 0.1}},
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
      // Drift correction 1 in step mode, 2 in smooth mode; limits judge a tone.
      {"sowt@48000:2:ppm=500:drift=smooth", false, true, {48000, 500, 2}},
      {"sowt@48000:2:drift=step", false, true, {48000, 0, 1}}, {"sowt@48000:2:drift=wobbly", false, false, {}},
      {"sowt@48000:2:maxpeak=-80", false, false, {}},
      {"sowt@48000:2:tone=1000:maxpeak=3", false, false, {}},
      {"sowt@48000:2:tone=1000:minsinad=-1", false, false, {}},
  };
  for (const auto& [text, isVideo, valid, parsed] : cases) {
    std::string error;
    VideoSourceOptions v;
    AudioSourceOptions a;
    ASSERT_EQ(isVideo ? ParseVideoSource(text, v, error) : ParseAudioSource(text, a, error), valid) << text << error;
    EXPECT_EQ(error.empty(), valid) << text;
    const auto got = isVideo ? std::array{static_cast<double>(v.timeScale), static_cast<double>(v.frameDuration),
                                          v.delaySeconds}
                             : std::array{static_cast<double>(a.sampleRate), a.ppm,
                                          a.driftCorrection ? (a.smoothDrift ? 2.0 : 1.0) : 0.0};
    EXPECT_TRUE(!valid || got == parsed) << text;
  }
  HostSimOptions options;
  std::string error;
  AudioSourceOptions tone;
  ASSERT_TRUE(ParseAudioSource("fl32@44100:2:tone=997.5:level=-20.5", tone, error)) << error;
  EXPECT_EQ(std::tuple(tone.toneHz, tone.toneLevelDbfs), std::tuple(997.5, -20.5));
  ASSERT_TRUE(ParseAudioSource("sowt@48000:2:tone=1000:maxpeak=-80.5:minsinad=89", tone, error)) << error;
  EXPECT_EQ(std::tuple(tone.maxResidualPeakDbfs.value_or(0), tone.minSinadDb.value_or(0)), std::tuple(-80.5, 89.0));
  auto parse = [&](const std::vector<std::string>& args) { return Parse(args, options, error); };
  ASSERT_TRUE(parse({"--simulated", "--tolerance", "4", "--audio", "sowt@48000:1"}));
  EXPECT_EQ(options.tolerancePeriods, 4);
  EXPECT_TRUE(options.video.empty()) << "a source given replaces the default scene";
  ASSERT_TRUE(parse({"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--audio", "fl32@44100:2", "--pair",
                     "1:2:unaligned"}));
  ASSERT_EQ(options.pairs.size(), 1u);
  EXPECT_EQ(std::tuple(options.pairs[0].video, options.pairs[0].audio, options.pairs[0].align), std::tuple(0, 1, false));
  // An input's URL keeps its own colons; a last ":loop" or ":stop" is ours; inputs replace the default scene.
  ASSERT_TRUE(parse({"--input", "srt://host:9000:stop", "--input", "udp://127.0.0.1:5000", "--input", "clip.mp4:loop",
                     "--record", "out.TS:source=3"}));
  ASSERT_EQ(options.inputs.size(), 3u);
  EXPECT_EQ(std::tuple(options.inputs[0].url, options.inputs[0].loop, options.inputs[1].url, options.inputs[1].loop,
                       options.inputs[2].url, options.inputs[2].loop, options.record.input,
                       options.video.empty() && options.audio.empty()),
            std::tuple("srt://host:9000", false, "udp://127.0.0.1:5000", false, "clip.mp4", true, 2, true));
  ASSERT_TRUE(parse({}));
  EXPECT_EQ(std::tuple(options.pairs.size(), options.pairs[0].video, options.pairs[0].audio), std::tuple(1u, 1, 0))
      << "the default scene pairs the 720p picture with the 48 kHz sound";
  const std::vector<std::vector<std::string>> bad = {
      {"--duration", "0"}, {"--tolerance", "0"}, {"--out"}, {"--x"}, {"--pair", "1:1"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--pair", "1:2"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--pair", "0:1"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--pair", "1:1:later"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--audio", "sowt@48000:2", "--pair", "1:1", "--pair",
       "1:2"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2:tone=1000", "--pair", "1:1"}, {"--input", ":loop"},
      {"--input", "a.mp4", "--record", "out.mkv:source=2"}, {"--input", "a.mp4", "--record", "out.avi"},
      {"--input", "a.mp4", "--record", "out.mkv:source=0"}};
  for (const std::vector<std::string>& args : bad) EXPECT_FALSE(parse(args)) << args[0];
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
                                 const std::vector<bool>& newBase, size_t corrupt,
                                 std::vector<double>* mediaTimes = nullptr) {
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
    double time = -1.0;
    if (mediaTimes) mediaTimes->push_back(checker.LastPeriodMediaTime(&time) ? time : -1.0);
  }
  return checker.GetCounts();
}

// The media time of each period, read from the samples alone: the counter's
// frame (a lead-in of silence before it counts back from its first frame),
// or the instant the two tones' phases name; known modulo the signal's
// pattern (65535 frames; one second for 440 and 221 Hz), -1 for silence.
TEST(AudioStreamCheckerTest, NamesTheMediaTimeOfEachPeriod) {
  for (const auto mode : {kCounter, AudioStreamChecker::Mode::kSine}) {
    const double pattern = mode == kCounter ? 65535.0 : 48000.0;  // frames
    std::vector<int64_t> frames(kPeriod, -1);
    for (int64_t n = -100; n < kPeriod - 100; ++n) frames.push_back(n);
    for (int64_t n = 100'000; n < 100'000 + 2 * kPeriod; ++n) frames.push_back(n);
    std::vector<double> times;
    Check(mode, 2, frames, std::vector<bool>(4, false), SIZE_MAX, &times);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_EQ(times[0], -1.0);
    const double expected[] = {std::fmod(pattern - 100, pattern), std::fmod(100'000.0, pattern),
                               std::fmod(100'000.0 + kPeriod, pattern)};
    // The sine's lead-in period fits no tone.
    for (size_t i = mode == kCounter ? 1 : 2; i < 4; ++i) {
      EXPECT_NEAR(times[i] * 48000.0, expected[i - 1], 0.01) << static_cast<int>(mode) << " period " << i;
    }
  }
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

// What a listener hears of one 10 kHz tone at -6 dBFS, quantized to 16 bits,
// the sounding frame j read at j × (1 + ppm) of the tone's time: the
// residual's peak (half a step, -96 dBFS, when clean) and the SINAD (93 dB
// for the 16-bit rounding alone at this tone), over the periods after the
// reference; a click of 330 steps (-40 dBFS) in period 10, or in a period at
// a re-prime, which is left out; a reference taken after a settling time;
// and a slow slip of 0.78 frames over 100 periods, a lost frame for a
// stepped stream and wander for a continuously resampled one.
TEST(AudioStreamCheckerTest, HearsTheResidualAndSinadOfATone) {
  struct Case {
    const char* name; int periodsFed; double ppm, settleSeconds; bool continuous, click, clickAtReprime;
    uint64_t periods, lost; double peakDbfs[2], sinadDb[2], wander[2];
  };
  const Case cases[] = {
      {"Clean", 20, 0, 0, false, false, false, 18, 0, {-97, -95}, {92.5, 94}, {0, 0}},
      {"Click", 20, 0, 0, false, true, false, 18, 0, {-40.5, -39.5}, {70, 80}, {0, 0}},
      {"ClickAtReprime", 20, 0, 0, false, true, true, 17, 0, {-97, -95}, {92.5, 94}, {0, 0}},
      {"Settling", 20, 0, 0.25, false, false, false, 12, 0, {-97, -95}, {92.5, 94}, {0, 0}},
      {"SlowSlipStepped", 100, 5, 0, false, false, false, 98, 1, {-97, -93}, {91.5, 94}, {0, 0}},
      {"SlowSlipContinuous", 100, 5, 0, true, false, false, 98, 0, {-97, -93}, {91.5, 94}, {0.7, 0.8}},
  };
  for (const Case& c : cases) {
    AudioStreamChecker checker(AudioStreamChecker::Mode::kSine, {10000.0, 0.0, 0.5, c.settleSeconds, c.continuous},
                               48000);
    std::vector<int16_t> period(kPeriod);
    for (int p = 0; p < c.periodsFed; ++p) {
      for (int32_t f = 0; f < kPeriod; ++f) {
        const double t = (p * kPeriod + f) * (1.0 + c.ppm * 1e-6);
        period[f] = static_cast<int16_t>(std::lround(16384.0 * std::sin(2.0 * std::numbers::pi * 10000.0 * t / 48000)));
      }
      if (c.click && p == 10) period[800] = static_cast<int16_t>(period[800] + 330);
      checker.AddPeriod(period.data(), kPeriod, 1, p == 0 || (c.clickAtReprime && p == 10));
    }
    const AudioStreamChecker::Quality& q = checker.GetQuality();
    const AudioStreamChecker::Counts& counts = checker.GetCounts();
    EXPECT_EQ(std::tuple(q.periods, counts.lostFrames + counts.repeatedFrames), std::tuple(c.periods, c.lost))
        << c.name;
    EXPECT_TRUE(q.ResidualPeakDbfs() >= c.peakDbfs[0] && q.ResidualPeakDbfs() <= c.peakDbfs[1])
        << c.name << ": " << q.ResidualPeakDbfs() << " dBFS";
    EXPECT_TRUE(q.SinadDb() >= c.sinadDb[0] && q.SinadDb() <= c.sinadDb[1]) << c.name << ": " << q.SinadDb() << " dB";
    EXPECT_TRUE(counts.maxWanderFrames >= c.wander[0] && counts.maxWanderFrames <= c.wander[1])
        << c.name << ": " << counts.maxWanderFrames << " frames";
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
// frames; the delayed video shows its first frame at 100 ms. The 48 kHz sound
// of the 720p picture is heard 100 ms + half a 59.94 frame after it arrives:
// its cue latency (50 ms + the 1.7 ms since the last block at the priming
// cue) topped up with lead-in silence, one cue's worth more than the others;
// then every frame's sound is within half a frame of it.
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
    EXPECT_EQ(std::tuple(a.started, a.silentBeforeStart, a.underruns, a.deliveryStalls),
              std::tuple(true, i == 0 ? 3u : 2u, 0u, 0u));
    EXPECT_EQ(a.lostFrames + a.repeatedFrames + a.corruptPeriods + a.reprimes, 0u);
    EXPECT_EQ(a.reprimeLostFrames + a.reprimeRepeatedFrames + a.driftResets, 0u);
    EXPECT_EQ(std::pair(a.receive.received, a.receive.refused + a.receive.dropped + a.receive.truncated),
              std::pair(a.blocks, uint64_t{0}));
    EXPECT_EQ(a.deliveryMaxLateMs, 0.0) << "every step runs at its due time on the simulated clock";
    EXPECT_EQ(a.counterCheck, i == 0) << "only the 48 kHz source without drift correction sends the counter";
    EXPECT_EQ(ReadFile(a.wavPath).size(), 44u + 60u * 1600u * (i == 2 ? 6u : 2u) * 2u);
  }
  ASSERT_EQ(summary.pairs.size(), 1u);
  const HostSimPairSummary& pair = summary.pairs[0];
  constexpr double kHalfFrameMs = 1001.0 / 60.0 / 2.0;
  EXPECT_EQ(std::tuple(pair.name, pair.videoDelay, pair.cueLatency), std::tuple("V2+A1", 0.1, 0.051667));
  EXPECT_NEAR(pair.soundLatency, 0.1 + kHalfFrameMs / 1000.0, 1e-9);
  EXPECT_EQ(pair.measured, v2.shown) << "the sound starts before the delayed picture: every frame is measured";
  EXPECT_TRUE(pair.minMs >= -kHalfFrameMs && pair.maxMs <= kHalfFrameMs && pair.minMs < 0 && pair.maxMs > 0)
      << pair.minMs << " ... " << pair.maxMs;
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
  options.durationSeconds = 10.0, options.video.resize(1), options.audio.resize(1);
  HostSimSummary clean;
  clean.video.resize(1), clean.audio.resize(1);
  clean.video[0].name = "V1", clean.audio[0].name = "A1", clean.audio[0].started = true;
  clean.video[0].delivered = clean.video[0].shown = clean.hostVideoCalls = 300;
  clean.audio[0].blocks = clean.audio[0].receive.received = clean.hostAudioCalls = 2000;

  using A = HostSimAudioSummary;
  using V = HostSimVideoSummary;
  const std::pair<void (*)(A&, V&), const char*> cases[] = {
      {[](A&, V&) {}, nullptr},
      {[](A& a, V&) { a.receive = {2000, 1, 2, 3}; },
       "A1: the renderer refused 1, dropped 2 and truncated 3 of 2000 blocks"},
      {[](A& a, V&) { a.receive.received = 1999; },
       "A1: the renderer counted 1999 blocks received, the source delivered 2000"},
      {[](A& a, V&) { std::tie(a.reprimes, a.reprimeLostFrames) = std::pair(2, 4484); },
       "A1: lost 4484 frames in 2 re-primes"},
      {[](A& a, V&) { std::tie(a.reprimes, a.reprimeRepeatedFrames) = std::pair(1, 800); },
       "A1: repeated 800 frames in 1 re-prime"},
      {[](A& a, V&) { std::tie(a.underruns, a.deliveryMaxLateMs, a.deliveryStalls) = std::tuple(3, 140, 2); },
       "A1: 3 silent cues after priming (its delivery thread ran up to 140.0 ms late: the machine starved it)"},
      // Late, but within the slack: no word of it.
      {[](A& a, V&) { std::tie(a.underruns, a.driftResets, a.deliveryMaxLateMs) = std::tuple(1, 4, 11.0); },
       "A1: 1 silent cues after priming (its drift correction gave up and restarted 4 times)"},
      {[](A&, V& v) { std::tie(v.blankAfterFirst, v.deliveryMaxLateMs) = std::pair(2, 50); },
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

// ---- media inputs and the recorded program -------------------------------------------------
//
// Each run's verdict, what the input delivered, and the recording as ffprobe
// reads it: one video and one audio stream of the container's codecs, one
// picture and 1600 samples per output period, the run's duration to within a
// period, sound while the input sounded and silence once its stream died or
// ended. One run takes a live MPEG-TS stream over loopback UDP from an ffmpeg
// process in real time, and goes on to its end after the sender stops. Every
// frame of each file, stepped, is counted in MediaSourceTest.cpp.

constexpr int kPeriodsPerSecond = 30;
// Sound: the generated sines at their default level peak near a quarter
// of full scale; anything above this is not silence.
constexpr int kSoundPeak = 1000;

// The first `share` of `path`'s bytes, as a stream cut off mid-file, in
// this test's own folder.
std::string Truncated(const std::string& path, const std::string& folder, double share) {
  const std::string cut = folder + "/truncated.ts";
  const std::vector<uint8_t> bytes = ReadFile(path);
  std::ofstream(cut, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size() * share));
  return cut;
}

// One run: the command line (its input made by `input`), then what the
// input, the verdict and the recording must show.
// `input` makes the media and gives the --input value; `extra` is more of the
// command line. Of the input: looped `loops` times, `ended`, `stalls` at least
// once. Of the recording: its audio codec (the video's follows from libx264);
// sound from 0.2 s to `loudUntil`, and silence from `quietFrom` to the end (0:
// never silent), in seconds of the run.
struct MediaRun {
  const char* name; std::function<std::string()> input; std::vector<std::string> extra; std::string record;
  bool simulated; double seconds; uint64_t loops; bool ended, stalls; const char* audioCodec;
  double loudUntil, quietFrom;
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
  const std::string out = TempFolder(run.name);
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
            std::tuple(static_cast<int64_t>(periods), static_cast<int64_t>(periods) * kPeriod, 48000));
  EXPECT_NEAR(recorded.duration, run.seconds, 1.0 / kPeriodsPerSecond);
  // Sound from just after priming while the stream played, silence once it
  // was over.
  EXPECT_GT(mediatest::Peak(r.path, 0.2, run.loudUntil), kSoundPeak);
  EXPECT_EQ(run.quietFrom > 0 ? mediatest::Peak(r.path, run.quietFrom, run.seconds) : 0, 0);
}

// The UDP sender: 2 s of MPEG-TS in real time, then it ends, as a network
// source that dies.
std::string UdpInput() {
  const int port = mediatest::FreeUdpPort();
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  const bool sending = port > 0 && mediatest::Run(
      "ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i "
      "sine=frequency=440:sample_rate=48000 -t 2 -c:v mpeg2video -g 15 -c:a mp2 -f mpegts '" + url +
      "?pkt_size=1316' </dev/null >/dev/null 2>&1 &");
  return sending ? url : "";
}

std::string Mp4() { return mediatest::Make(mediatest::kMp4); }
std::string Ts() { return mediatest::Make(mediatest::kTs); }

// Mp4: stopped after 3 s (its sound 50 ms later, the cue's priming
// distance), blank and silent for the rest. Ts: looped beside a test source,
// input 1 recorded. Truncated: a stream cut off mid-file, about a second in:
// what there is plays, then blank and silence. Udp: live over loopback UDP in
// real time; the sender stops less than 2 s into the run (it started before
// the input was opened).
INSTANTIATE_TEST_SUITE_P(
    Runs, HostSimMediaTest,
    ::testing::Values(
        MediaRun{"Mp4StopsIntoMkv", Mp4, {}, "out.mkv", true, 4.0, 0, true, false, "pcm_s16le", 2.9, 3.1},
        MediaRun{"TsLoopsBesideATestSourceIntoTs", [] { return Ts() + ":loop"; }, {"--video", "320x240@30:2vuy"},
                 "out.ts:source=1", true, 5.0, 2, false, false, "s302m", 4.9, 0.0},
        MediaRun{"TruncatedStreamEndsEarly", [] { return Truncated(Ts(), TempFolder("TruncatedSource"), 0.5); }, {},
                 "out.mkv", true, 3.0, 0, true, false, "pcm_s16le", 0.6, 1.6},
        MediaRun{"UdpStreamDiesMidRun", UdpInput, {}, "out.mkv", false, 5.0, 0, false, true, "pcm_s16le", 0.6, 2.8}),
    [](const ::testing::TestParamInfo<MediaRun>& row) { return std::string(row.param.name); });

}  // namespace
