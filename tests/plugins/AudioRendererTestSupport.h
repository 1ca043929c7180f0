#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Vel/CAudioConverter.h"
#include "Vel/CAudioSample.h"
#include "Vel/CComponentFactory.h"
#include "Vel/CComponentInventory.h"
#include "Vel/CObject.h"
#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "support/ManualClock.h"
#include "support/TestHostMethods.h"

// Shared pieces of the audio renderer tests.
namespace audiotest {

namespace Vel = Corvane::Vel;

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;
using GroupRef = std::unique_ptr<kaBufferGroup2, zReleaseDeleter>;

constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
constexpr int kFl32 = static_cast<int>(zFourCC("fl32"));
constexpr int kIn24 = static_cast<int>(zFourCC("in24"));
constexpr int k42ni = static_cast<int>(zFourCC("42ni"));
constexpr int k32ni = static_cast<int>(zFourCC("32ni"));
constexpr int kIn32 = static_cast<int>(zFourCC("in32"));
constexpr int kTwos = static_cast<int>(zFourCC("twos"));
constexpr uint64_t kDefaultQuad = 0x0001000100010001ULL;
constexpr uint32_t kStereoPeriodBytes = 6400;  // 1600 frames × 4 bytes
constexpr uint32_t kStereoPrimeBytes = 9600;   // 2400 frames × 4 bytes

// The concrete renderer that a plug-in would define: it names its kind and
// leads the host's Cue to the renderer's own cue with a tolerance of three
// periods. It also lets tests look at the state the renderer keeps.
class TestAudioRenderer : public kaPluginAudioRenderer {
 public:
  static constexpr uint32_t kKind = zFourCC("taud");
  using Ptr = std::unique_ptr<TestAudioRenderer, zReleaseDeleter>;
  using kaPluginAudioRenderer::Cue;

  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods) {
    return Ptr(new TestAudioRenderer(name, group, methods));
  }

  uint32_t RendererKind() const override { return kKind; }
  int32_t Cue(kaBuffer2** out, const ka_renderer_params& params) override {
    return kaPluginAudioRenderer::Cue(out, params, 0, 3);
  }

  Vel::CAudioFilter* FormatConverter() const { return formatConverter.Get(); }
  Vel::CAudioFilter* RateConverter() const { return rateConverter.Get(); }
  kaAudioDriftDetector* DriftDetector() const { return driftDetector.get(); }
  kaSingleBufferAudioResampler* Resampler() const { return resampler.get(); }
  kaPluginRingBuffer& Ring() { return ringBuffer; }
  bool ReadPrimed() const {
    zCriticalGuard guard(rendererLock);
    return readPrimed;
  }
  int32_t ReadBase() const {
    zCriticalGuard guard(rendererLock);
    return readBase;
  }
  int64_t PrimeTime() const {
    zCriticalGuard guard(rendererLock);
    return primeTime;
  }
  bool ChangingResolution() const { return changingResolution.load(); }
  bool ResolutionChangePending() const { return resolutionChangePending.load(); }
  int32_t ResolutionSilenceCount() const {
    zCriticalGuard guard(rendererLock);
    return resolutionSilenceCount;
  }

 protected:
  TestAudioRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginAudioRenderer(name, group, methods) {}
  ~TestAudioRenderer() override = default;
};

// A buffer group whose allocate_buffer can be made to fail.
class FailingGroup : public kaBufferGroup2 {
 public:
  int32_t allocate_buffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out) override {
    ++requests;
    if (fail) {
      if (out) *out = nullptr;
      return -1;
    }
    return kaBufferGroup2::allocate_buffer(format, size, count, extra, out);
  }
  bool fail = false;
  int requests = 0;

 protected:
  ~FailingGroup() override = default;
};

// ---- framework converter doubles ------------------------------------------

// What a scripted converter does.
enum class Script {
  kConvert,      // a simple, exact conversion (see ScriptedConverter)
  kFailStart,    // Start fails
  kFailPush,     // every push fails
  kFailPull,     // every pull fails
  kNullPull,     // the pull succeeds with no sample
  kEmptyOutput,  // the pulled sample holds no bytes
};

// Shared record of what the scripted converters saw, in call order.
struct ConverterLog {
  std::vector<uint32_t> converts;  // the converter type of each conversion
  std::vector<Vel::AudioStreamDescription> inputs;  // the input of each converter made, at Start
  std::vector<int64_t> outputRates;                 // the SampleRate property at Start (0: not set)
  std::vector<uint32_t> outputFormats;              // the OutputFormat property at Start (0: not set)
};

// A converter double registered in front of the built-ins. With kConvert an
// 'afc ' converter turns the formats the renderer hands it into 'sowt' (high
// 16 bits of integers, floats × 32768 rounded), and an 'asrc' converter picks
// the nearest earlier input frame for each output frame at the SampleRate
// property's rate (no filter, no state between blocks).
class ScriptedConverter final : public Vel::CAudioConverter {
 public:
  ScriptedConverter(uint32_t type, Script script, ConverterLog* log) noexcept
      : CAudioConverter(type), type_(type), script_(script), log_(log) {}

