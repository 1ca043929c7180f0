#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Media for the tests, made with the ffmpeg command from its own generated
// sources (testsrc2, sine) in a temporary folder, and read back with
// ffprobe. Nothing is shipped: each file is made once per test process.
namespace mediatest {

// True when both the ffmpeg and the ffprobe commands run.
bool HaveTools();
// The folder the files go in (made on first use).
std::string Folder();
// Makes Folder()/name with `ffmpeg -y -v error <args> <path>` unless it
// exists; returns its path, or empty when ffmpeg failed.
std::string Make(const std::string& name, const std::string& args);
// Runs `command` through the shell; its standard output in `output`.
// False when it exits non-zero.
bool Run(const std::string& command, std::string* output = nullptr);

// What ffprobe finds in a file: its first video and first audio stream,
// their frames counted by decoding, and the container's duration.
struct Facts {
  int videoStreams = 0;
  int audioStreams = 0;
  std::string videoCodec;
  std::string audioCodec;
  int64_t videoFrames = 0;
  int64_t audioSamples = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t sampleRate = 0;
  int32_t channels = 0;
  double duration = 0.0;
};
bool Probe(const std::string& path, Facts* facts);
// The file's first audio stream decoded to 16-bit samples, `channels`
// interleaved (empty when it cannot be decoded).
std::vector<int16_t> DecodeAudio(const std::string& path, int channels);
// The largest absolute sample of frames [first, last) of interleaved audio.
int MaxAbs(const std::vector<int16_t>& samples, int channels, int64_t first, int64_t last);

// A command running in the background (a stream sender); killed and reaped
// when the object goes.
class BackgroundCommand {
 public:
  explicit BackgroundCommand(const std::vector<std::string>& arguments);
  ~BackgroundCommand();
  BackgroundCommand(const BackgroundCommand&) = delete;
  BackgroundCommand& operator=(const BackgroundCommand&) = delete;
  bool Running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeUdpPort();

}  // namespace mediatest
