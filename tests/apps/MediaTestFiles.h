#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Media for the tests, made with the ffmpeg command from its own generated
// sources (testsrc2, sine) in a temporary folder, and read back with
// ffprobe. Nothing is shipped: each file is made once per test process.
namespace mediatest {

// A file the tests make: its name and ffmpeg's arguments for it.
struct MediaFile { const char* name; const char* args; };
// H.264 and AAC (float planar) at 30 and 48 kHz mono, 3 s.
inline constexpr MediaFile kMp4{"clip.mp4",
                                "-f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i "
                                "sine=frequency=440:sample_rate=48000 -t 3 -c:v libx264 -g 15 -pix_fmt yuv420p -c:a aac"};
// MPEG-2 video at 25 and MP2 (16-bit planar) at 44.1 kHz stereo, 2 s.
inline constexpr MediaFile kTs{"clip.ts",
                               "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
                               "sine=frequency=1000:sample_rate=44100 -t 2 -c:v mpeg2video -c:a mp2 -ac 2"};

// True when both the ffmpeg and the ffprobe commands run.
bool HaveTools();
// The folder the files go in (made on first use).
std::string Folder();
// Makes Folder()/name with `ffmpeg -y -v error <args> <path>` unless it
// exists; returns its path, or empty when ffmpeg failed.
std::string Make(const std::string& name, const std::string& args);
inline std::string Make(const MediaFile& file) { return Make(file.name, file.args); }
// Runs `command` through the shell; its standard output in `output`.
// False when it exits non-zero. A command ending in '&' (a stream sender)
// runs on in the background, on its own, until it ends by itself.
bool Run(const std::string& command, std::string* output = nullptr);

// What ffprobe finds in a file: its first video and first audio stream,
// their frames counted by decoding, and the container's duration.
struct Facts {
  int videoStreams = 0, audioStreams = 0;
  std::string videoCodec, audioCodec;
  int64_t videoFrames = 0, audioSamples = 0;
  int32_t sampleRate = 0, channels = 0;
  double duration = 0.0;
};
bool Probe(const std::string& path, Facts* facts);
// The largest absolute 16-bit sample of the file's first audio stream from
// `from` to `to` seconds, any channel (-1 when it cannot be decoded).
int Peak(const std::string& path, double from, double to);

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeUdpPort();

}  // namespace mediatest
