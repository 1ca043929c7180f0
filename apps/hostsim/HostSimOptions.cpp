#include "HostSimOptions.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ToneGenerator.h"
#include "kasp2/kasp2.h"

namespace {

constexpr int32_t kMaxVideoDimension = 8192;
constexpr double kMinFramesPerSecond = 1.0;
constexpr double kMaxFramesPerSecond = 240.0;
constexpr int kMaxTolerancePeriods = 1000;
constexpr int kMaxSources = 16;

bool ParseDouble(const std::string& text, double& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && end && *end == '\0' && std::isfinite(value);
}

bool ParseInt(const std::string& text, int64_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || !end || *end != '\0') return false;
  value = parsed;
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

bool FourCCFromText(const std::string& text, uint32_t& code) {
  if (text.size() != 4) return false;
  code = (static_cast<uint32_t>(static_cast<unsigned char>(text[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(text[3]));
  return true;
}

// A rate like 29.97 or 59.94 is N × 1000 / 1001 frames per second; a whole
// number is N / 1; anything else is kept to a thousandth.
bool FrameRateFromText(const std::string& text, int64_t& timeScale, int64_t& frameDuration) {
  double fps = 0.0;
  if (!ParseDouble(text, fps) || fps < kMinFramesPerSecond || fps > kMaxFramesPerSecond) return false;
  const double nearestWhole = std::round(fps);
  if (std::fabs(fps - nearestWhole) < 1e-9) {
    timeScale = static_cast<int64_t>(nearestWhole) * 1000;
    frameDuration = 1000;
    return true;
  }
  const double ntsc = std::round(fps * 1001.0 / 1000.0);
  if (std::fabs(fps - ntsc * 1000.0 / 1001.0) < 0.005) {
    timeScale = static_cast<int64_t>(ntsc) * 1000;
    frameDuration = 1001;
    return true;
  }
  timeScale = std::llround(fps * 1000.0);
  frameDuration = 1000;
  return true;
}

bool ParseDelay(const std::string& value, double& delay, std::string& error) {
  if (!ParseDouble(value, delay) || delay < 0.0 || delay > HostSimOptions::kMaxDelaySeconds) {
    error = "delay must be 0 ... 10 seconds: " + value;
    return false;
  }
  return true;
}

}  // namespace

bool ParseVideoSource(const std::string& text, VideoSourceOptions& out, std::string& error) {
  out = VideoSourceOptions{};
  out.text = text;
  const std::vector<std::string> parts = Split(text, ':');
  const size_t at = parts[0].find('@');
  const size_t x = parts[0].find('x');
  if (parts.size() < 2 || at == std::string::npos || x == std::string::npos || x > at) {
    error = "--video wants WxH@FPS:FORMAT[:delay=SEC], got " + text;
    return false;
  }
  int64_t width = 0;
  int64_t height = 0;
  if (!ParseInt(parts[0].substr(0, x), width) || !ParseInt(parts[0].substr(x + 1, at - x - 1), height) ||
      width < 1 || height < 1 || width > kMaxVideoDimension || height > kMaxVideoDimension) {
    error = "--video size must be 1 ... 8192 each way: " + text;
    return false;
  }
  out.width = static_cast<int32_t>(width);
  out.height = static_cast<int32_t>(height);
  if (!FrameRateFromText(parts[0].substr(at + 1), out.timeScale, out.frameDuration)) {
    error = "--video frame rate must be 1 ... 240: " + text;
    return false;
  }
  if (parts[1] == "2vuy") {
    out.rasterType = veRasterType::k2vuy;
  } else if (parts[1] == "rgba") {
    out.rasterType = veRasterType::kRgba;
  } else {
    error = "--video format must be 2vuy or rgba: " + text;
    return false;
  }
  for (size_t i = 2; i < parts.size(); ++i) {
    if (parts[i].rfind("delay=", 0) == 0) {
      if (!ParseDelay(parts[i].substr(6), out.delaySeconds, error)) return false;
    } else {
      error = "unknown --video setting '" + parts[i] + "'";
      return false;
    }
  }
  if (out.width < 128 || out.height < 72 || (out.rasterType == veRasterType::k2vuy && out.width % 2 != 0)) {
    error = "--video pictures must be at least 128x72 (and of even width in 2vuy): " + text;
    return false;
  }
  return true;
}

bool ParseAudioSource(const std::string& text, AudioSourceOptions& out, std::string& error) {
  out = AudioSourceOptions{};
  out.text = text;
  const std::vector<std::string> parts = Split(text, ':');
  const size_t at = parts[0].find('@');
  if (parts.size() < 2 || at == std::string::npos) {
    error = "--audio wants FORMAT@RATE:CH[:ppm=N][:drift][:delay=SEC][:tone=HZ[:level=DBFS]], got " + text;
    return false;
  }
  if (!FourCCFromText(parts[0].substr(0, at), out.format) || !ToneGenerator::IsSupportedFormat(out.format)) {
    error = "--audio format must be sowt, fl32, in24, 42ni or 32ni: " + text;
    return false;
  }
  int64_t rate = 0;
  if (!ParseInt(parts[0].substr(at + 1), rate) || rate < ToneGenerator::kMinSampleRate ||
      rate > ToneGenerator::kMaxSampleRate) {
    error = "--audio rate must be 8000 ... 384000: " + text;
    return false;
  }
  out.sampleRate = static_cast<int32_t>(rate);
  int64_t channels = 0;
  if (!ParseInt(parts[1], channels) || channels < 1 || channels > ToneGenerator::kMaxChannels) {
    error = "--audio channels must be 1 ... 32: " + text;
    return false;
  }
  out.channels = static_cast<int32_t>(channels);
  bool hasLevel = false;
  for (size_t i = 2; i < parts.size(); ++i) {
    if (parts[i].rfind("ppm=", 0) == 0) {
      if (!ParseDouble(parts[i].substr(4), out.ppm) || std::fabs(out.ppm) > 10000.0) {
        error = "ppm must be -10000 ... 10000: " + text;
        return false;
      }
    } else if (parts[i] == "drift" || parts[i] == "drift=step" || parts[i] == "drift=smooth") {
      out.driftCorrection = true;
      out.smoothDrift = parts[i] == "drift=smooth";
    } else if (parts[i].rfind("maxpeak=", 0) == 0 || parts[i].rfind("minsinad=", 0) == 0) {
      const bool peak = parts[i][1] == 'a';
      double limit = 0.0;
      if (!ParseDouble(parts[i].substr(peak ? 8 : 9), limit) || !(peak ? limit <= 0.0 : limit >= 0.0)) {
        error = "maxpeak= takes dBFS at most 0, minsinad= dB at least 0: " + text;
        return false;
      }
      (peak ? out.maxResidualPeakDbfs : out.minSinadDb) = limit;
    } else if (parts[i].rfind("delay=", 0) == 0) {
      if (!ParseDelay(parts[i].substr(6), out.delaySeconds, error)) return false;
    } else if (parts[i].rfind("tone=", 0) == 0) {
      // Below both the source's and the output's Nyquist frequency.
      const double nyquist = std::min(out.sampleRate, kaPluginAudioRenderer::kWorkingSampleRate) / 2.0;
      if (!ParseDouble(parts[i].substr(5), out.toneHz) || !(out.toneHz > 0.0 && out.toneHz < nyquist)) {
        error = "tone must be above 0 and below half the source's and the output's rate: " + text;
        return false;
      }
    } else if (parts[i].rfind("level=", 0) == 0) {
      if (!ParseDouble(parts[i].substr(6), out.toneLevelDbfs) ||
          !(out.toneLevelDbfs >= -120.0 && out.toneLevelDbfs <= 0.0)) {
        error = "level must be -120 ... 0 dBFS: " + text;
        return false;
      }
      hasLevel = true;
    } else {
      error = "unknown --audio setting '" + parts[i] + "'";
      return false;
    }
  }
  if (hasLevel && out.toneHz == 0.0) {
    error = "level= sets the level of a tone= source: " + text;
    return false;
  }
  if ((out.maxResidualPeakDbfs || out.minSinadDb) && out.toneHz == 0.0) {
    error = "maxpeak= and minsinad= judge a tone= source: " + text;
    return false;
  }
  return true;
}

void AddDefaultScene(HostSimOptions& options) {
  static const char* const kVideo[] = {"1920x1080@29.97:2vuy", "1280x720@59.94:rgba:delay=0.1"};
  static const char* const kAudio[] = {"sowt@48000:2", "fl32@44100:2:ppm=300:drift", "in24@96000:6"};
  std::string ignored;
  for (const char* text : kVideo) {
    VideoSourceOptions video;
    if (ParseVideoSource(text, video, ignored)) options.video.push_back(video);
  }
  for (const char* text : kAudio) {
    AudioSourceOptions audio;
    if (ParseAudioSource(text, audio, ignored)) options.audio.push_back(audio);
  }
  options.pairs.push_back(SourcePair{1, 0});
}

bool ParsePair(const std::string& text, SourcePair& out, std::string& error) {
  const std::vector<std::string> parts = Split(text, ':');
  int64_t video = 0;
  int64_t audio = 0;
  const bool unaligned = parts.size() == 3 && parts[2] == "unaligned";
  if ((parts.size() != 2 && !unaligned) || !ParseInt(parts[0], video) || !ParseInt(parts[1], audio) || video < 1 ||
      video > kMaxSources || audio < 1 || audio > kMaxSources) {
    error = "--pair wants V:A[:unaligned], a video and an audio source numbered from 1, got " + text;
    return false;
  }
  out.align = !unaligned;
  out.video = static_cast<int>(video - 1);
  out.audio = static_cast<int>(audio - 1);
  return true;
}

namespace {

// Every pair names sources that exist, and no source is in two pairs.
bool CheckPairs(const HostSimOptions& options, std::string& error) {
  std::vector<bool> videoPaired(options.video.size(), false);
  std::vector<bool> audioPaired(options.audio.size(), false);
  for (const SourcePair& pair : options.pairs) {
    const std::string label = "--pair " + std::to_string(pair.video + 1) + ":" + std::to_string(pair.audio + 1);
    if (static_cast<size_t>(pair.video) >= options.video.size() ||
        static_cast<size_t>(pair.audio) >= options.audio.size()) {
      error = label + " names a source that was not given";
      return false;
    }
    if (videoPaired[static_cast<size_t>(pair.video)] || audioPaired[static_cast<size_t>(pair.audio)]) {
      error = label + " names a source that is already paired";
      return false;
    }
    if (options.audio[static_cast<size_t>(pair.audio)].toneHz > 0.0) {
      error = label + ": one tone names no instant beyond its own cycle; pair a source without tone=";
      return false;
    }
    videoPaired[static_cast<size_t>(pair.video)] = true;
    audioPaired[static_cast<size_t>(pair.audio)] = true;
  }
  return true;
}

}  // namespace

bool ParseInput(const std::string& text, InputOptions& out, std::string& error) {
  out = InputOptions{};
  out.text = text;
  out.url = text;
  // The URL keeps its own colons (udp://127.0.0.1:5000); only a last
  // ":loop" or ":stop" is ours.
  for (const char* suffix : {":loop", ":stop"}) {
    const std::string ending = suffix;
    if (out.url.size() >= ending.size() && out.url.compare(out.url.size() - ending.size(), ending.size(), ending) == 0) {
      out.loop = ending == ":loop";
      out.url.resize(out.url.size() - ending.size());
      break;
    }
  }
  if (out.url.empty()) {
    error = "--input wants URL[:loop|:stop], got " + text;
    return false;
  }
  return true;
}

bool ParseRecord(const std::string& text, RecordOptions& out, std::string& error) {
  out = RecordOptions{};
  out.text = text;
  out.path = text;
  const size_t at = text.rfind(":source=");
  if (at != std::string::npos) {
    int64_t input = 0;
    if (!ParseInt(text.substr(at + 8), input) || input < 1 || input > kMaxSources) {
      error = "--record source= wants an input numbered from 1: " + text;
      return false;
    }
    out.input = static_cast<int>(input - 1);
    out.path = text.substr(0, at);
  }
  auto endsWith = [&](const char* suffix) {
    const std::string ending = suffix;
    if (out.path.size() <= ending.size()) return false;
    for (size_t i = 0; i < ending.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(out.path[out.path.size() - ending.size() + i])) != ending[i]) {
        return false;
      }
    }
    return true;
  };
  if (!endsWith(".mkv") && !endsWith(".ts")) {
    error = "--record wants a .mkv or .ts file: " + text;
    return false;
  }
  return true;
}

bool ParseHostSimOptions(int argc, const char* const* argv, HostSimOptions& options, std::string& error) {
  options = HostSimOptions{};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    const bool hasValue = i + 1 < argc && argv[i + 1];
    auto value = [&]() -> std::string { return hasValue ? argv[++i] : std::string(); };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--simulated") {
      options.simulated = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--duration" || arg == "--video" || arg == "--audio" || arg == "--tolerance" ||
               arg == "--out" || arg == "--pair" || arg == "--input" || arg == "--record") {
      if (!hasValue) {
        error = arg + " needs a value";
        return false;
      }
      const std::string text = value();
      if (arg == "--duration") {
        if (!ParseDouble(text, options.durationSeconds) || options.durationSeconds <= 0.0 ||
            options.durationSeconds > HostSimOptions::kMaxDurationSeconds) {
          error = "--duration must be a number of seconds above 0 (at most a day): " + text;
          return false;
        }
      } else if (arg == "--video") {
        VideoSourceOptions video;
        if (!ParseVideoSource(text, video, error)) return false;
        options.video.push_back(video);
      } else if (arg == "--audio") {
        AudioSourceOptions audio;
        if (!ParseAudioSource(text, audio, error)) return false;
        options.audio.push_back(audio);
      } else if (arg == "--input") {
        InputOptions input;
        if (!ParseInput(text, input, error)) return false;
        options.inputs.push_back(input);
      } else if (arg == "--record") {
        if (!ParseRecord(text, options.record, error)) return false;
      } else if (arg == "--pair") {
        SourcePair pair;
        if (!ParsePair(text, pair, error)) return false;
        options.pairs.push_back(pair);
      } else if (arg == "--tolerance") {
        int64_t periods = 0;
        if (!ParseInt(text, periods) || periods < 1 || periods > kMaxTolerancePeriods) {
          error = "--tolerance must be 1 ... 1000 periods: " + text;
          return false;
        }
        options.tolerancePeriods = static_cast<int>(periods);
      } else {
        if (text.empty()) {
          error = "--out needs a folder";
          return false;
        }
        options.outDir = text;
      }
    } else {
      error = "unknown option '" + arg + "' (see --help)";
      return false;
    }
  }
  if (options.video.size() > static_cast<size_t>(kMaxSources) || options.audio.size() > static_cast<size_t>(kMaxSources)) {
    error = "at most 16 video and 16 audio sources";
    return false;
  }
  if (options.inputs.size() > static_cast<size_t>(kMaxSources)) {
    error = "at most 16 inputs";
    return false;
  }
  if (options.record.input >= static_cast<int>(options.inputs.size())) {
    error = "--record " + options.record.text + " names an input that was not given";
    return false;
  }
  if (options.video.empty() && options.audio.empty() && options.inputs.empty()) {
    if (!options.pairs.empty()) {
      error = "--pair needs the sources it names";
      return false;
    }
    AddDefaultScene(options);
  }
  return CheckPairs(options, error);
}

