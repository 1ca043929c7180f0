#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Vel/CAudioFilter.h"
#include "Vel/RObject.h"
#include "buffers/kaBuffer2.h"
#include "foundation/kaFoundation.h"
#include "plugins/kaAudioDriftDetector.h"
#include "plugins/kaAudioDriftTracker.h"
#include "plugins/kaAudioSettings.h"
#include "plugins/kaPluginRingBuffer.h"
#include "plugins/kaSingleBufferAudioResampler.h"
#include "plugins/kaSmoothDriftResampler.h"
#include "plugins/kaXIAudioLiveDelay.h"
#include "render/kaPluginRenderer.h"
#include "render/kaRendererParams.h"

// The renderer of a source plug-in's audio. The plug-in's delivery thread
// hands in blocks of interleaved PCM (OnReceive); each is offered to the host,
// converted to the working format (16-bit 'sowt' at 48 kHz, the block's own
// channel count) and appended to the ring. A host thread cues one period of
// it for an output time (Cue). Owns the ring, the media-framework converters
// and the drift-correction machinery. Abstract: the plug-in's subclass
// supplies RendererKind and leads the host's Cue to the four-argument Cue.
// Threads: one delivery thread at a time, taking no renderer lock and meeting
// the cue path only in the self-locking ring; Cue holds rendererLock
// throughout; settings are single atomic stores from any host thread, picked
// up by the next cue. FlushAudio must not run during a delivery.
class KASP2_EXPORT kaPluginAudioRenderer : public kaPluginRenderer, public kaXIAudioLiveDelay {
 public:
  static constexpr uint32_t kWorkingFormat = zFourCC("sowt");
  static constexpr int32_t kWorkingSampleRate = 48000;  // frames per second
  static constexpr int32_t kWorkingBitsPerSample = 16;
  // 176 s of working-format stereo (48000 × 2 channels × 2 bytes × 176).
  static constexpr unsigned int kRingCapacityBytes = 33'792'000;
  // What the rate converter carries: telephone to the highest studio rates
  // (below 8 kHz a block would grow more than sixfold; above 384 kHz the
  // converter cannot start), at most 64 channels (a MADI stream). Blocks
  // outside are refused whatever their format, so no path accepts a block
  // another could not store.
  static constexpr int32_t kMinSampleRate = 8'000;
  static constexpr int32_t kMaxSampleRate = 384'000;
  static constexpr int32_t kMaxChannels = 64;
  // Component types of the framework converters.
  static constexpr uint32_t kFormatConverterType = zFourCC("afc ");
  static constexpr uint32_t kRateConverterType = zFourCC("asrc");

  // Cue path constants.
  static constexpr int32_t kCuesPerSecond = 30;          // a period is rate / 30 = 1600 frames
  static constexpr int64_t kPeriodTimeMicros = 33'333;   // × tolerance = writer-silence time-out
  static constexpr int32_t kPrimeFrames = 2400;          // 50 ms: data needed to pin the base
  static constexpr int64_t kFlushTimeoutMicros = 2'000'000;  // writer silence that empties the ring
  // A pending resolution change yields silent cues until their running
  // count, never reset, reaches this (12 for the first change, 1 later).
  static constexpr int32_t kResolutionSilenceCues = 11;

  // Holds a reference to `group` and to `methods`; an empty ring, two
  // channels, settings at their defaults. Throws std::bad_alloc, holding
  // nothing, when the lock or the ring's storage cannot be had.
  kaPluginAudioRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  // ---- xCUnknown / xIUnknown (both bases lead to the one count) ------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  // Clears a non-null *out; "kaXIAudioLiveDelay" gives the interface with a
  // reference added and 0; every other name (and a null name) gives -1.
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

  // The host's Cue stays visible beside the four-argument one below.
  using kaRenderer2::Cue;

  // ---- kaPluginRenderer -------------------------------------------------------
  // Writes the working format (audio, 48000 Hz, one interleaved buffer, the
  // current channel count, 16 bits) into `record`; other fields stay.
  void SetAudioRecord(veMediaRecord& record) override;

  // ---- kaXIAudioLiveDelay (plain stores and loads, no lock) -----------------
  // Clamped by kaLiveDelay (at most 10 s; NaN, zero and negative mean none).
  // A cue moves back at most as far as the ring holds data.
  void SetAudioDelay(double seconds) override;
  double GetAudioDelay() const override;
  void SetInputChannelSelection(int selection) override;
  int GetInputChannelSelection() const override;
  void SetMonitorSelection(int selection) override;
  int GetMonitorSelection() const override;
  // Any bus outside 0 ... 3 is ignored.
  void SetBusMappingQuad(int bus, unsigned long long quad) override;

