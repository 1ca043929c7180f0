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
#include "plugins/kaAudioSettings.h"
#include "plugins/kaPluginRingBuffer.h"
#include "plugins/kaSingleBufferAudioResampler.h"
#include "plugins/kaXIAudioLiveDelay.h"
#include "render/kaPluginRenderer.h"
#include "render/kaRendererParams.h"

// The renderer of a source plug-in's audio. The plug-in's delivery thread
// pushes blocks of interleaved PCM in any accepted format, rate and channel
// count (OnReceive); each block is offered untouched to the host, converted to
// the working format (16-bit 'sowt' at 48000 frames per second, with the
// block's channel count) and appended to the renderer's ring. A host thread
// cues it (Cue) for one period of working-format audio read from the ring at
// the position its output time maps to, moved back by the live delay.
// It owns the ring (33,792,000 bytes, by value), the media-framework
// converters, and the drift detector and resampler of the drift-corrected
// path. Abstract: the plug-in's subclass supplies RendererKind and leads the
// host's Cue to the four-argument Cue below.
//
// Threads: one delivery thread at a time calls OnReceive (and
// ConvertAudioFrame); it takes no renderer lock and meets the cue path only in
// the ring, which locks itself. Cue holds `rendererLock` for its whole body.
// Settings are single atomic stores from host threads that the next cue
// picks up. FlushAudio must not run during a delivery.
class KASP2_EXPORT kaPluginAudioRenderer : public kaPluginRenderer, public kaXIAudioLiveDelay {
 public:
  static constexpr uint32_t kWorkingFormat = zFourCC("sowt");
  static constexpr int32_t kWorkingSampleRate = 48000;  // frames per second
  static constexpr int32_t kWorkingBitsPerSample = 16;
  // 176 s of working-format stereo (48000 × 2 channels × 2 bytes × 176).
  static constexpr unsigned int kRingCapacityBytes = 33'792'000;
  // What the conversion to the working format really carries. The rate
  // converter works from telephone rates up to the highest studio rate, and
  // carries at most 64 channels (a MADI stream); blocks outside this are
  // refused, whatever their format, so that a renderer never accepts a block
  // that one of its roads could not store. Below 8 kHz one block would be
  // stretched more than 6 times; above 384 kHz the converter cannot start.
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
  // A pending resolution change yields silent cues until the running count
  // of them reaches this value (12 for the first change, 1 for each later).
  static constexpr int32_t kResolutionSilenceCues = 11;

  // Builds the renderer base (one reference to `group` and to `methods`), an
  // empty zero-filled ring of kRingCapacityBytes, no converters, no drift
  // machinery, two channels, all settings at their defaults. Throws
  // std::bad_alloc, holding nothing, when the lock or the ring's storage
  // cannot be had.
  kaPluginAudioRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  // ---- xCUnknown / xIUnknown (both bases lead to the one count) ------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  // Clears a non-null *out; "kaXIAudioLiveDelay" gives the interface with a
  // reference added and 0; every other name (and a null name) gives -1.
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

  // The host's two-argument Cue of kaRenderer2 stays visible beside the
  // four-argument one below; the plug-in's subclass leads one to the other.
  using kaRenderer2::Cue;

  // ---- kaPluginRenderer -------------------------------------------------------
  // Writes the working format into `record`: type "audo", sample rate 48000,
  // 'mcbu' 1, channels = the current channel count, bits per sample 16. Other
  // fields are left as they were.
  void SetAudioRecord(veMediaRecord& record) override;

  // ---- kaXIAudioLiveDelay (plain stores and loads, no lock) -----------------
  // Stored clamped to the live-delay ceiling (kaLiveDelay: above 10 s it is
  // held at 10 s; NaN, zero and negative mean none). The cue path moves back
  // at most as far as the ring holds data.
  void SetAudioDelay(double seconds) override;
  double GetAudioDelay() const override;
  void SetInputChannelSelection(int selection) override;
  int GetInputChannelSelection() const override;
  void SetMonitorSelection(int selection) override;
  int GetMonitorSelection() const override;
  // Sets the quad of bus 0 ... 3; any other bus is ignored (nothing changes).
  void SetBusMappingQuad(int bus, unsigned long long quad) override;

