// Load, faults and churn on one buffer group, in real time, for
// KASP2_STRESS_SECONDS (default 3; CI runs 30 under the sanitizers):
//  - 8 video and 8 audio renderers; half of each kind is left undisturbed,
//    the other half gets live-delay changes, flushes, format, rate and
//    channel changes, drift correction switched on and off, resolution
//    changes and bad blocks;
//  - two audio and one video delivery thread, two cue threads, one host
//    control thread, and one thread that creates and destroys renderers on
//    the same group while the others run.
// Checked: the undisturbed audio renderers, fed a 48 kHz 'sowt' counter
// sequence, never hand out a period that breaks the sequence: every audible
// period that follows an audible one continues it exactly unless the renderer
// re-primed in between (an underrun's silence keeps the stream in place too;
// only a writer stalled beyond the tolerance, which needs a stalled machine,
// lets the reader move on); the undisturbed video renderers never go back to an
// older frame; every cue returns a buffer of the right size; and at the end,
// with everything released, the group holds no live buffer and no counted
// object, framework object or host table is left alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Vel/CObject.h"
#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "support/TestHostMethods.h"
#include "support/TestVideoRenderer.h"

namespace {

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;
using GroupRef = std::unique_ptr<kaBufferGroup2, zReleaseDeleter>;

constexpr int kRenderersPerKind = 8;
constexpr int kUndisturbed = 4;        // renderers 0-3 of each kind
constexpr int kBlockFrames = 480;      // 10 ms at 48 kHz
constexpr int64_t kBlockMicros = 10'000;
constexpr int32_t kPeriodFrames = 1600;
constexpr int kTolerancePeriods = 3;
constexpr int kMaxChannels = 6;

int StressSeconds() {
  const char* text = std::getenv("KASP2_STRESS_SECONDS");
  const int seconds = text ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 3;
}

// The plug-in's audio renderer; the cue-state accessors are read only by the
// one thread that cues the renderer.
class StressAudioRenderer final : public kaPluginAudioRenderer {
 public:
  using Ptr = std::unique_ptr<StressAudioRenderer, zReleaseDeleter>;
  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& host) {
    return Ptr(new StressAudioRenderer(name, group, host));
  }
  uint32_t RendererKind() const override { return zFourCC("saud"); }
  int64_t PrimeTimeOnCueThread() const {
    zCriticalGuard guard(rendererLock);
    return primeTime;
  }

 private:
  StressAudioRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& host)
      : kaPluginAudioRenderer(name, group, host) {}
  ~StressAudioRenderer() override = default;
};

// Stereo frame n of a stream carries n + 1 in its two 16-bit lanes, so
// silence never looks like audio.
uint32_t CounterOf(const int16_t* frame) {
  return static_cast<uint16_t>(frame[0]) | (static_cast<uint32_t>(static_cast<uint16_t>(frame[1])) << 16);
}

// What the undisturbed audio renderers' cue thread found.
struct ContinuityState {
  uint32_t lastCounter = 0;  // last frame of the last audible period; 0 before any
  bool lastWasAudible = false;
  int64_t primeTime = INT64_MIN;
  int64_t periods = 0, silent = 0, continued = 0, reprimed = 0;
};

// One disturbed audio renderer's input format.
struct BlockFormat {
  int format;
  int rate;
  int channels;
  int bytesPerSample;
};

constexpr BlockFormat kBlockFormats[] = {
    {static_cast<int>(zFourCC("sowt")), 48000, 2, 2}, {static_cast<int>(zFourCC("fl32")), 48000, 2, 4},
    {static_cast<int>(zFourCC("in24")), 44100, 1, 3}, {static_cast<int>(zFourCC("42ni")), 32000, 6, 3},
    {static_cast<int>(zFourCC("32ni")), 48000, 6, 4}, {static_cast<int>(zFourCC("sowt")), 44100, 2, 2},
};

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    liveObjects_ = xCUnknown::LiveObjectsForTesting();
    liveVelObjects_ = Corvane::Vel::CObject::LiveObjectsForTesting();
    liveTables_ = TestHostMethods::LiveCount();
  }
  void TearDown() override {
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveObjects_) << "counted objects leaked";
    EXPECT_EQ(Corvane::Vel::CObject::LiveObjectsForTesting(), liveVelObjects_) << "framework objects leaked";
    EXPECT_EQ(TestHostMethods::LiveCount(), liveTables_) << "host tables leaked";
  }

 private:
  int64_t liveObjects_ = 0, liveVelObjects_ = 0, liveTables_ = 0;
};

