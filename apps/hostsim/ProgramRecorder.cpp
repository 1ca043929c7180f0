#include "ProgramRecorder.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr AVRational kVideoTimeBase{1, ProgramRecorder::kPeriodsPerSecond};
constexpr AVRational kAudioTimeBase{1, ProgramRecorder::kSampleRate};
// The encoder thread looks at the ring at least this often; the engine's
// wake-up only shortens the wait.
constexpr std::chrono::milliseconds kPollInterval{10};
// SMPTE 302M carries 2, 4, 6 or 8 channels.
constexpr int32_t kTransportStreamMaxChannels = 8;
// MPEG-2 video when libx264 is missing: high enough for a clean picture.
constexpr int64_t kMpeg2BitRate = 20'000'000;

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t length = std::strlen(suffix);
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[text.size() - length + i])) != suffix[i]) return false;
  }
  return true;
}

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

AVPixelFormat PixelFormatOf(uint32_t raster) {
  switch (raster) {
    case veRasterType::k2vuy:
      return AV_PIX_FMT_UYVY422;
    case veRasterType::kRgba:
      return AV_PIX_FMT_RGBA;
    case zFourCC("yuvs"):
      return AV_PIX_FMT_YUYV422;
    case zFourCC("BGRA"):
      return AV_PIX_FMT_BGRA;
    default:
      return AV_PIX_FMT_NONE;
  }
}

}  // namespace

bool ProgramRecorder::ContainerForPath(const std::string& path, Container* container) {
  if (!container) return false;
  if (EndsWith(path, ".mkv")) {
    *container = Container::kMatroska;
    return true;
  }
  if (EndsWith(path, ".ts")) {
    *container = Container::kTransportStream;
    return true;
  }
  return false;
}

ProgramRecorder::ProgramRecorder() = default;

ProgramRecorder::~ProgramRecorder() {
  if (encoderThread_.joinable()) {
    std::string ignored;
    Finish(nextPeriod_, ignored);
  }
  Close();
}

bool ProgramRecorder::Open(const Settings& settings, std::string& error) {
  Container container = Container::kMatroska;
  if (muxer_) {
    error = "the recorder is already open";
    return false;
  }
  if (!ContainerForPath(settings.path, &container)) {
    error = "--record wants a .mkv or .ts file: " + settings.path;
    return false;
  }
  if (settings.width < 2 || settings.height < 2 || settings.width > 8192 || settings.height > 8192 ||
      settings.channels < 1 || settings.channels > kMaxChannels) {
    error = "cannot record a " + std::to_string(settings.width) + "x" + std::to_string(settings.height) +
            " picture with " + std::to_string(settings.channels) + " channels";
    return false;
  }
  settings_ = settings;
  settings_.width &= ~1;  // 4:2:0 and 4:2:2 want even sizes
  settings_.height &= ~1;
  if (container == Container::kTransportStream) {
    settings_.channels = std::min(kTransportStreamMaxChannels, (settings_.channels + 1) & ~1);
  }
  const char* formatName = container == Container::kMatroska ? "matroska" : "mpegts";
  if (avformat_alloc_output_context2(&muxer_, nullptr, formatName, settings_.path.c_str()) < 0 || !muxer_) {
    error = std::string("no ") + formatName + " muxer";
    muxer_ = nullptr;
    return false;
  }
  packet_ = av_packet_alloc();
  picture_ = av_frame_alloc();
  black_ = av_frame_alloc();
  sound_ = av_frame_alloc();
  if (!packet_ || !picture_ || !black_ || !sound_) {
    error = "out of memory";
    Close();
    return false;
  }
  if (!OpenVideoEncoder(container, error) || !OpenAudioEncoder(container, error)) {
    Close();
    return false;
  }
  int result = 0;
  if (!(muxer_->oformat->flags & AVFMT_NOFILE))
    result = avio_open(&muxer_->pb, settings_.path.c_str(), AVIO_FLAG_WRITE);
  if (result >= 0) result = avformat_write_header(muxer_, nullptr);
  if (result < 0) {
    error = "cannot write " + settings_.path + ": " + ErrorText(result);
    Close();
    return false;
  }
  slots_.resize(kQueuePeriods);
  for (Slot& slot : slots_) slot.audio.assign(static_cast<size_t>(kFramesPerPeriod) * settings_.channels, 0);
  finishing_.store(false);
  encoderThread_ = std::thread([this] { EncoderLoop(); });
  return true;
}

