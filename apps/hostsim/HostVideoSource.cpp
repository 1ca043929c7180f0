#include "HostVideoSource.h"

#include <cmath>

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
    : name_(std::string(1, 'V').append(std::to_string(index + 1))),  // not "V" + ...: GCC 12 -O3 -Wrestrict
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

int64_t HostVideoSource::FrameTimeMicros(int64_t frameNumber) const {
  const int64_t media = generator_.FrameStartMicros(frameNumber);
  if (options_.ppm == 0.0) return start_ + media;
  // media × 1e9 / (1e9 + ppb): a fast clock delivers its frames early.
  __extension__ using Int128 = __int128;
  constexpr int64_t kBillion = 1'000'000'000;
  const auto ppb = static_cast<int64_t>(std::llround(options_.ppm * 1000.0));
  const Int128 due = static_cast<Int128>(media) * kBillion / (kBillion + ppb);
  return start_ + static_cast<int64_t>(due);
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
