#include "HostSimulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <thread>

#include "HostCallbacks.h"
#include "HostEngine.h"
#include "HostSimMedia.h"

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;
// The simulated clock starts at an arbitrary, clearly non-zero time.
constexpr int64_t kSimulatedStartMicros = 1'000'000'000;
// Real time: the threads get this long to start before the first due time.
constexpr int64_t kRealTimeLeadMicros = 50'000;
// Longest single sleep, so that a stop request is seen quickly.
constexpr int64_t kLongestSleepMicros = 20'000;
// Real-time (SCHED_FIFO) priorities of the simulator's threads. The audio
// cue reads the ring at a position fixed by its cue time, 50 ms behind where
// the writer was when the read base was pinned, so an audio delivery or an
// audio cue that runs late by a few milliseconds against that moment starves
// the reader: audio deliveries come first, then the engine. The video threads
// run real-time too, lower: they take the same locks (the recycling cache's)
// as the audio path, and a video thread preempted by some other program while
// it holds one would hold up the audio (priority inversion). All are well
// below the kernel's own real-time threads.
constexpr int kAudioSourcePriority = 12;
constexpr int kEnginePriority = 11;
constexpr int kVideoPriority = 5;

// ---- trace capture -----------------------------------------------------------

// Collects the library's trace lines (drift notes, the statistics table) for
// the summary. The sink runs under the trace manager's lock on any thread.
struct TraceCollector {
  std::mutex mutex;
  std::vector<std::string> lines;

  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
  }
};

void CollectTrace(void* context, uint32_t, const char* text, size_t length) {
  auto* collector = static_cast<TraceCollector*>(context);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  std::lock_guard<std::mutex> lock(collector->mutex);
  collector->lines.emplace_back(text, length);
}

class ScopedTraceCapture {
 public:
  explicit ScopedTraceCapture(TraceCollector& collector) {
    zTraceManager::Default().GetSink(&previousSink_, &previousContext_);
    zTraceManager::Default().SetSink(&CollectTrace, &collector);
  }
  ~ScopedTraceCapture() { zTraceManager::Default().SetSink(previousSink_, previousContext_); }
  ScopedTraceCapture(const ScopedTraceCapture&) = delete;
  ScopedTraceCapture& operator=(const ScopedTraceCapture&) = delete;

 private:
  zTraceManager::Sink previousSink_ = nullptr;
  void* previousContext_ = nullptr;
};

// The filter cache ages its entries by a steady clock; on the simulated
// clock it must age them by simulated time.
kaVideoFilterManager::Clock::time_point SimulatedSteadyNow() {
  return kaVideoFilterManager::Clock::time_point(std::chrono::microseconds(zTime::MicroNow()));
}

// The "RESET" notes of the drift detector of source `a` (its renderer is
// named "A1 <option>").
uint64_t CountDriftResets(const std::vector<std::string>& lines, const HostSimAudioSummary& a) {
  const std::string prefix = "Drift '" + a.name + " " + a.option + "' RESET";
  uint64_t resets = 0;
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) ++resets;
  }
  return resets;
}

// ---- scheduling ----------------------------------------------------------------

// Sleeps until the foundation clock reaches `due`; false when `stop` was
// raised first.
bool SleepUntil(int64_t due, const std::atomic<bool>& stop) {
  for (;;) {
    if (stop.load(std::memory_order_relaxed)) return false;
    const int64_t now = zTime::MicroNow();
    if (now >= due) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(std::min(due - now, kLongestSleepMicros)));
  }
}

// Something that acts at due times: a source delivering, the engine cueing.
struct Actor {
  std::function<int64_t()> due;
  std::function<void()> step;
  int priority = 0;  // real-time priority asked for its thread
};