  // ---- settings (host threads, no lock) ----------------------------------------
  // While `changing` is true every cue yields silence. Setting it false also
  // raises a pending resolution change (see Cue).
  void SetChangingResolution(bool changing);
  // Selects the drift-corrected receive path: each delivery is measured by a
  // drift detector, and a block may be stretched or shrunk by one frame. Off
  // after construction. The detector and the resampler, once made, live until
  // the renderer is destroyed even when the path is turned off again.
  void SetDriftCorrectionEnabled(bool enabled);
  bool IsDriftCorrectionEnabled() const;
  // The quad of bus 0 ... 3 in *quad, and true; false with *quad untouched
  // for any other bus or a null `quad`.
  bool GetBusMappingQuad(int bus, unsigned long long* quad) const;
  // Channel count of the working format: that of the last accepted block
  // (2 until the first).
  int GetNumChannels() const;

  // What the receive path did with the blocks a plug-in delivered, counted
  // since construction. Any thread may read them; each is a single atomic
  // load, so the four are not one snapshot.
  struct ReceiveCounters {
    uint64_t received = 0;   // every OnReceive call
    uint64_t refused = 0;    // malformed or out of range: nothing changed, the host was not called
    uint64_t dropped = 0;    // offered to the host, but nothing reached the ring (conversion failed)
    uint64_t truncated = 0;  // reached the ring only in part: the ring was full
  };
  ReceiveCounters GetReceiveCounters() const;

  // Stops and releases both converters, and trims the ring's wrap size to a
  // whole number of frames of the current channel count (33,792,000 minus its
  // remainder; nothing is called when the frame size divides the capacity, so
  // a narrowed wrap size stays narrowed). The ring keeps its data, and the
  // cue path stays primed. No lock: not during a delivery.
  void FlushAudio();

  // Converts one block of `byteCount` bytes of interleaved `format` audio at
  // `sampleRate` with `channels` channels to the working format, in a new
  // buffer from the group: on success *buffer receives it with one reference
  // for the caller, *frameCount its frame count, and the result is true.
  // Accepted formats: 'fl32', 'in24', '42ni', '32ni' (through the 'afc '
  // converter) and 'sowt'; a rate other than 48000 goes through the 'asrc'
  // converter. Each converter is made on the first block that needs it, for
  // that block's description, and reused for every later block (whatever its
  // format, rate or channel count) until FlushAudio.
  // Failures return false with *frameCount 0 and *buffer untouched:
  //  - nothing at all changes when `frameCount` or `buffer` is null (then
  //    nothing is written either), `data` is null, `byteCount` is not
  //    positive or not a whole number of input frames, `channels` is outside
  //    1 ... kMaxChannels, `sampleRate` is outside kMinSampleRate ...
  //    kMaxSampleRate, or the format is not one of the five above;
  //  - a converter type missing from the framework's inventory leaves that
  //    converter absent (the next block tries again); a converter that fails
  //    to start is kept, and every block fails at its push until FlushAudio;
  //  - a failed push or pull, a null pulled sample, converted data that is
  //    empty or shorter than one frame, or no buffer from the group.
  // Delivery thread only (it is the converters' only user).
  bool ConvertAudioFrame(void* data, int byteCount, int format, int sampleRate, int channels, int* frameCount,
                         kaBuffer2** buffer);

