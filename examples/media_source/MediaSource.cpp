#include "MediaSource.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/version.h>
}

namespace {

// Slots of the rings. Video: the look-ahead at 60 frames per second and
// then some. Audio: 5 ms blocks; a decoded block of up to kAudioReserve
// blocks (320 ms) always finds room, because the decoder is only asked for
// more while that many slots are free.
constexpr size_t kVideoSlots = 24;
constexpr size_t kAudioSlots = 192;
constexpr size_t kAudioReserve = 64;
// Real time: the first item is due this long after it was decoded, so the
// rings fill a little before delivery starts.
constexpr int64_t kStartLeadMicros = 50'000;
// Real time: a head this late means decoding cannot keep up (or the machine
// stalled); the stream is mapped to the clock again rather than delivered in
// a burst.
constexpr int64_t kResyncMicros = 500'000;
// A timestamp this far from where its stream should be is a discontinuity
// (a live stream restarted, a wrapped clock): the stream time carries on
// from where it was instead.
constexpr int64_t kDiscontinuityMicros = 1'000'000;
// Threads wake at least this often to see the clock and the stop flag.
constexpr std::chrono::milliseconds kPollInterval{5};
// Pause between attempts to open a stalled input again.
constexpr std::chrono::milliseconds kReopenPause{200};
constexpr AVRational kMicros{1, 1'000'000};

// `micros` in units of 1/`scale` second, never negative.
uint64_t ToUnits(int64_t micros, int64_t scale) {
  return micros <= 0 ? 0 : static_cast<uint64_t>(av_rescale(micros, scale, 1'000'000));
}

// A decoded picture's length in its stream's time base (0: unknown).
int64_t FrameLength(const AVFrame& picture) {
#if LIBAVUTIL_VERSION_MAJOR >= 58
  return picture.duration;
#else
  return picture.pkt_duration;
#endif
}

}  // namespace

MediaSource::MediaSource(const Settings& settings, kaBufferGroup2& group, kaPluginVideoRenderer* video,
                         kaPluginAudioRenderer* audio)
    : settings_(settings),
      group_(kaRef<kaBufferGroup2>::Retain(&group)),
      video_(kaRef<kaPluginVideoRenderer>::Retain(video)),
      audio_(kaRef<kaPluginAudioRenderer>::Retain(audio)),
      input_(stop_),
      videoConverter_(settings.videoRaster),
      videoRing_(kVideoSlots),
      audioRing_(kAudioSlots) {}

MediaSource::~MediaSource() { Stop(); }

bool MediaSource::Open(std::string& error) {
  if (started_) {
    error = "already started";
    return false;
  }
  if (!input_.Open(settings_.url, settings_.openTimeoutMicros, error)) return false;
  openedInfo_ = input_.GetInfo();
  openedInfo_.hasVideo = openedInfo_.hasVideo && video_;
  openedInfo_.hasAudio = openedInfo_.hasAudio && audio_;
  if (!openedInfo_.hasVideo && !openedInfo_.hasAudio) {
    error = settings_.url + " has no stream for the renderers given";
    input_.Close();
    return false;
  }
  BeginPass();
  return true;
}

bool MediaSource::Start() {
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (started_ || !input_.IsOpen()) return false;
    started_ = true;
  }
  stop_.store(false);
  decodeThread_ = std::thread([this] { DecodeLoop(); });
  deliveryThread_ = std::thread([this] { DeliveryLoop(); });
  return true;
}

void MediaSource::Stop() {
  stop_.store(true);
  {
    // Taking the lock orders the flag before the waits' predicates.
    std::lock_guard<std::mutex> lock(queueLock_);
  }
  spaceReady_.notify_all();
  itemsReady_.notify_all();
  if (decodeThread_.joinable()) decodeThread_.join();
  if (deliveryThread_.joinable()) deliveryThread_.join();
}

bool MediaSource::StartStepped(int64_t startMicros) {
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (started_ || !input_.IsOpen()) return false;
    started_ = stepped_ = true;
  }
  Step();  // nothing is mapped yet: this only decodes the first items
  std::lock_guard<std::mutex> lock(queueLock_);
  int64_t first = kNever;
  if (!videoRing_.Empty()) first = std::min(first, videoRing_.Front().rel);
  if (!audioRing_.Empty()) first = std::min(first, audioRing_.Front().rel);
  base_ = startMicros - (first == kNever ? 0 : first);
  mapped_ = true;
  return true;
}

int64_t MediaSource::NextDueMicros() const {
  std::lock_guard<std::mutex> lock(queueLock_);
  return NextEventLocked();
}

void MediaSource::Step() {
  bool mapped = false;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    mapped = mapped_;
  }
  if (mapped) DeliverDue(zTime::MicroNow());
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(queueLock_);
      if (!NeedsMoreLocked(zTime::MicroNow())) return;
    }
    if (ProduceOne() != Produced::kItems) return;
  }
}