  // ---- settings (host threads, no lock) ----------------------------------------
  // While `changing` is true every cue is silent; setting it false starts a
  // pending resolution change (kResolutionSilenceCues).
  void SetChangingResolution(bool changing);
  // Off at first. On, each delivery is measured against the clock and
  // corrected as the drift-correction mode says. The objects it makes live
  // until the renderer dies, even when turned off again.
  void SetDriftCorrectionEnabled(bool enabled);
  bool IsDriftCorrectionEnabled() const;
  // How drift correction corrects (host threads, one atomic store; the next
  // delivery takes it):
  //  - kStep (the default): a block may be stretched or shrunk by one frame,
  //    resampled linearly within the block, when the drift detector's window
  //    asks for it (audible as a click on high tones);
  //  - kSmooth: the whole stream is resampled continuously through a
  //    windowed-sinc filter at a ratio that a drift tracker moves slowly, so
  //    the same correction is spread inaudibly; it follows ±5,000 ppm from
  //    start-up, and delays the audio by 48 frames (1 ms).
  // A change of mode, or turning correction on or off, while audio flows
  // starts the new way afresh at the next block (one discontinuity).
  enum class DriftCorrectionMode : int32_t { kStep, kSmooth };
  void SetDriftCorrectionMode(DriftCorrectionMode mode);
  DriftCorrectionMode GetDriftCorrectionMode() const;
  // What smooth correction is doing, for a host to show (any thread; each
  // field loaded on its own): the ratio of the last block (input frames per
  // output frame, 1 before any), the largest level error of the current
  // measurement in frames (how far the ring's cushion moved), and how often
  // the measurement restarted (gaps, channel changes, mode changes).
  struct SmoothDriftStatus {
    double ratio = 1.0;
    double peakLevelError = 0.0;
    uint64_t restarts = 0;
  };
  SmoothDriftStatus GetSmoothDriftStatus() const;
  // Stores the quad of bus 0 ... 3 in *quad and returns true.
  // Returns false, *quad untouched, for any other bus or a null `quad`.
  bool GetBusMappingQuad(int bus, unsigned long long* quad) const;
  // That of the last accepted block; 2 until the first.
  int GetNumChannels() const;

  // ---- lip sync (host threads, no lock) -------------------------------------
  // The latency at which this renderer's audio is to be heard, in seconds from
  // the arrival of its block (kaLipSync::Align gives it for a source whose
  // picture and sound share a clock). Each prime measures the cue path's own
  // latency and tops it up with delay to reach this, on top of the live delay;
  // a latency already longer is left as it is. 0 (the default), negative and
  // NaN mean none; held at kaLiveDelay::kMaxSeconds plus the prime distance.
  // Taken by the next prime, not by a primed stream (that would jump).
  void SetLipSyncLatency(double seconds);
  double GetLipSyncLatency() const;
  // The cue path's latency measured at the last prime, in seconds: from the
  // arrival of the newest block to the cue that hears it, i.e. the prime
  // distance plus how long before the cue the writer last wrote (live delay
  // and top-up not included); -1 before the first prime.
  double GetCueLatency() const;

  // What the receive path did with the blocks delivered since construction.
  // Any thread may read them; each is loaded on its own, not as one snapshot.
  struct ReceiveCounters {
    uint64_t received = 0;   // every OnReceive call
    uint64_t refused = 0;    // malformed or out of range: nothing changed, the host was not called
    uint64_t dropped = 0;    // offered to the host, but nothing reached the ring (conversion failed)
    uint64_t truncated = 0;  // reached the ring only in part: the ring was full
  };
  ReceiveCounters GetReceiveCounters() const;

  // Stops and releases both converters (the next block makes new ones) and
  // trims the ring's wrap size to whole frames of the current channel count.
  // The ring keeps its data and the cue path stays primed. Not during a
  // delivery: it takes no lock.
  void FlushAudio();

