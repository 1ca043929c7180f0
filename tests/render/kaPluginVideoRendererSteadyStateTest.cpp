#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VideoRendererTestSupport.h"
#include "support/AllocationCounter.h"

namespace {

using kaPluginVideoRendererSteadyStateTest = VideoRendererTest;

constexpr int32_t kFrameWidth = 64;
constexpr int32_t kFrameHeight = 36;
// One frame of 60 fps video.
constexpr int64_t kFrameIntervalUs = 16'667;
// Frame number written by the test plug-in into each frame's record.
constexpr zKey kFrameNumberKey = zFourCC("fnum");

// One plug-in delivery and one host cue, the way they run in a live show:
// the plug-in takes a frame from the group's cache, delivers it and lets go;
// the host cues and releases what it got. Returns the allocations made on
// this thread by the renderer's part (delivery, cue, release).
int64_t DeliverAndCue(kaBufferGroup2& group, TestVideoRenderer& renderer, int64_t cueTime, bool* ok) {
  std::shared_ptr<kaGPUAccessibleBuffer> frame =
      group.CreateGPUAccessibleBuffer(kFrameWidth, kFrameHeight, static_cast<int>(veRasterType::kRgba));
  if (!frame) {
    *ok = false;
    return 0;
  }
  const int64_t before = AllocationCounter::ThreadAllocationsSoFar();
  renderer.OnReceiveVideo(frame.get());
  kaBuffer2* out = nullptr;
  if (renderer.CueVideo(&out, ka_renderer_params{cueTime}) != 0 || out != frame.get()) *ok = false;
  if (out) out->Release();
  const int64_t allocations = AllocationCounter::ThreadAllocationsSoFar() - before;
  frame.reset();
  return allocations;
}

TEST_F(kaPluginVideoRendererSteadyStateTest, DeliveryAndCueWithoutDelayAllocateNothingAfterWarmUp) {
  if (!AllocationCounter::IsCounting()) GTEST_SKIP() << "allocations are not counted in this build";
  // A host that looks at the format and takes the frame, as a real one does,
  // without recording anything itself.
  host->SetRecording(false);
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  // Warm-up: the frames' records learn their keys, the shared-pointer pool
  // fills, and the cache's idle queue walks past the end of its first block
  // (after which it reuses the block it frees).
  constexpr int kWarmUpCycles = 100;
  constexpr int kCountedCycles = 200;
  bool ok = true;
  for (int i = 0; i < kWarmUpCycles; ++i) DeliverAndCue(*group, *renderer, i, &ok);

  int64_t allocations = 0;
  for (int i = 0; i < kCountedCycles; ++i) allocations += DeliverAndCue(*group, *renderer, 1'000 + i, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(host->VideoCount(), kWarmUpCycles + kCountedCycles);
}

// One plug-in thread delivers frames from the group at a 60 fps rate of the
// manual clock and now and then flushes; one host thread cues at the clock's
// time, changes the live delay now and then, and checks every frame it gets.
// Neither thread runs more than kMaxLead iterations ahead of the other, so
// deliveries and cues really interleave. Bounded by iteration counts (equal
// on both sides, so the pacing cannot stall). Run under ThreadSanitizer too.
TEST_F(kaPluginVideoRendererSteadyStateTest, DeliveryAndCueOnTwoThreadsWithDelayChangesAndFlushes) {
  constexpr int kFrames = 3'000;
  constexpr int kCues = kFrames;
  constexpr int kMaxLead = 8;
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  host->SetRecording(false);

  std::atomic<int> failures{0};
  std::atomic<int> framesSeen{0};
  std::atomic<int> blanksSeen{0};
  std::atomic<int> delivered{0};
  std::atomic<int> cued{0};
  TestVideoRenderer* target = renderer.get();
  kaBufferGroup2* frameSource = group.get();

  std::thread plugin([&] {
    for (int i = 0; i < kFrames; ++i) {
      while (i - cued.load() > kMaxLead) std::this_thread::yield();
      std::shared_ptr<kaGPUAccessibleBuffer> frame =
          frameSource->CreateGPUAccessibleBuffer(kFrameWidth, kFrameHeight, static_cast<int>(veRasterType::kRgba));
      if (!frame || !frame->GetStorage()) {
        failures.fetch_add(1);
        delivered.fetch_add(1);
        continue;
      }
      frame->SetInt64(kFrameNumberKey, i);
      std::memset(frame->GetStorage(), i & 0xFF, frame->StorageSize());
      target->OnReceiveVideo(frame.get());
      frame.reset();
      clock().Advance(kFrameIntervalUs);
      if (i % 250 == 125) target->FlushVideo();
      delivered.fetch_add(1);
    }
  });

  std::thread cuer([&] {
    int64_t lastNumber = -1;
    // The first cue comes after the first delivery, so frames are seen.
    for (int i = 0; i < kCues; cued.store(++i)) {
      while (delivered.load() == 0 || cued.load() - delivered.load() > kMaxLead) std::this_thread::yield();
      if (i % 200 == 100) target->SetVideoDelay((i / 200) % 2 == 0 ? 0.05 : 0.0);
      kaBuffer2* out = nullptr;
      if (target->CueVideo(&out, ka_renderer_params{clock().Now()}) != 0 || !out) {
        failures.fetch_add(1);
        continue;
      }
      const int64_t number = out->AsInt64(kFrameNumberKey, -1);
      if (number >= 0) {
        framesSeen.fetch_add(1);
        // Frames never go back in time: a delay change or a flush only drops
        // frames, and a due frame is always newer than the one shown.
        if (number < lastNumber) failures.fetch_add(1);
        lastNumber = number;
        if (out->Width() != kFrameWidth || out->Height() != kFrameHeight) failures.fetch_add(1);
        if (out->GetStorage()[0] != static_cast<unsigned char>(number & 0xFF)) failures.fetch_add(1);
      } else {
        blanksSeen.fetch_add(1);
        // A blank frame has the learned size, or the initial one before any.
        const bool learned = out->Width() == kFrameWidth && out->Height() == kFrameHeight;
        const bool initial = out->Width() == 320 && out->Height() == 240;
        if (!learned && !initial) failures.fetch_add(1);
      }
      if (out->DirtiedTime() < 0) failures.fetch_add(1);
      if (target->CueTimestampForParameters(ka_renderer_params{0}) < -1) failures.fetch_add(1);
      veMediaRecord format;
      target->OutputFormat(veMediaTypeVideo, format, 0);
      if (format.Width() != kFrameWidth && format.Width() != 320) failures.fetch_add(1);
      out->Release();
    }
  });

  plugin.join();
  cuer.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(framesSeen.load() + blanksSeen.load(), kCues);
  EXPECT_GT(framesSeen.load(), 0);
  EXPECT_EQ(host->VideoCount(), kFrames);

  // Everything the renderer held goes back with it.
  renderer->FlushVideo();
  renderer.reset();
  EXPECT_EQ(group->RefCountForTesting(), 1);
  EXPECT_EQ(host->RefCountForTesting(), 1);
}

// A host keeps every frame it is given and reads it on a thread of its own,
// as a multiviewer does, while a plug-in thread delivers and two host threads
// cue (with and without a live delay). The frames' records must be safe to
// read throughout (ThreadSanitizer and AddressSanitizer watch the reads), the
// display size must be there before the host first sees a frame, and no cue
// may show a frame older than one another cue already returned.
TEST_F(kaPluginVideoRendererSteadyStateTest, HostThreadReadsKeptFramesWhileTwoThreadsCueConcurrently) {
  constexpr int kFrames = 2'000;
  constexpr int kCuesPerThread = 3'000;
  host->SetRecording(false);
  std::mutex keptLock;
  std::vector<std::shared_ptr<kaBuffer2>> kept;  // guarded by keptLock
  host->SetHook([&](TestHostMethods::Kind, const std::string&, kaBuffer2Producer& producer) {
    std::shared_ptr<kaBuffer2> frame = producer.ProduceBuffer();
    std::lock_guard<std::mutex> guard(keptLock);
    kept.push_back(std::move(frame));
  });

  std::atomic<int> failures{0};
  std::atomic<int64_t> newestShown{-1};
  std::atomic<int> running{3};
  TestVideoRenderer* target = renderer.get();

  std::thread plugin([&] {
    for (int i = 0; i < kFrames; ++i) {
      if (i % 500 == 0) target->SetVideoDelay((i / 500) % 2 == 0 ? 0.0 : 0.002);
      // A new object every time: its record grows as keys are written.
      BufferRef frame = MakeFrame(kFrameWidth, kFrameHeight, veRasterType::kRgba);
      frame->SetInt64(kFrameNumberKey, i);
      target->OnReceiveVideo(frame.get());
      clock().Advance(1'000);
    }
    running.fetch_sub(1);
  });
  auto cue = [&] {
    for (int i = 0; i < kCuesPerThread; ++i) {
      const int64_t before = newestShown.load();
      kaBuffer2* out = nullptr;
      if (target->CueVideo(&out, ka_renderer_params{clock().Now()}) != 0 || !out) {
        failures.fetch_add(1);
        continue;
      }
      const int64_t number = out->AsInt64(kFrameNumberKey, -1);
      if (number >= 0 && number < before) failures.fetch_add(1);
      int64_t newest = newestShown.load();
      while (number > newest && !newestShown.compare_exchange_weak(newest, number)) {
      }
      out->Release();
    }
    running.fetch_sub(1);
  };
  std::thread cue1(cue);
  std::thread cue2(cue);

  int64_t reads = 0;
  while (running.load() > 0 || reads == 0) {
    std::shared_ptr<kaBuffer2> frame;
    {
      std::lock_guard<std::mutex> guard(keptLock);
      if (!kept.empty()) frame = kept[static_cast<size_t>(reads) % kept.size()];
    }
    if (!frame) continue;
    ++reads;
    const veMediaRecord copy = *frame;  // reads every entry
    if (frame->GetDisplayWidth() != kFrameWidth || frame->GetDisplayHeight() != kFrameHeight ||
        copy.Width() != kFrameWidth || frame->DirtiedTime() < -1 || !frame->AsBool(veKeyVideoIsInterlaced, true)) {
      failures.fetch_add(1);
    }
  }
  plugin.join();
  cue1.join();
  cue2.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(kept.size(), static_cast<size_t>(kFrames));
  kept.clear();
  renderer->FlushVideo();
}

// The same ordering, made certain: a cue that is held up while it lets go of
// a skipped frame (its last release runs a host's pre-recycle function) must
// not put its frame back on screen over a newer one that another host thread
// cued meanwhile, nor make that newer frame count as changed again.
TEST_F(kaPluginVideoRendererSteadyStateTest, ConcurrentCueHeldUpByAReleaseNeverTakesTheScreenBack) {
  renderer->SetVideoDelay(0.001);
  const int64_t start = clock().Now();
  std::promise<void> inRelease;
  std::promise<void> otherCueDone;
  std::shared_future<void> otherDone = otherCueDone.get_future().share();
  BufferRef first = MakeFrame(8, 8, veRasterType::kRgba);
  first->SetPreRecycleLambda([&inRelease, otherDone] {
    inRelease.set_value();
    otherDone.wait();
  });
  BufferRef second = MakeFrame(8, 8, veRasterType::kRgba);
  BufferRef third = MakeFrame(8, 8, veRasterType::kRgba);
  clock().Set(start + 1'000);
  renderer->OnReceiveVideo(first.get());
  clock().Set(start + 2'000);
  renderer->OnReceiveVideo(second.get());
  first.reset();  // the queue holds the only reference: skipping it releases it

  kaBuffer2* heldUp = nullptr;
  std::thread slowCue([&] { renderer->CueVideo(&heldUp, ka_renderer_params{start + 3'500}); });
  inRelease.get_future().wait();
  clock().Set(start + 4'000);
  renderer->OnReceiveVideo(third.get());
  BufferRef shown = Cue(start + 5'500);
  EXPECT_EQ(shown.get(), third.get());
  otherCueDone.set_value();
  slowCue.join();
  EXPECT_EQ(heldUp, second.get()) << "the held-up cue shows what was due at its time";
  if (heldUp) heldUp->Release();

  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), start + 5'500) << "the newer frame stays on screen";
  EXPECT_EQ(Cue(start + 5'600).get(), third.get());
  EXPECT_EQ(third->DirtiedTime(), start + 5'500) << "and is not stamped again";
  renderer->FlushVideo();
}

}  // namespace
