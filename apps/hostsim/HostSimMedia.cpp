#include "HostSimMedia.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

namespace {

// The recorded picture when the program has no video source, and the
// recorded channels when it has no audio source.
constexpr int32_t kDefaultRecordWidth = 640;
constexpr int32_t kDefaultRecordHeight = 360;
constexpr int32_t kDefaultRecordChannels = 2;

std::string DescribeStreams(const MediaInputStream::Info& info) {
  char text[160] = "";
  int used = 0;
  if (info.hasVideo) {
    const char* format = av_get_pix_fmt_name(info.pixelFormat);
    used = std::snprintf(text, sizeof text, "%dx%d %s", info.width, info.height, format ? format : "?");
  }
  if (info.hasAudio && used >= 0 && static_cast<size_t>(used) < sizeof text) {
    const char* format = av_get_sample_fmt_name(info.sampleFormat);
    std::snprintf(text + used, sizeof text - static_cast<size_t>(used), "%s%s %d Hz %d ch", used > 0 ? "; " : "",
                  format ? format : "?", info.sampleRate, info.channels);
  }
  return text;
}

}  // namespace

double BacklogMs(uint64_t bytes, int32_t channels) {
  if (channels <= 0) return 0.0;
  return static_cast<double>(bytes) / (channels * 2.0) / (kaPluginAudioRenderer::kWorkingSampleRate / 1000.0);
}

void CopyEngineCounters(const HostEngine::VideoCounters& counters, HostSimVideoSummary& row) {
  row.cued = counters.cued.load();
  row.shown = counters.shown.load();
  row.blank = counters.blank.load();
  row.blankAfterFirst = counters.blankAfterFirst.load();
  row.backwards = counters.backwards.load();
  row.latencyAvgMs =
      counters.latencyCount ? counters.latencySumMs / static_cast<double>(counters.latencyCount) : 0.0;
  row.latencyMaxMs = counters.latencyMaxMs;
}

void CopyEngineCounters(const HostEngine::AudioCounters& counters, SampleAudioRenderer& renderer,
                        HostSimAudioSummary& row) {
  const AudioStreamChecker::Counts& counts = counters.checker->GetCounts();
  row.started = counts.started;
  row.cues = counters.cues.load();
  row.silentBeforeStart = counts.silentBeforeStart;
  row.underruns = counts.silentAfterStart;
  row.reprimes = counts.reprimes;
  row.primes = renderer.PrimeCount();
  row.receive = renderer.GetReceiveCounters();
  row.backlogMs = BacklogMs(counters.backlogBytes.load(), counters.channels.load());
  row.wavPath = counters.wavPath;
}

HostSimMedia::HostSimMedia(const HostSimOptions& options, kaBufferGroup2& group, kaSourcesPluginMethods& host)
    : options_(options), group_(group), host_(host) {}

HostSimMedia::~HostSimMedia() { Stop(); }

bool HostSimMedia::OpenInputs(std::vector<EngineVideoSource*>& video, std::vector<EngineAudioSource*>& audio,
                              std::string& error) {
  for (size_t i = 0; i < options_.inputs.size(); ++i) {
    auto input = std::make_unique<HostMediaInput>(static_cast<int>(i), static_cast<int>(video.size()) + 1,
                                                  static_cast<int>(audio.size()) + 1, options_.inputs[i],
                                                  options_.tolerancePeriods, group_, host_);
    if (!input->Open(error)) {
      error = input->Name() + ": " + error;
      return false;
    }
    const int videoIndex = input->Video() ? static_cast<int>(video.size()) : -1;
    const int audioIndex = input->Audio() ? static_cast<int>(audio.size()) : -1;
    if (input->Video()) video.push_back(input->Video());
    if (input->Audio()) audio.push_back(input->Audio());
    input->SetEngineIndices(videoIndex, audioIndex);
    videoIndex_.push_back(videoIndex);
    audioIndex_.push_back(audioIndex);
    inputs_.push_back(std::move(input));
  }
  return true;
}

