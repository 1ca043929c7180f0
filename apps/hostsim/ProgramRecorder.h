#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kasp2/kasp2.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

struct SwsContext;

// Records the host's program output: the video and the audio that the
// engine cued from one source, as the host would put them on air, encoded at
// the output rate: one picture per output period (30 per second) and 1600
// frames of 48 kHz 16-bit audio per period, each with its period's
// timestamp. A ".mkv" path gets H.264 (libx264; FFV1 without it) and PCM in
// Matroska, a ".ts" path H.264 (MPEG-2 video without libx264) and SMPTE 302M
// PCM in MPEG-TS. A
// period without a picture is recorded black and one without audio silent,
// so the file lasts exactly as long as the run.
//
// The engine thread offers each period (a reference to the cued picture, a
// copy of the cued audio) into a ring of kQueuePeriods slots and never
// waits; the encoder thread converts, encodes and writes. A period that finds
// the ring full is counted as an overflow and written black and silent, so
// nothing is lost without a count and the length stays right.
//
// Owns the muxer, both encoders, the scaler, the ring and the encoder thread.
// Threads: Open and Finish from the controlling thread (before and after the
// engine runs); Offer* and CommitPeriod from the engine thread; the counters
// from any thread.
class ProgramRecorder {
 public:
  static constexpr int kPeriodsPerSecond = 30;
  static constexpr int32_t kSampleRate = 48000;
  static constexpr int32_t kFramesPerPeriod = kSampleRate / kPeriodsPerSecond;  // 1600
  static constexpr size_t kQueuePeriods = 30;                                   // one second of program
  static constexpr int32_t kMaxChannels = 64;

  enum class Container { kMatroska, kTransportStream };

  struct Settings {
    std::string path;
    int32_t width = 1280;  // the recorded picture; rounded down to even
    int32_t height = 720;
    int32_t channels = 2;  // the recorded audio (MPEG-TS: rounded up to even, at most 8)
  };

  // The container a path's extension names (".mkv", ".ts", any case); false
  // for any other.
  static bool ContainerForPath(const std::string& path, Container* container);

  ProgramRecorder();
  ~ProgramRecorder();
  ProgramRecorder(const ProgramRecorder&) = delete;
  ProgramRecorder& operator=(const ProgramRecorder&) = delete;

  // Creates the file, opens both encoders, writes the header and starts the
  // encoder thread. False with a reason in `error`, holding nothing and with
  // no thread, for an unknown extension, a size or channel count out of
  // range, an encoder that is missing, or a file that cannot be written.
  bool Open(const Settings& settings, std::string& error);
  bool IsOpen() const { return muxer_ != nullptr; }

  // ---- engine thread ----------------------------------------------------------
  // This period's picture (a reference is kept until it is encoded) and
  // audio (copied: `frames` frames of `channels` interleaved samples; the
  // recorded channels are taken in order, missing ones silent, and a short
  // period is padded with silence). A second offer replaces the first.
  void OfferVideo(kaBuffer2& frame);
  void OfferAudio(const int16_t* samples, int32_t frames, int32_t channels);
  // Ends the period: what was offered goes to the encoder thread, or, with
  // the ring full, the period is counted as an overflow.
  void CommitPeriod();

  // ---- the simulated clock's driver, between steps ------------------------------------
  // Waits until the ring has room for a period: a simulated run, whose clock
  // waits for nobody, waits for the encoder here instead of overflowing
  // (the engine itself never waits). Returns at once when not running.
  void WaitForRoom();

  // ---- controlling thread, after the engine stopped --------------------------------
  // Writes what the ring holds, pads the file to `periods` periods with black
  // and silence, flushes the encoders, writes the trailer and closes the
  // file. False with a reason in `error` when anything failed to encode or
  // write (the file is closed all the same). Once only.
  bool Finish(uint64_t periods, std::string& error);

  const std::string& VideoCodec() const { return videoCodec_; }
  const std::string& AudioCodec() const { return audioCodec_; }
  const Settings& RecordedSettings() const { return settings_; }
  // Periods written to the file (black ones included), overflows, periods
  // whose picture had a layout that could not be converted (written black),
  // and encode or write errors.
  uint64_t PeriodsWritten() const { return periodsWritten_.load(std::memory_order_relaxed); }
  uint64_t Overflows() const { return overflows_.load(std::memory_order_relaxed); }
  uint64_t Unconvertible() const { return unconvertible_.load(std::memory_order_relaxed); }
  uint64_t Errors() const { return errors_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    kaRef<kaBuffer2> video;
    std::vector<int16_t> audio;  // kFramesPerPeriod × channels, made once
    bool hasAudio = false;
    uint64_t period = 0;
  };

  bool OpenVideoEncoder(Container container, std::string& error);
  bool OpenAudioEncoder(Container container, std::string& error);
  AVStream* AddStream(AVCodecContext* encoder, std::string& error);
  void Close();
  // The slot that this period's offers fill, claimed at the first offer;
  // null when the ring is full.
  Slot* ClaimSlot();
  void EncoderLoop();
  void WritePeriod(const Slot* slot, uint64_t period);
  // Converts `frame` into picture_; false (nothing written) for a layout the
  // recorder cannot read.
  bool ConvertPicture(kaBuffer2& frame);
  void Encode(AVCodecContext* encoder, AVStream* stream, const AVFrame* frame);

  Settings settings_;
  std::string videoCodec_;
  std::string audioCodec_;

  // Encoder thread (after Open).
  AVFormatContext* muxer_ = nullptr;
  AVCodecContext* videoEncoder_ = nullptr;
  AVCodecContext* audioEncoder_ = nullptr;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
  SwsContext* scaler_ = nullptr;
  AVFrame* picture_ = nullptr;  // converted pictures, reused
  AVFrame* black_ = nullptr;    // a black picture, never written again
  AVFrame* sound_ = nullptr;    // one period of audio, reused
  AVPacket* packet_ = nullptr;
  uint64_t written_ = 0;

  // The ring: the engine thread owns slots from tail_ on, the encoder thread
  // those from head_ to tail_; each side publishes its index with release.
  std::vector<Slot> slots_;
  std::atomic<uint64_t> head_{0};
  std::atomic<uint64_t> tail_{0};
  // Engine thread: the period being offered and its slot.
  uint64_t nextPeriod_ = 0;
  bool claimed_ = false;
  Slot* claimedSlot_ = nullptr;

  std::thread encoderThread_;
  std::atomic<bool> finishing_{false};
  std::atomic<uint64_t> totalPeriods_{0};
  std::mutex wakeLock_;               // only for the waits; the ring takes no lock
  std::condition_variable wake_;      // the encoder thread waits for periods
  std::condition_variable roomMade_;  // WaitForRoom waits for the encoder

  std::atomic<uint64_t> periodsWritten_{0};
  std::atomic<uint64_t> overflows_{0};
  std::atomic<uint64_t> unconvertible_{0};
  std::atomic<uint64_t> errors_{0};
};
