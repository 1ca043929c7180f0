#include "buffers/kaBufferGroup2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "filters/kaVideoFilterManager.h"
#include "kaBufferGroup2TestSupport.h"
#include "support/AllocationCounter.h"

namespace {

using namespace std::chrono_literals;

// A pointer value no allocation form may leave behind by accident.
kaBuffer2* const kUntouched = reinterpret_cast<kaBuffer2*>(uintptr_t{0x5A5A5A50});
kaGPUAccessibleBuffer* const kUntouchedGPU = reinterpret_cast<kaGPUAccessibleBuffer*>(uintptr_t{0x5A5A5A50});

class kaBufferGroup2Test : public kaBufferGroup2TestBase {};

// ---- allocate_buffer and CreateBuffer -------------------------------------------

TEST_F(kaBufferGroup2Test, AllocateRejectsANullOutPointer) {
  EXPECT_EQ(group->allocate_buffer(AudioFormat(48000, 2), 64, 16, 0, nullptr), -1);
  EXPECT_EQ(group->GetStatistics().misses, 0u) << "nothing was asked of the cache";
}

TEST_F(kaBufferGroup2Test, AllocateFailuresLeaveTheOutPointerNull) {
  struct Case {
    const char* what;
    veMediaRecord format;
    int size;
    int count;
  };
  veMediaRecord untyped;
  untyped.SetWidth(4);
  const Case cases[] = {
      {"size 0", AudioFormat(48000, 2), 0, 1},
      {"computed size of a record that is neither audio nor video", untyped, -1, 1},
      {"count 0", AudioFormat(48000, 2), -1, 0},
      {"count -3", VideoFormat(4, 4, veRasterType::kRgba, 16), -1, -3},
      {"audio with 0 channels", AudioFormat(48000, 0), -1, 10},
      {"video of unknown raster type", VideoFormat(4, 4, zFourCC("zzzz"), 0), 64, 1},
      {"video of negative width", VideoFormat(-4, 4, veRasterType::kRgba, 0), 64, 1},
      {"video whose row bytes overflow", VideoFormat(INT32_MAX / 2, 1, veRasterType::kRgba, 0), 64, 1},
      {"video whose frame overflows", VideoFormat(65536, 65536, veRasterType::kRgba, 0), -1, 1},
      {"video whose frames overflow", VideoFormat(4096, 4096, veRasterType::kRgba, 0), -1, 64},
      {"video zero-width computed", VideoFormat(0, 4, veRasterType::kRgba, 0), -1, 1},
  };
  for (const Case& c : cases) {
    kaBuffer2* out = kUntouched;
    EXPECT_EQ(group->allocate_buffer(c.format, c.size, c.count, 0, &out), -1) << c.what;
    EXPECT_EQ(out, nullptr) << c.what;
  }
  EXPECT_EQ(group->GetStatistics().misses, 0u);
}

TEST_F(kaBufferGroup2Test, VideoRecordWithoutRowBytesGetsTheComputedValueInTheBufferOnly) {
  const veMediaRecord format = VideoFormat(3, 2, veRasterType::k2vuy, 0);
  kaBuffer2* buffer = nullptr;
  ASSERT_EQ(group->allocate_buffer(format, -1, 1, 0, &buffer), 0);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->BytesPerRow(), 8) << "2 × even(3)";
  EXPECT_EQ(buffer->StorageSize(), 16u);
  EXPECT_EQ(format.BytesPerRow(), 0) << "the caller's record is not changed";
  EXPECT_EQ(buffer->RefCountForTesting(), 1) << "the caller holds the only reference";
  buffer->Release();
}

TEST_F(kaBufferGroup2Test, GivenSizeAndRowBytesAreKept) {
  const veMediaRecord format = VideoFormat(4, 4, veRasterType::kRgba, 32);
  kaBuffer2* buffer = nullptr;
  ASSERT_EQ(group->CreateBuffer(format, 1000, 1, 99, &buffer), 0);
  EXPECT_EQ(buffer->BytesPerRow(), 32);
  EXPECT_EQ(buffer->StorageSize(), 1000u);
  buffer->Release();

  ASSERT_EQ(group->CreateBuffer(AudioFormat(44100, 3), 7, 0, &buffer), 0);
  EXPECT_EQ(buffer->StorageSize(), 42u) << "7 frames of 3 × 16-bit samples";
  EXPECT_EQ(buffer->SampleRate(), 44100);
  buffer->Release();
}

