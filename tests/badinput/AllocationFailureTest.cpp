// A small live scene (a group, a host table, a video and an audio renderer,
// deliveries with and without delay, conversions, drift correction, cues,
// flushes) run again and again with the Nth allocation of the run failing,
// for every N until a run makes fewer than N allocations. Every run must end
// without a crash and with nothing left alive; the library's operations meet
// the shortage with their failure results, and only constructors (and the
// test's own code) may throw std::bad_alloc. Leaks below the counted objects
// are LeakSanitizer's business in the asan build.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "Vel/CObject.h"
#include "buffers/kaBufferGroup2.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "support/AllocationCounter.h"
#include "support/TestHostMethods.h"
#include "support/TestVideoRenderer.h"
#include "tolm/zTraceManager.h"

namespace {

namespace Vel = Corvane::Vel;
using GroupRef = std::unique_ptr<kaBufferGroup2, zReleaseDeleter>;

constexpr int kSowt = static_cast<int>(zFourCC("sowt"));
constexpr int kFl32 = static_cast<int>(zFourCC("fl32"));
constexpr int64_t kStartMicros = 5'000'000;
// Far more than one run allocates: a sweep that reaches it never ended.
constexpr int64_t kMaxSweep = 20'000;

class SweepAudioRenderer final : public kaPluginAudioRenderer {
 public:
  using Ptr = std::unique_ptr<SweepAudioRenderer, zReleaseDeleter>;
  SweepAudioRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host) : kaPluginAudioRenderer("A", group, host) {}
  uint32_t RendererKind() const override { return zFourCC("saud"); }
  bool Guarded() const { return rendererLock != nullptr; }

 private:
  ~SweepAudioRenderer() override = default;
};

class SweepVideoRenderer final : public TestVideoRenderer {
 public:
  using Ptr = std::unique_ptr<SweepVideoRenderer, zReleaseDeleter>;
  SweepVideoRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host) : TestVideoRenderer("V", group, host) {}
  bool Guarded() const { return rendererLock && frameLock && formatLock; }

 private:
  ~SweepVideoRenderer() override = default;
};

// Where an exception left the scene, for the failure message.
struct Progress {
  const char* step = "start";
  bool inLibraryOperation = false;
};

