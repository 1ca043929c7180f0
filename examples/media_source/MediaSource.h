#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MediaAudioInterleaver.h"
#include "MediaInputStream.h"
#include "MediaItemRing.h"
#include "MediaVideoConverter.h"
#include "kasp2/kasp2.h"

// The media source plug-in: plays a file or network URL into a video renderer
// and an audio renderer that the plug-in derived (any kaPluginVideoRenderer
// and kaPluginAudioRenderer subclass; either may be absent). Pictures become
// "2vuy" or "rgba" frames from the host's buffer group; audio goes in 5 ms
// blocks in its own format, rate and channel count. Each item carries a time
// range from the stream's timestamps and is delivered when it falls due: the
// stream's time is mapped to the foundation clock (zTime::MicroNow) at the
// first item, so audio and video keep the stream's own sync.
//
//   decode ──> [video ring] [audio ring] ──> deliver at base + stream time
//   (reads ahead at most the look-ahead)     (the earlier head first)
//
// Two ways to run it:
//  - real time (Start/Stop): a decode thread fills the rings up to the
//    look-ahead, a delivery thread sleeps until each item is due;
//  - stepped (StartStepped/NextDueMicros/Step), for a simulated clock: the
//    driver steps it when its next item falls due; it decodes synchronously,
//    only as far as the next item of each stream, so runs are deterministic.
// End of input loops (seek back, or open again when the input cannot seek)
// or stops (blank frames once the last frame's time is over). A stream that
// stalls (no packet for the read time-out) is opened again until it returns;
// once delivery has run dry for the stall time the video renderer is flushed,
// so the host shows blank frames, and its audio falls silent by itself.
//
// Owns the input, the converters, the rings and both threads; holds a
// reference to the group and to each renderer until it is destroyed.
// Threads: Open, Start, Stop, StartStepped, NextDueMicros and Step from one
// controlling thread; the counters from any thread.
class MediaSource {
 public:
  enum class AtEnd { kStop, kLoop };

  struct Settings {
    std::string url;
    AtEnd atEnd = AtEnd::kStop;
    uint32_t videoRaster = 0;  // "2vuy", "rgba", or 0: chosen per picture
    int64_t openTimeoutMicros = 5'000'000;
    // No packet for this long (real time): the input stalled; it is opened
    // again.
    int64_t readTimeoutMicros = 1'000'000;
    // Nothing left to deliver this long after the last item ended: the
    // stream stalled, and the video renderer is flushed.
    int64_t stallMicros = 250'000;
    // How far ahead of its due time the decode thread may be.
    int64_t lookAheadMicros = 250'000;
  };

  // What the source did, each counter loaded on its own.
  struct Counters {
    uint64_t framesDecoded = 0;
    uint64_t framesDelivered = 0;
    uint64_t audioBlocks = 0;      // 5 ms blocks delivered
    uint64_t audioFrames = 0;      // frames in them
    uint64_t decodeErrors = 0;     // refused packets, damaged frames, read errors
    uint64_t convertFailures = 0;  // pictures or audio that could not be converted (dropped)
    uint64_t stalls = 0;           // times delivery ran dry (or fell behind) mid-stream
    uint64_t loops = 0;
    uint64_t reopens = 0;
    bool ended = false;  // stopped at the end, and its last frame's time is over
  };

  // Record keys on every delivered frame: its number (from 0, across loops)
  // and its due time on the foundation clock (microseconds).
  static constexpr zKey kFrameNumberKey = zFourCC("msfn");
  static constexpr zKey kDueTimeKey = zFourCC("msdt");
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
  // Audio goes to the renderer in blocks of at most this length.
  static constexpr int64_t kAudioBlockMicros = 5'000;

  MediaSource(const Settings& settings, kaBufferGroup2& group, kaPluginVideoRenderer* video,
              kaPluginAudioRenderer* audio);
  ~MediaSource();
  MediaSource(const MediaSource&) = delete;
  MediaSource& operator=(const MediaSource&) = delete;

  // Opens the input within the open time-out. False with a reason in
  // `error`; nothing else changes.
  bool Open(std::string& error);
  // The streams Open found (what was asked for: video only with a video
  // renderer, audio only with an audio renderer).
  const MediaInputStream::Info& OpenedInfo() const { return openedInfo_; }

  // Real time: starts the decode and delivery threads. False when not open
  // or already started.
  bool Start();
  // Stops both threads (a blocking read is interrupted) and returns once they
  // have ended. Safe to call twice.
  void Stop();