// Real-time scheduling (SCHED_FIFO at `priority`) for the calling thread, as
// audio hosts ask for; true when granted. Without the privilege the thread
// keeps normal scheduling.
bool RequestRealTimeScheduling(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

// ---- status line ---------------------------------------------------------------

double Percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? -1.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

void AppendPercent(std::string& line, const char* label, double percent) {
  char text[48];
  if (percent < 0) {
    std::snprintf(text, sizeof text, " %s n/a", label);
  } else {
    std::snprintf(text, sizeof text, " %s %.1f%%", label, percent);
  }
  line += text;
}

std::string StatusLine(double elapsedSeconds, const std::vector<std::unique_ptr<HostVideoSource>>& video,
                       const std::vector<std::unique_ptr<HostAudioSource>>& audio, const HostEngine& engine,
                       kaBufferGroup2& group) {
  char text[160];
  std::snprintf(text, sizeof text, "%6.1fs", elapsedSeconds);
  std::string line = text;
  for (size_t i = 0; i < video.size(); ++i) {
    const HostEngine::VideoCounters& counters = engine.Video(i);
    std::snprintf(text, sizeof text, " | %s in %" PRIu64 " cue %" PRIu64 " blank %" PRIu64, video[i]->Name().c_str(),
                  video[i]->Delivered(), counters.cued.load(), counters.blank.load());
    line += text;
  }
  for (size_t i = 0; i < audio.size(); ++i) {
    const HostEngine::AudioCounters& counters = engine.Audio(i);
    SampleAudioRenderer& renderer = audio[i]->Renderer();
    std::snprintf(text, sizeof text,
                  " | %s in %" PRIu64 " cue %" PRIu64 " sil %" PRIu64 " und %" PRIu64 " ring %.0fms adj %" PRIu64,
                  audio[i]->Name().c_str(), audio[i]->FramesDelivered(), counters.cues.load(),
                  counters.silentBeforeStart.load(), counters.silentAfterStart.load(),
                  BacklogMs(counters.backlogBytes.load(), counters.channels.load()),
                  renderer.DriftStretches() + renderer.DriftShrinks());
    line += text;
    // Re-primes and the frames their jumps skipped (and replayed, when any).
    std::snprintf(text, sizeof text, " rp %" PRIu64 " lost %" PRIu64, counters.reprimes.load(),
                  counters.reprimeLostFrames.load());
    line += text;
    if (const uint64_t replayed = counters.reprimeRepeatedFrames.load(); replayed > 0) {
      std::snprintf(text, sizeof text, " rept %" PRIu64, replayed);
      line += text;
    }
    // Blocks received, then refused/dropped/truncated by the receive path.
    const kaPluginAudioRenderer::ReceiveCounters receive = renderer.GetReceiveCounters();
    std::snprintf(text, sizeof text, " rx %" PRIu64 " bad %" PRIu64 "/%" PRIu64 "/%" PRIu64, receive.received,
                  receive.refused, receive.dropped, receive.truncated);
    line += text;
  }
  for (size_t i = 0; i < engine.PairCount(); ++i) {
    const HostEngine::Pair& pair = engine.GetPair(i);
    if (pair.meter.Count() == 0) continue;
    std::snprintf(text, sizeof text, " | %s+%s lip %+.0f/%+.0f/%+.0fms", video[pair.video]->Name().c_str(),
                  audio[pair.audio]->Name().c_str(), pair.meter.MinMs(), pair.meter.AverageMs(), pair.meter.MaxMs());
    line += text;
  }
  const kaCacheStatistics stats = group.GetStatistics();
  line += " |";
  AppendPercent(line, "cache", Percent(stats.hits, stats.hits + stats.misses));
  AppendPercent(line, "filter", Percent(engine.FilterHits(), engine.FilterHits() + engine.FilterMisses()));
  return line;
}

// ---- the run ---------------------------------------------------------------------

// Returns how many threads were granted real-time scheduling (the actors'
// and the worker's). `worker` runs on a thread of its own until the actors
// are done.
int RunRealTime(std::vector<Actor>& actors, int64_t start, int64_t end, const std::function<void(int64_t)>& status,
                const std::function<void(const std::atomic<bool>&)>& worker) {
  std::atomic<bool> stop{false};
  std::atomic<bool> workerStop{false};
  std::atomic<int> granted{0};
  std::thread workerThread([&worker, &workerStop, &granted] {
    if (RequestRealTimeScheduling(kVideoPriority)) granted.fetch_add(1);
    worker(workerStop);
  });
  std::vector<std::thread> threads;
  threads.reserve(actors.size());
  for (Actor& actor : actors) {
    threads.emplace_back([&actor, &stop, &granted, end] {
      if (RequestRealTimeScheduling(actor.priority)) granted.fetch_add(1);
      for (;;) {
        const int64_t due = actor.due();
        if (due >= end || !SleepUntil(due, stop)) return;
        actor.step();
      }
    });
  }
  const std::atomic<bool> never{false};
  for (int64_t next = start + kMicrosPerSecond;; next += kMicrosPerSecond) {
    SleepUntil(std::min(next, end), never);
    status(std::min(next, end));
    if (next >= end) break;
  }
  stop.store(true);
  for (std::thread& thread : threads) thread.join();
  workerStop.store(true);
  workerThread.join();
  return granted.load();
}

// One driver steps every actor in due-time order on the simulated clock;
// at equal times the sources deliver before the engine cues (they come
// first in `actors`).
void RunSimulated(std::vector<Actor>& actors, zTestClock& clock, int64_t start, int64_t end,
                  const std::function<void(int64_t)>& status, const std::function<void()>& afterStep) {
  int64_t nextStatus = start + kMicrosPerSecond;
  for (;;) {
    Actor* next = nullptr;
    int64_t best = end;
    for (Actor& actor : actors) {
      const int64_t due = actor.due();
      if (due < best) {
        best = due;
        next = &actor;
      }
    }
    while (nextStatus <= best && nextStatus < end) {
      clock.Set(nextStatus);
      status(nextStatus);
      nextStatus += kMicrosPerSecond;
    }
    if (!next) break;
    clock.Set(best);
    next->step();
    afterStep();
  }
  clock.Set(end);
  status(end);
}

}  // namespace