MediaSource::Counters MediaSource::GetCounters() const {
  Counters c;
  c.framesDecoded = framesDecoded_.load(std::memory_order_relaxed);
  c.framesDelivered = framesDelivered_.load(std::memory_order_relaxed);
  c.audioBlocks = audioBlocks_.load(std::memory_order_relaxed);
  c.audioFrames = audioFrames_.load(std::memory_order_relaxed);
  c.decodeErrors = decodeErrors_.load(std::memory_order_relaxed);
  c.convertFailures = convertFailures_.load(std::memory_order_relaxed);
  c.stalls = stalls_.load(std::memory_order_relaxed);
  c.loops = loops_.load(std::memory_order_relaxed);
  c.reopens = reopens_.load(std::memory_order_relaxed);
  c.ended = ended_.load(std::memory_order_relaxed);
  return c;
}

// ---- producer ---------------------------------------------------------------

void MediaSource::BeginPass() {
  // A pass (the first, each loop, each reopening) starts where the stream
  // time so far ends, so relative time never runs backwards.
  passOffset_ = maxRelEnd_;
  nextVideoRel_ = nextAudioRel_ = passOffset_;
  const int64_t start = input_.GetInfo().startMicros;
  originKnown_ = start != AV_NOPTS_VALUE;
  origin_ = originKnown_ ? start : 0;
}

int64_t MediaSource::RelativeMicros(int64_t streamMicros, bool video) {
  int64_t& expected = video ? nextVideoRel_ : nextAudioRel_;
  if (streamMicros == AV_NOPTS_VALUE) return expected;
  if (!originKnown_) {
    origin_ = streamMicros;
    originKnown_ = true;
  }
  const int64_t rel = streamMicros - origin_ + passOffset_;
  // Only after the pass's first item of this stream has set where it stands.
  const bool seen = expected != passOffset_;
  if (seen && std::llabs(rel - expected) > kDiscontinuityMicros) {
    origin_ += rel - expected;
    return expected;
  }
  return rel;
}

MediaSource::Produced MediaSource::ProduceOne() {
  const MediaInputStream::Result result = input_.Next(settings_.readTimeoutMicros);
  decodeErrors_.store(input_.DecodeErrors(), std::memory_order_relaxed);
  switch (result) {
    case MediaInputStream::Result::kFrame: {
      const bool video = input_.FrameIsVideo();
      if (video ? !openedInfo_.hasVideo : !openedInfo_.hasAudio) return Produced::kItems;
      const int64_t rel = RelativeMicros(input_.FrameMicros(), video);
      if (video) {
        QueueVideo(input_.Frame(), rel);
      } else {
        QueueAudio(input_.Frame(), rel);
      }
      return Produced::kItems;
    }
    case MediaInputStream::Result::kStopped:
      return Produced::kStopped;
    case MediaInputStream::Result::kStalled:
      if (Reopen()) return Produced::kItems;
      if (stop_.load()) return Produced::kStopped;
      return EndLocking();  // stepped: it cannot be opened again
    case MediaInputStream::Result::kEnd:
      break;
  }
  if (settings_.atEnd == AtEnd::kLoop) {
    if (input_.Rewind()) {
      BeginPass();
      loops_.fetch_add(1, std::memory_order_relaxed);
      return Produced::kItems;
    }
    if (Reopen()) {
      loops_.fetch_add(1, std::memory_order_relaxed);
      return Produced::kItems;
    }
    if (stop_.load()) return Produced::kStopped;
  }
  return EndLocking();
}

MediaSource::Produced MediaSource::EndLocking() {
  std::lock_guard<std::mutex> lock(queueLock_);
  producerEnded_ = true;
  endRel_ = maxRelEnd_;
  return Produced::kEnded;
}

bool MediaSource::Reopen() {
  reopens_.fetch_add(1, std::memory_order_relaxed);
  input_.Close();
  for (;;) {
    if (stop_.load()) return false;
    std::string error;
    if (input_.Open(settings_.url, settings_.openTimeoutMicros, error)) {
      BeginPass();
      return true;
    }
    if (stepped_) return false;  // a simulated run does not wait for a network
    std::unique_lock<std::mutex> lock(queueLock_);
    spaceReady_.wait_for(lock, kReopenPause, [this] { return stop_.load(); });
  }
}