  // Converts one block of interleaved `format` audio to the working format,
  // in a new buffer from the group, and returns true: *buffer gets it with
  // one reference for the caller, *frameCount its frames. Takes 'fl32',
  // 'in24', '42ni', '32ni' and 'sowt'. Each converter is made by the first
  // block that needs it, for that block, and serves every later one until
  // FlushAudio. Delivery thread only: it is the converters' one user.
  // Returns false, writing nothing, when `frameCount` or `buffer` is null.
  // Returns false, *frameCount 0 and nothing else changed, for a malformed
  // block, a format not taken, or channels or rate out of range.
  // Returns false, *frameCount 0 and *buffer untouched, when a converter
  // cannot be made or fails, or the group yields no buffer (a converter that
  // failed to start stays, failing every block until FlushAudio).
  bool ConvertAudioFrame(void* data, int byteCount, int format, int sampleRate, int channels, int* frameCount,
                         kaBuffer2** buffer);

  // ---- plug-in side (delivery thread) ----------------------------------------
  // Takes one block: the channel count becomes `channels`, the host's
  // AudioReceived is offered the block (a buffer of it is made only if the
  // host asks), and the block goes into the ring in the working format, cut
  // to the ring's free space. A 'sowt' block at 48 kHz allocates nothing; a
  // converted one nothing once its converters and a cached buffer exist.
  // Refuses a malformed block (no data, not whole frames, channels or rate out
  // of range, longer than the ring) before anything changes or the host hears.
  // A block in a format the converters do not take still reaches the host and
  // sets the channel count, but never the ring (counted as dropped).
  void OnReceive(veTimeRange range, void* data, int byteCount, int sampleRate, int channels, int format);

  // ---- host side (render thread) ---------------------------------------------
  // Stores in *buffer a new buffer (one reference for the caller) holding one
  // period (1600 frames) of working-format audio read from the ring where
  // `params.cueTime` falls, moved back by the live delay, stamped with the
  // cue time; returns 0. Reading does not consume: two cues for one time get
  // the same audio. Silent until primed, on an underrun, while the resolution
  // changes, or once the writer has been quiet `tolerancePeriods` periods (a
  // backlog of more periods than that re-primes). `unused` is not read.
  // Tagged with "input_channel_selection", 'rams' and each 'cBs0' ... 'cBs3'
  // quad off its default (untagged while a resolution change is pending).
  // Allocates nothing after warm-up.
  // Returns -1, nothing changed, for a null `buffer`.
  // Returns 0 with *buffer null, nothing else changed, when the group yields no buffer.
  int Cue(kaBuffer2** buffer, const ka_renderer_params& params, int unused, int tolerancePeriods);

 protected:
  // Flushes, then releases the host's table and the group.
  ~kaPluginAudioRenderer() override;

  // Plug-in subclasses are built against this layout, so the order and the
  // sizes are fixed. Settings that host threads store and the cue path loads
  // are atomics of the plain types' size and layout, which makes those single
  // stores race-free; the cue path's state is guarded by rendererLock; fields
  // marked "delivery" belong to the delivery thread (and FlushAudio).
  std::atomic<bool> changingResolution{false};
  std::atomic<bool> resolutionChangePending{false};
  Corvane::Vel::RObject<Corvane::Vel::CAudioFilter> formatConverter;  // delivery
  Corvane::Vel::RObject<Corvane::Vel::CAudioFilter> rateConverter;    // delivery
  int32_t resolutionSilenceCount Z_GUARDED_BY(rendererLock) = 0;     // never reset
  std::atomic<double> audioDelay{0.0};                                // seconds
  std::atomic<int32_t> inputChannelSelection{0};
  std::atomic<int32_t> monitorSelection{0};
  std::atomic<uint64_t> busMappingQuads[kaAudioSettings::kBusCount];
  std::atomic<bool> driftCorrectionEnabled{false};
  std::shared_ptr<kaSingleBufferAudioResampler> resampler;   // delivery; made on the first adjustment
  std::shared_ptr<kaAudioDriftDetector> driftDetector;       // delivery; made on the first drift delivery
  bool readPrimed Z_GUARDED_BY(rendererLock) = false;
  kaPluginRingBuffer ringBuffer;                             // locks itself
  int64_t primeTime Z_GUARDED_BY(rendererLock) = 0;          // cue-time microseconds
  // Byte position on the ring's stream that belongs to primeTime. Kept within
  // ± the wrap size (only its remainder counts).
  int32_t readBase Z_GUARDED_BY(rendererLock) = 0;
  std::atomic<int32_t> numChannels{2};  // stored by the delivery thread

