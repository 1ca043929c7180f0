#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The command line of kasp2-hostsim, parsed. Plain data; the parser is a pure
// function of its arguments.

// --video WxH@FPS:FORMAT[:delay=SEC]
struct VideoSourceOptions {
  int32_t width = 1920;
  int32_t height = 1080;
  // One frame lasts frameDuration / timeScale seconds (1001 / 30000: 29.97).
  int64_t timeScale = 30000;
  int64_t frameDuration = 1001;
  uint32_t rasterType = 0;  // "2vuy" or "rgba"
  double delaySeconds = 0.0;
  // Set by the host, not the command line: the clock error of the audio
  // source it is paired with (the one clock of both), in ppm.
  double ppm = 0.0;
  std::string text;  // the option as given, for labels
};

// --audio FORMAT@RATE:CH[:ppm=N][:drift[=step|smooth]][:delay=SEC]
//         [:tone=HZ[:level=DBFS][:maxpeak=DBFS][:minsinad=DB]]
struct AudioSourceOptions {
  uint32_t format = 0;  // "sowt", "fl32", "in24", "42ni" or "32ni"
  int32_t sampleRate = 48000;
  int32_t channels = 2;
  double ppm = 0.0;
  bool driftCorrection = false;
  bool smoothDrift = false;  // drift=smooth: the smooth mode (drift, drift=step: the step mode)
  double delaySeconds = 0.0;
  // tone=HZ: one sine of HZ at `toneLevelDbfs` instead of the default signal
  // (0: the sample counter or the two-tone sine).
  double toneHz = 0.0;
  double toneLevelDbfs = -6.0;
  // maxpeak= / minsinad=: what a listener of the tone may hear at most (the
  // residual's peak, dBFS) and at least (SINAD, dB); beyond, the run fails.
  std::optional<double> maxResidualPeakDbfs;
  std::optional<double> minSinadDb;
  // Set by the host for a paired source: the latency at which its sound is to
  // be heard (kaPluginAudioRenderer::SetLipSyncLatency); 0: none.
  double lipSyncLatency = 0.0;
  std::string text;
};

// --pair V:A — video source V and audio source A (numbered from 1 in the
// order given) come from one clock: the video source takes the audio
// source's ppm, the host lines the two up, and the run measures their lip
// sync. The audio source's delay= becomes how much later than the picture
// its sound is to be heard.
// --pair V:A:unaligned measures the pair as it comes, without lining it up.
struct SourcePair {
  int video = 0;  // index into HostSimOptions::video
  int audio = 0;  // index into HostSimOptions::audio
  bool align = true;
};

// --input URL[:loop|:stop]: a media input played by the media source
// plug-in; the URL goes to FFmpeg as given (a file, udp://, rtp://, srt://,
// http:// ...). At its end it stops (the default) or loops.
struct InputOptions {
  std::string url;
  bool loop = false;
  std::string text;
};

// --record FILE[:source=N]: the program output written to FILE (.mkv or
// .ts): the first video and the first audio source, or input N's.
struct RecordOptions {
  std::string path;  // empty: nothing is recorded
  int input = -1;    // index into HostSimOptions::inputs; -1: the first sources
  std::string text;
};

struct HostSimOptions {
  static constexpr double kDefaultDurationSeconds = 5.0;
  static constexpr double kMaxDurationSeconds = 24.0 * 3600.0;
  static constexpr double kMaxDelaySeconds = 10.0;

  double durationSeconds = kDefaultDurationSeconds;
  std::vector<VideoSourceOptions> video;
  std::vector<AudioSourceOptions> audio;
  std::vector<InputOptions> inputs;
  RecordOptions record;
  std::vector<SourcePair> pairs;
  int tolerancePeriods = 3;
  bool simulated = false;
  std::string outDir = "hostsim-out";
  bool quiet = false;
  bool help = false;
};

// Parses argv[1 … argc-1]. On success fills `options` and returns true; a
// command line without --video, --audio and --input gets the default scene's
// sources.
// On a bad option returns false with a one-line reason in `error`; `options`
// is then unspecified.
bool ParseHostSimOptions(int argc, const char* const* argv, HostSimOptions& options, std::string& error);

// Adds the default scene's sources: 1920x1080 29.97 "2vuy"; 1280x720 59.94
// "rgba" with a 0.1 s live delay; "sowt" 48 kHz stereo, paired with the
// 720p source as its sound; "fl32" 44.1 kHz stereo at +300 ppm with drift
// correction; "in24" 96 kHz with 6 channels.
void AddDefaultScene(HostSimOptions& options);

// Parses one --video / --audio value; false with a reason in `error`.
bool ParseVideoSource(const std::string& text, VideoSourceOptions& out, std::string& error);
bool ParseAudioSource(const std::string& text, AudioSourceOptions& out, std::string& error);
// Parses one --pair value ("V:A", numbered from 1) into indices; whether
// they name sources is checked once every source is known.
bool ParsePair(const std::string& text, SourcePair& out, std::string& error);

// Parses one --input / --record value; false with a reason in `error`.
// Whether source=N names an input is checked once every input is known.
bool ParseInput(const std::string& text, InputOptions& out, std::string& error);
bool ParseRecord(const std::string& text, RecordOptions& out, std::string& error);

// The --help text.
const char* HostSimUsage();
