#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AudioStreamChecker.h"
#include "ContactSheet.h"
#include "EngineSources.h"
#include "HostAudioSource.h"
#include "HostImageFilter.h"
#include "HostVideoSource.h"
#include "LipSync.h"
#include "ProgramRecorder.h"
#include "WavWriter.h"
#include "host/kaOutputDevice.h"
#include "kasp2/kasp2.h"

// The simulator's mixing engine. Its engine thread cues every renderer once
// per output period (1/30 s): the audio renderers first, then the video
// renderers, whose frames it checks and hands to the engine's video render
// thread. That thread runs each video source's filter chain (thumbnail, then
// border) through the group's filter manager for two output devices
// (program and multiview: the second finds the first's result in the filter
// cache) and fills the contact sheet. Keeping the filter work off the cueing
// thread keeps the moment of every audio cue steady, which the audio cue's
// fixed priming distance (50 ms) needs; a render thread that falls behind
// drops video renders, never cues. Period k's cue time is start + k/30 s
// rounded up to the microsecond, so periods last 33,333 or 33,334 µs and the
// cue times advance by exactly 1600 frames of 48 kHz audio per period.
//
// Owns the render-graph nodes and filters, the audio checkers, the WAV
// writers and the contact sheet. Step runs on the engine thread, Render on
// the video render thread (on the simulated clock one driver calls both, in
// turn); Finish after both stopped. The counters that a status line shows are
// atomics readable from any thread. The sources and the group must outlive
// the engine.
class HostEngine {
 public:
  static constexpr int kCuesPerSecond = 30;
  static constexpr int kOutputDevices = 2;            // program, multiview
  // Video renders waiting for the render thread; beyond this a new one is
  // dropped (counted) rather than letting the output fall further behind.
  static constexpr size_t kMaxPendingRenders = 8;
  static constexpr int32_t kThumbnailWidth = 480;     // pixels
  static constexpr int kContactColumns = 6;           // moments on the contact sheet

  struct VideoCounters {
    std::atomic<uint64_t> cued{0};
    std::atomic<uint64_t> blank{0};
    std::atomic<uint64_t> blankAfterFirst{0};  // blank frames once a frame was shown
    std::atomic<uint64_t> shown{0};            // distinct frames shown
    std::atomic<uint64_t> backwards{0};        // cues that showed an older frame than before
    std::atomic<uint64_t> failedCues{0};       // cues that gave no buffer
    // Engine thread only.
    int64_t lastFrame = -1;
    int64_t newFrame = -1;  // the frame this period's cue showed first, or -1
    double latencySumMs = 0.0;  // cue time minus the frame's due time
    double latencyMaxMs = 0.0;
    uint64_t latencyCount = 0;
  };

  struct AudioCounters {
    std::atomic<uint64_t> cues{0};
    std::atomic<uint64_t> silentBeforeStart{0};
    std::atomic<uint64_t> silentAfterStart{0};
    std::atomic<uint64_t> reprimes{0};
    std::atomic<uint64_t> reprimeLostFrames{0};
    std::atomic<uint64_t> reprimeRepeatedFrames{0};
    std::atomic<uint64_t> backlogBytes{0};
    std::atomic<uint64_t> failedCues{0};
    std::atomic<int32_t> channels{0};
    // Engine thread only.
    std::unique_ptr<AudioStreamChecker> checker;
    WavWriter wav;
    std::string wavPath;
    std::vector<int16_t> silence;  // zeros in the source's channel count
    // This period's sound: its media time, when the checker could name it.
    bool periodTimeKnown = false;
    double periodTime = 0.0;
  };

  HostEngine(std::shared_ptr<kaBufferGroup2> group, std::vector<EngineVideoSource*> video,
             std::vector<EngineAudioSource*> audio);
  ~HostEngine();
  HostEngine(const HostEngine&) = delete;
  HostEngine& operator=(const HostEngine&) = delete;