TEST_F(kaBufferGroup2Test, ReleasedBuffersGoBackToTheCacheAndComeOutAgain) {
  const veMediaRecord format = AudioFormat(48000, 2);
  kaBuffer2* first = nullptr;
  ASSERT_EQ(group->CreateBuffer(format, 1600, 0, &first), 0);
  EXPECT_EQ(Idle(format, 6400), -1);
  first->Release();
  EXPECT_EQ(Idle(format, 6400), 1);

  kaBuffer2* second = nullptr;
  ASSERT_EQ(group->CreateBuffer(format, 1600, 0, &second), 0);
  EXPECT_EQ(second, first) << "the same object comes back";
  EXPECT_EQ(second->RefCountForTesting(), 1);
  EXPECT_EQ(group->GetStatistics().hits, 1u);
  second->Release();
}

TEST_F(kaBufferGroup2Test, EveryFormGoesThroughTheOverridableSlots) {
  auto instrumented = zNewSharedPtr<InstrumentedGroup>();
  ASSERT_TRUE(instrumented);
  kaBuffer2* buffer = nullptr;
  ASSERT_EQ(instrumented->CreateBuffer(AudioFormat(48000, 2), 4, 0, &buffer), 0);
  buffer->Release();
  ASSERT_EQ(instrumented->CreateBuffer(AudioFormat(48000, 2), 16, 4, 0, &buffer), 0);
  buffer->Release();
  kaBuffer2* coloured = instrumented->CreateColoredBuffer(2, 2, 0);
  ASSERT_NE(coloured, nullptr);
  coloured->Release();
  short samples[4] = {1, 2, 3, 4};
  EXPECT_TRUE(instrumented->MakeAudioBuffer(samples, sizeof(samples), static_cast<int>(veAudioFormat::kSowt), 48000,
                                            2, veTimeRange{}));
  EXPECT_EQ(instrumented->allocateCalls.load(), 4);

  EXPECT_TRUE(instrumented->CreateGPUAccessibleBuffer(4, 4, static_cast<int>(veRasterType::kRgba)));
  std::shared_ptr<kaGPUAccessibleBuffer> shared;
  EXPECT_EQ(instrumented->CreateGPUAccessibleBuffer(VideoFormat(4, 4, veRasterType::kRgba, 0), shared), 0);
  EXPECT_EQ(instrumented->CreateBlankGPUAccessibleBuffer(VideoFormat(4, 4, veRasterType::kRgba, 0), false, shared),
            0);
  const unsigned char pixels[64] = {};
  kaGPUAccessibleBuffer* fromData = nullptr;
  EXPECT_EQ(instrumented->CreateGPUAccessibleBufferFromData(VideoFormat(4, 4, veRasterType::kRgba, 16), pixels,
                                                            sizeof(pixels), &fromData),
            0);
  fromData->Release();
  EXPECT_EQ(instrumented->gpuCalls.load(), 4);
}

TEST_F(kaBufferGroup2Test, CacheHitOfAllocateBufferDoesNotAllocate) {
  const veMediaRecord audio = AudioFormat(48000, 2);
  veMediaRecord video = VideoFormat(64, 36, veRasterType::k2vuy, 0);
  video.SetInt64(veKeyTimeScale, 600);  // a keyed entry: the completed copy must reuse its storage
  // Warm up: the buckets, the pooled shared-pointer blocks, the per-thread
  // scratch record.
  for (int i = 0; i < 3; ++i) {
    kaBuffer2* a = nullptr;
    kaBuffer2* v = nullptr;
    ASSERT_EQ(group->allocate_buffer(audio, -1, 1600, 0, &a), 0);
    ASSERT_EQ(group->allocate_buffer(video, -1, 1, 0, &v), 0);
    a->Release();
    v->Release();
  }

  AllocationCounter counter;
  for (int i = 0; i < 20; ++i) {
    kaBuffer2* a = nullptr;
    kaBuffer2* v = nullptr;
    group->allocate_buffer(audio, -1, 1600, 0, &a);
    group->allocate_buffer(video, -1, 1, 0, &v);
    if (a) a->Release();
    if (v) v->Release();
  }
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_EQ(group->GetStatistics().misses, 2u);
}