 private:
  // Written by the delivery thread, read by anyone (GetReceiveCounters).
  std::atomic<uint64_t> blocksReceived_{0};
  std::atomic<uint64_t> blocksRefused_{0};
  std::atomic<uint64_t> blocksDropped_{0};
  std::atomic<uint64_t> blocksTruncated_{0};

  // Appends `frames` working-format frames of the current channel count to
  // the ring, through the drift detector and resampler when drift correction
  // is on. `sourceFrames` is the block's length at the working rate before
  // any rounding to whole frames (its own frames × 48000 / its rate), which
  // smooth correction measures. Delivery thread.
  void Store(void* samples, int frames, double sourceFrames);
  // The conversion of ConvertAudioFrame up to the framework's sample of
  // working-format frames, which `converted` then holds; no pooled buffer.
  // False, `converted` untouched, where ConvertAudioFrame fails. Delivery thread.
  bool ConvertToWorking(void* data, int byteCount, int format, int sampleRate, int channels,
                        Corvane::Vel::RObject<Corvane::Vel::CMediaSample>& converted);
  // A block converted straight into the ring, for when nothing else needs the
  // converted frames (no drift correction): one copy and no pooled buffer
  // fewer than ConvertAudioFrame and Store. False when the conversion fails.
  bool WriteConverted(void* data, int byteCount, int format, int sampleRate, int channels);
  // The resamplers read 16-bit samples: a block not aligned for them is
  // copied into a pooled buffer that `holder` keeps (back to the group's
  // cache when it goes) and `samples` points there. False when no buffer
  // could be had. Delivery thread.
  bool AlignForResampler(void*& samples, int frames, int32_t channels, kaRef<kaBuffer2>& holder);
  // The ring write of `frames` frames of `channels` channels (byte count
  // saturated to 32 bits; the ring cuts what does not fit).
  void WriteFrames(const void* samples, int64_t frames, int32_t channels);
  // The normal-path read of one cue into `dest` (`size` bytes).
  void ReadPeriodLocked(unsigned char* dest, uint32_t size, int64_t elapsedMicros, int32_t channels,
                        int tolerancePeriods) Z_REQUIRES(rendererLock);
  // At a prime: measures the cue path's latency and fixes the lip-sync top-up.
  void PinLipSyncLocked(int64_t cueTime) Z_REQUIRES(rendererLock);
  // Tags a cued buffer with the channel-selection settings.
  void TagCuedBuffer(kaBuffer2& buffer) const;
  // The id of "input_channel_selection", or 0 while it cannot be interned.
  static zKey InputChannelSelectionKey();

  // Lip sync, appended after the layout that plug-ins were built against.
  std::atomic<double> lipSyncLatency_{0.0};      // seconds, stored by host threads
  std::atomic<int64_t> cueLatencyMicros_{-1};   // stored by each prime
  int64_t lipSyncTopUpFrames_ Z_GUARDED_BY(rendererLock) = 0;  // fixed by each prime

  // Smooth drift correction. Appended at the end because plug-in subclasses
  // are built against the layout above: every earlier member keeps its place.
  // Through them a delivery in smooth mode goes (StoreSmooth); they are made
  // by the first such delivery and live until the renderer dies.
  void StoreSmooth(const short* samples, int frames, double sourceFrames, int32_t channels);
  std::atomic<DriftCorrectionMode> driftCorrectionMode_{DriftCorrectionMode::kStep};
  std::unique_ptr<kaAudioDriftTracker> driftTracker_;        // delivery
  std::unique_ptr<kaSmoothDriftResampler> smoothResampler_;  // delivery
  bool smoothActive_ = false;  // delivery: the last block went through them
  // The description offered to the host with each block, rebuilt only when a
  // block's format, rate or channel count differs from the last one's: the
  // record is the most costly part of a 'sowt' delivery. Delivery thread.
  veMediaRecord receiveDescription_{veMediaTypeAudio};
  int receiveDescriptionFormat_ = 0;
  int receiveDescriptionRate_ = 0;
  int receiveDescriptionChannels_ = 0;
  const veMediaRecord& DescribeReceivedBlock(int format, int sampleRate, int channels);
  std::atomic<double> smoothRatio_{1.0};         // stored by the delivery thread
  std::atomic<double> smoothPeakLevelError_{0.0};
  std::atomic<uint64_t> smoothRestarts_{0};
};

static_assert(std::atomic<double>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "settings are single lock-free stores");
