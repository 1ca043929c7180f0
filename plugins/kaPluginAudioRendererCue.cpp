// kaPluginAudioRenderer::Cue: one period of working-format audio for an
// output time, read from the ring at the position that time maps to. Runs on
// the host's render thread under rendererLock; meets the receive path only in
// the ring, which locks each of its operations. A write that lands between
// the cue's seek and its read only adds data after the writer, so the
// position the cue computed stays valid.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"

namespace {

constexpr zKey kMonitorSelectionKey = zFourCC("rams");
// channelBusQuadId: the key of each bus's mapping quad.
constexpr zKey kChannelBusQuadIds[kaAudioSettings::kBusCount] = {zFourCC("cBs0"), zFourCC("cBs1"), zFourCC("cBs2"),
                                                                 zFourCC("cBs3")};
constexpr double kMicrosPerSecond = 1'000'000.0;
// Positions whose double value is at or beyond this cannot be truncated to
// int64; they are reduced modulo the wrap size in floating point instead
// (reached only by cue times centuries after the prime time).
constexpr double kLargestExactPosition = 9.0e18;
// A live delay is clamped to this many frames before it becomes a byte
// distance (the ring refuses any step back beyond its wrap size anyway).
constexpr double kLargestDelayFrames = 1.0e12;

// The id of the string key, interned by the first renderer made so that
// cues only use it. Interning fails only when memory is short (id 0): then
// each later call tries again, and a cue meanwhile leaves the key out.
std::atomic<zKey> gInputChannelSelectionKey{0};

void FillSilence(unsigned char* dest, uint32_t size) {
  if (dest && size > 0) zZeroMemory(dest, size);
}

// `position` reduced to 0 ... wrap - 1.
int64_t ReduceModulo(int64_t position, uint32_t wrap) {
  int64_t reduced = position % static_cast<int64_t>(wrap);
  if (reduced < 0) reduced += wrap;
  return reduced;
}

}  // namespace

zKey kaPluginAudioRenderer::InputChannelSelectionKey() {
  zKey id = gInputChannelSelectionKey.load(std::memory_order_relaxed);
  if (id == 0) {
    id = zRecord::KeyForString("input_channel_selection");
    gInputChannelSelectionKey.store(id, std::memory_order_relaxed);
  }
  return id;
}