TEST_F(kaBufferGroup2Test, CacheHitOfAnAudioBlockWithATimeRangeDoesNotAllocate) {
  int16_t samples[2 * 1600] = {};
  // Alternate a range that writes three time keys with one that writes none,
  // so that a stale key from the previous block would show in the record.
  const veTimeRange timed{48000, 960, 48000, 1600};
  const veTimeRange untimed{};
  auto make = [&](const veTimeRange& range) {
    return group->MakeAudioBuffer(samples, static_cast<int>(sizeof(samples)), static_cast<int>(veAudioFormat::kSowt),
                                  48000, 2, range);
  };
  // Enough returns for the bucket's queue to have crossed a block boundary.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(make(timed));
    ASSERT_TRUE(make(untimed));
  }

  AllocationCounter counter;
  for (int i = 0; i < 20; ++i) {
    std::shared_ptr<kaBuffer2> withKeys = make(timed);
    EXPECT_TRUE(withKeys && withKeys->AsUInt64(veKeyTime, 0) == 960u);
    withKeys.reset();
    std::shared_ptr<kaBuffer2> withoutKeys = make(untimed);
    EXPECT_TRUE(withoutKeys && !withoutKeys->Has(veKeyTimeScale) && !withoutKeys->Has(veKeyTime));
  }
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_EQ(group->GetStatistics().misses, 1u);
}

// ---- GPU-accessible buffers ---------------------------------------------------------

TEST_F(kaBufferGroup2Test, GPUAccessibleBufferIgnoresGivenRowBytes) {
  kaGPUAccessibleBuffer* buffer = nullptr;
  ASSERT_EQ(group->CreateGPUAccessibleBuffer(VideoFormat(2, 3, veRasterType::kRgba, 64), &buffer), 0);
  EXPECT_EQ(buffer->BytesPerRow(), 8);
  EXPECT_EQ(buffer->StorageSize(), 24u);
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  void* gpu = nullptr;
  EXPECT_EQ(buffer->QueryInterface("kaXIGPUAccessibleBuffer", &gpu), 0);
  ASSERT_NE(gpu, nullptr);
  static_cast<kaXIGPUAccessibleBuffer*>(gpu)->Release();
  buffer->Release();
}

TEST_F(kaBufferGroup2Test, GPUAccessibleBufferSizesPlanarFormatsByRowCount) {
  kaGPUAccessibleBuffer* buffer = nullptr;
  ASSERT_EQ(group->CreateGPUAccessibleBuffer(VideoFormat(5, 3, veRasterType::kI420, 0), &buffer), 0);
  EXPECT_EQ(buffer->BytesPerRow(), 5);
  EXPECT_EQ(buffer->StorageSize(), 20u) << "3 luma rows and 1 chroma row of 5 bytes";
  buffer->Release();
}

TEST_F(kaBufferGroup2Test, GPUAccessibleBufferFailuresLeaveTheOutPointerAlone) {
  const veMediaRecord unusable[] = {
      VideoFormat(4, 4, zFourCC("zzzz"), 0),                    // unknown raster type
      VideoFormat(0, 4, veRasterType::kRgba, 0),                // no pixels in a row
      VideoFormat(4, 0, veRasterType::kRgba, 0),                // no rows
      VideoFormat(-2, 4, veRasterType::kRgba, 0),               // negative width
      VideoFormat(600'000'000, 1, veRasterType::kRgba, 0),      // 4w overflows
      VideoFormat(65536, 65536, veRasterType::kRgba, 0),        // rows × row bytes overflows
      VideoFormat(40000, INT32_MAX / 2, veRasterType::kI420, 0)  // h + h/2 × w overflows
  };
  for (const veMediaRecord& format : unusable) {
    kaGPUAccessibleBuffer* out = kUntouchedGPU;
    EXPECT_EQ(group->CreateGPUAccessibleBuffer(format, &out), -1) << format.Width() << "×" << format.Height();
    EXPECT_EQ(out, kUntouchedGPU);
  }
  EXPECT_EQ(group->CreateGPUAccessibleBuffer(VideoFormat(4, 4, veRasterType::kRgba, 0), nullptr), -1);
  EXPECT_EQ(group->GetStatistics().misses, 0u);
}

