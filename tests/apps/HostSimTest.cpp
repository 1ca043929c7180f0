// The host simulator: its command line, its audio checker (which must find
// every frame lost or repeated on the way from source to cue), its WAV output,
// its verdict, and two seconds of the default scene whose every number follows
// from the schedule. Longer runs with clocks that drift are in
// tests/CMakeLists.txt, judged by the simulator's own exit status.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
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
#include "LipSync.h"
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
      // Drift correction 1 in step mode, 2 in smooth mode; limits judge a tone.
      {"sowt@48000:2:ppm=500:drift=smooth", false, true, {48000, 500, 2}},
      {"sowt@48000:2:drift=step", false, true, {48000, 0, 1}},
      {"sowt@48000:2:drift=wobbly", false, false, {}},
      {"sowt@48000:2:tone=1000:maxpeak=-80:minsinad=89", false, true, {48000, 0, 0}},
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
  auto parse = [&](std::vector<const char*> args) {
    args.insert(args.begin(), "kasp2-hostsim");
    return ParseHostSimOptions(static_cast<int>(args.size()), args.data(), options, error);
  };
  ASSERT_TRUE(parse({"--simulated", "--tolerance", "4", "--audio", "sowt@48000:1"}));
  EXPECT_EQ(options.tolerancePeriods, 4);
  EXPECT_TRUE(options.video.empty()) << "a source given replaces the default scene";
  ASSERT_TRUE(parse({"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--audio", "fl32@44100:2", "--pair",
                     "1:2:unaligned"}));
  ASSERT_EQ(options.pairs.size(), 1u);
  EXPECT_EQ(std::tuple(options.pairs[0].video, options.pairs[0].audio, options.pairs[0].align), std::tuple(0, 1, false));
  ASSERT_TRUE(parse({}));
  EXPECT_EQ(std::tuple(options.pairs.size(), options.pairs[0].video, options.pairs[0].audio), std::tuple(1u, 1, 0))
      << "the default scene pairs the 720p picture with the 48 kHz sound";
  const std::vector<std::vector<const char*>> bad = {
      {"--duration", "0"}, {"--tolerance", "0"}, {"--out"}, {"--x"}, {"--pair", "1:1"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--pair", "1:2"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--pair", "0:1"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--pair", "1:1:later"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2", "--audio", "sowt@48000:2", "--pair", "1:1", "--pair",
       "1:2"},
      {"--video", "640x360@30:rgba", "--audio", "sowt@48000:2:tone=1000", "--pair", "1:1"}};
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
    const char* name;
    int periodsFed;
    double ppm, settleSeconds;
    bool continuous, click, clickAtReprime;
    uint64_t periods, lost;
    double peakDbfs[2], sinadDb[2], wander[2];
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

// ---- lip sync ------------------------------------------------------------------------------------

// A picture and a sound from one clock, lined up by the host (or not), on the
// simulated clock: the sound of every frame is heard within one output period
// of it, on average within `avgMs` of `trimMs`; left alone, a delayed picture
// leaves the sound too early and fails the run.
struct LipSyncRun {
  const char* name;
  std::vector<const char*> args;
  double seconds;
  double trimMs;   // the offset asked for
  double avgMs;    // tolerance of the average
  bool passes;
};
void PrintTo(const LipSyncRun& run, std::ostream* out) { *out << run.name; }

const LipSyncRun kLipSyncRuns[] = {
    {"Undelayed2997", {"--video", "128x72@29.97:2vuy", "--audio", "sowt@48000:2", "--pair", "1:1"}, 20, 0, 3, true},
    {"Delayed5994", {"--video", "128x72@59.94:rgba:delay=0.1", "--audio", "sowt@48000:2", "--pair", "1:1"}, 20, 0, 3,
     true},
    {"TrimmedLater", {"--video", "128x72@25:2vuy", "--audio", "sowt@48000:2:delay=0.02", "--pair", "1:1"}, 20, 20, 3,
     true},
    {"SlowClockCorrected", {"--video", "128x72@29.97:2vuy", "--audio", "sowt@48000:2:ppm=-500:drift", "--pair", "1:1"},
     60, 0, 12, true},
    {"FastClockResampled", {"--video", "128x72@29.97:2vuy", "--audio", "fl32@44100:2:ppm=500:drift", "--pair", "1:1"},
     60, 0, 12, true},
    {"DelayedUnaligned", {"--video", "128x72@59.94:rgba:delay=0.1", "--audio", "sowt@48000:2", "--pair", "1:1:unaligned"},
     5, -57, 10, false},
};

class HostSimLipSyncTest : public ::testing::TestWithParam<LipSyncRun> {};

TEST_P(HostSimLipSyncTest, TheSoundOfEveryFrameComesWithIt) {
  const LipSyncRun& run = GetParam();
  std::vector<const char*> args = {"kasp2-hostsim", "--simulated", "--quiet"};
  args.insert(args.end(), run.args.begin(), run.args.end());
  HostSimOptions options;
  std::string error;
  ASSERT_TRUE(ParseHostSimOptions(static_cast<int>(args.size()), args.data(), options, error)) << error;
  options.durationSeconds = run.seconds;
  options.outDir = TempFolder(std::string("lipsync-") + run.name);
  HostSimSummary summary;
  EXPECT_EQ(RunHostSimulator(options, summary, nullptr), run.passes ? 0 : 1);
  ASSERT_EQ(summary.pairs.size(), 1u);
  const HostSimPairSummary& pair = summary.pairs[0];
  constexpr double kPeriodMs = 1000.0 / 30.0;
  EXPECT_GT(pair.measured, static_cast<uint64_t>(run.seconds * 20));
  EXPECT_NEAR(pair.avgMs, run.trimMs, run.avgMs);
  if (run.passes) {
    EXPECT_TRUE(summary.failures.empty()) << summary.failures[0];
    EXPECT_TRUE(pair.minMs >= run.trimMs - kPeriodMs && pair.maxMs <= run.trimMs + kPeriodMs)
        << pair.minMs << " ... " << pair.maxMs;
  } else {
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_NE(summary.failures[0].find("V1+A1: sound -"), std::string::npos) << summary.failures[0];
    EXPECT_LT(pair.maxMs, -LipSyncMeter::kMaxEarlyMs);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, HostSimLipSyncTest, ::testing::ValuesIn(kLipSyncRuns),
                         ::testing::PrintToStringParamName());

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
