#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "Vel/CObject.h"
#include "buffers/kaBufferGroup2.h"
#include "support/ManualClock.h"
#include "support/TestAudioRenderer.h"
#include "support/TestHostMethods.h"
#include "support/TraceCapture.h"

// Shared pieces of the audio renderer tests.
namespace audiotest {

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;

constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
constexpr int kFl32 = static_cast<int>(zFourCC("fl32"));

// Interleaved stereo 'sowt' frames whose two channels hold the low and high
// 16 bits of a 32-bit counter: frame n of a stream carries n + 1, so silence
// (0, 0) never looks like audio. Frames before the stream's start (n < 0)
// are silence.
inline std::vector<int16_t> CounterFrames(int64_t firstFrame, int frames) {
  std::vector<int16_t> out(static_cast<size_t>(frames) * 2, 0);
  for (int64_t n = std::max<int64_t>(firstFrame, 0); n < firstFrame + frames; ++n) {
    out[2 * (n - firstFrame)] = static_cast<int16_t>((n + 1) & 0xFFFF);
    out[2 * (n - firstFrame) + 1] = static_cast<int16_t>((n + 1) >> 16);
  }
  return out;
}
inline uint32_t CounterOf(const int16_t* frame) {
  return uint32_t{static_cast<uint16_t>(frame[0])} | (uint32_t{static_cast<uint16_t>(frame[1])} << 16);
}
inline std::vector<int16_t> Samples(const kaBuffer2& buffer) {
  std::vector<int16_t> samples(buffer.StorageSize() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), buffer.GetStorage(), samples.size() * 2);
  return samples;
}
inline bool AllZero(const kaBuffer2& b) { return Samples(b) == std::vector<int16_t>(b.StorageSize() / 2); }

// Every audio renderer test runs on the manual clock with one group, one host
// table and one renderer named "mic", keeps drift statistics off stderr, and
// must leave no counted object, framework object or host table alive.
class AudioRendererTest : public ManualClockTest {
 protected:
  void TearDown() override {
    renderer.reset(), host.reset(), group.reset();
    EXPECT_EQ(Live(), live_) << "counted objects, framework objects, host tables";
  }
  static std::tuple<int64_t, int64_t, int64_t> Live() {
    return {xCUnknown::LiveObjectsForTesting(), Corvane::Vel::CObject::LiveObjectsForTesting(),
            TestHostMethods::LiveCount()};
  }

  BufferRef CueAt(int64_t time, int tolerance = 3) {
    kaBuffer2* out = nullptr;
    EXPECT_EQ(renderer->Cue(&out, ka_renderer_params{time}, 0, tolerance), 0);
    return BufferRef(out);
  }
  // Delivers interleaved stereo samples at `rate` as 'sowt' or as 'fl32' (each
  // value / 32768, exact in a float), from an address misaligned for 16-bit
  // samples when asked.
  void Deliver(const std::vector<int16_t>& samples, int format = kSowt, bool misaligned = false, int rate = 48000) {
    std::vector<float> floats(samples.begin(), samples.end());
    for (float& value : floats) value /= 32768.0f;
    const void* data = format == kFl32 ? static_cast<const void*>(floats.data()) : samples.data();
    const size_t size = format == kFl32 ? floats.size() * 4 : samples.size() * 2;
    std::vector<uint8_t> bytes(size + 1);
    std::memcpy(bytes.data() + misaligned, data, size);
    renderer->OnReceive(veTimeRange{}, bytes.data() + misaligned, static_cast<int>(size), rate, 2, format);
  }

  const std::tuple<int64_t, int64_t, int64_t> live_ = Live();
  TraceCapture trace;
  std::unique_ptr<kaBufferGroup2, zReleaseDeleter> group{new kaBufferGroup2()};
  TestHostMethods::Ptr host = TestHostMethods::Make();
  TestAudioRenderer::Ptr renderer = TestAudioRenderer::Make("mic", *group, *host);
};

}  // namespace audiotest
