// kaPluginAudioRenderer's receive path: a plug-in's block is offered to the
// host, brought to the working format and appended to the ring, optionally
// drift-corrected by one frame. Runs on the plug-in's delivery thread and
// takes no renderer lock.
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "buffers/kaBufferGroup2.h"
#include "buffers/kaOptimizedBuffer2Producer.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "render/kaSourcesPluginMethods.h"

namespace {

// What the host's producer needs to make a buffer of the block. It lives on
// the receive call's stack and the producer's function captures one pointer
// to it, so the function stays in std::function's inline storage and the
// offer allocates nothing unless the host asks for the buffer.
struct ReceivedBlock {
  kaBufferGroup2* group;
  void* data;
  int byteCount;
  int format;
  int sampleRate;
  int channels;
  const veTimeRange* range;
};

// Where the resampler's output goes: the renderer and the block's channel
// count, captured by one pointer for the same reason.
struct ResampledDelivery {
  kaPluginAudioRenderer* renderer;
  int32_t channels;
  bool delivered;
};

// Where the smooth resampler's output goes, captured by one pointer for the
// same reason; a block that the ring had to cut counts once, however many
// pieces the resampler handed.
struct SmoothDelivery {
  kaPluginRingBuffer* ring;
  int32_t channels;
  bool truncated;
};

// The drift detector measures a delivery after a warm-up and keeps a window
// of history before it corrects anything.
constexpr std::chrono::milliseconds kDriftWarmup{500};
constexpr std::chrono::seconds kDriftWindow{2};

// True for a block the renderer can take: data, a positive size, a channel
// count and rate that the conversion carries, whole frames for a format whose
// sample size is known, and no more audio than the ring can hold at the
// working rate (a longer block could only be cut, after a conversion that
// might cost seconds).
bool IsAcceptableBlock(const void* data, int byteCount, int sampleRate, int channels, int format) {
  if (!data || byteCount <= 0) return false;
  if (sampleRate < kaPluginAudioRenderer::kMinSampleRate || sampleRate > kaPluginAudioRenderer::kMaxSampleRate) {
    return false;
  }
  if (channels < 1 || channels > kaPluginAudioRenderer::kMaxChannels) return false;
  // A format of unknown sample size cannot be checked for whole frames; it
  // is offered to the host and then dropped by the conversion. It is sized as
  // 8-bit samples for the length check.
  const int32_t bits = veAudioFormat::BitsPerSample(static_cast<uint32_t>(format));
  const int64_t frameBits = static_cast<int64_t>(bits > 0 ? bits : 8) * channels;
  if (bits > 0 && (frameBits % 8 != 0 || static_cast<int64_t>(byteCount) % (frameBits / 8) != 0)) return false;
  // Working-format bytes of the block: frames × 48000 / rate × channels × 2,
  // in 64 bits (at most 2^31 × 48 × 128).
  const int64_t frames = static_cast<int64_t>(byteCount) * 8 / frameBits;
  const int64_t workingBytes = frames * kaPluginAudioRenderer::kWorkingSampleRate / sampleRate * channels * 2;
  return workingBytes <= static_cast<int64_t>(kaPluginAudioRenderer::kRingCapacityBytes);
}

uint32_t FrameBytesToWrite(int64_t frames, int32_t channels) {
  if (frames <= 0 || channels <= 0) return 0;
  const uint64_t bytes = static_cast<uint64_t>(frames) * static_cast<uint64_t>(channels) * 2u;
  constexpr uint64_t kLargest = std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(bytes < kLargest ? bytes : kLargest);
}

}  // namespace

