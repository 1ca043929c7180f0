#include "MediaTestFiles.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace mediatest {

bool Run(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  const int status = pclose(pipe);
  if (output) *output = std::move(text);
  return status == 0;
}

bool HaveTools() {
  static const bool have = Run("ffmpeg -version >/dev/null 2>&1") && Run("ffprobe -version >/dev/null 2>&1");
  return have;
}

std::string Folder() {
  // One folder for every test process: the files are the same, and ctest
  // runs each case in a process of its own.
  const std::filesystem::path path = std::filesystem::path(::testing::TempDir()) / "kasp2-media";
  std::filesystem::create_directories(path);
  return path.string();
}

std::string Make(const std::string& name, const std::string& args) {
  const std::string path = Folder() + "/" + name;
  if (std::filesystem::exists(path)) return path;
  // Made aside and renamed into place, so that a process running beside
  // this one sees the whole file or none.
  const std::string part =
      path + ".part-" + std::to_string(getpid()) + std::filesystem::path(name).extension().string();
  if (!Run("ffmpeg -nostdin -y -v error " + args + " '" + part + "' 2>&1")) {
    std::filesystem::remove(part);
    return "";
  }
  std::error_code ignored;
  std::filesystem::rename(part, path, ignored);
  return std::filesystem::exists(path) ? path : "";
}

bool Probe(const std::string& path, Facts* facts) {
  *facts = Facts{};
  std::string text;
  if (!Run("ffprobe -v error -count_frames -of compact -show_entries "
           "stream=index,codec_type,codec_name,sample_rate,channels,nb_read_frames:format=duration '" + path + "'",
           &text)) {
    return false;
  }
  // One line of key=value fields a stream, by stream index (an MPEG-TS lists
  // each stream twice: in its program and alone), and one for the format.
  std::map<int, std::map<std::string, std::string>> streams;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::map<std::string, std::string> fields;
    std::istringstream parts(line);
    for (std::string part; std::getline(parts, part, '|');) {
      if (const size_t at = part.find('='); at != std::string::npos) fields[part.substr(0, at)] = part.substr(at + 1);
    }
    if (fields.count("index")) streams[std::atoi(fields["index"].c_str())] = fields;
    if (fields.count("duration")) facts->duration = std::atof(fields["duration"].c_str());
  }
  for (auto& [index, stream] : streams) {
    if (stream["codec_type"] == "video" && ++facts->videoStreams == 1) {
      facts->videoCodec = stream["codec_name"];
      facts->videoFrames = std::atoll(stream["nb_read_frames"].c_str());
    } else if (stream["codec_type"] == "audio" && ++facts->audioStreams == 1) {
      facts->audioCodec = stream["codec_name"];
      facts->sampleRate = std::atoi(stream["sample_rate"].c_str());
      facts->channels = std::atoi(stream["channels"].c_str());
    }
  }
  if (facts->audioStreams > 0 &&
      Run("ffprobe -v error -select_streams a:0 -show_entries frame=nb_samples -of csv=p=0 '" + path + "'", &text)) {
    std::istringstream samples(text);
    int64_t count = 0;
    while (samples >> count) facts->audioSamples += count;
  }
  return facts->videoStreams + facts->audioStreams > 0;
}

int Peak(const std::string& path, double from, double to) {
  std::string bytes;
  if (!Run("ffmpeg -nostdin -v error -i '" + path + "' -map 0:a:0 -ss " + std::to_string(from) + " -to " +
               std::to_string(to) + " -f s16le -",
           &bytes)) {
    return -1;
  }
  int peak = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    peak = std::max(peak, std::abs(static_cast<int16_t>(static_cast<uint8_t>(bytes[i]) | bytes[i + 1] << 8)));
  }
  return peak;
}

int FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: any free one
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace mediatest