bool ProgramRecorder::OpenVideoEncoder(Container container, std::string& error) {
  // H.264 (libx264, 4:2:0: what every player takes) when libavcodec has it:
  // it keeps up with a 1080p program on one core, where FFV1 takes both
  // (measured here: 1080p at about 110 frames per second against 40). Without
  // it, FFV1 in Matroska (4:2:2, the cued "2vuy" sample for sample) and
  // MPEG-2 video in MPEG-TS.
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  AVPixelFormat format = AV_PIX_FMT_YUV420P;
  if (!codec && container == Container::kMatroska) {
    codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
    format = AV_PIX_FMT_YUV422P;
  } else if (!codec) {
    codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
  }
  if (!codec) {
    error = "no video encoder for " + settings_.path;
    return false;
  }
  videoEncoder_ = avcodec_alloc_context3(codec);
  if (!videoEncoder_) {
    error = "out of memory";
    return false;
  }
  videoEncoder_->width = settings_.width;
  videoEncoder_->height = settings_.height;
  videoEncoder_->pix_fmt = format;
  videoEncoder_->time_base = kVideoTimeBase;
  videoEncoder_->framerate = av_inv_q(kVideoTimeBase);
  videoEncoder_->gop_size = kPeriodsPerSecond;
  videoEncoder_->max_b_frames = 0;  // every picture leaves the encoder in order
  videoEncoder_->thread_count = 2;
  if (codec->id == AV_CODEC_ID_FFV1) {
    // Version 3 with slices lets two threads share a picture.
    videoEncoder_->level = 3;
    av_opt_set_int(videoEncoder_->priv_data, "slices", 4, 0);
  } else if (codec->id == AV_CODEC_ID_H264) {
    av_opt_set(videoEncoder_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(videoEncoder_->priv_data, "tune", "zerolatency", 0);
  } else {
    videoEncoder_->bit_rate = kMpeg2BitRate;
  }
  if (muxer_->oformat->flags & AVFMT_GLOBALHEADER) videoEncoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int result = avcodec_open2(videoEncoder_, codec, nullptr);
  if (result < 0) {
    error = std::string("cannot open the ") + codec->name + " encoder: " + ErrorText(result);
    return false;
  }
  videoCodec_ = codec->name;
  for (AVFrame* frame : {picture_, black_}) {
    frame->format = format;
    frame->width = settings_.width;
    frame->height = settings_.height;
    if (av_frame_get_buffer(frame, 0) < 0) {
      error = "out of memory";
      return false;
    }
  }
  // Video-range black: luma 16, chroma 128.
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? settings_.height : AV_CEIL_RSHIFT(settings_.height, descriptor->log2_chroma_h);
    std::memset(black_->data[plane], plane == 0 ? 16 : 128, static_cast<size_t>(black_->linesize[plane]) * rows);
  }
  videoStream_ = AddStream(videoEncoder_, error);
  return videoStream_ != nullptr;
}

bool ProgramRecorder::OpenAudioEncoder(Container container, std::string& error) {
  const AVCodecID id = container == Container::kMatroska ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_S302M;
  const AVCodec* codec = avcodec_find_encoder(id);
  if (!codec) {
    error = std::string("no ") + avcodec_get_name(id) + " encoder";
    return false;
  }
  audioEncoder_ = avcodec_alloc_context3(codec);
  if (!audioEncoder_) {
    error = "out of memory";
    return false;
  }
  audioEncoder_->sample_fmt = AV_SAMPLE_FMT_S16;
  audioEncoder_->sample_rate = kSampleRate;
  audioEncoder_->time_base = kAudioTimeBase;
  av_channel_layout_default(&audioEncoder_->ch_layout, settings_.channels);
  if (id == AV_CODEC_ID_S302M) {
    audioEncoder_->bits_per_raw_sample = 16;
    audioEncoder_->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;  // as FFmpeg files it
  }
  if (muxer_->oformat->flags & AVFMT_GLOBALHEADER) audioEncoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int result = avcodec_open2(audioEncoder_, codec, nullptr);
  if (result < 0) {
    error = std::string("cannot open the ") + codec->name + " encoder: " + ErrorText(result);
    return false;
  }
  audioCodec_ = codec->name;
  sound_->format = AV_SAMPLE_FMT_S16;
  sound_->sample_rate = kSampleRate;
  sound_->nb_samples = kFramesPerPeriod;
  if (av_channel_layout_copy(&sound_->ch_layout, &audioEncoder_->ch_layout) < 0 || av_frame_get_buffer(sound_, 0) < 0) {
    error = "out of memory";
    return false;
  }
  audioStream_ = AddStream(audioEncoder_, error);
  return audioStream_ != nullptr;
}