  // Opens one WAV file per audio source in `outDir` and prepares the contact
  // sheet for a run of `durationSeconds`. False with a reason in `error`
  // when a file cannot be made or the filters cannot be.
  bool Open(const std::string& outDir, double durationSeconds, std::string& error);
  // Measures the lip sync of video source `video` against audio source
  // `audio`, which come from one clock, at every cue that shows a new frame.
  // Before the run; false for an index out of range.
  bool AddPair(size_t video, size_t audio);
  // Hands video source `video`'s cued picture and audio source `audio`'s
  // cued audio (an index past the list: none) to `recorder` every period.
  // Before the run; the recorder outlives it.
  void SetRecorder(ProgramRecorder* recorder, size_t video, size_t audio);
  void Start(int64_t startMicros);
  // Cues every renderer once for `cueTime` and drops what it gets, as a host
  // does when it puts sources on air: a video renderer makes its blank frame
  // now rather than in the first output period, whose audio cues must not
  // wait for it. Counts nothing. Before the run.
  void Preroll(int64_t cueTime);
  int64_t NextDueMicros() const;
  // Runs the period that is due: cues every renderer, queues the video
  // renders. Engine thread.
  void Step();
  // Runs the queued video renders. Video render thread.
  void Render();
  // The video render thread's loop: renders as work arrives until `stop` is
  // raised and nothing is left.
  void RunRenderThread(const std::atomic<bool>& stop);
  // Closes the WAV files, writes the contact sheet (its path in
  // ContactSheetPath(), empty when there is none or it failed) and empties
  // the filter cache.
  void Finish();

  uint64_t Periods() const { return periods_.load(std::memory_order_relaxed); }
  uint64_t FilterHits() const { return filterHits_.load(std::memory_order_relaxed); }
  uint64_t FilterMisses() const { return filterMisses_.load(std::memory_order_relaxed); }
  uint64_t RendersDropped() const { return rendersDropped_.load(std::memory_order_relaxed); }
  // Most that a period started after its cue time (real time; 0 on the
  // simulated clock), in microseconds.
  int64_t MaxLatenessMicros() const { return maxLatenessMicros_.load(std::memory_order_relaxed); }
  struct Pair {
    size_t video = 0;
    size_t audio = 0;
    LipSyncMeter meter;
  };
  size_t PairCount() const { return pairs_.size(); }
  const Pair& GetPair(size_t index) const { return *pairs_[index]; }
  const VideoCounters& Video(size_t index) const { return *videoCounters_[index]; }
  const AudioCounters& Audio(size_t index) const { return *audioCounters_[index]; }
  const std::string& ContactSheetPath() const { return contactSheetPath_; }

 private:
  struct VideoChain {
    kaDiscreteRenderGraph::Node node;
    std::vector<HostImageFilter*> filters;  // one reference each, released by the engine
  };

  // One video render: a cued frame and where it belongs.
  struct RenderJob {
    size_t source = 0;
    std::shared_ptr<kaBuffer2> frame;
    int64_t cueTime = 0;
    int64_t frameNumber = -1;
  };

  void CueVideo(size_t index, const ka_renderer_params& params);
  void CueAudio(size_t index, const ka_renderer_params& params);
  // After a period's cues: each pair's offset, when its frame is new and its
  // sound's media time known.
  void MeasurePairs();
  void RenderJobNow(const RenderJob& job);
  void Capture(size_t index, int64_t cueTime, int64_t frameNumber, kaBuffer2& image);

  std::shared_ptr<kaBufferGroup2> group_;
  std::shared_ptr<kaVideoFilterManager> manager_;
  std::vector<EngineVideoSource*> videoSources_;
  std::vector<EngineAudioSource*> audioSources_;
  ProgramRecorder* recorder_ = nullptr;  // engine thread offers, the recorder encodes
  size_t recordVideo_ = SIZE_MAX;
  size_t recordAudio_ = SIZE_MAX;
  std::vector<std::unique_ptr<VideoCounters>> videoCounters_;
  std::vector<std::unique_ptr<AudioCounters>> audioCounters_;
  std::vector<std::unique_ptr<VideoChain>> chains_;
  std::vector<std::unique_ptr<Pair>> pairs_;
  HostFilterPass pass_;  // render thread
  kaOutputDevice devices_[kOutputDevices] = {kaOutputDevice(0), kaOutputDevice(1)};

  int64_t start_ = 0;
  int64_t period_ = 0;  // engine thread
  std::atomic<uint64_t> periods_{0};
  std::atomic<uint64_t> filterHits_{0};
  std::atomic<uint64_t> filterMisses_{0};
  std::atomic<int64_t> maxLatenessMicros_{0};
  std::atomic<uint64_t> rendersDropped_{0};

  // Guards renderQueue_; renderReady_ wakes the render thread.
  std::mutex renderLock_;
  std::condition_variable renderReady_;
  std::deque<RenderJob> renderQueue_;

  std::unique_ptr<ContactSheet> sheet_;  // render thread
  std::string sheetTarget_;
  std::string contactSheetPath_;
  double durationSeconds_ = 0.0;
  std::vector<int> nextCapture_;  // per video source: the next column to fill
};