int RunHostSimulator(const HostSimOptions& options, HostSimSummary& summary, FILE* out) {
  summary = HostSimSummary{};
  summary.simulated = options.simulated;
  summary.durationSeconds = options.durationSeconds;

  std::error_code made;
  std::filesystem::create_directories(options.outDir, made);
  if (made) {
    summary.failures.push_back("cannot make the output folder " + options.outDir + ": " + made.message());
    return 3;
  }

  TraceCollector collector;
  ScopedTraceCapture capture(collector);
  const auto wallStart = std::chrono::steady_clock::now();
  std::string setupError;
  std::shared_ptr<kaBufferGroup2> group;
  {
    std::optional<zTestClock> clock;
    kaVideoFilterManager::NowFunction previousFilterClock = nullptr;
    if (options.simulated) {
      clock.emplace(kSimulatedStartMicros);
      previousFilterClock = kaVideoFilterManager::SetClockForTesting(&SimulatedSteadyNow);
    }
    group = zNewSharedPtr<kaBufferGroup2>();
    HostCallbacks::Ptr host = HostCallbacks::Make();
    if (!group || !host) setupError = "the buffer group or the host table could not be made";

    if (setupError.empty()) {
      std::vector<std::unique_ptr<HostVideoSource>> video;
      std::vector<std::unique_ptr<HostAudioSource>> audio;
      std::vector<EngineVideoSource*> videoPointers;
      std::vector<EngineAudioSource*> audioPointers;
      // The host lines up each pair's picture and sound before it makes them.
      HostSimOptions aligned = options;
      AlignSourcePairs(aligned);
      for (size_t i = 0; i < options.video.size(); ++i) {
        video.push_back(std::make_unique<HostVideoSource>(static_cast<int>(i), aligned.video[i], *group, *host));
        if (!video.back()->IsUsable()) setupError = "video source " + options.video[i].text + " could not be made";
        videoPointers.push_back(video.back().get());
      }
      for (size_t i = 0; i < options.audio.size(); ++i) {
        audio.push_back(std::make_unique<HostAudioSource>(static_cast<int>(i), aligned.audio[i],
                                                          options.tolerancePeriods, *group, *host));
        if (!audio.back()->IsUsable()) setupError = "audio source " + options.audio[i].text + " could not be made";
        audioPointers.push_back(audio.back().get());
      }
      // Media inputs join the engine's lists after the test sources.
      HostSimMedia media(options, *group, *host);
      if (setupError.empty()) media.OpenInputs(videoPointers, audioPointers, setupError);
      HostEngine engine(group, videoPointers, audioPointers);
      for (const SourcePair& pair : options.pairs) {
        engine.AddPair(static_cast<size_t>(pair.video), static_cast<size_t>(pair.audio));
      }
      if (setupError.empty()) engine.Open(options.outDir, options.durationSeconds, setupError);
      if (setupError.empty()) media.OpenRecorder(engine, videoPointers, audioPointers, setupError);

      if (setupError.empty()) {
        const int64_t start = options.simulated ? clock->Now() : zTime::MicroNow() + kRealTimeLeadMicros;
        const int64_t end = start + zTime::SecondsToMicro(options.durationSeconds);
        std::vector<Actor> actors;
        for (std::unique_ptr<HostVideoSource>& source : video) {
          source->Start(start);
          HostVideoSource* s = source.get();
          actors.push_back({[s] { return s->NextDueMicros(); }, [s] { s->Step(); }, kVideoPriority});
        }
        for (std::unique_ptr<HostAudioSource>& source : audio) {
          source->Start(start);
          HostAudioSource* s = source.get();
          actors.push_back({[s] { return s->NextDueMicros(); }, [s] { s->Step(); }, kAudioSourcePriority});
        }
        if (options.simulated) {
          for (HostStepper* s : media.StartStepped(start)) {
            actors.push_back({[s] { return s->NextDueMicros(); }, [s] { s->Step(); }, kAudioSourcePriority});
          }
        }
        engine.Preroll(start - kMicrosPerSecond / HostEngine::kCuesPerSecond);
        engine.Start(start);
        actors.push_back({[&engine] { return engine.NextDueMicros(); }, [&engine] { engine.Step(); }, kEnginePriority});

        const bool printStatus = out && !options.quiet;
        std::function<void(int64_t)> status = [&](int64_t now) {
          if (!printStatus) return;
          const std::string line =
              StatusLine(static_cast<double>(now - start) / kMicrosPerSecond, video, audio, engine, *group) +
              media.Status();
          std::fprintf(out, "%s\n", line.c_str());
          std::fflush(out);
        };
        if (options.simulated) {
          // The video render thread's work follows each step at once.
          RunSimulated(actors, *clock, start, end, status, [&engine, &media] {
            engine.Render();
            media.WaitForRecorder();
          });
        } else {
          const int threads = static_cast<int>(actors.size()) + 1;
          media.StartRealTime();
          summary.realTimeScheduling =
              RunRealTime(actors, start, end, status,
                          [&engine](const std::atomic<bool>& stop) { engine.RunRenderThread(stop); }) == threads;
          media.Stop();
        }
        engine.Finish();
        media.FinishRecording(engine.Periods());

        summary.periods = engine.Periods();
        summary.engineMaxLateMs = static_cast<double>(engine.MaxLatenessMicros()) / 1000.0;
        summary.filterHits = engine.FilterHits();
        summary.filterMisses = engine.FilterMisses();
        summary.rendersDropped = engine.RendersDropped();
        summary.hostVideoCalls = host->VideoCalls();
        summary.hostAudioCalls = host->AudioCalls();
        summary.contactSheetPath = engine.ContactSheetPath();
        for (size_t i = 0; i < video.size(); ++i) {
          const HostEngine::VideoCounters& c = engine.Video(i);
          HostSimVideoSummary v;
          v.name = video[i]->Name();
          v.option = options.video[i].text;
          v.delivered = video[i]->Delivered();
          v.failedFrames = video[i]->Failed();
          CopyEngineCounters(c, v);
          v.deliveryMaxLateMs = static_cast<double>(video[i]->Lateness().MaxMicros()) / 1000.0;
          v.deliveryStalls = video[i]->Lateness().Stalls();
          summary.video.push_back(v);
        }
        for (size_t i = 0; i < audio.size(); ++i) {
          const HostEngine::AudioCounters& c = engine.Audio(i);
          const AudioStreamChecker::Counts& counts = c.checker->GetCounts();
          SampleAudioRenderer& renderer = audio[i]->Renderer();
          HostSimAudioSummary a;
          a.name = audio[i]->Name();
          a.option = options.audio[i].text;
          a.counterCheck = audio[i]->SendsCounter();
          CopyEngineCounters(c, renderer, a);
          a.framesDelivered = audio[i]->FramesDelivered();
          a.blocks = audio[i]->Blocks();
          a.lostFrames = counts.lostFrames;
          a.repeatedFrames = counts.repeatedFrames;
          a.reprimeLostFrames = counts.reprimeLostFrames;
          a.reprimeRepeatedFrames = counts.reprimeRepeatedFrames;
          a.corruptPeriods = counts.corruptPeriods;
          a.driftStretches = renderer.DriftStretches();
          a.driftShrinks = renderer.DriftShrinks();
          // A drift correction that drops a frame shows as one lost frame, one
          // that adds a frame as one repeated frame; corrections still in the
          // ring when the run ends have not reached the output yet.
          a.unexpectedLost = a.lostFrames - std::min(a.lostFrames, a.driftShrinks);
          a.unexpectedRepeated = a.repeatedFrames - std::min(a.repeatedFrames, a.driftStretches);
          a.deliveryMaxLateMs = static_cast<double>(audio[i]->Lateness().MaxMicros()) / 1000.0;
          a.deliveryStalls = audio[i]->Lateness().Stalls();
          const AudioStreamChecker::Quality& quality = c.checker->GetQuality();
          a.heardHz = audio[i]->HeardTone().frequency;
          a.qualityPeriods = quality.periods;
          a.residualPeakDbfs = quality.ResidualPeakDbfs();
          a.sinadDb = quality.SinadDb();
          a.wanderFrames = counts.maxWanderFrames;
          a.smoothDrift = options.audio[i].driftCorrection && options.audio[i].smoothDrift;
          const kaPluginAudioRenderer::SmoothDriftStatus smooth = renderer.GetSmoothDriftStatus();
          a.smoothRatioPpm = (smooth.ratio - 1.0) * 1e6;
          a.smoothPeakLevelFrames = smooth.peakLevelError;
          a.smoothRestarts = smooth.restarts;
          summary.audio.push_back(a);
        }
        media.Summarize(engine, summary);
        for (size_t i = 0; i < engine.PairCount(); ++i) {
          const HostEngine::Pair& pair = engine.GetPair(i);
          HostSimPairSummary p;
          p.name = video[pair.video]->Name() + "+" + audio[pair.audio]->Name();
          p.videoDelay = aligned.video[pair.video].delaySeconds;
          p.soundLatency = aligned.audio[pair.audio].lipSyncLatency;
          p.cueLatency = audio[pair.audio]->Renderer().GetCueLatency();
          p.measured = pair.meter.Count();
          p.minMs = pair.meter.MinMs();
          p.avgMs = pair.meter.AverageMs();
          p.maxMs = pair.meter.MaxMs();
          summary.pairs.push_back(p);
        }
      }
      // The engine, then the sources (their renderers log the drift
      // detectors' final lines as they go), then the host table.
    }
    // Everything the library traced so far came from the drift detectors:
    // notes during the run and each detector's final line.
    summary.driftLines = collector.Take();
    for (HostSimAudioSummary& a : summary.audio) a.driftResets = CountDriftResets(summary.driftLines, a);
    if (group) summary.cache = group->GetStatistics();
    if (options.simulated) kaVideoFilterManager::SetClockForTesting(previousFilterClock);
  }
  summary.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  if (!setupError.empty()) {
    summary.failures.push_back(setupError);
    if (out) std::fprintf(out, "kasp2-hostsim: %s\n", setupError.c_str());
    return 3;
  }
  kaBufferGroup2::TraceBufferStatistics({{"hostsim", summary.cache}});
  summary.statisticsLines = collector.Take();
  group.reset();

  EvaluateHostSimSummary(summary, options);
  if (out) PrintHostSimSummary(summary, options.quiet, out);
  return summary.failures.empty() ? 0 : 1;
}
