#pragma once
#include <cstdint>
#include <string>

#include "AudioStreamChecker.h"
#include "SampleAudioRenderer.h"
#include "kasp2/kasp2.h"

// What the simulator's engine and driver know of a source, so that a
// test-pattern or tone source (HostVideoSource, HostAudioSource) and a media
// input (HostMediaInput) join the same lists. Implementations answer from
// settings fixed before the run, or from the frame given; the engine thread
// calls them, and the sources outlive the engine.

// A video source: its renderer, and how to tell its frames apart.
class EngineVideoSource {
 public:
  virtual ~EngineVideoSource() = default;
  virtual const std::string& Name() const = 0;
  // The renderer the engine cues, known by its base as a host knows it.
  virtual kaRenderer2& CueRenderer() = 0;
  // The picture size the source delivers (the contact sheet's tiles and the
  // recorded program follow it).
  virtual int32_t PictureWidth() const = 0;
  virtual int32_t PictureHeight() const = 0;
  // The number the source put on a frame it delivered; -1 for a frame it did
  // not make (the renderer's blank frame).
  virtual int64_t FrameNumber(const kaBuffer2& frame) const = 0;
  // When the frame numbered `frameNumber` was due on the foundation clock.
  virtual int64_t FrameDueMicros(const kaBuffer2& frame, int64_t frameNumber) const = 0;
  // Frame `frameNumber`'s time on the source's own clock, from its first.
  virtual int64_t MediaTimeMicros(int64_t frameNumber) const = 0;
  // The audio source (its index in the engine's audio list) that shares
  // this source's clock; -1 for none.
  virtual int PairedWith() const { return -1; }
};

// An audio source: its renderer, what it sends, and which check its cued
// audio gets.
class EngineAudioSource {
 public:
  virtual ~EngineAudioSource() = default;
  virtual const std::string& Name() const = 0;
  virtual SampleAudioRenderer& CueRenderer() = 0;
  // What the source delivers: format code, rate and channel count.
  virtual uint32_t SourceFormat() const = 0;
  virtual int32_t SourceRate() const = 0;
  virtual int32_t SourceChannels() const = 0;
  // The check its cued audio gets: frame by frame against the counter, the
  // fit of its tones, or (unknown content) silence and re-primes only.
  virtual AudioStreamChecker::Mode CheckMode() const = 0;
  virtual AudioStreamChecker::Tone CheckTone() const { return {}; }
  // The video source (its index in the engine's video list) that shares
  // this source's clock; -1 for none.
  virtual int PairedWith() const { return -1; }
};

// Something the simulated driver steps at its due times (a source's
// delivery); in real time each runs on a thread of its own.
class HostStepper {
 public:
  virtual ~HostStepper() = default;
  // Foundation-clock microseconds of the next step; INT64_MAX for none.
  virtual int64_t NextDueMicros() const = 0;
  virtual void Step() = 0;
};
