#include "MediaInputStream.h"

#include <algorithm>
#include <thread>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

namespace {

constexpr AVRational kMicrosTimeBase{1, 1'000'000};
// A seek in a file never waits on a network; this only bounds a broken one.
constexpr int64_t kSeekTimeoutMicros = 5'000'000;
// How long to wait before asking a protocol that answered "try again" once more.
constexpr std::chrono::milliseconds kRetryPause{1};

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

MediaInputStream::MediaInputStream(const std::atomic<bool>& stop) : stop_(stop) {}

MediaInputStream::~MediaInputStream() {
  Close();
  av_packet_free(&packet_);
  av_frame_free(&frame_);
}

int MediaInputStream::InterruptCallback(void* opaque) {
  auto* self = static_cast<MediaInputStream*>(opaque);
  if (self->stop_.load(std::memory_order_relaxed)) return 1;
  if (std::chrono::steady_clock::now() >= self->deadline_) {
    self->timedOut_ = true;
    return 1;
  }
  return 0;
}

void MediaInputStream::Arm(int64_t timeoutMicros) {
  timedOut_ = false;
  deadline_ = std::chrono::steady_clock::now() + std::chrono::microseconds(std::max<int64_t>(timeoutMicros, 0));
}

bool MediaInputStream::OpenDecoder(AVMediaType type, Decoder& decoder) {
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(format_, type, -1, -1, &codec, 0);
  if (index < 0 || !codec) return false;
  AVCodecContext* context = avcodec_alloc_context3(codec);
  if (!context) return false;
  if (avcodec_parameters_to_context(context, format_->streams[index]->codecpar) < 0 ||
      avcodec_open2(context, codec, nullptr) < 0) {
    avcodec_free_context(&context);
    return false;
  }
  decoder.context = context;
  decoder.streamIndex = index;
  decoder.drained = false;
  return true;
}

bool MediaInputStream::Open(const std::string& url, int64_t timeoutMicros, std::string& error) {
  Close();
  if (!packet_) packet_ = av_packet_alloc();
  if (!frame_) frame_ = av_frame_alloc();
  format_ = avformat_alloc_context();
  if (!packet_ || !frame_ || !format_) {
    avformat_free_context(format_);
    format_ = nullptr;
    error = "out of memory";
    return false;
  }
  format_->interrupt_callback = {&MediaInputStream::InterruptCallback, this};
  Arm(timeoutMicros);
  // On failure avformat_open_input frees the context it was given.
  int result = avformat_open_input(&format_, url.c_str(), nullptr, nullptr);
  if (result < 0) {
    format_ = nullptr;
    error = "cannot open " + url + ": " + (timedOut_ ? "timed out" : ErrorText(result));
    return false;
  }
  result = avformat_find_stream_info(format_, nullptr);
  if (result < 0) {
    error = "cannot read the streams of " + url + ": " + (timedOut_ ? "timed out" : ErrorText(result));
    Close();
    return false;
  }
  const bool hasVideo = OpenDecoder(AVMEDIA_TYPE_VIDEO, video_);
  const bool hasAudio = OpenDecoder(AVMEDIA_TYPE_AUDIO, audio_);
  if (!hasVideo && !hasAudio) {
    error = url + " has no video or audio stream that can be decoded";
    Close();
    return false;
  }
  info_ = Info{};
  if (hasVideo) {
    const AVStream* stream = format_->streams[video_.streamIndex];
    info_.hasVideo = true;
    info_.width = video_.context->width;
    info_.height = video_.context->height;
    info_.pixelFormat = video_.context->pix_fmt;
    info_.videoTimeBase = stream->time_base;
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0 && stream->time_base.num > 0) {
      info_.frameDuration = av_rescale_q(1, av_inv_q(rate), stream->time_base);
    }
  }
  if (hasAudio) {
    info_.hasAudio = true;
    info_.sampleRate = audio_.context->sample_rate;
    info_.channels = audio_.context->ch_layout.nb_channels;
    info_.sampleFormat = audio_.context->sample_fmt;
    info_.audioTimeBase = format_->streams[audio_.streamIndex]->time_base;
  }
  info_.startMicros = format_->start_time;  // AV_TIME_BASE is microseconds
  info_.seekable = format_->pb && (format_->pb->seekable & AVIO_SEEKABLE_NORMAL) != 0;
  draining_ = false;
  pending_ = nullptr;
  return true;
}