  Vel::Result SetProperty(uint32_t property, int64_t value) noexcept override {
    if (property != Vel::CodeBookProperty::AudioConverter::SampleRate) return Vel::ResultNotSupported;
    outputRate_ = value;
    return Vel::ResultOK;
  }
  Vel::Result SetFourProperty(uint32_t property, uint32_t value) noexcept override {
    if (property == Vel::CodeBookProperty::MediaFilter::OutputFormat) outputFormat_ = value;
    return CAudioConverter::SetFourProperty(property, value);
  }
  Vel::Result PullSample(int output, Vel::RObject<Vel::CMediaSample>& sample) noexcept override {
    Vel::RObject<Vel::CMediaSample> pulled;
    const Vel::Result result = CAudioConverter::PullSample(output, pulled);
    if (script_ == Script::kFailPull) return Vel::ResultError;
    if (script_ == Script::kNullPull) {
      sample.Reset();
      return Vel::ResultOK;
    }
    if (result.Succeeded()) sample = std::move(pulled);
    return result;
  }

 protected:
  int32_t OnStart(const Vel::AudioStreamDescription& input) noexcept override {
    if (log_) {
      log_->inputs.push_back(input);
      log_->outputRates.push_back(outputRate_);
      log_->outputFormats.push_back(outputFormat_);
    }
    if (script_ == Script::kFailStart) return 0;
    input_ = input;
    return input.bytesPerPacket;
  }
  void OnStop() noexcept override {}
  Vel::Result Convert(const uint8_t* data, int32_t frames, Vel::CAudioSample& output) noexcept override {
    if (log_) log_->converts.push_back(type_);
    if (script_ == Script::kFailPush) return Vel::ResultError;
    if (script_ == Script::kEmptyOutput) {
      output.SetLength(0);
      output.SetFrameCount(0);
      return Vel::ResultOK;
    }
    const int32_t channels = input_.channels;
    std::vector<int16_t> converted;
    if (type_ == zFourCC("asrc")) {
      const int64_t outFrames = static_cast<int64_t>(frames) * outputRate_ / input_.sampleRate;
      const auto* in = reinterpret_cast<const int16_t*>(data);
      for (int64_t k = 0; k < outFrames; ++k) {
        const int64_t from = k * input_.sampleRate / outputRate_;
        for (int32_t c = 0; c < channels; ++c) converted.push_back(in[from * channels + c]);
      }
    } else {
      const int32_t bytes = input_.bitsPerSample / 8;
      for (int64_t i = 0; i < static_cast<int64_t>(frames) * channels; ++i) {
        const uint8_t* s = data + i * bytes;
        converted.push_back(SampleToSowt(s));
      }
    }
    const auto length = static_cast<int32_t>(converted.size() * sizeof(int16_t));
    if (output.Reserve(length).Failed()) return Vel::ResultError;
    std::memcpy(output.GetData(), converted.data(), converted.size() * sizeof(int16_t));
    output.SetLength(length);
    output.SetFrameCount(static_cast<int32_t>(converted.size()) / channels);
    return Vel::ResultOK;
  }

 private:
  int16_t SampleToSowt(const uint8_t* s) const {
    switch (input_.formatCode) {
      case zFourCC("in24"): return static_cast<int16_t>((s[0] << 8) | s[1]);
      case zFourCC("42ni"): return static_cast<int16_t>((s[2] << 8) | s[1]);
      case zFourCC("23ni"): return static_cast<int16_t>((s[3] << 8) | s[2]);
      case zFourCC("23lf"): {
        float f;
        std::memcpy(&f, s, sizeof f);
        return static_cast<int16_t>(std::clamp(std::lround(f * 32768.0f), -32768L, 32767L));
      }
      default: return static_cast<int16_t>(s[0] | (s[1] << 8));
    }
  }

  uint32_t type_;
  Script script_;
  ConverterLog* log_;
  Vel::AudioStreamDescription input_;
  int64_t outputRate_ = 0;
  uint32_t outputFormat_ = 0;
};

// Makes scripted converters of one type (or, with `makesNothing`, fails to
// make any, as an inventory without that converter would).
class ScriptedFactory final : public Vel::CComponentFactory<Vel::CAudioConverter> {
 public:
  ScriptedFactory(uint32_t type, Script script, ConverterLog* log, bool makesNothing = false)
      : type_(type), script_(script), log_(log), makesNothing_(makesNothing) {}
  uint32_t GetType() const noexcept override { return type_; }
  Vel::CAudioConverter* CreateInstance() noexcept override {
    ++made;
    if (makesNothing_) return nullptr;
    return new (std::nothrow) ScriptedConverter(type_, script_, log_);
  }
  int made = 0;

 private:
  uint32_t type_;
  Script script_;
  ConverterLog* log_;
  bool makesNothing_;
};