TEST_F(StressTest, RenderersOnOneGroupSurviveLoadFaultsAndChurnWithoutLosingAudio) {
  const int seconds = StressSeconds();
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  // Reports a failure from any thread; the threads go on to their end.
  auto fail = [&failures](const std::string& what) {
    if (failures.fetch_add(1) < 20) ADD_FAILURE() << what;
  };

  GroupRef group(new kaBufferGroup2());
  TestHostMethods::Ptr host = TestHostMethods::Make();
  host->SetRecording(false);
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  std::vector<StressAudioRenderer::Ptr> audio;
  std::vector<TestVideoRenderer::Ptr> video;
  for (int i = 0; i < kRenderersPerKind; ++i) {
    audio.push_back(StressAudioRenderer::Make("audio" + std::to_string(i), *group, *host));
    video.push_back(TestVideoRenderer::Make("video" + std::to_string(i), *group, *host));
  }
  std::atomic<int64_t> videoCounter[kRenderersPerKind] = {};
  // Every thread keeps to one schedule from here.
  const int64_t start = zTime::MicroNow();
  const int64_t end = start + int64_t{seconds} * 1'000'000;
  std::atomic<int64_t> churned{0}, controlActions{0}, disturbedCues{0}, videoChecks{0};

  // ---- audio delivery: the undisturbed renderers, in real time ----
  std::thread undisturbedDelivery([&] {
    std::vector<int16_t> block(2 * kBlockFrames);
    for (int64_t k = 0; !stop.load(); ++k) {
      const int64_t due = start + k * kBlockMicros;
      const int64_t now = zTime::MicroNow();
      if (due > now) std::this_thread::sleep_for(std::chrono::microseconds(due - now));
      for (int f = 0; f < kBlockFrames; ++f) {
        const auto value = static_cast<uint32_t>(k * kBlockFrames + f + 1);
        block[2 * f] = static_cast<int16_t>(value & 0xFFFF);
        block[2 * f + 1] = static_cast<int16_t>(value >> 16);
      }
      for (int i = 0; i < kUndisturbed; ++i) {
        audio[i]->OnReceive(veTimeRange{}, block.data(), kBlockFrames * 4, 48000, 2, static_cast<int>(zFourCC("sowt")));
      }
    }
  });

  // ---- audio delivery: the disturbed renderers (format changes, flushes, bad blocks) ----
  std::thread disturbedDelivery([&] {
    std::mt19937 random(7);
    std::vector<uint8_t> block;
    int formatOf[kRenderersPerKind] = {};
    for (int64_t k = 0; !stop.load(); ++k) {
      const int64_t due = start + k * kBlockMicros;
      const int64_t now = zTime::MicroNow();
      if (due > now) std::this_thread::sleep_for(std::chrono::microseconds(due - now));
      for (int i = kUndisturbed; i < kRenderersPerKind; ++i) {
        if (random() % 40 == 0) {
          // The host changes the plug-in's format: flush first, on this thread.
          formatOf[i] = static_cast<int>(random() % std::size(kBlockFormats));
          audio[i]->FlushAudio();
        }
        const BlockFormat& format = kBlockFormats[formatOf[i]];
        const int frames = format.rate / 100;
        block.resize(static_cast<size_t>(frames) * format.channels * format.bytesPerSample);
        for (size_t b = 0; b < block.size(); ++b) block[b] = static_cast<uint8_t>(k + b * 3);
        switch (random() % 50) {
          case 0:  // a bad block: null data, odd size, no channels
            audio[i]->OnReceive(veTimeRange{}, nullptr, 64, format.rate, format.channels, format.format);
            audio[i]->OnReceive(veTimeRange{}, block.data(), 3, format.rate, 2, format.format);
            audio[i]->OnReceive(veTimeRange{}, block.data(), 64, format.rate, 0, format.format);
            break;
          default:
            audio[i]->OnReceive(veTimeRange{1000, uint64_t(k), 1000, 10}, block.data(), static_cast<int>(block.size()),
                                format.rate, format.channels, format.format);
        }
      }
    }
  });

  // ---- video delivery: frames from the group, each carrying its counter ----
  std::thread videoDelivery([&] {
    std::mt19937 random(11);
    static constexpr uint32_t kRasters[] = {zFourCC("BGRA"), zFourCC("2vuy"), zFourCC("I420"), zFourCC("rgba")};
    for (int64_t k = 0; !stop.load(); ++k) {
      const int64_t due = start + k * 16'667;
      const int64_t now = zTime::MicroNow();
      if (due > now) std::this_thread::sleep_for(std::chrono::microseconds(due - now));
      for (int i = 0; i < kRenderersPerKind; ++i) {
        const bool disturbed = i >= kUndisturbed;
        const int width = disturbed ? 16 + 2 * static_cast<int>(random() % 24) : 64;
        const int height = disturbed ? 8 + static_cast<int>(random() % 24) : 36;
        const uint32_t raster = disturbed ? kRasters[random() % std::size(kRasters)] : zFourCC("BGRA");
        std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(width, height, raster);
        if (!frame || frame->StorageSize() < sizeof(int64_t)) {
          fail("no video frame from the group");
          continue;
        }
        const int64_t counter = videoCounter[i].load() + 1;
        std::memcpy(frame->GetStorage(), &counter, sizeof counter);
        video[i]->OnReceiveVideo(frame.get());
        videoCounter[i].store(counter);
      }
    }
  });

  // ---- cue thread 1: the undisturbed renderers, one period at a time ----
  std::vector<ContinuityState> continuity(kUndisturbed);
  std::thread steadyCues([&] {
    int64_t lastFrameSeen[kUndisturbed] = {};
    for (int64_t k = 0;; ++k) {
      const int64_t cueTime = start + (k * 100'000 + 1) / 3;  // exactly one period of 1600 frames apart
      if (cueTime >= end) break;
      const int64_t now = zTime::MicroNow();
      if (cueTime > now) std::this_thread::sleep_for(std::chrono::microseconds(cueTime - now));
      for (int i = 0; i < kUndisturbed; ++i) {
        kaBuffer2* raw = nullptr;
        audio[i]->Cue(&raw, ka_renderer_params{cueTime}, 0, kTolerancePeriods);
        BufferRef out(raw);
        ContinuityState& state = continuity[i];
        ++state.periods;
        if (!out || out->StorageSize() != kPeriodFrames * 4) {
          fail("audio cue without a stereo period");
          continue;
        }
        const auto* samples = reinterpret_cast<const int16_t*>(out->GetStorage());
        const uint32_t first = CounterOf(samples);
        if (first == 0) {
          for (int s = 0; s < 2 * kPeriodFrames; ++s) {
            if (samples[s] != 0) {
              fail("renderer " + std::to_string(i) + " mixes silence and audio in one period");
              break;
            }
          }
          ++state.silent;
          state.lastWasAudible = false;
          continue;
        }
        for (int f = 1; f < kPeriodFrames; ++f) {
          if (CounterOf(samples + 2 * f) != first + static_cast<uint32_t>(f)) {
            fail("renderer " + std::to_string(i) + " breaks the sequence inside a period at frame " + std::to_string(f));
            break;
          }
        }
        const int64_t primeTime = audio[i]->PrimeTimeOnCueThread();
        if (primeTime != state.primeTime) {
          ++state.reprimed;  // a new base: the sequence may jump here
          state.primeTime = primeTime;
        } else if (state.lastWasAudible) {
          if (first != state.lastCounter + 1) {
            fail("renderer " + std::to_string(i) + " lost or repeated audio: period starts at " +
                 std::to_string(first) + " after " + std::to_string(state.lastCounter));
          }
          ++state.continued;
        } else if (state.lastCounter != 0 && first <= state.lastCounter) {
          // After silence the reader may have moved on (a writer stalled past
          // the tolerance), but it never goes back.
          fail("renderer " + std::to_string(i) + " repeated audio after silence");
        }
        state.lastCounter = first + kPeriodFrames - 1;
        state.lastWasAudible = true;
      }
      for (int i = 0; i < kUndisturbed; ++i) {
        kaBuffer2* raw = nullptr;
        video[i]->CueVideo(&raw, ka_renderer_params{cueTime});
        BufferRef out(raw);
        if (!out) {
          fail("video cue without a frame");
          continue;
        }
        if (out->RasterType() != zFourCC("BGRA")) {
          // The blank frame of a renderer that has had no frame yet.
          if (lastFrameSeen[i] != 0) fail("video renderer " + std::to_string(i) + " went blank");
          continue;
        }
        int64_t counter = 0;
        if (out->StorageSize() >= sizeof counter) std::memcpy(&counter, out->GetStorage(), sizeof counter);
        if (counter < lastFrameSeen[i]) {
          fail("video renderer " + std::to_string(i) + " went back from frame " + std::to_string(lastFrameSeen[i]) +
               " to frame " + std::to_string(counter));
        }
        lastFrameSeen[i] = std::max(lastFrameSeen[i], counter);
        ++videoChecks;
      }
    }
    stop.store(true);
  });

  // ---- cue thread 2: the disturbed renderers, at uneven times ----
  std::thread unevenCues([&] {
    std::mt19937 random(13);
    while (!stop.load()) {
      const int64_t now = zTime::MicroNow();
      for (int i = kUndisturbed; i < kRenderersPerKind; ++i) {
        kaBuffer2* raw = nullptr;
        const int64_t cueTime = now - static_cast<int64_t>(random() % 200'000);
        audio[i]->Cue(&raw, ka_renderer_params{cueTime}, 0, static_cast<int>(random() % 5));
        BufferRef out(raw);
        if (!out || out->StorageSize() % (kPeriodFrames * 2) != 0 ||
            out->StorageSize() > kPeriodFrames * 2 * kMaxChannels || out->DirtiedTime() != cueTime) {
          fail("disturbed audio cue gave a wrong period");
        }
        raw = nullptr;
        if (video[i]->CueVideo(&raw, ka_renderer_params{now}) != 0 || !raw) fail("disturbed video cue gave nothing");
        BufferRef frame(raw);
        ++disturbedCues;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(random() % 20'000)));
    }
  });

  // ---- the host: settings, delays, flushes, statistics and sweeps ----
  std::thread control([&] {
    std::mt19937 random(17);
    static constexpr double kVideoDelays[] = {0.0, 0.02, 0.1, -1.0};
    static constexpr double kAudioDelays[] = {0.0, 0.01, 0.05, 0.3};
    while (!stop.load()) {
      const int i = kUndisturbed + static_cast<int>(random() % (kRenderersPerKind - kUndisturbed));
      switch (random() % 8) {
        case 0: video[i]->SetVideoDelay(kVideoDelays[random() % std::size(kVideoDelays)]); break;
        case 1: video[i]->FlushVideo(); break;
        case 2: audio[i]->SetAudioDelay(kAudioDelays[random() % std::size(kAudioDelays)]); break;
        case 3: audio[i]->SetDriftCorrectionEnabled(random() % 2 == 0); break;
        case 4: audio[i]->SetChangingResolution(random() % 3 != 0); break;
        case 5: audio[i]->SetBusMappingQuad(static_cast<int>(random() % 4), random()); break;
        case 6: {
          const kaCacheStatistics statistics = group->GetStatistics();
          if (statistics.liveBytes > statistics.peakLiveBytes) fail("live bytes above their peak");
          break;
        }
        default: group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() - std::chrono::milliseconds(50));
      }
      ++controlActions;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // ---- churn: renderers made and destroyed on the same group meanwhile ----
  std::thread churn([&] {
    std::vector<int16_t> block(2 * kBlockFrames, 1);
    while (!stop.load()) {
      StressAudioRenderer::Ptr a = StressAudioRenderer::Make("churn audio", *group, *host);
      TestVideoRenderer::Ptr v = TestVideoRenderer::Make("churn video", *group, *host);
      for (int k = 0; k < 6; ++k) {
        a->OnReceive(veTimeRange{}, block.data(), kBlockFrames * 4, 48000, 2, static_cast<int>(zFourCC("sowt")));
        std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(32, 16, zFourCC("BGRA"));
        if (frame) v->OnReceiveVideo(frame.get());
        kaBuffer2* raw = nullptr;
        a->Cue(&raw, ka_renderer_params{zTime::MicroNow()}, 0, kTolerancePeriods);
        BufferRef cuedAudio(raw);
        raw = nullptr;
        v->CueVideo(&raw, ka_renderer_params{zTime::MicroNow()});
        BufferRef cuedVideo(raw);
        if (!cuedAudio || !cuedVideo) fail("churned renderer cue gave nothing");
      }
      ++churned;
    }
  });

  for (std::thread* thread : {&steadyCues, &undisturbedDelivery, &disturbedDelivery, &videoDelivery, &unevenCues,
                              &control, &churn}) {
    thread->join();
  }

  int64_t continued = 0;
  for (int i = 0; i < kUndisturbed; ++i) {
    const ContinuityState& state = continuity[i];
    std::printf("audio renderer %d: %lld periods, %lld silent, %lld continued the sequence, %lld re-primes\n", i,
                static_cast<long long>(state.periods), static_cast<long long>(state.silent),
                static_cast<long long>(state.continued), static_cast<long long>(state.reprimed));
    continued += state.continued;
    // Each undisturbed renderer handed out audio that was checked against
    // the period before it.
    EXPECT_GT(state.continued, 0) << "renderer " << i << " never continued its sequence";
  }
  std::printf("%d s: %lld continuity checks, %lld video checks, %lld disturbed cues, %lld host actions, %lld renderers "
              "churned\n",
              seconds, static_cast<long long>(continued), static_cast<long long>(videoChecks.load()),
              static_cast<long long>(disturbedCues.load()), static_cast<long long>(controlActions.load()),
              static_cast<long long>(churned.load()));
  EXPECT_GT(churned.load(), 0);
  EXPECT_EQ(failures.load(), 0);

  // Everything released: the group's cache then holds only idle buffers, and
  // once they are swept no byte is live.
  audio.clear();
  video.clear();
  EXPECT_EQ(group->RefCountForTesting(), 1) << "a renderer kept its group";
  group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + std::chrono::hours(1));
  const kaCacheStatistics statistics = group->GetStatistics();
  EXPECT_EQ(statistics.liveBytes, 0u);
  EXPECT_GT(statistics.hits, 0u);
  EXPECT_GE(statistics.peakLiveBytes, statistics.liveBytes);
  host.reset();
  group.reset();
}

}  // namespace
