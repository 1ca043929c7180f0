#include "HostMediaInput.h"

#include <cstdio>

namespace {

// "I1", "V3": formatted, and names joined by append, because GCC 12 at -O3
// takes the concatenation operators for an overlapping copy (-Wrestrict).
std::string Numbered(const char* prefix, int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%s%d", prefix, number);
  return text;
}

std::string Joined(const std::string& name, const std::string& option) {
  std::string text;
  text.reserve(name.size() + 1 + option.size());
  text.append(name).append(" ").append(option);
  return text;
}

}  // namespace

// The input's picture, as the engine sees it: frames numbered and stamped
// with their due time by the plug-in.
class HostMediaInput::Picture final : public EngineVideoSource {
 public:
  Picture(const std::string& name, SampleVideoRenderer& renderer, int32_t width, int32_t height)
      : name_(name), renderer_(renderer), width_(width), height_(height) {}
  const std::string& Name() const override { return name_; }
  kaRenderer2& CueRenderer() override { return renderer_; }
  int32_t PictureWidth() const override { return width_; }
  int32_t PictureHeight() const override { return height_; }
  int64_t FrameNumber(const kaBuffer2& frame) const override { return frame.AsInt64(MediaSource::kFrameNumberKey, -1); }
  int64_t FrameDueMicros(const kaBuffer2& frame, int64_t) const override {
    return frame.AsInt64(MediaSource::kDueTimeKey, 0);
  }
  // The stream's time is not known from a number alone; nothing measures it.
  int64_t MediaTimeMicros(int64_t) const override { return 0; }
  int PairedWith() const override { return pairedWith_; }
  void SetPairedWith(int index) { pairedWith_ = index; }

 private:
  std::string name_;
  SampleVideoRenderer& renderer_;
  int pairedWith_ = -1;
  int32_t width_;
  int32_t height_;
};

// The input's sound: the stream's own format, rate and channels; its cued
// audio is checked for silence and re-primes only.
class HostMediaInput::Sound final : public EngineAudioSource {
 public:
  Sound(const std::string& name, SampleAudioRenderer& renderer, uint32_t format, int32_t rate, int32_t channels)
      : name_(name), renderer_(renderer), format_(format), rate_(rate), channels_(channels) {}
  const std::string& Name() const override { return name_; }
  SampleAudioRenderer& CueRenderer() override { return renderer_; }
  uint32_t SourceFormat() const override { return format_; }
  int32_t SourceRate() const override { return rate_; }
  int32_t SourceChannels() const override { return channels_; }
  AudioStreamChecker::Mode CheckMode() const override { return AudioStreamChecker::Mode::kSound; }
  int PairedWith() const override { return pairedWith_; }
  void SetPairedWith(int index) { pairedWith_ = index; }

 private:
  std::string name_;
  SampleAudioRenderer& renderer_;
  int pairedWith_ = -1;
  uint32_t format_;
  int32_t rate_;
  int32_t channels_;
};

HostMediaInput::HostMediaInput(int index, int videoNumber, int audioNumber, const InputOptions& options,
                               int tolerancePeriods, kaBufferGroup2& group, kaSourcesPluginMethods& host)
    : name_(Numbered("I", index + 1)),
      options_(options),
      videoName_(Numbered("V", videoNumber)),
      audioName_(Numbered("A", audioNumber)) {
  videoRenderer_ = SampleVideoRenderer::Make(Joined(videoName_, options.text), group, host);
  audioRenderer_ = SampleAudioRenderer::Make(Joined(audioName_, options.text), group, host);
  if (audioRenderer_) audioRenderer_->SetTolerancePeriods(tolerancePeriods);
  MediaSource::Settings settings;
  settings.url = options.url;
  settings.atEnd = options.loop ? MediaSource::AtEnd::kLoop : MediaSource::AtEnd::kStop;
  source_ = std::make_unique<MediaSource>(settings, group, videoRenderer_.get(), audioRenderer_.get());
}

HostMediaInput::~HostMediaInput() {
  source_->Stop();
  // The plug-in releases its references to the renderers before they go.
  source_.reset();
}

bool HostMediaInput::Open(std::string& error) {
  if (!videoRenderer_ || !audioRenderer_) {
    error = "the renderers could not be made";
    return false;
  }
  if (!source_->Open(error)) return false;
  const MediaInputStream::Info& info = source_->OpenedInfo();
  if (info.hasVideo) video_ = std::make_unique<Picture>(videoName_, *videoRenderer_, info.width, info.height);
  if (info.hasAudio) {
    const uint32_t format = MediaAudioInterleaver::RendererFormat(info.sampleFormat);
    audio_ = std::make_unique<Sound>(audioName_, *audioRenderer_, format, info.sampleRate, info.channels);
  }
  return true;
}

EngineVideoSource* HostMediaInput::Video() const { return video_.get(); }
EngineAudioSource* HostMediaInput::Audio() const { return audio_.get(); }

void HostMediaInput::SetEngineIndices(int videoIndex, int audioIndex) {
  if (video_) video_->SetPairedWith(audio_ ? audioIndex : -1);
  if (audio_) audio_->SetPairedWith(video_ ? videoIndex : -1);
}