bool HostSimMedia::OpenRecorder(HostEngine& engine, const std::vector<EngineVideoSource*>& video,
                                const std::vector<EngineAudioSource*>& audio, std::string& error) {
  const RecordOptions& asked = options_.record;
  if (asked.path.empty()) return true;
  int videoIndex = video.empty() ? -1 : 0;
  int audioIndex = audio.empty() ? -1 : 0;
  if (asked.input >= 0 && static_cast<size_t>(asked.input) < inputs_.size()) {
    videoIndex = videoIndex_[static_cast<size_t>(asked.input)];
    audioIndex = audioIndex_[static_cast<size_t>(asked.input)];
  }
  ProgramRecorder::Settings settings;
  settings.path = asked.path;
  settings.width = videoIndex >= 0 ? video[static_cast<size_t>(videoIndex)]->PictureWidth() : kDefaultRecordWidth;
  settings.height = videoIndex >= 0 ? video[static_cast<size_t>(videoIndex)]->PictureHeight() : kDefaultRecordHeight;
  settings.channels =
      audioIndex >= 0 ? audio[static_cast<size_t>(audioIndex)]->SourceChannels() : kDefaultRecordChannels;
  recorder_ = std::make_unique<ProgramRecorder>();
  if (!recorder_->Open(settings, error)) {
    recorder_.reset();
    return false;
  }
  record_.path = asked.path;
  record_.source = (videoIndex >= 0 ? video[static_cast<size_t>(videoIndex)]->Name() : std::string("black")) + " + " +
                   (audioIndex >= 0 ? audio[static_cast<size_t>(audioIndex)]->Name() : std::string("silence"));
  const ProgramRecorder::Settings& recorded = recorder_->RecordedSettings();
  record_.width = recorded.width;
  record_.height = recorded.height;
  record_.channels = recorded.channels;
  record_.videoCodec = recorder_->VideoCodec();
  record_.audioCodec = recorder_->AudioCodec();
  engine.SetRecorder(recorder_.get(), videoIndex >= 0 ? static_cast<size_t>(videoIndex) : SIZE_MAX,
                     audioIndex >= 0 ? static_cast<size_t>(audioIndex) : SIZE_MAX);
  return true;
}

std::vector<HostStepper*> HostSimMedia::StartStepped(int64_t startMicros) {
  std::vector<HostStepper*> steppers;
  for (std::unique_ptr<HostMediaInput>& input : inputs_) {
    if (input->StartStepped(startMicros)) steppers.push_back(input.get());
  }
  return steppers;
}

void HostSimMedia::StartRealTime() {
  for (std::unique_ptr<HostMediaInput>& input : inputs_) input->StartRealTime();
}

void HostSimMedia::Stop() {
  for (std::unique_ptr<HostMediaInput>& input : inputs_) input->Stop();
}

void HostSimMedia::FinishRecording(uint64_t periods) {
  if (!recorder_) return;
  std::string error;
  if (!recorder_->Finish(periods, error)) record_.error = error;
  record_.periods = recorder_->PeriodsWritten();
  record_.overflows = recorder_->Overflows();
  record_.unconvertible = recorder_->Unconvertible();
  record_.errors = recorder_->Errors();
}

std::string HostSimMedia::Status() const {
  std::string line;
  char text[128];
  for (const std::unique_ptr<HostMediaInput>& input : inputs_) {
    const MediaSource::Counters c = input->Counters();
    std::snprintf(text, sizeof text, " | %s fr %" PRIu64 " au %" PRIu64 " err %" PRIu64 " stall %" PRIu64 "%s",
                  input->Name().c_str(), c.framesDelivered, c.audioFrames, c.decodeErrors + c.convertFailures, c.stalls,
                  c.ended ? " end" : "");
    line += text;
  }
  return line;
}

void HostSimMedia::Summarize(const HostEngine& engine, HostSimSummary& summary) const {
  for (size_t k = 0; k < inputs_.size(); ++k) {
    HostMediaInput& input = *inputs_[k];
    const MediaSource::Counters c = input.Counters();
    HostSimInputSummary s;
    s.name = input.Name();
    s.option = input.Options().text;
    s.streams = DescribeStreams(input.StreamInfo());
    s.framesDecoded = c.framesDecoded;
    s.framesDelivered = c.framesDelivered;
    s.audioBlocks = c.audioBlocks;
    s.audioFrames = c.audioFrames;
    s.decodeErrors = c.decodeErrors;
    s.convertFailures = c.convertFailures;
    s.stalls = c.stalls;
    s.loops = c.loops;
    s.reopens = c.reopens;
    s.ended = c.ended;
    if (videoIndex_[k] >= 0) {
      const HostEngine::VideoCounters& counters = engine.Video(static_cast<size_t>(videoIndex_[k]));
      HostSimVideoSummary v;
      v.name = s.video = input.Video()->Name();
      v.option = s.option;
      v.input = static_cast<int>(k);
      v.delivered = c.framesDelivered;
      v.failedFrames = c.convertFailures;
      CopyEngineCounters(counters, v);
      v.deliveryStalls = c.stalls;
      summary.video.push_back(v);
    }
    if (audioIndex_[k] >= 0) {
      const HostEngine::AudioCounters& counters = engine.Audio(static_cast<size_t>(audioIndex_[k]));
      HostSimAudioSummary a;
      a.name = s.audio = input.Audio()->Name();
      a.option = s.option;
      a.input = static_cast<int>(k);
      CopyEngineCounters(counters, *input.AudioRenderer(), a);
      a.framesDelivered = c.audioFrames;
      a.blocks = c.audioBlocks;
      a.deliveryStalls = c.stalls;
      summary.audio.push_back(a);
    }
    summary.inputs.push_back(s);
  }
  summary.record = record_;
}
