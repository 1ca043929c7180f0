#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "EngineSources.h"
#include "HostSimOptions.h"
#include "MediaSource.h"
#include "SampleAudioRenderer.h"
#include "SampleVideoRenderer.h"

// One --input of the simulator: the media source plug-in playing a file or
// URL into the sample plug-ins' renderers. Its picture and its sound join
// the engine's lists as a video and an audio source (each only when the
// stream has it), paired with each other: one clock made both. The engine
// knows nothing of the content, so their cued output gets the checks that
// make sense for it (frames shown, blanks, silence, underruns, re-primes),
// not the test pattern's or the tones'. In real time the plug-in's own
// threads deliver (StartRealTime/Stop); on the simulated clock the driver
// steps it (HostStepper). Owns the renderers and the plug-in; the group and
// the host table must outlive it. Counters are readable from any thread.
class HostMediaInput final : public HostStepper {
 public:
  // `index` numbers the input (I1, I2 ...); `videoNumber` and `audioNumber`
  // name its picture and sound after the test sources (V3, A2 ...).
  HostMediaInput(int index, int videoNumber, int audioNumber, const InputOptions& options, int tolerancePeriods,
                 kaBufferGroup2& group, kaSourcesPluginMethods& host);
  ~HostMediaInput() override;

  // Opens the stream (within the plug-in's open time-out). False with a
  // reason in `error`.
  bool Open(std::string& error);
  const std::string& Name() const { return name_; }
  const InputOptions& Options() const { return options_; }

  // The picture and the sound as engine sources; null when the stream has
  // none.
  EngineVideoSource* Video() const;
  EngineAudioSource* Audio() const;
  // Their indices in the engine's lists (-1: none), which pair each with the
  // other (PairedWith).
  void SetEngineIndices(int videoIndex, int audioIndex);

  // Real time.
  bool StartRealTime() { return source_->Start(); }
  void Stop() { source_->Stop(); }
  // Simulated: maps the stream to `startMicros`; then the driver steps it.
  bool StartStepped(int64_t startMicros) { return source_->StartStepped(startMicros); }
  int64_t NextDueMicros() const override { return source_->NextDueMicros(); }
  void Step() override { source_->Step(); }

  MediaSource::Counters Counters() const { return source_->GetCounters(); }
  const MediaInputStream::Info& StreamInfo() const { return source_->OpenedInfo(); }
  SampleVideoRenderer* VideoRenderer() { return videoRenderer_.get(); }
  SampleAudioRenderer* AudioRenderer() { return audioRenderer_.get(); }

 private:
  class Picture;
  class Sound;

  std::string name_;
  InputOptions options_;
  std::string videoName_;
  std::string audioName_;
  SampleVideoRenderer::Ptr videoRenderer_;
  SampleAudioRenderer::Ptr audioRenderer_;
  std::unique_ptr<MediaSource> source_;
  std::unique_ptr<Picture> video_;
  std::unique_ptr<Sound> audio_;
};
