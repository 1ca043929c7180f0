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
  kaPluginRingBuffer* ring;
  int32_t channels;
  bool delivered;
};

// The drift detector measures a delivery after a warm-up and keeps a window
// of history before it corrects anything.
constexpr std::chrono::milliseconds kDriftWarmup{500};
constexpr std::chrono::seconds kDriftWindow{2};

bool IsWellFormedBlock(const void* data, int byteCount, int sampleRate, int channels, int format) {
  if (!data || byteCount <= 0 || sampleRate <= 0) return false;
  if (channels < 1 || channels > kaPluginAudioRenderer::kMaxChannels) return false;
  // A format of unknown sample size cannot be checked for whole frames; it
  // is offered to the host and then dropped by the conversion.
  const int32_t bits = veAudioFormat::BitsPerSample(static_cast<uint32_t>(format));
  if (bits <= 0) return true;
  const int64_t frameBits = static_cast<int64_t>(bits) * channels;
  if (frameBits % 8 != 0) return false;
  return static_cast<int64_t>(byteCount) % (frameBits / 8) == 0;
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
  if (!IsWellFormedBlock(data, byteCount, sampleRate, channels, format)) return;
  numChannels.store(channels, std::memory_order_relaxed);

  veMediaRecord description;
  description.SetMediaType(veMediaTypeAudio);
  description.SetAudioFormat(static_cast<uint32_t>(format));
  description.SetChannels(channels);
  description.SetBitsPerSample(veAudioFormat::BitsPerSample(static_cast<uint32_t>(format)));
  description.SetSampleRate(sampleRate);
  description.SetChannelBuffers(1);

  {
    const ReceivedBlock block{bufferGroup, data, byteCount, format, sampleRate, channels, &range};
    kaOptimizedBuffer2Producer producer(&description);
    producer.produce = [&block]() -> std::shared_ptr<kaBuffer2> {
      return block.group->MakeAudioBuffer(block.data, block.byteCount, block.format, block.sampleRate,
                                          block.channels, *block.range);
    };
    hostMethods->AudioReceived(RendererName(), producer);
    // The producer, its function and the buffer it may have made (the host
    // keeps its own reference) go here.
  }

  if (sampleRate == kWorkingSampleRate && static_cast<uint32_t>(format) == kWorkingFormat) {
    Store(data, byteCount / (channels * 2));
    return;
  }

  int frames = 0;
  kaBuffer2* converted = nullptr;
  if (!ConvertAudioFrame(data, byteCount, format, sampleRate, channels, &frames, &converted)) return;
  Store(converted->GetStorage(), frames);
  converted->Release();  // back to the group's cache
}

void kaPluginAudioRenderer::WriteFrames(const void* samples, int64_t frames, int32_t channels) {
  const uint32_t bytes = FrameBytesToWrite(frames, channels);
  if (bytes > 0) ringBuffer.Write(samples, bytes);
}

void kaPluginAudioRenderer::Store(void* samples, int frames) {
  const int32_t channels = numChannels.load(std::memory_order_relaxed);
  if (!samples || frames <= 0) return;
  if (!driftCorrectionEnabled.load(std::memory_order_relaxed)) {
    WriteFrames(samples, frames, channels);
    return;
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

  // The resampler reads 16-bit samples; a plug-in's block that is not
  // aligned for them is first copied into a pooled buffer.
  kaBuffer2* aligned = nullptr;
  void* source = samples;
  if (reinterpret_cast<uintptr_t>(samples) % alignof(short) != 0) {
    veMediaRecord format(veMediaTypeAudio);
    format.SetSampleRate(kWorkingSampleRate);
    format.SetChannelBuffers(1);
    format.SetChannels(channels);
    format.SetBitsPerSample(kWorkingBitsPerSample);
    const uint32_t bytes = FrameBytesToWrite(frames, channels);
    if (bufferGroup->allocate_buffer(format, -1, frames, 0, &aligned) != 0 || !aligned || !aligned->GetStorage() ||
        aligned->StorageSize() < bytes) {
      if (aligned) aligned->Release();
      WriteFrames(samples, frames, channels);
      return;
    }
    zCopyMemory(samples, aligned->GetStorage(), bytes);
    source = aligned->GetStorage();
  }

  ResampledDelivery delivery{&ringBuffer, channels, false};
  resampler->Linear(static_cast<short*>(source), channels, frames, static_cast<int>(target),
                    [&delivery](short* out, int count) {
                      delivery.delivered = true;
                      const uint32_t bytes = FrameBytesToWrite(count, delivery.channels);
                      if (bytes > 0) delivery.ring->Write(out, bytes);
                    });
  // A resampler that could not make room delivers nothing: the block then
  // goes in as received rather than being lost.
  if (!delivery.delivered) WriteFrames(source, frames, channels);
  if (aligned) aligned->Release();
}
