#include "HostEngine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "BorderFilter.h"
#include "ThumbnailFilter.h"

namespace {

// Border colours of the chains, one per video source in turn (0xRRGGBB).
constexpr uint32_t kChainColours[] = {0xE0A020, 0x20A0E0, 0xA020E0, 0x20E060, 0xE02040, 0xE0E0E0};

std::string FourCCText(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[static_cast<size_t>(i)] = static_cast<char>(code >> (24 - 8 * i));
  return text;
}

}  // namespace

HostEngine::HostEngine(std::shared_ptr<kaBufferGroup2> group, std::vector<EngineVideoSource*> video,
                       std::vector<EngineAudioSource*> audio)
    : group_(std::move(group)), videoSources_(std::move(video)), audioSources_(std::move(audio)) {
  if (group_) manager_ = group_->VideoFilterManager();
  for (size_t i = 0; i < videoSources_.size(); ++i) videoCounters_.push_back(std::make_unique<VideoCounters>());
  for (size_t i = 0; i < audioSources_.size(); ++i) audioCounters_.push_back(std::make_unique<AudioCounters>());
}

HostEngine::~HostEngine() {
  for (std::unique_ptr<VideoChain>& chain : chains_) {
    chain->node.Filters().clear();  // the entries' references
    for (HostImageFilter* filter : chain->filters) filter->Release();
  }
}

bool HostEngine::Open(const std::string& outDir, double durationSeconds, std::string& error) {
  durationSeconds_ = durationSeconds;
  if (!group_ || !manager_) {
    error = "the buffer group or its filter manager could not be made";
    return false;
  }
  int32_t tileHeight = 0;
  for (size_t i = 0; i < videoSources_.size(); ++i) {
    auto chain = std::make_unique<VideoChain>();
    const int32_t width = std::max(videoSources_[i]->PictureWidth(), 1);
    const int32_t height = videoSources_[i]->PictureHeight();
    // A picture narrower than the tile is not scaled up (a long run of a
    // small picture spends its time on nothing else).
    const int32_t thumbnailWidth = std::min(kThumbnailWidth, width);
    ThumbnailFilter* thumbnail = ThumbnailFilter::Make(pass_, thumbnailWidth);
    if (thumbnail) chain->filters.push_back(thumbnail);
    const uint32_t colour = kChainColours[i % std::size(kChainColours)];
    BorderFilter* border = BorderFilter::Make(pass_, colour);
    if (border) chain->filters.push_back(border);
    if (!thumbnail || !border) {
      chains_.push_back(std::move(chain));
      error = "the image filters could not be made";
      return false;
    }
    char identity[32];
    std::snprintf(identity, sizeof identity, "thumbnail:%d", thumbnailWidth);
    chain->node.Filters().push_back(HostImageFilter::MakeEntry(*thumbnail, identity));
    std::snprintf(identity, sizeof identity, "border:%06x", colour);
    chain->node.Filters().push_back(HostImageFilter::MakeEntry(*border, identity));
    chains_.push_back(std::move(chain));
    tileHeight = std::max(tileHeight, static_cast<int32_t>(static_cast<int64_t>(thumbnailWidth) * height /
                                                           width) & ~1);
  }
  if (!videoSources_.empty()) {
    sheet_ = std::make_unique<ContactSheet>(kContactColumns, static_cast<int32_t>(videoSources_.size()),
                                            kThumbnailWidth, std::max(tileHeight, 2));
    sheetTarget_ = outDir + "/contact-sheet.png";
    nextCapture_.assign(videoSources_.size(), 0);
  }
  for (size_t i = 0; i < audioSources_.size(); ++i) {
    const EngineAudioSource& source = *audioSources_[i];
    AudioCounters& counters = *audioCounters_[i];
    counters.checker = std::make_unique<AudioStreamChecker>(source.CheckMode(), source.CheckTone(),
                                                            kaPluginAudioRenderer::kWorkingSampleRate);
    char name[96];
    std::snprintf(name, sizeof name, "/audio%zu-%s-%d-%dch.wav", i + 1, FourCCText(source.SourceFormat()).c_str(),
                  source.SourceRate(), source.SourceChannels());
    counters.wavPath = outDir + name;
    if (!counters.wav.Open(counters.wavPath, source.SourceChannels(), kaPluginAudioRenderer::kWorkingSampleRate)) {
      error = "cannot write " + counters.wavPath;
      return false;
    }
  }
  return true;
}

void HostEngine::Start(int64_t startMicros) {
  start_ = startMicros;
  period_ = 0;
}

void HostEngine::Preroll(int64_t cueTime) {
  ka_renderer_params params;
  params.cueTime = cueTime;
  for (EngineAudioSource* source : audioSources_) {
    kaBuffer2* out = nullptr;
    static_cast<kaRenderer2&>(source->CueRenderer()).Cue(&out, params);
    if (out) out->Release();
  }
  for (EngineVideoSource* source : videoSources_) {
    kaBuffer2* out = nullptr;
    source->CueRenderer().Cue(&out, params);
    if (out) out->Release();
  }
}