TEST_F(kaBufferGroup2Test, SharedGPUAccessibleFormsOwnTheCallersReference) {
  std::shared_ptr<kaGPUAccessibleBuffer> made = group->CreateGPUAccessibleBuffer(6, 2, static_cast<int>(veRasterType::kBGRA));
  ASSERT_TRUE(made);
  EXPECT_EQ(made->MediaType(), veMediaTypeVideo);
  EXPECT_EQ(made->BytesPerRow(), 24);
  EXPECT_EQ(made->RefCountForTesting(), 1);
  EXPECT_FALSE(group->CreateGPUAccessibleBuffer(6, 2, static_cast<int>(zFourCC("zzzz"))));

  // The reference form empties its argument first, also on failure.
  std::shared_ptr<kaGPUAccessibleBuffer> out = made;
  EXPECT_EQ(group->CreateGPUAccessibleBuffer(VideoFormat(0, 2, veRasterType::kBGRA, 0), out), -1);
  EXPECT_FALSE(out);
  EXPECT_EQ(group->CreateGPUAccessibleBuffer(VideoFormat(6, 2, veRasterType::kBGRA, 0), out), 0);
  ASSERT_TRUE(out);
  EXPECT_NE(out, made);
  EXPECT_EQ(out->RefCountForTesting(), 1);

  const veMediaRecord format = VideoFormat(6, 2, veRasterType::kBGRA, 24);
  made.reset();
  out.reset();
  EXPECT_EQ(Idle(format, 48), 2) << "both went back to the cache";
}

// ---- other operations -----------------------------------------------------------

TEST_F(kaBufferGroup2Test, ConvertToVideoMemoryGivesNothingAndLeavesTheBufferAlone) {
  std::shared_ptr<kaGPUAccessibleBuffer> made = group->CreateGPUAccessibleBuffer(2, 2, static_cast<int>(veRasterType::kRgba));
  ASSERT_TRUE(made);
  const std::shared_ptr<kaBuffer2> buffer = made;
  EXPECT_FALSE(group->ConvertBufferToVideoMemoryBuffer(buffer));
  EXPECT_FALSE(group->ConvertBufferToVideoMemoryBuffer(nullptr));
  EXPECT_EQ(buffer->RefCountForTesting(), 1);
  EXPECT_EQ(buffer.use_count(), 2);
}