AVStream* ProgramRecorder::AddStream(AVCodecContext* encoder, std::string& error) {
  AVStream* stream = avformat_new_stream(muxer_, nullptr);
  if (!stream || avcodec_parameters_from_context(stream->codecpar, encoder) < 0) {
    error = "out of memory";
    return nullptr;
  }
  stream->time_base = encoder->time_base;
  return stream;
}

void ProgramRecorder::Close() {
  avcodec_free_context(&videoEncoder_);
  avcodec_free_context(&audioEncoder_);
  if (muxer_) {
    if (muxer_->pb && !(muxer_->oformat->flags & AVFMT_NOFILE)) avio_closep(&muxer_->pb);
    avformat_free_context(muxer_);
    muxer_ = nullptr;
  }
  videoStream_ = audioStream_ = nullptr;
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  av_frame_free(&picture_);
  av_frame_free(&black_);
  av_frame_free(&sound_);
  av_packet_free(&packet_);
  for (Slot& slot : slots_) slot.video.Reset();
}

// ---- engine thread ------------------------------------------------------------------

ProgramRecorder::Slot* ProgramRecorder::ClaimSlot() {
  if (!claimed_) {
    claimed_ = true;
    claimedSlot_ = nullptr;
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (!slots_.empty() && tail - head_.load(std::memory_order_acquire) < slots_.size()) {
      claimedSlot_ = &slots_[tail % slots_.size()];
      claimedSlot_->video.Reset();  // the encoder thread released it; this only clears the handle
      claimedSlot_->hasAudio = false;
    }
  }
  return claimedSlot_;
}

void ProgramRecorder::OfferVideo(kaBuffer2& frame) {
  if (Slot* slot = ClaimSlot()) slot->video = kaRef<kaBuffer2>::Retain(&frame);
}

void ProgramRecorder::OfferAudio(const int16_t* samples, int32_t frames, int32_t channels) {
  Slot* slot = ClaimSlot();
  if (!slot) return;
  const int32_t out = settings_.channels;
  const int32_t count = samples && channels > 0 ? std::clamp(frames, 0, kFramesPerPeriod) : 0;
  const int32_t shared = std::min(out, channels);
  int16_t* to = slot->audio.data();
  for (int32_t f = 0; f < count; ++f) {
    const int16_t* from = samples + static_cast<int64_t>(f) * channels;
    for (int32_t c = 0; c < out; ++c) to[c] = c < shared ? from[c] : 0;
    to += out;
  }
  std::fill(to, slot->audio.data() + slot->audio.size(), int16_t{0});
  slot->hasAudio = true;
}

void ProgramRecorder::CommitPeriod() {
  if (!muxer_) return;
  Slot* slot = ClaimSlot();
  if (slot) {
    slot->period = nextPeriod_;
    tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    wake_.notify_one();
  } else {
    overflows_.fetch_add(1, std::memory_order_relaxed);
  }
  ++nextPeriod_;
  claimed_ = false;
}

void ProgramRecorder::WaitForRoom() {
  if (!encoderThread_.joinable() || slots_.empty()) return;
  std::unique_lock<std::mutex> lock(wakeLock_);
  while (tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire) >= slots_.size()) {
    roomMade_.wait_for(lock, kPollInterval);
  }
}

// ---- encoder thread ---------------------------------------------------------------------

void ProgramRecorder::EncoderLoop() {
  for (;;) {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) {
      if (finishing_.load(std::memory_order_acquire) && head == tail_.load(std::memory_order_acquire)) break;
      std::unique_lock<std::mutex> lock(wakeLock_);
      wake_.wait_for(lock, kPollInterval);
      continue;
    }
    Slot& slot = slots_[head % slots_.size()];
    // Periods that overflowed the ring: black and silence in their place.
    while (written_ < slot.period) WritePeriod(nullptr, written_);
    WritePeriod(&slot, slot.period);
    slot.video.Reset();  // the picture goes back to the group from here
    head_.store(head + 1, std::memory_order_release);
    roomMade_.notify_one();
  }
  const uint64_t total = totalPeriods_.load(std::memory_order_relaxed);
  while (written_ < total) WritePeriod(nullptr, written_);
  Encode(videoEncoder_, videoStream_, nullptr);  // drain
  Encode(audioEncoder_, audioStream_, nullptr);
}