int64_t HostEngine::NextDueMicros() const {
  // Rounded up to the microsecond: the audio cue maps these times to exact
  // 1600-frame steps.
  return start_ + (period_ * 1'000'000 + kCuesPerSecond - 1) / kCuesPerSecond;
}

void HostEngine::Step() {
  ka_renderer_params params;
  params.cueTime = NextDueMicros();
  const int64_t lateness = zTime::MicroNow() - params.cueTime;
  if (lateness > maxLatenessMicros_.load(std::memory_order_relaxed)) {
    maxLatenessMicros_.store(lateness, std::memory_order_relaxed);
  }
  // Audio first: each audio cue reads the ring at the position of its cue
  // time while the writer keeps going, so the moment of the audio cues should
  // vary as little as possible from period to period.
  for (size_t i = 0; i < audioSources_.size(); ++i) CueAudio(i, params);
  for (size_t i = 0; i < videoSources_.size(); ++i) CueVideo(i, params);
  MeasurePairs();
  if (recorder_) recorder_->CommitPeriod();
  ++period_;
  periods_.fetch_add(1, std::memory_order_relaxed);
}

void HostEngine::CueVideo(size_t index, const ka_renderer_params& params) {
  VideoCounters& counters = *videoCounters_[index];
  EngineVideoSource& source = *videoSources_[index];
  counters.newFrame = -1;
  kaBuffer2* frame = nullptr;
  kaRenderer2& renderer = source.CueRenderer();  // the host knows renderers by their base
  renderer.Cue(&frame, params);
  if (!frame) {
    counters.failedCues.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::shared_ptr<kaBuffer2> input = zAsSharedPtr(frame);  // adopts the cue's reference
  if (!input) return;
  counters.cued.fetch_add(1, std::memory_order_relaxed);

  if (recorder_ && index == recordVideo_) recorder_->OfferVideo(*input);

  const int64_t frameNumber = source.FrameNumber(*input);
  if (frameNumber < 0) {
    counters.blank.fetch_add(1, std::memory_order_relaxed);
    if (counters.lastFrame >= 0) counters.blankAfterFirst.fetch_add(1, std::memory_order_relaxed);
  } else {
    if (frameNumber < counters.lastFrame) counters.backwards.fetch_add(1, std::memory_order_relaxed);
    if (frameNumber > counters.lastFrame) counters.newFrame = frameNumber;
    if (frameNumber != counters.lastFrame) counters.shown.fetch_add(1, std::memory_order_relaxed);
    counters.lastFrame = std::max(counters.lastFrame, frameNumber);
    const double latencyMs = static_cast<double>(params.cueTime - source.FrameDueMicros(*input, frameNumber)) / 1000.0;
    counters.latencySumMs += latencyMs;
    counters.latencyMaxMs = std::max(counters.latencyMaxMs, latencyMs);
    ++counters.latencyCount;
  }

  RenderJob job;
  job.source = index;
  job.frame = std::move(input);
  job.cueTime = params.cueTime;
  job.frameNumber = frameNumber;
  {
    std::lock_guard<std::mutex> lock(renderLock_);
    if (renderQueue_.size() >= kMaxPendingRenders) {
      rendersDropped_.fetch_add(1, std::memory_order_relaxed);
      return;  // the frame is released here, on the engine thread
    }
    renderQueue_.push_back(std::move(job));
  }
  renderReady_.notify_one();
}

void HostEngine::Render() {
  for (;;) {
    RenderJob job;
    {
      std::lock_guard<std::mutex> lock(renderLock_);
      if (renderQueue_.empty()) return;
      job = std::move(renderQueue_.front());
      renderQueue_.pop_front();
    }
    RenderJobNow(job);
  }
}

void HostEngine::RunRenderThread(const std::atomic<bool>& stop) {
  constexpr std::chrono::milliseconds kWakeInterval{20};  // to see `stop` without work
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(renderLock_);
      renderReady_.wait_for(lock, kWakeInterval, [this, &stop] { return !renderQueue_.empty() || stop.load(); });
      if (renderQueue_.empty() && stop.load()) return;
    }
    Render();
  }
}

void HostEngine::RenderJobNow(const RenderJob& job) {
  VideoChain& chain = *chains_[job.source];
  xCUnknown& context = *group_;
  for (kaOutputDevice& device : devices_) {
    std::shared_ptr<kaBuffer2> result = manager_->LocateCachedBufferForFilterGraph(chain.node, job.frame);
    if (result) {
      filterHits_.fetch_add(1, std::memory_order_relaxed);
    } else {
      filterMisses_.fetch_add(1, std::memory_order_relaxed);
      pass_.image = job.frame;
      result = manager_->RunVideoFilterGraph(chain.node, job.frame, context, device, group_);
      pass_.image.reset();
    }
    if (result && &device == &devices_[0]) Capture(job.source, job.cueTime, job.frameNumber, *result);
  }
  // Housekeeping after every render: results then expire one at a time, and
  // the recycling cache (at most five idle buffers per format) takes each
  // back for the next run instead of destroying a burst of them.
  manager_->PerformCacheHousekeeping(std::nullopt);
}

