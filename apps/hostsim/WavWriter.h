#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// Writes 16-bit PCM to a RIFF/WAVE file as it arrives: the header goes out
// at Open with empty sizes, which Close fills in. Owns the file. Not
// thread-safe; the engine thread writes.
class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter() { Close(); }
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates (or truncates) `path`. False, with no file open, when the file
  // cannot be made or the channel count (1 … 255) or rate is out of range.
  bool Open(const std::string& path, int32_t channels, int32_t sampleRate);
  // Appends `frames` interleaved frames of the opened channel count. False
  // when no file is open, the arguments are bad or the write fails (the file
  // is then closed with what it had).
  bool Write(const int16_t* samples, int64_t frames);
  // Fills in the sizes and closes; true when the file is complete. Does
  // nothing (and returns false) when no file is open.
  bool Close();

  bool IsOpen() const { return file_ != nullptr; }
  int64_t FramesWritten() const { return frames_; }

 private:
  FILE* file_ = nullptr;
  int32_t channels_ = 0;
  int64_t frames_ = 0;
};
