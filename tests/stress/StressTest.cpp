// Load, faults and churn on one buffer group, in real time, for
// KASP2_STRESS_SECONDS (default 3; CI runs 30 under the sanitizers):
//  - 8 video and 8 audio renderers; half of each kind is left undisturbed,
//    the other half gets live-delay changes, flushes, format, rate and
//    channel changes, drift correction switched on and off, resolution
//    changes and bad blocks;
//  - one audio and one video delivery thread, two cue threads, one host
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
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Vel/CObject.h"
#include "buffers/kaBufferGroup2.h"
#include "support/TestAudioRenderer.h"
#include "support/TestHostMethods.h"
#include "support/TestVideoRenderer.h"

namespace {

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;

constexpr int kRenderersPerKind = 8;
constexpr int kUndisturbed = 4;    // renderers 0-3 of each kind
constexpr int kBlockFrames = 480;  // 10 ms at 48 kHz
constexpr int32_t kPeriodFrames = 1600;
constexpr int kTolerancePeriods = 3;
const int kSowt = static_cast<int>(zFourCC("sowt"));

// Each thread keeps to its schedule in real time.
void SleepUntil(int64_t due) {
  const int64_t now = zTime::MicroNow();
  if (due > now) std::this_thread::sleep_for(std::chrono::microseconds(due - now));
}

BufferRef CueAudio(TestAudioRenderer& renderer, int64_t time, int tolerance) {
  kaBuffer2* out = nullptr;
  renderer.Cue(&out, ka_renderer_params{time}, 0, tolerance);
  return BufferRef(out);
}

BufferRef CueVideo(TestVideoRenderer& renderer, int64_t time) {
  kaBuffer2* out = nullptr;
  return renderer.CueVideo(&out, ka_renderer_params{time}) == 0 ? BufferRef(out) : BufferRef(nullptr);
}

// The disturbed audio renderers' input formats: {code, rate, channels, bytes per sample}.
const int kBlockFormats[][4] = {{kSowt, 48000, 2, 2},  {static_cast<int>(zFourCC("fl32")), 48000, 2, 4},
                                {kSowt, 44100, 2, 2},  {static_cast<int>(zFourCC("in24")), 44100, 1, 3},
                                {static_cast<int>(zFourCC("42ni")), 32000, 6, 3}};

TEST(StressTest, RenderersOnOneGroupSurviveLoadFaultsAndChurnWithoutLosingAudio) {
  auto live = [] {  // counted objects, framework objects, host tables
    return std::tuple(xCUnknown::LiveObjectsForTesting(), Corvane::Vel::CObject::LiveObjectsForTesting(),
                      TestHostMethods::LiveCount());
  };
  const auto liveBefore = live();
  const char* secondsText = std::getenv("KASP2_STRESS_SECONDS");
  const int seconds = secondsText && std::atoi(secondsText) > 0 ? std::atoi(secondsText) : 3;
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  // Reports a failure from any thread; the threads go on to their end.
  auto fail = [&failures](const std::string& what) {
    if (failures.fetch_add(1) < 20) ADD_FAILURE() << what;
  };

  std::unique_ptr<kaBufferGroup2, zReleaseDeleter> group(new kaBufferGroup2());
  TestHostMethods::Ptr host = TestHostMethods::Make();
  host->SetRecording(false);
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  std::vector<TestAudioRenderer::Ptr> audio;
  std::vector<TestVideoRenderer::Ptr> video;
  for (int i = 0; i < kRenderersPerKind; ++i) {
    audio.push_back(TestAudioRenderer::Make("audio" + std::to_string(i), *group, *host));
    video.push_back(TestVideoRenderer::Make("video" + std::to_string(i), *group, *host));
  }
  const int64_t start = zTime::MicroNow();
  std::atomic<int64_t> churned{0};
  std::vector<std::thread> threads;

  // ---- audio delivery every 10 ms: the undisturbed renderers get the
  // counter (stereo frame n carries n + 1 as one 32-bit word across its two
  // 16-bit lanes, so silence never looks like audio); the others change
  // format after a flush, as a host does, and get a bad block now and then ----
  threads.emplace_back([&] {
    std::vector<uint32_t> counter(kBlockFrames);
    std::vector<uint8_t> block;
    for (int64_t k = 0; !stop.load(); ++k) {
      SleepUntil(start + k * 10'000);
      for (int f = 0; f < kBlockFrames; ++f) counter[f] = static_cast<uint32_t>(k * kBlockFrames + f + 1);
      for (int i = 0; i < kUndisturbed; ++i) audio[i]->OnReceive({}, counter.data(), kBlockFrames * 4, 48000, 2, kSowt);
      for (int i = kUndisturbed; i < kRenderersPerKind; ++i) {
        if (k % 40 == 39) audio[i]->FlushAudio();  // the next block comes in another format
        const auto [format, rate, channels, bytesPerSample] = kBlockFormats[(k / 40 + i) % std::size(kBlockFormats)];
        block.assign(static_cast<size_t>(rate / 100 * channels * bytesPerSample), static_cast<uint8_t>(k));
        if ((k + i) % 50 == 0) audio[i]->OnReceive({}, block.data(), 3, rate, 2, format);  // not whole frames
        const veTimeRange range{1000, static_cast<uint64_t>(k), 1000, 10};
        audio[i]->OnReceive(range, block.data(), static_cast<int>(block.size()), rate, channels, format);
      }
    }
  });

  // ---- video delivery: frames from the group, each carrying its counter ----
  threads.emplace_back([&] {
    std::mt19937 random(11);
    static constexpr uint32_t kRasters[] = {zFourCC("BGRA"), zFourCC("2vuy"), zFourCC("I420"), zFourCC("rgba")};
    for (int64_t k = 1; !stop.load(); ++k) {
      SleepUntil(start + k * 16'667);
      for (int i = 0; i < kRenderersPerKind; ++i) {
        const bool disturbed = i >= kUndisturbed;
        const int width = disturbed ? 16 + 2 * static_cast<int>(random() % 24) : 64;
        const int height = disturbed ? 8 + static_cast<int>(random() % 24) : 36;
        const uint32_t raster = disturbed ? kRasters[random() % std::size(kRasters)] : zFourCC("BGRA");
        std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(width, height, raster);
        if (!frame || frame->StorageSize() < sizeof k) {
          fail("no video frame from the group");
          continue;
        }
        std::memcpy(frame->GetStorage(), &k, sizeof k);
        video[i]->OnReceiveVideo(frame.get());
      }
    }
  });

  // ---- cue thread 1: the undisturbed renderers, one period at a time ----
  int64_t continued[kUndisturbed] = {};  // audible periods checked against the audible one before
  threads.emplace_back([&] {
    uint32_t lastCounter[kUndisturbed] = {};  // the last frame of the last audible period; 0 before any
    bool lastWasAudible[kUndisturbed] = {};
    int64_t primeTime[kUndisturbed] = {}, lastFrameSeen[kUndisturbed] = {};
    for (int64_t k = 0; (k * 100'000 + 1) / 3 < int64_t{seconds} * 1'000'000; ++k) {
      const int64_t cueTime = start + (k * 100'000 + 1) / 3;  // exactly one period of 1600 frames apart
      SleepUntil(cueTime);
      for (int i = 0; i < kUndisturbed; ++i) {
        const std::string name = "renderer " + std::to_string(i);
        BufferRef out = CueAudio(*audio[i], cueTime, kTolerancePeriods);
        if (!out || out->StorageSize() != kPeriodFrames * 4) {
          fail(name + " cued no stereo period");
          continue;
        }
        // Video: never back to an older frame; frame 0 is the blank frame of
        // a renderer that has had no frame yet.
        BufferRef frame = CueVideo(*video[i], cueTime);
        int64_t counter = 0;
        if (frame && frame->RasterType() == zFourCC("BGRA")) std::memcpy(&counter, frame->GetStorage(), sizeof counter);
        if (!frame || counter < lastFrameSeen[i]) fail(name + "'s video went back to frame " + std::to_string(counter));
        lastFrameSeen[i] = std::max(lastFrameSeen[i], counter);

        // Audio: silence throughout, or the sequence from `first` on.
        const auto* frames = reinterpret_cast<const uint32_t*>(out->GetStorage());
        const uint32_t first = frames[0];
        bool whole = true;
        for (int f = 1; f < kPeriodFrames; ++f) whole = whole && frames[f] == (first == 0 ? 0 : first + f);
        if (!whole) fail(name + " breaks the sequence or mixes silence into a period");
        if (first == 0) {
          lastWasAudible[i] = false;
          continue;
        }
        // A new base may jump anywhere. After silence the reader may have
        // moved on (a writer stalled past the tolerance), but never back.
        const int64_t prime = audio[i]->State().primeTime;
        if (prime == primeTime[i] && lastCounter[i] != 0) {
          const bool inPlace = lastWasAudible[i] ? first == lastCounter[i] + 1 : first > lastCounter[i];
          if (!inPlace) fail(name + " lost or repeated audio after frame " + std::to_string(lastCounter[i]));
          continued[i] += lastWasAudible[i];
        }
        lastCounter[i] = first + kPeriodFrames - 1;
        lastWasAudible[i] = true;
        primeTime[i] = prime;
      }
    }
    stop.store(true);
  });

  // ---- cue thread 2: the disturbed renderers, at uneven times ----
  threads.emplace_back([&] {
    std::mt19937 random(13);
    while (!stop.load()) {
      const int64_t now = zTime::MicroNow();
      for (int i = kUndisturbed; i < kRenderersPerKind; ++i) {
        const int64_t cueTime = now - static_cast<int64_t>(random() % 200'000);
        BufferRef out = CueAudio(*audio[i], cueTime, static_cast<int>(random() % 5));
        if (!out || out->StorageSize() % (kPeriodFrames * 2) != 0 ||
            out->StorageSize() > kPeriodFrames * 2 * 6 || out->DirtiedTime() != cueTime) {
          fail("disturbed audio cue gave a wrong period");
        }
        if (!CueVideo(*video[i], now)) fail("disturbed video cue gave nothing");
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 20'000));
    }
  });

  // ---- the host: settings, delays, flushes, statistics and sweeps ----
  threads.emplace_back([&] {
    std::mt19937 random(17);
    while (!stop.load()) {
      const int i = kUndisturbed + static_cast<int>(random() % (kRenderersPerKind - kUndisturbed));
      switch (random() % 8) {
        case 0: video[i]->SetVideoDelay(static_cast<double>(random() % 5) * 0.05 - 0.05); break;  // -0.05 to 0.15 s
        case 1: video[i]->FlushVideo(); break;
        case 2: audio[i]->SetAudioDelay(static_cast<double>(random() % 4) * 0.1); break;
        case 3: audio[i]->SetDriftCorrectionEnabled(random() % 2 == 0); break;
        case 4: audio[i]->SetChangingResolution(random() % 3 != 0); break;
        case 5: audio[i]->SetBusMappingQuad(static_cast<int>(random() % 4), random()); break;
        case 6: (void)group->GetStatistics(); break;  // reads under the cache's lock
        default: group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() - std::chrono::milliseconds(50));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // ---- churn: renderers made and destroyed on the same group meanwhile ----
  threads.emplace_back([&] {
    std::vector<int16_t> block(2 * kBlockFrames, 1);
    for (; !stop.load(); ++churned) {
      TestAudioRenderer::Ptr a = TestAudioRenderer::Make("churn audio", *group, *host);
      TestVideoRenderer::Ptr v = TestVideoRenderer::Make("churn video", *group, *host);
      for (int k = 0; k < 6; ++k) {
        a->OnReceive({}, block.data(), kBlockFrames * 4, 48000, 2, kSowt);
        std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(32, 16, zFourCC("BGRA"));
        if (frame) v->OnReceiveVideo(frame.get());
        if (!CueAudio(*a, zTime::MicroNow(), kTolerancePeriods) || !CueVideo(*v, zTime::MicroNow())) {
          fail("churned renderer cue gave nothing");
        }
      }
    }
  });

  for (std::thread& thread : threads) thread.join();
  // Each undisturbed renderer handed out audio that was checked against the
  // period before it.
  for (int i = 0; i < kUndisturbed; ++i) EXPECT_GT(continued[i], 0) << "renderer " << i;
  EXPECT_GT(churned.load(), 0);
  EXPECT_EQ(failures.load(), 0);

  // Everything released: the group's cache then holds only idle buffers, and
  // once they are swept no byte is live.
  audio.clear();
  video.clear();
  EXPECT_EQ(group->RefCountForTesting(), 1) << "a renderer kept its group";
  group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + std::chrono::hours(1));
  EXPECT_EQ(group->GetStatistics().liveBytes, 0u);
  host.reset();
  group.reset();
  EXPECT_EQ(live(), liveBefore) << "leaked";
}

}  // namespace