  // Stepped: decodes the first items and maps the stream to `startMicros`.
  // False when not open or already started.
  bool StartStepped(int64_t startMicros);
  // When Step next has something to do: the earlier head's due time, or
  // the end of the last frame when the input stopped; kNever when nothing.
  int64_t NextDueMicros() const;
  // Delivers everything due at zTime::MicroNow() and decodes on until each
  // stream has its next item.
  void Step();

  Counters GetCounters() const;

 private:
  struct VideoItem {
    kaRef<kaBuffer2> frame;
    int64_t rel = 0;       // stream time after the start, microseconds
    int64_t duration = 0;  // microseconds
  };
  struct AudioItem {
    std::vector<uint8_t> bytes;  // grows to the largest block, then reused
    int32_t byteCount = 0;
    int64_t rel = 0;
    int64_t duration = 0;
    veTimeRange range;
    uint32_t format = 0;
    int32_t sampleRate = 0;
    int32_t channels = 0;
  };
  enum class Produced { kItems, kEnded, kStopped };

  // ---- producer (decode thread, or the stepping driver) ----------------------
  Produced ProduceOne();
  // Marks the input ended, its end at the latest item's end.
  Produced EndLocking();
  void QueueVideo(const AVFrame& picture, int64_t rel);
  void QueueAudio(const AVFrame& block, int64_t rel);
  // The stream time of the decoded frame, relative to the first item.
  int64_t RelativeMicros(int64_t streamMicros, bool video);
  // Opens the input again until it opens or stop rises (stepped: once).
  bool Reopen();
  void BeginPass();
  void DecodeLoop();

  // ---- delivery (delivery thread, or the stepping driver) --------------------
  // Delivers every item due by `now`, flushes the video on a stall or at the
  // end; returns when to come back (kNever: only for new items).
  int64_t DeliverDue(int64_t now);
  void DeliverVideo(VideoItem& item, int64_t due);
  void DeliverAudio(AudioItem& item);
  void DeliveryLoop();

  // ---- under queueLock_ ------------------------------------------------------
  bool NeedsMoreLocked(int64_t now) const;
  int64_t NextEventLocked() const;

  const Settings settings_;
  kaRef<kaBufferGroup2> group_;
  kaRef<kaPluginVideoRenderer> video_;
  kaRef<kaPluginAudioRenderer> audio_;
  std::atomic<bool> stop_{false};

  // Producer state.
  MediaInputStream input_;
  MediaInputStream::Info openedInfo_;  // written by Open only
  MediaVideoConverter videoConverter_;
  MediaAudioInterleaver interleaver_;
  bool originKnown_ = false;
  int64_t origin_ = 0;        // stream microseconds of relative time 0 (this pass)
  int64_t passOffset_ = 0;    // relative time at which this pass began
  int64_t nextVideoRel_ = 0;  // where each stream's next item should start
  int64_t nextAudioRel_ = 0;
  int64_t maxRelEnd_ = 0;  // latest end of any item so far

  // Rings, the clock mapping and the end, guarded by queueLock_. Lock order:
  // queueLock_ is never held across a call into a renderer or FFmpeg.
  mutable std::mutex queueLock_;
  std::condition_variable spaceReady_;  // producer waits here
  std::condition_variable itemsReady_;  // delivery waits here
  MediaItemRing<VideoItem> videoRing_;
  MediaItemRing<AudioItem> audioRing_;
  bool stepped_ = false;
  bool started_ = false;
  bool mapped_ = false;  // base_ is valid
  int64_t base_ = 0;     // foundation-clock microseconds of relative time 0
  bool producerEnded_ = false;
  int64_t endRel_ = 0;      // relative end of the last item, once ended
  bool stalled_ = false;    // delivery ran dry; the next item maps again
  int64_t lastEndDue_ = 0;  // when the last delivered item ended
  bool endFlushed_ = false;

  // Delivery state.
  int64_t nextFrameNumber_ = 0;
  uint32_t lastAudioFormat_ = 0;
  int32_t lastAudioRate_ = 0;
  int32_t lastAudioChannels_ = 0;

  std::thread decodeThread_;
  std::thread deliveryThread_;

  std::atomic<uint64_t> framesDecoded_{0};
  std::atomic<uint64_t> framesDelivered_{0};
  std::atomic<uint64_t> audioBlocks_{0};
  std::atomic<uint64_t> audioFrames_{0};
  std::atomic<uint64_t> decodeErrors_{0};
  std::atomic<uint64_t> convertFailures_{0};
  std::atomic<uint64_t> stalls_{0};
  std::atomic<uint64_t> loops_{0};
  std::atomic<uint64_t> reopens_{0};
  std::atomic<bool> ended_{false};
};
