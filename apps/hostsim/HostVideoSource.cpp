#include "HostVideoSource.h"

namespace {

TestPatternGenerator::Settings PatternSettings(const VideoSourceOptions& options) {
  TestPatternGenerator::Settings settings;
  settings.width = options.width;
  settings.height = options.height;
  settings.rasterType = options.rasterType;
  settings.timeScale = options.timeScale;
  settings.frameDuration = options.frameDuration;
  return settings;
}

}  // namespace

HostVideoSource::HostVideoSource(int index, const VideoSourceOptions& options, kaBufferGroup2& group,
                                 kaSourcesPluginMethods& host)
    : name_("V" + std::to_string(index + 1)),
      options_(options),
      group_(group),
      generator_(PatternSettings(options)),
      renderer_(SampleVideoRenderer::Make(name_ + " " + options.text, group, host)) {
  if (!renderer_ || options.delaySeconds <= 0.0) return;
  void* delay = nullptr;
  if (renderer_->QueryInterface("kaXIVideoLiveDelay", &delay) == 0 && delay) {
    auto* liveDelay = static_cast<kaXIVideoLiveDelay*>(delay);
    liveDelay->SetVideoDelay(options.delaySeconds);
    liveDelay->Release();
  }
}

void HostVideoSource::Step() {
  lateness_.Record(NextDueMicros(), zTime::MicroNow());
  ++attempts_;
  kaBuffer2* frame = generator_.NextFrame(group_);
  if (!frame) {
    failed_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  renderer_->OnReceiveVideo(frame);
  frame->Release();  // the renderer holds its own reference
  delivered_.fetch_add(1, std::memory_order_relaxed);
}