void ProgramRecorder::WritePeriod(const Slot* slot, uint64_t period) {
  AVFrame* picture = black_;
  if (slot && slot->video) {
    if (ConvertPicture(*slot->video)) {
      picture = picture_;
    } else {
      unconvertible_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  // The encoder takes its own reference to the picture's data: the black
  // picture's data is never written again, only its timestamp field.
  picture->pts = static_cast<int64_t>(period);
  Encode(videoEncoder_, videoStream_, picture);

  if (av_frame_make_writable(sound_) < 0) {
    errors_.fetch_add(1, std::memory_order_relaxed);
  } else {
    const size_t bytes = static_cast<size_t>(kFramesPerPeriod) * settings_.channels * sizeof(int16_t);
    if (slot && slot->hasAudio) {
      std::memcpy(sound_->data[0], slot->audio.data(), bytes);
    } else {
      std::memset(sound_->data[0], 0, bytes);
    }
    sound_->pts = static_cast<int64_t>(period) * kFramesPerPeriod;
    Encode(audioEncoder_, audioStream_, sound_);
  }
  written_ = period + 1;
  periodsWritten_.store(written_, std::memory_order_relaxed);
}

bool ProgramRecorder::ConvertPicture(kaBuffer2& frame) {
  const AVPixelFormat source = PixelFormatOf(frame.RasterType());
  const int32_t width = frame.Width();
  const int32_t height = frame.Height();
  const int32_t rowBytes = frame.BytesPerRow();
  const uint8_t* storage = frame.GetStorage();
  if (source == AV_PIX_FMT_NONE || width < 1 || height < 1 || !storage || rowBytes < 1 ||
      static_cast<int64_t>(rowBytes) * height > static_cast<int64_t>(frame.StorageSize())) {
    return false;
  }
  // Unscaled conversions take swscale's fast paths only with SWS_POINT.
  const bool sameSize = width == settings_.width && height == settings_.height;
  scaler_ =
      sws_getCachedContext(scaler_, width, height, source, settings_.width, settings_.height, videoEncoder_->pix_fmt,
                           sameSize ? SWS_POINT : SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!scaler_ || av_frame_make_writable(picture_) < 0) return false;
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(source);
  if (descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB)) {
    // RGB in, video-range YUV out, with the matrix of the recorded size.
    const int* matrix = sws_getCoefficients(settings_.height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler_, matrix, 1, matrix, 0, 0, 1 << 16, 1 << 16);
  }
  const uint8_t* planes[4] = {storage, nullptr, nullptr, nullptr};
  const int strides[4] = {rowBytes, 0, 0, 0};
  return sws_scale(scaler_, planes, strides, 0, height, picture_->data, picture_->linesize) == settings_.height;
}

void ProgramRecorder::Encode(AVCodecContext* encoder, AVStream* stream, const AVFrame* frame) {
  if (avcodec_send_frame(encoder, frame) < 0) {
    errors_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  for (;;) {
    const int result = avcodec_receive_packet(encoder, packet_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
    if (result < 0) {
      errors_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    // One picture lasts a period; an audio packet as many samples as it has.
    if (packet_->duration <= 0) packet_->duration = encoder == videoEncoder_ ? 1 : kFramesPerPeriod;
    av_packet_rescale_ts(packet_, encoder->time_base, stream->time_base);
    packet_->stream_index = stream->index;
    if (av_interleaved_write_frame(muxer_, packet_) < 0) errors_.fetch_add(1, std::memory_order_relaxed);
  }
}

// ---- controlling thread -------------------------------------------------------------------

bool ProgramRecorder::Finish(uint64_t periods, std::string& error) {
  if (!encoderThread_.joinable()) {
    error = "the recorder is not running";
    return false;
  }
  totalPeriods_.store(periods, std::memory_order_relaxed);
  finishing_.store(true, std::memory_order_release);
  wake_.notify_one();
  encoderThread_.join();
  int result = av_write_trailer(muxer_);
  if (result >= 0 && muxer_->pb) result = avio_closep(&muxer_->pb);
  if (result < 0) errors_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t errors = errors_.load();
  const std::string path = settings_.path;
  Close();
  if (errors > 0) {
    error = std::to_string(errors) + " encode or write errors in " + path;
    return false;
  }
  return true;
}