void kaPluginAudioRenderer::OnReceive(veTimeRange range, void* data, int byteCount, int sampleRate, int channels,
                                      int format) {
  blocksReceived_.fetch_add(1, std::memory_order_relaxed);
  if (!IsAcceptableBlock(data, byteCount, sampleRate, channels, format)) {
    blocksRefused_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  numChannels.store(channels, std::memory_order_relaxed);

  {
    const ReceivedBlock block{bufferGroup.Get(), data, byteCount, format, sampleRate, channels, &range};
    kaOptimizedBuffer2Producer producer(&DescribeReceivedBlock(format, sampleRate, channels));
    producer.produce = [&block]() -> std::shared_ptr<kaBuffer2> {
      return block.group->MakeAudioBuffer(block.data, block.byteCount, block.format, block.sampleRate,
                                          block.channels, *block.range);
    };
    hostMethods->AudioReceived(RendererName(), producer);
    // The producer, its function and the buffer it may have made (the host
    // keeps its own reference) go here.
  }

  if (sampleRate == kWorkingSampleRate && static_cast<uint32_t>(format) == kWorkingFormat) {
    const int frames = byteCount / (channels * 2);
    Store(data, frames, frames);
    return;
  }

  if (!driftCorrectionEnabled.load(std::memory_order_relaxed)) {
    smoothActive_ = false;
    if (!WriteConverted(data, byteCount, format, sampleRate, channels)) {
      blocksDropped_.fetch_add(1, std::memory_order_relaxed);
    }
    return;
  }

  int frames = 0;
  kaBuffer2* made = nullptr;
  if (!ConvertAudioFrame(data, byteCount, format, sampleRate, channels, &frames, &made)) {
    blocksDropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // Back to the group's cache when this handle goes, whatever Store does.
  const kaRef<kaBuffer2> converted = kaRef<kaBuffer2>::Adopt(made);
  // The block's own frames at the working rate, exactly: what the rate
  // converter made of them, before it rounded to whole frames.
  const int64_t bits = static_cast<int64_t>(veAudioFormat::BitsPerSample(static_cast<uint32_t>(format))) * channels;
  const double sourceFrames = bits > 0 ? static_cast<double>(byteCount) * 8.0 / static_cast<double>(bits) *
                                             kWorkingSampleRate / sampleRate
                                       : frames;
  Store(converted->GetStorage(), frames, sourceFrames);
}

const veMediaRecord& kaPluginAudioRenderer::DescribeReceivedBlock(int format, int sampleRate, int channels) {
  if (format != receiveDescriptionFormat_ || sampleRate != receiveDescriptionRate_ ||
      channels != receiveDescriptionChannels_) {
    receiveDescription_.SetMediaType(veMediaTypeAudio);
    receiveDescription_.SetAudioFormat(static_cast<uint32_t>(format));
    receiveDescription_.SetChannels(channels);
    receiveDescription_.SetBitsPerSample(veAudioFormat::BitsPerSample(static_cast<uint32_t>(format)));
    receiveDescription_.SetSampleRate(sampleRate);
    receiveDescription_.SetChannelBuffers(1);
    receiveDescriptionFormat_ = format;
    receiveDescriptionRate_ = sampleRate;
    receiveDescriptionChannels_ = channels;
  }
  return receiveDescription_;
}

kaPluginAudioRenderer::ReceiveCounters kaPluginAudioRenderer::GetReceiveCounters() const {
  ReceiveCounters counters;
  counters.received = blocksReceived_.load(std::memory_order_relaxed);
  counters.refused = blocksRefused_.load(std::memory_order_relaxed);
  counters.dropped = blocksDropped_.load(std::memory_order_relaxed);
  counters.truncated = blocksTruncated_.load(std::memory_order_relaxed);
  return counters;
}

void kaPluginAudioRenderer::WriteFrames(const void* samples, int64_t frames, int32_t channels) {
  const uint32_t bytes = FrameBytesToWrite(frames, channels);
  if (bytes > 0 && ringBuffer.Write(samples, bytes) < bytes) blocksTruncated_.fetch_add(1, std::memory_order_relaxed);
}

bool kaPluginAudioRenderer::AlignForResampler(void*& samples, int frames, int32_t channels,
                                              kaRef<kaBuffer2>& holder) {
  if (reinterpret_cast<uintptr_t>(samples) % alignof(short) == 0) return true;
  veMediaRecord format(veMediaTypeAudio);
  format.SetSampleRate(kWorkingSampleRate);
  format.SetChannelBuffers(1);
  format.SetChannels(channels);
  format.SetBitsPerSample(kWorkingBitsPerSample);
  const uint32_t bytes = FrameBytesToWrite(frames, channels);
  kaBuffer2* made = nullptr;
  const int32_t result = bufferGroup->allocate_buffer(format, -1, frames, 0, &made);
  holder = kaRef<kaBuffer2>::Adopt(made);
  if (result != 0 || !holder || !holder->GetStorage() || holder->StorageSize() < bytes) return false;
  zCopyMemory(samples, holder->GetStorage(), bytes);
  samples = holder->GetStorage();
  return true;
}

void kaPluginAudioRenderer::Store(void* samples, int frames, double sourceFrames) {
  const int32_t channels = numChannels.load(std::memory_order_relaxed);
  if (!samples || frames <= 0) return;
  if (!driftCorrectionEnabled.load(std::memory_order_relaxed)) {
    smoothActive_ = false;
    WriteFrames(samples, frames, channels);
    return;
  }
  if (driftCorrectionMode_.load(std::memory_order_relaxed) == DriftCorrectionMode::kSmooth) {
    kaRef<kaBuffer2> aligned;
    if (!AlignForResampler(samples, frames, channels, aligned)) {
      smoothActive_ = false;
      WriteFrames(samples, frames, channels);
      return;
    }
    StoreSmooth(static_cast<const short*>(samples), frames, sourceFrames, channels);
    return;
  }
  if (smoothActive_) {
    // Back from smooth correction: the detector's history ends before it.
    smoothActive_ = false;
    if (driftDetector) driftDetector->ResetMeasurement("Mode Change");
  }

  if (!driftDetector) {
    try {
      driftDetector = std::make_shared<kaAudioDriftDetector>(RendererName(), kDriftWarmup, kDriftWindow);
    } catch (const std::bad_alloc&) {
      // Without a detector the block goes in as received; the next delivery
      // tries again.
    }
    if (!driftDetector) {
      WriteFrames(samples, frames, channels);
      return;
    }
  }

  const int adjustment = driftDetector->DriftCorrect(frames, zTime::MicroNow());
  const int64_t target = static_cast<int64_t>(frames) + adjustment;
  if (adjustment == 0 || target <= 0 || target > std::numeric_limits<int>::max()) {
    WriteFrames(samples, frames, channels);
    return;
  }

  if (!resampler) {
    try {
      resampler = std::make_shared<kaSingleBufferAudioResampler>();
    } catch (const std::bad_alloc&) {
    }
    if (!resampler) {
      WriteFrames(samples, frames, channels);
      return;
    }
  }

  kaRef<kaBuffer2> aligned;
  void* source = samples;
  if (!AlignForResampler(source, frames, channels, aligned)) {
    WriteFrames(samples, frames, channels);
    return;
  }

  ResampledDelivery delivery{this, channels, false};
  resampler->Linear(static_cast<short*>(source), channels, frames, static_cast<int>(target),
                    [&delivery](short* out, int count) {
                      delivery.delivered = true;
                      delivery.renderer->WriteFrames(out, count, delivery.channels);
                    });
  // A resampler that could not make room delivers nothing: the block then
  // goes in as received rather than being lost.
  if (!delivery.delivered) WriteFrames(source, frames, channels);
}

void kaPluginAudioRenderer::StoreSmooth(const short* samples, int frames, double sourceFrames, int32_t channels) {
  try {
    if (!driftTracker_) driftTracker_ = std::make_unique<kaAudioDriftTracker>(kFlushTimeoutMicros);
    if (!smoothResampler_) smoothResampler_ = std::make_unique<kaSmoothDriftResampler>();
  } catch (const std::bad_alloc&) {
    // Without them the block goes in as received; the next delivery tries again.
  }
  if (!driftTracker_ || !smoothResampler_) {
    smoothActive_ = false;
    WriteFrames(samples, frames, channels);
    return;
  }
  // A stream that was written around them (correction off, step mode, a
  // block that could not be resampled) is measured afresh.
  if (!smoothActive_) driftTracker_->Restart();
  smoothActive_ = true;
  if (driftTracker_->BeginDelivery(zTime::MicroNow(), channels)) smoothResampler_->Reset();

  SmoothDelivery delivery{&ringBuffer, channels, false};
  const double ratio = driftTracker_->Ratio();
  const int64_t written =
      smoothResampler_->Process(samples, channels, frames, ratio, [&delivery](const int16_t* out, int count) {
        const uint32_t bytes = FrameBytesToWrite(count, delivery.channels);
        if (bytes > 0 && delivery.ring->Write(out, bytes) < bytes) delivery.truncated = true;
      });
  if (written < 0) {
    // Memory short for a new channel count: the block goes in as received,
    // and the next delivery measures afresh.
    WriteFrames(samples, frames, channels);
    smoothActive_ = false;
  } else if (delivery.truncated) {
    blocksTruncated_.fetch_add(1, std::memory_order_relaxed);
  }
  driftTracker_->EndDelivery(sourceFrames);
  smoothRatio_.store(driftTracker_->Ratio(), std::memory_order_relaxed);
  smoothPeakLevelError_.store(driftTracker_->PeakLevelError(), std::memory_order_relaxed);
  smoothRestarts_.store(driftTracker_->Restarts(), std::memory_order_relaxed);
}
