#include "WavWriter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kHeaderBytes = 44;
// RIFF sizes are 32-bit: the data stops growing before they overflow.
constexpr int64_t kMaxDataBytes = 0xFFFFFFFFLL - kHeaderBytes;

void Put16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
void Put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void MakeHeader(uint8_t (&header)[kHeaderBytes], int32_t channels, int32_t rate, uint32_t dataBytes) {
  std::memcpy(header, "RIFF", 4);
  Put32(header + 4, static_cast<uint32_t>(36 + dataBytes));
  std::memcpy(header + 8, "WAVEfmt ", 8);
  Put32(header + 16, 16);  // PCM format chunk
  Put16(header + 20, 1);   // integer PCM
  Put16(header + 22, static_cast<uint32_t>(channels));
  Put32(header + 24, static_cast<uint32_t>(rate));
  Put32(header + 28, static_cast<uint32_t>(rate) * static_cast<uint32_t>(channels) * 2u);
  Put16(header + 32, static_cast<uint32_t>(channels) * 2u);
  Put16(header + 34, 16);
  std::memcpy(header + 36, "data", 4);
  Put32(header + 40, dataBytes);
}

}  // namespace

bool WavWriter::Open(const std::string& path, int32_t channels, int32_t sampleRate) {
  Close();
  if (channels < 1 || channels > 255 || sampleRate < 1) return false;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  channels_ = channels;
  frames_ = 0;
  uint8_t header[kHeaderBytes];
  MakeHeader(header, channels, sampleRate, 0);
  // The rate is kept in the header written now; Close rewrites the sizes.
  if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) {
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

bool WavWriter::Write(const int16_t* samples, int64_t frames) {
  if (!file_ || !samples || frames < 0) return false;
  if ((frames_ + frames) * channels_ * 2 > kMaxDataBytes) return false;
  // Samples are written little-endian whatever the machine.
  uint8_t chunk[4096];
  int64_t done = 0;
  const int64_t count = frames * channels_;
  while (done < count) {
    const int64_t n = std::min<int64_t>(count - done, sizeof chunk / 2);
    for (int64_t i = 0; i < n; ++i) Put16(chunk + 2 * i, static_cast<uint16_t>(samples[done + i]));
    if (std::fwrite(chunk, 1, static_cast<size_t>(n * 2), file_) != static_cast<size_t>(n * 2)) {
      Close();
      return false;
    }
    done += n;
  }
  frames_ += frames;
  return true;
}

bool WavWriter::Close() {
  if (!file_) return false;
  bool ok = true;
  uint8_t sizes[4];
  const auto dataBytes = static_cast<uint32_t>(frames_ * channels_ * 2);
  Put32(sizes, 36 + dataBytes);
  ok = std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(sizes, 1, 4, file_) == 4;
  Put32(sizes, dataBytes);
  ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(sizes, 1, 4, file_) == 4;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}