void MediaInputStream::Close() {
  avcodec_free_context(&video_.context);
  avcodec_free_context(&audio_.context);
  video_ = Decoder{};
  audio_ = Decoder{};
  if (format_) avformat_close_input(&format_);
  if (packet_) av_packet_unref(packet_);
  if (frame_) av_frame_unref(frame_);
  pending_ = nullptr;
  draining_ = false;
  info_ = Info{};
}

void MediaInputStream::Send(Decoder& decoder, const AVPacket* packet) {
  const int result = avcodec_send_packet(decoder.context, packet);
  if (result < 0 && result != AVERROR_EOF) ++decodeErrors_;
  pending_ = &decoder;
}

bool MediaInputStream::Receive(Decoder& decoder) {
  av_frame_unref(frame_);
  const int result = avcodec_receive_frame(decoder.context, frame_);
  if (result == 0) {
    if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0) ++decodeErrors_;
    frameIsVideo_ = &decoder == &video_;
    return true;
  }
  if (result == AVERROR_EOF) {
    decoder.drained = true;
  } else if (result != AVERROR(EAGAIN)) {
    ++decodeErrors_;
  }
  return false;
}

MediaInputStream::Result MediaInputStream::Next(int64_t readTimeoutMicros) {
  if (!format_) return Result::kEnd;
  // The time-out runs from the call and from each packet read: it measures
  // how long the input went without delivering anything.
  Arm(readTimeoutMicros);
  for (;;) {
    if (stop_.load(std::memory_order_relaxed)) return Result::kStopped;
    // Empty the decoder fed last before reading on: one packet may hold
    // several frames (audio), and B-frames come out late.
    if (pending_) {
      Decoder& decoder = *pending_;
      if (Receive(decoder)) return Result::kFrame;
      pending_ = nullptr;
    }
    if (draining_) {
      for (Decoder* decoder : {&video_, &audio_}) {
        if (decoder->context && !decoder->drained) {
          if (Receive(*decoder)) return Result::kFrame;
          // A decoder that answers EAGAIN while draining has nothing left.
          decoder->drained = true;
        }
      }
      return Result::kEnd;
    }
    av_packet_unref(packet_);
    const int result = av_read_frame(format_, packet_);
    if (result == AVERROR(EAGAIN)) {
      if (std::chrono::steady_clock::now() >= deadline_) return Result::kStalled;
      std::this_thread::sleep_for(kRetryPause);
      continue;
    }
    // A read the callback gave up on may still hand over a packet: the
    // demuxer's flush of what it held when the input went quiet, the stale
    // tail of a dead stream. It is dropped with the stall.
    if (result == AVERROR_EXIT || timedOut_ || stop_.load(std::memory_order_relaxed)) {
      av_packet_unref(packet_);
      if (stop_.load(std::memory_order_relaxed)) return Result::kStopped;
      return Result::kStalled;
    }
    if (result < 0) {
      if (result != AVERROR_EOF) ++decodeErrors_;
      draining_ = true;
      for (Decoder* decoder : {&video_, &audio_}) {
        if (decoder->context) Send(*decoder, nullptr);
      }
      pending_ = nullptr;
      continue;
    }
    Arm(readTimeoutMicros);
    if (packet_->stream_index == video_.streamIndex && video_.context) {
      Send(video_, packet_);
    } else if (packet_->stream_index == audio_.streamIndex && audio_.context) {
      Send(audio_, packet_);
    }
  }
}

int64_t MediaInputStream::FrameMicros() const {
  const int64_t timestamp = frame_->best_effort_timestamp;
  if (timestamp == AV_NOPTS_VALUE || !format_) return AV_NOPTS_VALUE;
  const Decoder& decoder = frameIsVideo_ ? video_ : audio_;
  if (decoder.streamIndex < 0) return AV_NOPTS_VALUE;
  return av_rescale_q(timestamp, format_->streams[decoder.streamIndex]->time_base, kMicrosTimeBase);
}

bool MediaInputStream::Rewind() {
  if (!format_ || !info_.seekable) return false;
  const int64_t start = info_.startMicros == AV_NOPTS_VALUE ? 0 : info_.startMicros;
  Arm(kSeekTimeoutMicros);
  if (avformat_seek_file(format_, -1, INT64_MIN, start, start, 0) < 0 &&
      av_seek_frame(format_, -1, start, AVSEEK_FLAG_BACKWARD) < 0) {
    return false;
  }
  for (Decoder* decoder : {&video_, &audio_}) {
    if (!decoder->context) continue;
    avcodec_flush_buffers(decoder->context);
    decoder->drained = false;
  }
  draining_ = false;
  pending_ = nullptr;
  return true;
}
