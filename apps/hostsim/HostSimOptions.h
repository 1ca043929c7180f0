#pragma once
#include <cstdint>
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
  std::string text;  // the option as given, for labels
};

// --audio FORMAT@RATE:CH[:ppm=N][:drift][:delay=SEC][:tone=HZ[:level=DBFS]]
struct AudioSourceOptions {
  uint32_t format = 0;  // "sowt", "fl32", "in24", "42ni" or "32ni"
  int32_t sampleRate = 48000;
  int32_t channels = 2;
  double ppm = 0.0;
  bool driftCorrection = false;
  double delaySeconds = 0.0;
  // tone=HZ: one sine of HZ at `toneLevelDbfs` instead of the default signal
  // (0: the sample counter or the two-tone sine).
  double toneHz = 0.0;
  double toneLevelDbfs = -6.0;
  std::string text;
};

struct HostSimOptions {
  static constexpr double kDefaultDurationSeconds = 5.0;
  static constexpr double kMaxDurationSeconds = 24.0 * 3600.0;
  static constexpr double kMaxDelaySeconds = 10.0;

  double durationSeconds = kDefaultDurationSeconds;
  std::vector<VideoSourceOptions> video;
  std::vector<AudioSourceOptions> audio;
  int tolerancePeriods = 3;
  bool simulated = false;
  std::string outDir = "hostsim-out";
  bool quiet = false;
  bool help = false;
};

// Parses argv[1 … argc-1]. On success fills `options` and returns true; a
// command line without --video and --audio gets the default scene's sources.
// On a bad option returns false with a one-line reason in `error`; `options`
// is then unspecified.
bool ParseHostSimOptions(int argc, const char* const* argv, HostSimOptions& options, std::string& error);

// Adds the default scene's sources: 1920x1080 29.97 "2vuy"; 1280x720 59.94
// "rgba" with a 0.1 s live delay; "sowt" 48 kHz stereo; "fl32" 44.1 kHz stereo
// at +300 ppm with drift correction; "in24" 96 kHz with 6 channels.
void AddDefaultScene(HostSimOptions& options);

// Parses one --video / --audio value; false with a reason in `error`.
bool ParseVideoSource(const std::string& text, VideoSourceOptions& out, std::string& error);
bool ParseAudioSource(const std::string& text, AudioSourceOptions& out, std::string& error);

// The --help text.
const char* HostSimUsage();