// One run of the scene. Objects it makes are released before it returns or
// while an exception leaves it.
void RunScene(zTestClock& clock, Progress& progress) {
  clock.Set(kStartMicros);
  progress.step = "the test's blocks";
  std::vector<int16_t> sowt(2 * 480, 100);
  std::vector<float> fl32(2 * 441, 0.25f);
  progress.step = "group";
  GroupRef group(new kaBufferGroup2());
  progress.step = "host";
  TestHostMethods::Ptr host = TestHostMethods::Make();
  host->SetRecording(false);
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  progress.step = "video renderer";
  SweepVideoRenderer::Ptr video(new SweepVideoRenderer(*group, *host));
  EXPECT_TRUE(video->Guarded()) << "a renderer was made without its locks";
  progress.step = "audio renderer";
  SweepAudioRenderer::Ptr audio(new SweepAudioRenderer(*group, *host));
  EXPECT_TRUE(audio->Guarded());

  progress.inLibraryOperation = true;
  progress.step = "video without delay";
  for (int i = 0; i < 2; ++i) {
    std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(64, 36, zFourCC("2vuy"));
    if (frame) video->OnReceiveVideo(frame.get());
    kaBuffer2* out = nullptr;
    video->CueVideo(&out, ka_renderer_params{clock.Now()});
    if (out) out->Release();
    clock.Advance(16'667);
  }
  progress.step = "video with delay";
  video->SetVideoDelay(0.02);
  for (int i = 0; i < 3; ++i) {
    std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(64, 36, zFourCC("2vuy"));
    if (frame) video->OnReceiveVideo(frame.get());
    clock.Advance(16'667);
    kaBuffer2* out = nullptr;
    video->CueVideo(&out, ka_renderer_params{clock.Now()});
    if (out) out->Release();
  }
  video->FlushVideo();

  progress.step = "audio";
  audio->SetDriftCorrectionEnabled(true);
  audio->SetInputChannelSelection(3);
  audio->SetBusMappingQuad(1, 7);
  for (int i = 0; i < 6; ++i) {
    audio->OnReceive(veTimeRange{48000, 0, 48000, 480}, sowt.data(), 480 * 4, 48000, 2, kSowt);
    clock.Advance(10'000);
  }
  kaBuffer2* period = nullptr;
  audio->Cue(&period, ka_renderer_params{clock.Now()}, 0, 3);
  if (period) period->Release();
  audio->FlushAudio();
  for (int i = 0; i < 3; ++i) {
    audio->OnReceive(veTimeRange{}, fl32.data(), 441 * 8, 44100, 2, kFl32);
    clock.Advance(10'000);
    period = nullptr;
    audio->Cue(&period, ka_renderer_params{clock.Now()}, 0, 3);
    if (period) period->Release();
  }
  audio->FlushAudio();
  progress.inLibraryOperation = false;
  progress.step = "teardown";
}

void DiscardTrace(void*, uint32_t, const char*, size_t) {}

// Exit codes of a fresh-process run (besides 0: the armed failure happened
// and the run ended clean).
constexpr int kSceneComplete = 3;  // the scene made fewer than n allocations
constexpr int kLeftAlive = 4;      // counted objects, framework objects or host tables left
constexpr int kEscaped = 5;        // std::bad_alloc escaped a library operation
constexpr int kOtherException = 6;

// One run of the scene in a process where nothing ran before it, with the
// nth allocation failing; ends the process with one of the codes above.
[[noreturn]] void RunSceneInFreshProcess(int64_t n) {
  zTraceManager::Default().SetSink(&DiscardTrace, nullptr);
  zTestClock clock(kStartMicros);
  const int64_t liveObjects = xCUnknown::LiveObjectsForTesting();
  const int64_t liveVelObjects = Vel::CObject::LiveObjectsForTesting();
  Progress progress;
  int code = 0;
  AllocationCounter::FailNthAllocationForTesting(n);
  try {
    RunScene(clock, progress);
  } catch (const std::bad_alloc&) {
    if (progress.inLibraryOperation) code = kEscaped;
  } catch (...) {
    code = kOtherException;
  }
  const bool happened = AllocationCounter::InjectedFailureHappened();
  AllocationCounter::FailNthAllocationForTesting(0);
  if (code == 0 && (xCUnknown::LiveObjectsForTesting() != liveObjects ||
                    Vel::CObject::LiveObjectsForTesting() != liveVelObjects || TestHostMethods::LiveCount() != 0)) {
    code = kLeftAlive;
  }
  if (code == 0 && !happened) code = kSceneComplete;
  if (code != 0 && code != kSceneComplete) std::fprintf(stderr, "allocation %lld at %s\n", static_cast<long long>(n), progress.step);
  std::exit(code);  // leak checkers run at exit
}

TEST(AllocationFailureTest, EveryAllocationOfALiveSceneMayFailWithoutCrashOrLeak) {
  if (!AllocationCounter::IsCounting()) GTEST_SKIP() << "allocations are not counted in this build";
  zTraceManager::Sink previousSink = nullptr;
  void* previousContext = nullptr;
  zTraceManager::Default().GetSink(&previousSink, &previousContext);
  zTraceManager::Default().SetSink(&DiscardTrace, nullptr);
  zTestClock clock(kStartMicros);

  const int64_t liveObjects = xCUnknown::LiveObjectsForTesting();
  const int64_t liveVelObjects = Vel::CObject::LiveObjectsForTesting();
  const int64_t liveTables = TestHostMethods::LiveCount();
  Progress progress;
  RunScene(clock, progress);  // warm-up: process-wide pools and keys settle

  int64_t n = 1;
  int64_t thrownByConstructors = 0;
  int64_t absorbed = 0;
  for (; n <= kMaxSweep; ++n) {
    progress = Progress{};
    AllocationCounter::FailNthAllocationForTesting(n);
    bool threw = false;
    try {
      RunScene(clock, progress);
    } catch (const std::bad_alloc&) {
      threw = true;
    } catch (...) {
      AllocationCounter::FailNthAllocationForTesting(0);
      ADD_FAILURE() << "allocation " << n << ": an exception other than std::bad_alloc at " << progress.step;
      continue;
    }
    const bool happened = AllocationCounter::InjectedFailureHappened();
    AllocationCounter::FailNthAllocationForTesting(0);
    if (!happened) break;  // the scene made fewer than n allocations: every one was tried
    if (threw) {
      ++thrownByConstructors;
      EXPECT_FALSE(progress.inLibraryOperation)
          << "allocation " << n << ": std::bad_alloc escaped a library operation at " << progress.step;
    } else {
      ++absorbed;
    }
    ASSERT_EQ(xCUnknown::LiveObjectsForTesting(), liveObjects) << "allocation " << n << " at " << progress.step;
    ASSERT_EQ(Vel::CObject::LiveObjectsForTesting(), liveVelObjects) << "allocation " << n;
    ASSERT_EQ(TestHostMethods::LiveCount(), liveTables) << "allocation " << n;
  }
  zTraceManager::Default().SetSink(previousSink, previousContext);
  EXPECT_LT(n, kMaxSweep) << "the sweep did not reach the end of the scene";
  EXPECT_GT(absorbed, 0) << "no failure was met by a failure result";
  std::printf("allocation sweep: %lld allocations failed one at a time: %lld met by failure results, "
              "%lld by a constructor's std::bad_alloc\n",
              static_cast<long long>(n - 1), static_cast<long long>(absorbed),
              static_cast<long long>(thrownByConstructors));
}

// The same scene in a fresh process for every n (each run re-executes the
// test binary), so that the first use of every process-wide registry and
// pool (interned record keys, the shared-pointer pool, the trace log) meets
// the failure too, which a warmed-up process never shows.
TEST(AllocationFailureTest, FirstUsesInAFreshProcessMayFailWithoutCrashOrLeak) {
  if (!AllocationCounter::IsCounting()) GTEST_SKIP() << "allocations are not counted in this build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int64_t n = 1;
  for (; n <= kMaxSweep; ++n) {
    int status = -1;
    EXPECT_EXIT(RunSceneInFreshProcess(n),
                [&status](int exitStatus) {
                  status = exitStatus;
                  return WIFEXITED(exitStatus) &&
                         (WEXITSTATUS(exitStatus) == 0 || WEXITSTATUS(exitStatus) == kSceneComplete);
                },
                "")
        << "allocation " << n;
    if (status == -1) continue;  // a re-executed run passing the death tests before its own
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) break;
  }
  EXPECT_GT(n, 1) << "no run got as far as an allocation";
  EXPECT_LT(n, kMaxSweep);
  std::printf("fresh-process allocation sweep: %lld runs\n", static_cast<long long>(n));
}

}  // namespace
