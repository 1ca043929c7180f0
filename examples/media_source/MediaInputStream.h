#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// Opens a file or network URL with libavformat (any protocol FFmpeg knows:
// plain files, udp, rtp, srt, http ...; the URL is passed through as given)
// and decodes its best video and best audio stream with libavcodec, one
// decoded frame per call. Every blocking FFmpeg call runs under an interrupt
// callback that gives up when the owner's stop flag rises or the call's
// deadline passes; deadlines are real (steady-clock) time, since they guard
// real blocking even when the foundation clock is simulated.
//
// Owns the demuxer, both decoders, one AVPacket and one AVFrame, reused for
// every frame. Not thread-safe: one thread (a source's decode thread, or the
// simulated driver) uses it; the stop flag it watches may be raised from any
// thread and must outlive it.
class MediaInputStream {
 public:
  // What Next found.
  enum class Result {
    kFrame,    // Frame() holds a decoded picture or block of audio
    kEnd,      // the input ended and both decoders are drained
    kStalled,  // no packet arrived within the read time-out
    kStopped,  // the stop flag rose
  };

  // The streams found by Open. Video: size, pixel format and time base of
  // the best video stream, its nominal frame length in that time base (0
  // when unknown). Audio: rate, channels and sample format of the decoder.
  struct Info {
    bool hasVideo = false;
    int32_t width = 0;
    int32_t height = 0;
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    AVRational videoTimeBase{0, 1};
    int64_t frameDuration = 0;
    bool hasAudio = false;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
    AVRational audioTimeBase{0, 1};
    // The container's start time in microseconds, or AV_NOPTS_VALUE.
    int64_t startMicros = AV_NOPTS_VALUE;
    bool seekable = false;
  };

  explicit MediaInputStream(const std::atomic<bool>& stop);
  ~MediaInputStream();
  MediaInputStream(const MediaInputStream&) = delete;
  MediaInputStream& operator=(const MediaInputStream&) = delete;

  // Opens `url`, reads its stream information and opens a decoder for the
  // best video and the best audio stream, all within `timeoutMicros` of real
  // time. True when at least one of them can be decoded. On failure returns
  // false with a one-line reason in `error` and holds nothing (a stream that
  // was open is closed first in any case).
  bool Open(const std::string& url, int64_t timeoutMicros, std::string& error);
  void Close();
  bool IsOpen() const { return format_ != nullptr; }
  const Info& GetInfo() const { return info_; }

  // Reads and decodes until a frame comes out of either decoder, each read
  // bounded by `readTimeoutMicros` of real time. kFrame leaves the frame in
  // Frame() until the next call; at the end of the input both decoders are
  // drained before kEnd. A packet the decoder refuses, a frame it marks
  // damaged and a read error are counted (DecodeErrors) and skipped; a read
  // error ends the input as the end of file does. Calling it when not open
  // returns kEnd.
  Result Next(int64_t readTimeoutMicros);
  const AVFrame& Frame() const { return *frame_; }
  bool FrameIsVideo() const { return frameIsVideo_; }
  // The frame's time in microseconds of the stream (best-effort timestamp),
  // AV_NOPTS_VALUE when it has none.
  int64_t FrameMicros() const;

  // Seeks back to the start and flushes both decoders. False when the input
  // cannot seek (a live stream): the caller opens it again instead.
  bool Rewind();

  // Packets refused, damaged frames and read errors so far.
  uint64_t DecodeErrors() const { return decodeErrors_; }

 private:
  struct Decoder {
    AVCodecContext* context = nullptr;
    int streamIndex = -1;
    bool drained = false;
  };

  static int InterruptCallback(void* opaque);
  void Arm(int64_t timeoutMicros);
  bool OpenDecoder(AVMediaType type, Decoder& decoder);
  // Sends `packet` (null: end of input) to `decoder`; counts a refusal.
  void Send(Decoder& decoder, const AVPacket* packet);
  // Takes a frame from `decoder`: true with frame_ filled; false when it has
  // none now (marks it drained at its end).
  bool Receive(Decoder& decoder);

  const std::atomic<bool>& stop_;
  std::chrono::steady_clock::time_point deadline_{};
  bool timedOut_ = false;  // the last interrupt was the deadline's

  AVFormatContext* format_ = nullptr;
  Decoder video_;
  Decoder audio_;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  bool frameIsVideo_ = false;
  bool draining_ = false;       // the input ended; the decoders are being emptied
  Decoder* pending_ = nullptr;  // the decoder fed last, which may hold frames
  Info info_;
  uint64_t decodeErrors_ = 0;
};