// The read position follows the output clock, not the writer: once primed, a
// cue reads at base + (cue time - prime time) × the working byte rate, so the
// writer's jitter never moves what a given output time hears.
//
//   unprimed --ring holds >= 2400 frames--> primed: base pinned 2400 frames
//      ^                                    behind the writer, at the cue time
//      |                                        |
//      +-- backlog > tolerance periods (this cue still reads)
//      +-- writer silent > 2 s (ring emptied)
//
// A cue is silent when not primed, before the prime time, once the writer has
// been quiet for the tolerated periods, while the resolution changes, or on an
// underrun.
int kaPluginAudioRenderer::Cue(kaBuffer2** buffer, const ka_renderer_params& params, int /*unused*/,
                               int tolerancePeriods) {
  if (!buffer) return -1;
  zCriticalGuard guard(rendererLock);
  const int64_t cueTime = params.cueTime;

  // One load: the delivery thread may change the channel count meanwhile,
  // and the whole cue must agree on one value.
  veMediaRecord description(veMediaTypeAudio);
  description.SetSampleRate(kWorkingSampleRate);
  description.SetChannelBuffers(1);
  description.SetChannels(numChannels.load(std::memory_order_relaxed));
  description.SetBitsPerSample(kWorkingBitsPerSample);
  const int32_t channels = description.Channels();
  const int32_t rate = description.SampleRate();
  const int32_t frames = rate / kCuesPerSecond;

  kaBuffer2* made = nullptr;
  const int32_t allocated = bufferGroup->allocate_buffer(description, -1, frames, 0, &made);
  // Owned here until it is handed out, so that no way out of the cue leaks it.
  kaRef<kaBuffer2> out = kaRef<kaBuffer2>::Adopt(made);
  // Without a buffer the cue answers empty and leaves the ring and the
  // priming untouched, so the next cue carries on as if this one never came.
  if (allocated != 0 || !out) {
    *buffer = nullptr;
    return 0;
  }
  unsigned char* const dest = out->GetStorage();
  const uint32_t size = dest ? out->StorageSize() : 0;
  const int64_t frameBytes = static_cast<int64_t>(channels) * 2;

  // Prime: pin the base one prime threshold behind the writer, aligned up to
  // a frame (the remainder carries the sign of the base, as the base may lie
  // before the ring's origin).
  if (!readPrimed) {
    const uint32_t threshold = static_cast<uint32_t>(channels) * static_cast<uint32_t>(kPrimeFrames) * 2u;
    readPrimed = ringBuffer.AvailableData() >= threshold;
    if (readPrimed) {
      int64_t base = static_cast<int64_t>(ringBuffer.CurrentWritePosition()) - threshold;
      const int64_t remainder = base % frameBytes;
      if (remainder != 0) base = base + frameBytes - remainder;
      readBase = static_cast<int32_t>(base);  // within -1,224,000 ... 33,792,000
      primeTime = cueTime;
      PinLipSyncLocked(cueTime);
    }
  }

  const long long since = ringBuffer.ElapseTimeSinceLastWrite();
  int64_t elapsed = 0;
  const bool elapsedKnown = !__builtin_sub_overflow(cueTime, primeTime, &elapsed);
  const bool normal = since < static_cast<int64_t>(tolerancePeriods) * kPeriodTimeMicros && readPrimed &&
                      elapsedKnown && elapsed >= 0 && !changingResolution.load(std::memory_order_relaxed);

  if (normal && resolutionChangePending.load(std::memory_order_relaxed)) {
    if (resolutionSilenceCount >= kResolutionSilenceCues) {
      resolutionChangePending.store(false, std::memory_order_relaxed);
    }
    FillSilence(dest, size);
    out->SetDirtiedTime(cueTime);
    *buffer = out.Detach();
    if (resolutionSilenceCount < INT32_MAX) ++resolutionSilenceCount;
    return 0;  // no keys, the ring untouched
  }

  if (normal) {
    ReadPeriodLocked(dest, size, elapsed, channels, tolerancePeriods);
  } else {
    FillSilence(dest, size);
    if (since > kFlushTimeoutMicros && readPrimed) {
      // Audio that arrives later must not be read against a stale base.
      ringBuffer.MakeEmpty();
      readPrimed = false;
    }
  }

  out->SetDirtiedTime(cueTime);
  TagCuedBuffer(*out);
  *buffer = out.Detach();
  return 0;
}