TEST_F(kaBufferGroup2Test, RenderSharedBuffersCallsItsArgumentOnceWithAConsumerThatKeepsNothing) {
  std::shared_ptr<kaGPUAccessibleBuffer> made = group->CreateGPUAccessibleBuffer(2, 2, static_cast<int>(veRasterType::kRgba));
  const std::shared_ptr<kaBuffer2> buffer = made;
  int calls = 0;
  group->RenderSharedBuffers([&](const kaBufferGroup2::BufferConsumer& consume) {
    ++calls;
    ASSERT_TRUE(consume);
    consume(buffer);
    consume(nullptr);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(buffer.use_count(), 2) << "the consumer kept no copy";
}

TEST_F(kaBufferGroup2Test, AnswersOnlyTheFoundationsInterfaceNames) {
  void* out = nullptr;
  EXPECT_EQ(group->QueryInterface("xIUnknown", &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(group->RefCountForTesting(), 2);
  static_cast<xIUnknown*>(out)->Release();
  out = reinterpret_cast<void*>(uintptr_t{1});
  EXPECT_EQ(group->QueryInterface("kaXIGPUAccessibleBuffer", &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(group->AddRef(), 2);
  EXPECT_EQ(group->Release(), 1);
}

TEST_F(kaBufferGroup2Test, FilterManagerIsMadeOnceAndShared) {
  std::shared_ptr<kaVideoFilterManager> first = group->VideoFilterManager();
  std::shared_ptr<kaVideoFilterManager> second = group->VideoFilterManager();
  ASSERT_TRUE(first);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->RefCountForTesting(), 1) << "shared pointers share the group's one reference";
  EXPECT_EQ(first->EntryCountForTesting(), 0u);
}

TEST_F(kaBufferGroup2Test, BuffersInUseOutliveTheGroupAndIdleOnesDieWithIt) {
  kaBuffer2* kept = nullptr;
  kaBuffer2* idle = nullptr;
  ASSERT_EQ(group->CreateBuffer(AudioFormat(48000, 2), 100, 0, &kept), 0);
  ASSERT_EQ(group->CreateBuffer(AudioFormat(48000, 1), 100, 0, &idle), 0);
  std::shared_ptr<kaVideoFilterManager> manager = group->VideoFilterManager();
  idle->Release();
  EXPECT_EQ(LiveSinceStart(), 4) << "group, manager, two buffers";

  group.reset();
  EXPECT_EQ(LiveSinceStart(), 2) << "the idle buffer went with the group; the manager is still shared";
  std::memset(kept->GetStorage(), 0x11, kept->StorageSize());  // still usable
  EXPECT_EQ(kept->StorageSize(), 400u);
  kept->Release();
  manager.reset();
  EXPECT_EQ(LiveSinceStart(), 0);
}

// ---- concurrency ----------------------------------------------------------------

TEST_F(kaBufferGroup2Test, ThreadsAllocatingAndSweepingNeverShareABuffer) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> corrupted{0};
  std::atomic<bool> stop{false};

  auto worker = [&](int index) {
    const veMediaRecord audio = AudioFormat(48000, 2);
    const veMediaRecord video = VideoFormat(8, 4, veRasterType::kRgba, 0);
    for (int round = 0; round < kRounds; ++round) {
      const unsigned char mark = static_cast<unsigned char>(index * 31 + round);
      std::shared_ptr<kaBuffer2> buffer;
      switch (round % 3) {
        case 0: {
          kaBuffer2* raw = nullptr;
          if (group->allocate_buffer(audio, -1, 64, 0, &raw) == 0) buffer = zAsSharedPtr(raw);
          break;
        }
        case 1:
          buffer = group->CreateGPUAccessibleBuffer(8, 4, static_cast<int>(veRasterType::kRgba));
          break;
        default: {
          std::shared_ptr<kaGPUAccessibleBuffer> blank;
          if (group->CreateBlankGPUAccessibleBuffer(video, false, blank) == 0) buffer = blank;
          break;
        }
      }
      if (!buffer || !buffer->GetStorage()) {
        ++corrupted;
        continue;
      }
      // Whoever else held this buffer would overwrite the mark.
      std::memset(buffer->GetStorage(), mark, buffer->StorageSize());
      std::this_thread::yield();
      for (uint32_t i = 0; i < buffer->StorageSize(); ++i) {
        if (buffer->GetStorage()[i] != mark) {
          ++corrupted;
          break;
        }
      }
    }
  };
  auto sweeper = [&] {
    while (!stop.load()) {
      group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + 1h);
      const kaCacheStatistics statistics = group->GetStatistics();
      if (statistics.liveBytes > statistics.peakLiveBytes) ++corrupted;
      std::this_thread::yield();
    }
  };

  std::thread sweeping(sweeper);
  std::vector<std::thread> workers;
  for (int i = 0; i < kThreads; ++i) workers.emplace_back(worker, i);
  for (std::thread& thread : workers) thread.join();
  stop = true;
  sweeping.join();

  EXPECT_EQ(corrupted.load(), 0);
  const kaCacheStatistics statistics = group->GetStatistics();
  EXPECT_EQ(statistics.hits + statistics.misses, static_cast<uint64_t>(kThreads * kRounds));
  group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + 1h);
  EXPECT_EQ(group->GetStatistics().liveBytes, 0u) << "every buffer came back and was swept";
}

}  // namespace