// Owns factories put in front of the framework's built-ins and takes them out
// again when cleared or destroyed.
class FrontFactories {
 public:
  FrontFactories() = default;
  FrontFactories(const FrontFactories&) = delete;
  FrontFactories& operator=(const FrontFactories&) = delete;
  ~FrontFactories() { Clear(); }
  // Registers a new factory in front of every other one; null (and a test
  // failure) when the inventory refuses it.
  ScriptedFactory* Add(uint32_t type, Script script, ConverterLog* log, bool makesNothing = false) {
    auto factory = std::make_unique<ScriptedFactory>(type, script, log, makesNothing);
    if (Vel::CAudioConverterInventory::Register(factory.get(), Vel::InventoryPosition::kFront).Failed()) {
      ADD_FAILURE() << "the inventory refused a factory";
      return nullptr;
    }
    factories_.push_back(std::move(factory));
    return factories_.back().get();
  }
  void Clear() {
    for (auto& factory : factories_) Vel::CAudioConverterInventory::Unregister(factory.get());
    factories_.clear();
  }

 private:
  std::vector<std::unique_ptr<ScriptedFactory>> factories_;
};

// ---- signals -------------------------------------------------------------

// Interleaved stereo 'sowt' frames whose two channels hold the low and high
// 16 bits of a 32-bit counter: frame n of a stream carries n + 1, so silence
// (0, 0) never looks like audio.
inline void CounterFrames(int64_t firstFrame, int frames, int16_t* out) {
  for (int i = 0; i < frames; ++i) {
    const auto value = static_cast<uint32_t>(firstFrame + i + 1);
    out[2 * i] = static_cast<int16_t>(value & 0xFFFF);
    out[2 * i + 1] = static_cast<int16_t>(value >> 16);
  }
}

// The counter a stereo frame carries (0 for silence).
inline uint32_t CounterOf(const int16_t* frame) {
  return static_cast<uint32_t>(static_cast<uint16_t>(frame[0])) |
         (static_cast<uint32_t>(static_cast<uint16_t>(frame[1])) << 16);
}

// The same frames as 'fl32' (each 16-bit value / 32768, exact in a float).
inline void ToFloat(const int16_t* in, int samples, float* out) {
  for (int i = 0; i < samples; ++i) out[i] = static_cast<float>(in[i]) / 32768.0f;
}

inline std::vector<int16_t> Samples(const kaBuffer2& buffer) {
  std::vector<int16_t> samples(buffer.StorageSize() / sizeof(int16_t));
  if (!samples.empty()) std::memcpy(samples.data(), buffer.GetStorage(), samples.size() * sizeof(int16_t));
  return samples;
}

inline bool AllZero(const kaBuffer2& buffer) {
  const unsigned char* bytes = buffer.GetStorage();
  for (uint32_t i = 0; i < buffer.StorageSize(); ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// ---- fixture ---------------------------------------------------------------

// Every audio renderer test runs on the manual clock with one group, one host
// table and one renderer named "mic", and must leave no counted object, no
// framework object and no host table alive.
class AudioRendererTest : public ManualClockTest {
 protected:
  void SetUp() override {
    liveObjectsAtStart_ = xCUnknown::LiveObjectsForTesting();
    liveVelObjectsAtStart_ = Vel::CObject::LiveObjectsForTesting();
    liveTablesAtStart_ = TestHostMethods::LiveCount();
    group.reset(MakeGroup());
    host = TestHostMethods::Make();
    renderer = TestAudioRenderer::Make("mic", *group, *host);
  }
  void TearDown() override {
    renderer.reset();
    host.reset();
    group.reset();
    factories.Clear();
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveObjectsAtStart_) << "counted objects leaked";
    EXPECT_EQ(Vel::CObject::LiveObjectsForTesting(), liveVelObjectsAtStart_) << "framework objects leaked";
    EXPECT_EQ(TestHostMethods::LiveCount(), liveTablesAtStart_) << "host tables leaked";
  }
  virtual kaBufferGroup2* MakeGroup() { return new kaBufferGroup2(); }

  // A cue of the test renderer at `time` with `tolerance` periods.
  BufferRef CueAt(int64_t time, int tolerance = 3) {
    kaBuffer2* out = nullptr;
    ka_renderer_params params;
    params.cueTime = time;
    EXPECT_EQ(renderer->Cue(&out, params, 0, tolerance), 0);
    return BufferRef(out);
  }

  // Delivers `frames` counter frames (stereo 'sowt' at 48000) starting at
  // stream frame `first`.
  void DeliverCounter(int64_t first, int frames) {
    std::vector<int16_t> block(static_cast<size_t>(frames) * 2);
    CounterFrames(first, frames, block.data());
    renderer->OnReceive(veTimeRange{}, block.data(), frames * 4, 48000, 2, kSowt);
  }

  uint64_t GroupRequests() const {
    const kaCacheStatistics statistics = group->GetStatistics();
    return statistics.hits + statistics.misses;
  }

  GroupRef group;
  TestHostMethods::Ptr host;
  TestAudioRenderer::Ptr renderer;
  ConverterLog log;
  FrontFactories factories;

 private:
  int64_t liveObjectsAtStart_ = 0;
  int64_t liveVelObjectsAtStart_ = 0;
  int64_t liveTablesAtStart_ = 0;
};

}  // namespace audiotest