void MediaSource::QueueVideo(const AVFrame& picture, int64_t rel) {
  framesDecoded_.fetch_add(1, std::memory_order_relaxed);
  kaBuffer2* converted = videoConverter_.Convert(picture, *group_);
  if (!converted) {
    convertFailures_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  kaRef<kaBuffer2> frame = kaRef<kaBuffer2>::Adopt(converted);
  // The picture's own length, else the stream's nominal frame length.
  const MediaInputStream::Info& info = input_.GetInfo();
  const AVRational timeBase = info.videoTimeBase;
  const int64_t own = FrameLength(picture);
  const int64_t length = own > 0 ? own : info.frameDuration;
  const int64_t duration = length > 0 && timeBase.num > 0 ? av_rescale_q(length, timeBase, kMicros) : 0;
  // The time range in the stream's own units: 1/den of a second.
  if (timeBase.num > 0 && timeBase.den > 0) {
    const int64_t scale = timeBase.den;
    frame->SetBufferTimeRange({scale, ToUnits(rel, scale), length > 0 ? scale : 0,
                               length > 0 ? static_cast<uint64_t>(length) * static_cast<uint64_t>(timeBase.num) : 0});
  }
  nextVideoRel_ = rel + duration;
  std::lock_guard<std::mutex> lock(queueLock_);
  if (videoRing_.Full()) {  // cannot happen while the decoder is asked only with room
    convertFailures_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  VideoItem& item = videoRing_.Tail();
  item.frame = std::move(frame);
  item.rel = rel;
  item.duration = duration;
  videoRing_.Push();
  maxRelEnd_ = std::max(maxRelEnd_, rel + duration);
}

void MediaSource::QueueAudio(const AVFrame& block, int64_t rel) {
  const int32_t bytes = interleaver_.Interleave(block);
  const int32_t rate = block.sample_rate;
  if (bytes <= 0 || rate < kaPluginAudioRenderer::kMinSampleRate || rate > kaPluginAudioRenderer::kMaxSampleRate) {
    convertFailures_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const int32_t frameBytes = interleaver_.FrameBytes();
  const int64_t frames = bytes / frameBytes;
  const int64_t startUnits = static_cast<int64_t>(ToUnits(rel, rate));
  std::lock_guard<std::mutex> lock(queueLock_);
  // 5 ms blocks, longer only when the ring is short of slots.
  const int64_t free = static_cast<int64_t>(audioRing_.Free());
  if (free == 0) {
    convertFailures_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  int64_t perBlock = std::max<int64_t>(1, rate * kAudioBlockMicros / 1'000'000);
  perBlock = std::max(perBlock, (frames + free - 1) / free);
  for (int64_t first = 0; first < frames; first += perBlock) {
    const int64_t count = std::min(perBlock, frames - first);
    AudioItem& item = audioRing_.Tail();
    const auto size = static_cast<size_t>(count * frameBytes);
    if (item.bytes.size() < size) item.bytes.resize(size);  // warm-up, or a larger format
    std::copy_n(interleaver_.Data() + first * frameBytes, size, item.bytes.data());
    item.byteCount = static_cast<int32_t>(size);
    item.rel = rel + first * 1'000'000 / rate;
    item.duration = count * 1'000'000 / rate;
    item.range = {rate, static_cast<uint64_t>(startUnits + first), rate, static_cast<uint64_t>(count)};
    item.format = interleaver_.Format();
    item.sampleRate = rate;
    item.channels = interleaver_.Channels();
    audioRing_.Push();
  }
  const int64_t end = rel + frames * 1'000'000 / rate;
  nextAudioRel_ = end;
  maxRelEnd_ = std::max(maxRelEnd_, end);
}

void MediaSource::DecodeLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(queueLock_);
      spaceReady_.wait_for(lock, kPollInterval, [this] { return stop_.load() || NeedsMoreLocked(zTime::MicroNow()); });
      if (stop_.load()) return;
      if (!NeedsMoreLocked(zTime::MicroNow())) continue;
    }
    const Produced produced = ProduceOne();
    itemsReady_.notify_one();
    if (produced != Produced::kItems) return;
  }
}

// ---- delivery ------------------------------------------------------------------

int64_t MediaSource::DeliverDue(int64_t now) {
  for (;;) {
    std::unique_lock<std::mutex> lock(queueLock_);
    const bool haveVideo = !videoRing_.Empty();
    const bool haveAudio = !audioRing_.Empty();
    if (!haveVideo && !haveAudio) break;
    const int64_t videoRel = haveVideo ? videoRing_.Front().rel : kNever;
    const int64_t audioRel = haveAudio ? audioRing_.Front().rel : kNever;
    const bool videoFirst = videoRel <= audioRel;
    const int64_t rel = videoFirst ? videoRel : audioRel;
    if (!mapped_ || stalled_) {
      // The first item, or the first after delivery ran dry: the stream's
      // time starts again from now.
      base_ = now + (stepped_ ? 0 : kStartLeadMicros) - rel;
      mapped_ = true;
      stalled_ = false;
    }
    int64_t due = base_ + rel;
    if (due > now) break;
    if (!stepped_ && now - due > kResyncMicros) {
      base_ = now - rel;
      due = now;
      stalls_.fetch_add(1, std::memory_order_relaxed);
    }
    // The head is the consumer's until popped: the producer writes only the
    // slot behind the newest item, so it can be delivered without the lock.
    if (videoFirst) {
      VideoItem& item = videoRing_.Front();
      lastEndDue_ = std::max(lastEndDue_, due + item.duration);
      kaRef<kaBuffer2> frame = std::move(item.frame);
      lock.unlock();
      VideoItem delivered{std::move(frame), rel, 0};
      DeliverVideo(delivered, due);
      lock.lock();
      videoRing_.Pop();
    } else {
      AudioItem& item = audioRing_.Front();
      lastEndDue_ = std::max(lastEndDue_, due + item.duration);
      lock.unlock();
      DeliverAudio(item);
      lock.lock();
      audioRing_.Pop();
    }
    lock.unlock();
    spaceReady_.notify_one();
  }

  std::lock_guard<std::mutex> lock(queueLock_);
  if (videoRing_.Empty() && audioRing_.Empty() && mapped_) {
    if (producerEnded_) {
      if (!endFlushed_ && now >= base_ + endRel_) {
        endFlushed_ = true;
        if (video_) video_->FlushVideo();
        ended_.store(true, std::memory_order_relaxed);
      }
    } else if (!stalled_ && now >= lastEndDue_ + settings_.stallMicros) {
      stalled_ = true;
      if (video_) video_->FlushVideo();
      stalls_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  return NextEventLocked();
}

void MediaSource::DeliverVideo(VideoItem& item, int64_t due) {
  kaBuffer2& frame = *item.frame;
  // The record is written before the renderer (and the host) can see it.
  frame.SetInt64(kFrameNumberKey, nextFrameNumber_++);
  frame.SetInt64(kDueTimeKey, due);
  video_->OnReceiveVideo(&frame);
  item.frame.Reset();  // the renderer holds its own reference
  framesDelivered_.fetch_add(1, std::memory_order_relaxed);
}

void MediaSource::DeliverAudio(AudioItem& item) {
  // New converters for a new format, rate or channel count; never during a
  // delivery, which this thread alone makes.
  if (lastAudioFormat_ != 0 &&
      (item.format != lastAudioFormat_ || item.sampleRate != lastAudioRate_ || item.channels != lastAudioChannels_)) {
    audio_->FlushAudio();
  }
  lastAudioFormat_ = item.format;
  lastAudioRate_ = item.sampleRate;
  lastAudioChannels_ = item.channels;
  audio_->OnReceive(item.range, item.bytes.data(), item.byteCount, item.sampleRate, item.channels,
                    static_cast<int>(item.format));
  audioBlocks_.fetch_add(1, std::memory_order_relaxed);
  audioFrames_.fetch_add(item.range.duration, std::memory_order_relaxed);
}

void MediaSource::DeliveryLoop() {
  while (!stop_.load()) {
    const int64_t now = zTime::MicroNow();
    const int64_t next = DeliverDue(now);
    std::unique_lock<std::mutex> lock(queueLock_);
    const int64_t waitMicros = std::clamp<int64_t>(next - zTime::MicroNow(), 0, kPollInterval.count() * 1000);
    // New items and Stop wake it early; a missed wake costs one poll.
    if (waitMicros > 0 && !stop_.load()) itemsReady_.wait_for(lock, std::chrono::microseconds(waitMicros));
  }
}

// ---- under the lock -----------------------------------------------------------------

bool MediaSource::NeedsMoreLocked(int64_t now) const {
  if (producerEnded_ || videoRing_.Full() || audioRing_.Free() < kAudioReserve) return false;
  // Relative time up to which the rings should be filled.
  const int64_t horizon = now - base_ + (stepped_ ? 0 : settings_.lookAheadMicros);
  auto needs = [&](bool has, bool empty, int64_t lastRel) { return has && (empty || (mapped_ && lastRel < horizon)); };
  return needs(openedInfo_.hasVideo, videoRing_.Empty(), videoRing_.Empty() ? 0 : videoRing_.Back().rel) ||
         needs(openedInfo_.hasAudio, audioRing_.Empty(), audioRing_.Empty() ? 0 : audioRing_.Back().rel);
}

int64_t MediaSource::NextEventLocked() const {
  if (!mapped_) return videoRing_.Empty() && audioRing_.Empty() ? kNever : zTime::MicroNow();
  int64_t next = kNever;
  if (!videoRing_.Empty()) next = std::min(next, base_ + videoRing_.Front().rel);
  if (!audioRing_.Empty()) next = std::min(next, base_ + audioRing_.Front().rel);
  if (next == kNever && !stalled_) {
    if (producerEnded_) {
      if (!endFlushed_) next = base_ + endRel_;
    } else if (!stepped_) {
      next = lastEndDue_ + settings_.stallMicros;
    }
  }
  return next;
}