const char* HostSimUsage() {
  return "usage: kasp2-hostsim [options]\n"
         "\n"
         "Runs live test sources through libkasp2 the way a mixing host does: one buffer\n"
         "group, each source on its own delivery thread, and an engine thread that cues\n"
         "every renderer once per 1/30 s output period and runs a filter chain over the\n"
         "video through the group's filter manager. Prints a status line per second and\n"
         "a summary; writes one WAV per audio source and a PNG contact sheet of the video.\n"
         "\n"
         "  --duration S      run for S seconds (default 5)\n"
         "  --video WxH@FPS:FORMAT[:delay=SEC]\n"
         "                    add a test-pattern source; FORMAT 2vuy or rgba; FPS such as\n"
         "                    25, 29.97, 59.94; delay = live delay in seconds (repeatable)\n"
         "  --audio FORMAT@RATE:CH[:ppm=N][:drift[=step|smooth]][:delay=SEC][:tone=HZ\n"
         "          [:level=DBFS][:maxpeak=DBFS][:minsinad=DB]]\n"
         "                    add a tone source; FORMAT sowt, fl32, in24, 42ni or 32ni; its\n"
         "                    clock runs N ppm fast (negative: slow); drift turns drift\n"
         "                    correction on (step: a frame now and then, the default;\n"
         "                    smooth: continuous resampling); delay = live delay in\n"
         "                    seconds; tone = one sine of HZ at DBFS (default -6)\n"
         "                    instead of the default signal; maxpeak / minsinad fail\n"
         "                    the run when the tone's residual peaks above DBFS or its\n"
         "                    SINAD falls below DB (repeatable)\n"
         "  --pair V:A[:unaligned]\n"
         "                    video source V and audio source A (numbered from 1) come\n"
         "                    from one clock: the video takes the audio's ppm, the host\n"
         "                    lines them up (the audio's delay= trims the sound later;\n"
         "                    unaligned: left as they come) and the run measures and\n"
         "                    checks their lip sync (repeatable)\n"
         "  --input URL[:loop|:stop]\n"
         "                    add a media input: a file or network URL (udp://, rtp://,\n"
         "                    srt://, http:// ... as FFmpeg takes it) decoded by the media\n"
         "                    source plug-in, its picture and sound paced by their\n"
         "                    timestamps; at its end it stops (default) or loops; a\n"
         "                    stream that stalls shows blank and silent (repeatable)\n"
         "  --record FILE[:source=N]\n"
         "                    write the program output to FILE: the first video and the\n"
         "                    first audio source (source=N: input N's) as cued, one\n"
         "                    picture and 1600 samples per period; H.264 video (FFV1\n"
         "                    in .mkv, MPEG-2 in .ts without libx264), PCM audio in .mkv,\n"
         "                    SMPTE 302M PCM in .ts\n"
         "  --tolerance N     cue periods of writer silence and backlog the audio cue\n"
         "                    tolerates (default 3)\n"
         "  --simulated       run on a simulated clock, as fast as the CPU allows, with\n"
         "                    every step in a fixed order (the same result on every run)\n"
         "  --out DIR         folder for the WAV files and the contact sheet\n"
         "                    (default ./hostsim-out)\n"
         "  --quiet           no status lines, no statistics table; summary only\n"
         "  --help            this text\n"
         "\n"
         "Without --video, --audio and --input the default scene runs:\n"
         "1920x1080@29.97:2vuy, 1280x720@59.94:rgba:delay=0.1, sowt@48000:2,\n"
         "fl32@44100:2:ppm=300:drift, in24@96000:6, with --pair 2:1 (the 720p picture\n"
         "and the 48 kHz sound).\n"
         "\n"
         "Audio sources at 48000 without drift correction send a sample counter (a\n"
         "full-scale ramp, checked frame by frame); the others send a 440 Hz and 221 Hz\n"
         "sine, checked against a fit of both; a tone= source sends its one sine.\n"
         "\n"
         "An input's picture and sound are checked as unknown content: they must show\n"
         "frames and sound; blank frames, drop-outs and re-primes count against it\n"
         "only while its stream neither stalled nor ended.\n"
         "\n"
         "Exit status: 0 when every check passed; 1 when audio lost or repeated samples\n"
         "beyond the expected priming and drift corrections, underran after priming, or\n"
         "video showed a blank frame after its first frame, or a pair's sound was more\n"
         "than 40 ms early or 60 ms late against its picture; 2 for a bad command line;\n"
         "3 when the run could not be set up (an input that cannot be opened, a\n"
         "recording that cannot be written).\n";
}
