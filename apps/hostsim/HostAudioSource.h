#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "AudioStreamChecker.h"
#include "DeliveryLateness.h"
#include "EngineSources.h"
#include "HostSimOptions.h"
#include "SampleAudioRenderer.h"
#include "ToneGenerator.h"

// One live audio source of the simulator: the sample plug-in's renderer and
// its tone generator, delivering one block every 5 ms of host time with the
// frames that the source's (possibly wrong) clock made in that time. A
// source at 48 kHz without drift correction sends the sample counter, which
// reaches the cue unchanged; any other sends two sines (440 and 221 Hz),
// whose phases together name a jump of up to half a second in the cued
// audio, however it was resampled. The live delay is set
// through "kaXIAudioLiveDelay", drift correction and the tolerance on the
// renderer. Step runs on the source's delivery thread (or the simulated
// driver); the counters are read from any thread.
class HostAudioSource final : public EngineAudioSource, public HostStepper {
 public:
  // A block every 5 ms. The audio cue pins its read base 50 ms (2400
  // frames) behind the writer and reads 1600 frames per period, which leaves
  // 800 frames less one block of slack for late deliveries and late cues:
  // 11.7 ms with 5 ms blocks, 6.7 ms with 10 ms blocks.
  static constexpr int64_t kBlockMicros = 5'000;
  static constexpr double kToneFrequency = 440.0;  // Hz
  // Whole hertz and prime to the first, so the pair repeats only after a
  // second; far enough from it for one period's fit to tell them apart.
  static constexpr double kSecondToneFrequency = 221.0;  // Hz
  static constexpr double kToneAmplitude = 0.5;          // of full scale, both tones together
  // How long smooth drift correction takes from start-up to hold a clock
  // up to 5,000 ppm off within a few ppm and a fraction of a frame.
  static constexpr double kSmoothSettleSeconds = 15.0;

  HostAudioSource(int index, const AudioSourceOptions& options, int tolerancePeriods, kaBufferGroup2& group,
                  kaSourcesPluginMethods& host);

  // False when the renderer or the generator could not be made.
  bool IsUsable() const { return renderer_ && generator_.IsUsable() && !block_.empty(); }
  const std::string& Name() const override { return name_; }
  const AudioSourceOptions& Options() const { return options_; }
  SampleAudioRenderer& Renderer() { return *renderer_; }
  const ToneGenerator& Generator() const { return generator_; }
  // Whether the cued audio can be checked frame by frame (the counter).
  // The signal the source sends, so that a checker can recompute it.
  const ToneGenerator::Settings& Signal() const { return generator_.GetSettings(); }
  bool SendsCounter() const { return generator_.GetSettings().waveform == ToneGenerator::Waveform::kCounter; }
  // The sine as the output hears it (kSine): the source's tones, or with
  // smooth drift correction, which holds the stream to the host clock, the
  // tones as fast as the source's clock runs, after kSmoothSettleSeconds.
  AudioStreamChecker::Tone HeardTone() const;

  void Start(int64_t startMicros) { start_ = startMicros; }
  int64_t NextDueMicros() const override { return start_ + (blocks_ + 1) * kBlockMicros; }
  // Makes and delivers the block that is due, and records how late it ran.
  void Step() override;

  // ---- EngineAudioSource: the counter or the tones, checked as sent ---------
  SampleAudioRenderer& CueRenderer() override { return *renderer_; }
  uint32_t SourceFormat() const override { return options_.format; }
  int32_t SourceRate() const override { return options_.sampleRate; }
  int32_t SourceChannels() const override { return options_.channels; }
  AudioStreamChecker::Mode CheckMode() const override {
    return SendsCounter() ? AudioStreamChecker::Mode::kCounter : AudioStreamChecker::Mode::kSine;
  }
  AudioStreamChecker::Tone CheckTone() const override { return HeardTone(); }

  uint64_t FramesDelivered() const { return framesDelivered_.load(std::memory_order_relaxed); }
  uint64_t Blocks() const { return deliveredBlocks_.load(std::memory_order_relaxed); }
  const DeliveryLateness& Lateness() const { return lateness_; }

 private:
  std::string name_;
  AudioSourceOptions options_;
  ToneGenerator generator_;
  SampleAudioRenderer::Ptr renderer_;
  std::vector<uint8_t> block_;  // room for the largest block, made once
  int64_t start_ = 0;
  int64_t blocks_ = 0;  // delivery thread
  std::atomic<uint64_t> framesDelivered_{0};
  std::atomic<uint64_t> deliveredBlocks_{0};
  DeliveryLateness lateness_;
};