void HostEngine::Capture(size_t index, int64_t cueTime, int64_t frameNumber, kaBuffer2& image) {
  if (!sheet_ || nextCapture_[index] >= kContactColumns) return;
  const int column = nextCapture_[index];
  // Column c shows the first program picture at or after (c + 0.5) / 6 of the run.
  const double at = (column + 0.5) * durationSeconds_ / kContactColumns;
  const double seconds = static_cast<double>(cueTime - start_) / 1e6;
  if (seconds < at) return;
  char label[48];
  if (frameNumber >= 0) {
    std::snprintf(label, sizeof label, "%.3f  %07" PRId64, seconds, frameNumber % 10'000'000);
  } else {
    std::snprintf(label, sizeof label, "%.3f  -", seconds);
  }
  sheet_->SetTile(static_cast<int32_t>(index), column, image, label);
  ++nextCapture_[index];
}

void HostEngine::CueAudio(size_t index, const ka_renderer_params& params) {
  AudioCounters& counters = *audioCounters_[index];
  SampleAudioRenderer& renderer = audioSources_[index]->CueRenderer();
  counters.periodTimeKnown = false;
  const uint64_t primesBefore = renderer.PrimeCount();
  kaBuffer2* out = nullptr;
  static_cast<kaRenderer2&>(renderer).Cue(&out, params);
  const bool newReadBase = renderer.PrimeCount() > primesBefore;
  if (!out) {
    counters.failedCues.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const int32_t channels = out->Channels();
  const unsigned char* storage = out->GetStorage();
  if (storage && channels > 0) {
    const int32_t frames = static_cast<int32_t>(out->StorageSize() / (static_cast<uint32_t>(channels) * 2u));
    const auto* samples = reinterpret_cast<const int16_t*>(storage);
    counters.checker->AddPeriod(samples, frames, channels, newReadBase);
    counters.periodTimeKnown = counters.checker->LastPeriodMediaTime(&counters.periodTime);
    // Until its first block arrives a renderer cues silence of two channels;
    // the file keeps the source's channel count and gets silence instead.
    if (recorder_ && index == recordAudio_) recorder_->OfferAudio(samples, frames, channels);
    if (channels == audioSources_[index]->SourceChannels()) {
      counters.wav.Write(samples, frames);
    } else {
      counters.silence.resize(static_cast<size_t>(frames) * audioSources_[index]->SourceChannels());
      counters.wav.Write(counters.silence.data(), frames);
    }
  }
  out->Release();
  const AudioStreamChecker::Counts& counts = counters.checker->GetCounts();
  counters.cues.fetch_add(1, std::memory_order_relaxed);
  counters.silentBeforeStart.store(counts.silentBeforeStart, std::memory_order_relaxed);
  counters.silentAfterStart.store(counts.silentAfterStart, std::memory_order_relaxed);
  counters.reprimes.store(counts.reprimes, std::memory_order_relaxed);
  counters.reprimeLostFrames.store(counts.reprimeLostFrames, std::memory_order_relaxed);
  counters.reprimeRepeatedFrames.store(counts.reprimeRepeatedFrames, std::memory_order_relaxed);
  counters.backlogBytes.store(renderer.BacklogBytes(), std::memory_order_relaxed);
  counters.channels.store(channels, std::memory_order_relaxed);
}

void HostEngine::SetRecorder(ProgramRecorder* recorder, size_t video, size_t audio) {
  recorder_ = recorder;
  recordVideo_ = video;
  recordAudio_ = audio;
}

bool HostEngine::AddPair(size_t video, size_t audio) {
  if (video >= videoSources_.size() || audio >= audioSources_.size()) return false;
  auto pair = std::make_unique<Pair>();
  pair->video = video;
  pair->audio = audio;
  pairs_.push_back(std::move(pair));
  return true;
}

// The frame shown first at this cue began at its media time; the sound cued
// for the same output period began at the checker's. Their difference is how
// late the sound of that instant comes against its picture.
void HostEngine::MeasurePairs() {
  for (std::unique_ptr<Pair>& pair : pairs_) {
    const VideoCounters& video = *videoCounters_[pair->video];
    const AudioCounters& audio = *audioCounters_[pair->audio];
    if (video.newFrame < 0 || !audio.periodTimeKnown) continue;
    const double frameSeconds =
        static_cast<double>(videoSources_[pair->video]->MediaTimeMicros(video.newFrame)) / 1e6;
    pair->meter.Add(LipSyncOffsetMs(frameSeconds, audio.periodTime, audio.checker->PatternSeconds()));
  }
}

void HostEngine::Finish() {
  Render();  // whatever the render thread left
  for (std::unique_ptr<AudioCounters>& counters : audioCounters_) counters->wav.Close();
  if (sheet_ && sheet_->WritePng(sheetTarget_)) contactSheetPath_ = sheetTarget_;
  if (manager_) manager_->PerformCacheHousekeeping(std::chrono::seconds(0));
}