void kaPluginAudioRenderer::ReadPeriodLocked(unsigned char* dest, uint32_t size, int64_t elapsed, int32_t channels,
                                             int tolerancePeriods) {
  const uint32_t wrap = ringBuffer.WrapSize();
  if (wrap == 0 || !dest || size == 0) {
    FillSilence(dest, size);
    return;
  }
  const int64_t frameBytes = static_cast<int64_t>(channels) * 2;
  const double bytesPerMicro = static_cast<double>(kWorkingSampleRate * frameBytes) / kMicrosPerSecond;

  // The position on the ring's byte stream that the cue time maps to; only
  // its remainder modulo the wrap size counts.
  const double position = static_cast<double>(readBase) + static_cast<double>(elapsed) * bytesPerMicro;
  int64_t p = position < kLargestExactPosition
                  ? ReduceModulo(static_cast<int64_t>(position), wrap)
                  : ReduceModulo(static_cast<int64_t>(std::fmod(position, static_cast<double>(wrap))), wrap);
  const int64_t partial = p % frameBytes;
  if (partial != 0) p += frameBytes - partial;  // below wrap + one frame: fits the ring's 32 bits

  ringBuffer.Seek(static_cast<uint32_t>(p));
  const uint32_t available = ringBuffer.AvailableData();

  // Too far behind the writer: this cue still reads, the next pins a new base.
  if (static_cast<int64_t>(tolerancePeriods) * size < static_cast<int64_t>(available)) readPrimed = false;

  if (available < size) {
    // Underrun: moving the base back one period keeps the next cue's position
    // where this one was, so the stream waits for the writer. Reduced modulo
    // the wrap size, which changes no position, so it never overflows.
    readBase = static_cast<int32_t>((static_cast<int64_t>(readBase) - size) % static_cast<int64_t>(wrap));
    FillSilence(dest, size);
    return;
  }

  const double delayFrames = audioDelay.load(std::memory_order_relaxed) * kWorkingSampleRate +
                             static_cast<double>(lipSyncTopUpFrames_);
  if (std::isfinite(delayFrames) && delayFrames >= 1.0) {
    const auto delay = static_cast<int64_t>(delayFrames < kLargestDelayFrames ? delayFrames : kLargestDelayFrames);
    // Refused (the read then starts at the live position) when the ring does
    // not hold that much history.
    ringBuffer.SeekRelative(-(frameBytes * delay));
  }
  const uint32_t copied = ringBuffer.Read(dest, size);
  if (copied < size) FillSilence(dest + copied, size - copied);
}

// The base was just pinned kPrimeFrames behind the newest data, which
// arrived at the ring's last write: that is the cue path's latency for as long
// as this prime holds. The lip-sync top-up is what it lacks of the asked
// latency, in whole frames (at most the ceiling's 10.05 s, so it fits).
void kaPluginAudioRenderer::PinLipSyncLocked(int64_t cueTime) {
  const int64_t lastWrite = ringBuffer.LastWriteTime();
  // A cue that runs late may find a write newer than its cue time: the
  // latency is then shorter than the prime distance (never below zero). A
  // writer quiet for longer than an hour has no meaningful latency; the
  // figure is held there rather than overflowing.
  constexpr int64_t kPrimeMicros = static_cast<int64_t>(kPrimeFrames) * 1'000'000 / kWorkingSampleRate;
  constexpr int64_t kLongestMicros = 3'600'000'000;
  int64_t sinceWrite = 0;
  if (lastWrite == 0 || __builtin_sub_overflow(cueTime, lastWrite, &sinceWrite)) sinceWrite = 0;
  sinceWrite = std::clamp<int64_t>(sinceWrite, -kPrimeMicros, kLongestMicros);
  const int64_t latency = kPrimeMicros + sinceWrite;
  cueLatencyMicros_.store(latency, std::memory_order_relaxed);
  const double wanted = lipSyncLatency_.load(std::memory_order_relaxed) * kMicrosPerSecond;
  const double missing = wanted - static_cast<double>(latency);
  lipSyncTopUpFrames_ = missing > 0.0 ? static_cast<int64_t>(missing * kWorkingSampleRate / kMicrosPerSecond + 0.5) : 0;
}

void kaPluginAudioRenderer::TagCuedBuffer(kaBuffer2& buffer) const {
  if (const zKey key = InputChannelSelectionKey()) {
    buffer.SetInt32(key, inputChannelSelection.load(std::memory_order_relaxed), 0);
  }
  buffer.SetInt32(kMonitorSelectionKey, monitorSelection.load(std::memory_order_relaxed), 0);
  for (unsigned int bus = 0; bus < kaAudioSettings::kBusCount; ++bus) {
    const uint64_t quad = busMappingQuads[bus].load(std::memory_order_relaxed);
    if (quad != kaAudioSettings::DefaultChannelBusMapQuad(bus)) buffer.SetUInt64(kChannelBusQuadIds[bus], quad, 0);
  }
}
