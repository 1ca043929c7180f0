#include "MediaTestFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

extern char** environ;

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
  static const std::string folder = [] {
    const std::filesystem::path path = std::filesystem::path(::testing::TempDir()) / "kasp2-media";
    std::filesystem::create_directories(path);
    return path.string();
  }();
  return folder;
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
  if (!Run("ffprobe -v error -count_frames -show_entries "
           "stream=index,codec_type,codec_name,width,height,sample_rate,channels,nb_read_frames:format=duration "
           "'" +
               path + "'",
           &text)) {
    return false;
  }
  // [STREAM] ... [/STREAM] blocks of key=value lines, by stream index (an
  // MPEG-TS lists each stream twice: in its program and alone), and the
  // [FORMAT] block.
  std::map<int, std::map<std::string, std::string>> streams;
  std::map<std::string, std::string> block;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == "[STREAM]" || line == "[FORMAT]") {
      block.clear();
    } else if (line == "[/STREAM]") {
      streams[std::atoi(block["index"].c_str())] = block;
    } else if (line == "[/FORMAT]") {
      facts->duration = std::atof(block["duration"].c_str());
    } else if (const size_t at = line.find('='); at != std::string::npos) {
      block[line.substr(0, at)] = line.substr(at + 1);
    }
  }
  for (auto& entry : streams) {
    std::map<std::string, std::string>& stream = entry.second;
    auto number = [&stream](const char* key) { return std::atoll(stream[key].c_str()); };
    if (stream["codec_type"] == "video" && ++facts->videoStreams == 1) {
      facts->videoCodec = stream["codec_name"];
      facts->width = static_cast<int32_t>(number("width"));
      facts->height = static_cast<int32_t>(number("height"));
      facts->videoFrames = number("nb_read_frames");
    } else if (stream["codec_type"] == "audio" && ++facts->audioStreams == 1) {
      facts->audioCodec = stream["codec_name"];
      facts->sampleRate = static_cast<int32_t>(number("sample_rate"));
      facts->channels = static_cast<int32_t>(number("channels"));
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

std::vector<int16_t> DecodeAudio(const std::string& path, int channels) {
  std::string bytes;
  if (!Run("ffmpeg -nostdin -v error -i '" + path + "' -map 0:a:0 -f s16le -ac " + std::to_string(channels) + " -",
           &bytes)) {
    return {};
  }
  std::vector<int16_t> samples(bytes.size() / 2);
  std::copy_n(bytes.data(), samples.size() * 2, reinterpret_cast<char*>(samples.data()));
  return samples;
}

int MaxAbs(const std::vector<int16_t>& samples, int channels, int64_t first, int64_t last) {
  int peak = 0;
  const int64_t end = std::min<int64_t>(last * channels, static_cast<int64_t>(samples.size()));
  for (int64_t i = std::max<int64_t>(first, 0) * channels; i < end; ++i) {
    peak = std::max(peak, std::abs(static_cast<int>(samples[static_cast<size_t>(i)])));
  }
  return peak;
}

BackgroundCommand::BackgroundCommand(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

BackgroundCommand::~BackgroundCommand() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
}

int FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
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
