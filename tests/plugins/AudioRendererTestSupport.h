#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "Vel/CAudioConverter.h"
#include "Vel/CObject.h"
#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "support/ManualClock.h"
#include "support/TestHostMethods.h"
#include "support/TraceCapture.h"

// Shared pieces of the audio renderer tests.
namespace audiotest {

namespace Vel = Corvane::Vel;
using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;

constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
constexpr int kFl32 = static_cast<int>(zFourCC("fl32"));
constexpr uint32_t kStereoPeriodBytes = 6400;  // 1600 frames × 4 bytes
constexpr uint32_t kStereoPrimeBytes = 9600;   // 2400 frames × 4 bytes

// The renderer a plug-in would derive, with its parts open to the tests; the
// cue path's state is read under its lock.
class TestAudioRenderer : public kaPluginAudioRenderer {
 public:
  using Ptr = std::unique_ptr<TestAudioRenderer, zReleaseDeleter>;
  using kaPluginAudioRenderer::formatConverter, kaPluginAudioRenderer::rateConverter,
      kaPluginAudioRenderer::driftDetector, kaPluginAudioRenderer::resampler, kaPluginAudioRenderer::ringBuffer;
  struct CueState { bool primed; int32_t base; int64_t primeTime; int32_t resolutionSilentCues; };

  static Ptr Make(kaBufferGroup2& group, kaSourcesPluginMethods& methods, const std::string& name = "mic") {
    return Ptr(new TestAudioRenderer(name, group, methods));
  }
  uint32_t RendererKind() const override { return zFourCC("taud"); }
  CueState State() const {
    zCriticalGuard guard(rendererLock);
    return {readPrimed, readBase, primeTime, resolutionSilenceCount};
  }

 protected:
  using kaPluginAudioRenderer::kaPluginAudioRenderer;
  ~TestAudioRenderer() override = default;
};

// Interleaved stereo 'sowt' frames whose two channels hold the low and high
// 16 bits of a 32-bit counter: frame n of a stream carries n + 1, so silence
// (0, 0) never looks like audio.
inline void CounterFrames(int64_t firstFrame, int frames, int16_t* out) {
  for (int i = 0; i < frames; ++i) {
    const auto value = static_cast<uint32_t>(firstFrame + i + 1);
    out[2 * i] = static_cast<int16_t>(value & 0xFFFF), out[2 * i + 1] = static_cast<int16_t>(value >> 16);
  }
}
inline uint32_t CounterOf(const int16_t* frame) {
  return uint32_t{static_cast<uint16_t>(frame[0])} | (uint32_t{static_cast<uint16_t>(frame[1])} << 16);
}
// The same samples as 'fl32' (each 16-bit value / 32768, exact in a float).
inline std::vector<float> ToFloat(const std::vector<int16_t>& in) {
  std::vector<float> out(in.size());
  for (size_t i = 0; i < in.size(); ++i) out[i] = static_cast<float>(in[i]) / 32768.0f;
  return out;
}
inline std::vector<int16_t> Samples(const kaBuffer2& buffer) {
  std::vector<int16_t> samples(buffer.StorageSize() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), buffer.GetStorage(), samples.size() * 2);
  return samples;
}
inline bool AllZero(const kaBuffer2& b) { return Samples(b) == std::vector<int16_t>(b.StorageSize() / 2); }
// Type, rate, channels, bits per sample and channel buffers of a record.
inline std::tuple<uint32_t, int, int, int, int> Described(const veMediaRecord& record) {
  return {record.MediaType(), record.SampleRate(), record.Channels(), record.BitsPerSample(), record.ChannelBuffers()};
}
constexpr std::tuple<uint32_t, int, int, int, int> kWorkingStereo{veMediaTypeAudio, 48000, 2, 16, 1};

// Every audio renderer test runs on the manual clock with one group, one host
// table and one renderer named "mic", keeps drift statistics off stderr, and
// must leave no counted object, framework object or host table alive.
class AudioRendererTest : public ManualClockTest {
 protected:
  void SetUp() override {
    live_ = Live();
    group.reset(new kaBufferGroup2());
    host = TestHostMethods::Make();
    renderer = TestAudioRenderer::Make(*group, *host);
  }
  void TearDown() override {
    renderer.reset();
    host.reset();
    group.reset();
    EXPECT_EQ(Live(), live_) << "counted objects, framework objects, host tables";
  }
  static std::tuple<int64_t, int64_t, int64_t> Live() {
    return {xCUnknown::LiveObjectsForTesting(), Vel::CObject::LiveObjectsForTesting(), TestHostMethods::LiveCount()};
  }

  BufferRef CueAt(int64_t time, int tolerance = 3) {
    kaBuffer2* out = nullptr;
    EXPECT_EQ(renderer->Cue(&out, ka_renderer_params{time}, 0, tolerance), 0);
    return BufferRef(out);
  }
  // Delivers `frames` counter frames (stereo 'sowt' at 48000) from stream frame `first` on.
  void DeliverCounter(int64_t first, int frames) {
    std::vector<int16_t> block(static_cast<size_t>(frames) * 2);
    CounterFrames(first, frames, block.data());
    renderer->OnReceive(veTimeRange{}, block.data(), frames * 4, 48000, 2, kSowt);
  }
  uint64_t GroupRequests() const { return group->GetStatistics().hits + group->GetStatistics().misses; }

  TraceCapture trace;
  std::unique_ptr<kaBufferGroup2, zReleaseDeleter> group;
  TestHostMethods::Ptr host;
  TestAudioRenderer::Ptr renderer;

 private:
  std::tuple<int64_t, int64_t, int64_t> live_;
};

}  // namespace audiotest
