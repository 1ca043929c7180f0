// The smallest host of the sample plug-ins: one buffer group, one video and
// one audio source renderer. It delivers three test-pattern frames and 100 ms
// of counter audio, cues each renderer once, and reads back which frame and
// which audio frames it got. Exits 0 when both are what a live host expects:
// the newest frame, and audio starting 50 ms (the priming distance) behind
// the writer.
#include <cstdio>
#include <memory>
#include <vector>

#include "SampleAudioRenderer.h"
#include "SampleVideoRenderer.h"
#include "TestPatternGenerator.h"
#include "ToneGenerator.h"
#include "kasp2/kasp2.h"

int main() {
  std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  std::unique_ptr<kaSourcesPluginMethods, zReleaseDeleter> host(new kaSourcesPluginMethods());
  if (!group || !host) return 1;

  // Video: three frames delivered, one cue.
  TestPatternGenerator pattern({640, 360, veRasterType::kRgba, 30000, 1001});
  SampleVideoRenderer::Ptr video = SampleVideoRenderer::Make("pattern", *group, *host);
  if (!video) return 1;
  for (int i = 0; i < 3; ++i) {
    kaBuffer2* frame = pattern.NextFrame(*group);
    if (!frame) return 1;
    video->OnReceiveVideo(frame);
    frame->Release();  // the renderer keeps its own reference
  }
  kaBuffer2* shown = nullptr;
  video->Cue(&shown, ka_renderer_params{zTime::MicroNow()});
  const int64_t frameNumber = shown ? shown->AsInt64(TestPatternGenerator::kFrameNumberKey, -1) : -1;
  if (shown) shown->Release();
  veMediaRecord format;
  video->OutputFormat(veMediaTypeVideo, format, 0);
  std::printf("video: cued frame %lld of 3, output %dx%d at %.5f frames/s\n", static_cast<long long>(frameNumber),
              format.Width(), format.Height(), format.AsFloat(veKeyFramesPerSecond, 0.0f));

  // Audio: ten 10 ms blocks of the sample counter, one cue.
  ToneGenerator::Settings settings;
  settings.waveform = ToneGenerator::Waveform::kCounter;
  ToneGenerator tone(settings);
  SampleAudioRenderer::Ptr audio = SampleAudioRenderer::Make("counter", *group, *host);
  if (!audio) return 1;
  std::vector<unsigned char> block(480 * static_cast<size_t>(tone.BytesPerFrame()));
  for (int i = 0; i < 10; ++i) {
    const int32_t frames = tone.FramesForInterval(10'000);
    const veTimeRange range{48000, static_cast<uint64_t>(tone.FramesGenerated()), 48000, static_cast<uint64_t>(frames)};
    const int32_t bytes = tone.Generate(frames, block.data(), static_cast<int64_t>(block.size()));
    if (bytes < 0) return 1;
    audio->Deliver(range, block.data(), bytes, 48000, 2, static_cast<int>(zFourCC("sowt")));
  }
  kaBuffer2* period = nullptr;
  audio->Cue(&period, ka_renderer_params{zTime::MicroNow()});
  int32_t firstFrame = -1;
  if (period && period->StorageSize() >= 4) {
    const auto* samples = reinterpret_cast<const int16_t*>(period->GetStorage());
    if (!ToneGenerator::CounterPosition(samples[0], 0, &firstFrame)) firstFrame = -1;
  }
  if (period) period->Release();
  std::printf("audio: cue starts at source frame %d of %lld delivered\n", firstFrame,
              static_cast<long long>(tone.FramesGenerated()));

  return frameNumber == 2 && firstFrame == 4800 - 2400 ? 0 : 1;
}