  // ---- plug-in side (delivery thread) ----------------------------------------
  // Takes one block: the channel count becomes `channels`; the block is
  // offered to the host's AudioReceived with a producer that makes a buffer
  // of it (through the group's MakeAudioBuffer) only if the host asks; then
  // a 'sowt' block at 48000 is appended to the ring as it is, any other goes
  // through ConvertAudioFrame first (a block it rejects is dropped). With
  // drift correction on, the detector may have the block stretched or shrunk
  // by one frame (linear resampling) on its way into the ring. A block larger
  // than the ring's free space is cut to what fits.
  // Refused before anything changes (no host call, the channel count stays,
  // counted as refused): null `data`, `byteCount` not positive, `channels`
  // outside 1 ... kMaxChannels, `sampleRate` outside kMinSampleRate ...
  // kMaxSampleRate, for a format whose sample size is known a `byteCount`
  // that is not a whole number of frames, or a block longer than the ring
  // can hold at the working rate. A well-formed block in a format the
  // converters do not take is still offered to the host and still sets the
  // channel count, but nothing reaches the ring (counted as dropped). A
  // 'sowt' block at 48000 allocates nothing; a converted block allocates
  // nothing once its converters exist and the group's cache holds a buffer of
  // its size.
  void OnReceive(veTimeRange range, void* data, int byteCount, int sampleRate, int channels, int format);

  // ---- host side (render thread) ---------------------------------------------
  // Stores in *buffer one new buffer (one reference for the caller) holding
  // one cue period, rate / 30 = 1600 frames of working-format audio with the
  // current channel count, stamped with `params.cueTime` as its dirtied time,
  // and returns 0. The fourth argument is how many periods of writer silence
  // and of backlog are tolerated; the third is not used.
  //
  //   unprimed --ring holds >= 2400 frames--> primed: base pinned 2400 frames
  //      ^                                    behind the writer, at the cue time
  //      |                                        |
  //      +-- backlog > tolerance periods (this cue still reads)
  //      +-- writer silent > 2 s (ring emptied)
  //
  // Primed, the cue reads from base + (cue time - prime time) × 192 bytes per
  // ms (stereo), aligned up to a frame, moved back by the live delay. Silence
  // (zero bytes) when not primed, the cue time is before the prime time, the
  // writer has been silent for tolerance periods, the resolution is changing,
  // or the ring holds less than a period there (an underrun, which moves the
  // base back one period so the stream waits for the writer). The buffer is
  // tagged with "input_channel_selection" and 'rams', and with 'cBs0' ...
  // 'cBs3' for each quad that differs from its default; the silent cues of a
  // pending resolution change carry no keys.
  // Reading does not consume: two cues for one time return the same audio.
  // Failures: a null `buffer` returns -1 and changes nothing. When the group
  // yields no buffer, *buffer is set to null and 0 is returned; nothing else
  // changes (the cue is not counted, the ring is not touched). After warm-up
  // (the group's cache holds a buffer of the period's size) a cue allocates
  // nothing.
  int Cue(kaBuffer2** buffer, const ka_renderer_params& params, int unused, int tolerancePeriods);

 protected:
  // FlushAudio, then the members go in reverse order: the ring, the drift
  // detector, the resampler, the rate and the format converter; then the
  // base releases the host's table and the group.
  ~kaPluginAudioRenderer() override;

  // Fields in the documented layout order. Settings that a host thread
  // stores and the cue path loads are atomics of the documented types (same
  // size and layout), so those single stores are not data races; the cue
  // path's own state is guarded by rendererLock, and fields marked
  // "delivery" are touched only on the delivery thread (and by FlushAudio).
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
  // is on. Delivery thread.
  void Store(void* samples, int frames);
  // The ring write of `frames` frames of `channels` channels (byte count
  // saturated to 32 bits; the ring cuts what does not fit).
  void WriteFrames(const void* samples, int64_t frames, int32_t channels);
  // The normal-path read of one cue into `dest` (`size` bytes).
  void ReadPeriodLocked(unsigned char* dest, uint32_t size, int64_t elapsedMicros, int32_t channels,
                        int tolerancePeriods) Z_REQUIRES(rendererLock);
  // Tags a cued buffer with the channel-selection settings.
  void TagCuedBuffer(kaBuffer2& buffer) const;
  // The id of "input_channel_selection", or 0 while it cannot be interned.
  static zKey InputChannelSelectionKey();
};

static_assert(std::atomic<double>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "settings are single lock-free stores");
