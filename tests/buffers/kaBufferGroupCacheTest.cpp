#include "buffers/kaBufferGroupCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "BufferTestSupport.h"
#include "support/AllocationCounter.h"

namespace {

using namespace std::chrono_literals;

class kaBufferGroupCacheTest : public LiveObjectsTest {
 protected:
  std::shared_ptr<TestCache> MakeCache() {
    return std::make_shared<TestCache>([this](const veMediaRecord& format, unsigned long size) {
      ++factoryCalls;
      return MakeTestBuffer(format, size);
    });
  }

  std::atomic<int> factoryCalls{0};
};

constexpr unsigned long kSmallSize = 64;

veMediaRecord SmallVideo() { return VideoFormat(4, 4, veRasterType::kRgba, 16); }

}  // namespace

// ---- format keys --------------------------------------------------------------

TEST_F(kaBufferGroupCacheTest, VideoHashIsTheMurmurBlockStepOverSevenFields) {
  EXPECT_EQ(TestCache::HashForFormat(VideoFormat(1920, 1080, veRasterType::k2vuy, 3840), 4147200), 0x472a47bbu);
  EXPECT_EQ(TestCache::HashForFormat(VideoFormat(2, 2, veRasterType::k2vuy, 4), 8), 0xc7aadbedu);
}

TEST_F(kaBufferGroupCacheTest, VideoHashCoversBytesPerRowAndTheSixthAndSeventhFields) {
  const veMediaRecord base = VideoFormat(2, 2, veRasterType::k2vuy, 4);
  veMediaRecord wider = base;
  wider.SetBytesPerRow(16);
  veMediaRecord sixth = base;
  sixth.SetInt32(veKeyFixedField6, 1);
  veMediaRecord seventh = base;
  seventh.SetInt32(veKeyFixedField7, 1);
  veMediaRecord fifth = base;
  fifth.SetInt32(veKeyFixedField5, 1);
  const uint32_t hash = TestCache::HashForFormat(base, 8);
  EXPECT_NE(TestCache::HashForFormat(wider, 8), hash);
  EXPECT_NE(TestCache::HashForFormat(sixth, 8), hash);
  EXPECT_NE(TestCache::HashForFormat(seventh, 8), hash);
  EXPECT_EQ(TestCache::HashForFormat(fifth, 8), hash);
  EXPECT_NE(TestCache::HashForFormat(base, 9), hash);
  // Matching ignores the bytes per row: only the hash separates them.
  EXPECT_TRUE(TestCache::DoesFormatMatch(base, wider));
}

TEST_F(kaBufferGroupCacheTest, NonVideoHashIsTheLowWordOfTheSize) {
  EXPECT_EQ(TestCache::HashForFormat(AudioFormat(48000, 2), 6400), 6400u);
  EXPECT_EQ(TestCache::HashForFormat(AudioFormat(44100, 1), 0x100000007UL), 7u);
  EXPECT_EQ(TestCache::HashForFormat(veMediaRecord(), 12), 12u);
}

TEST_F(kaBufferGroupCacheTest, FormatMatchComparesWidthHeightAndRasterOfVideoBuckets) {
  const veMediaRecord video = VideoFormat(8, 4, veRasterType::kRgba, 32);
  EXPECT_TRUE(TestCache::DoesFormatMatch(video, VideoFormat(8, 4, veRasterType::kRgba, 64)));
  EXPECT_FALSE(TestCache::DoesFormatMatch(video, VideoFormat(9, 4, veRasterType::kRgba, 32)));
  EXPECT_FALSE(TestCache::DoesFormatMatch(video, VideoFormat(8, 5, veRasterType::kRgba, 32)));
  EXPECT_FALSE(TestCache::DoesFormatMatch(video, VideoFormat(8, 4, veRasterType::kBGRA, 32)));
  // A non-video bucket accepts anything whose hash and size matched.
  EXPECT_TRUE(TestCache::DoesFormatMatch(AudioFormat(48000, 2), video));
}

// ---- requests and returns -----------------------------------------------------

TEST_F(kaBufferGroupCacheTest, ReleasedBufferIsHandedOutAgainForTheSameFormat) {
  auto cache = MakeCache();
  std::shared_ptr<_kaCachedBuffer> first = cache->CreateBuffer(SmallVideo(), kSmallSize);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->StorageSize(), kSmallSize);
  EXPECT_EQ(first->RefCountForTesting(), 1);
  _kaCachedBuffer* const object = first.get();
  const unsigned char* const storage = first->GetStorage();
  first.reset();
  EXPECT_EQ(cache->CountOfCachedBuffers(SmallVideo(), kSmallSize), 1);
  EXPECT_EQ(object->RefCountForTesting(), 1);  // the wrapper's

  std::shared_ptr<_kaCachedBuffer> second = cache->CreateBuffer(SmallVideo(), kSmallSize);
  EXPECT_EQ(second.get(), object);
  EXPECT_EQ(second->GetStorage(), storage);
  EXPECT_EQ(second->RefCountForTesting(), 1);
  EXPECT_EQ(factoryCalls, 1);
  const kaCacheStatistics statistics = cache->Statistics();
  EXPECT_EQ(statistics.hits, 1u);
  EXPECT_EQ(statistics.misses, 1u);
}

TEST_F(kaBufferGroupCacheTest, ReturnsOldestIdleBufferFirstWithTheRequestedRecord) {
  auto cache = MakeCache();
  auto a = cache->CreateBuffer(SmallVideo(), kSmallSize);
  auto b = cache->CreateBuffer(SmallVideo(), kSmallSize);
  auto c = cache->CreateBuffer(SmallVideo(), kSmallSize);
  _kaCachedBuffer* order[] = {b.get(), a.get(), c.get()};
  b->SetDisplayWidth(99);  // a keyed entry that the next format lacks
  b.reset();
  a.reset();
  c.reset();

  veMediaRecord requested = SmallVideo();
  requested.SetFloat(veKeyFramesPerSecond, 29.97f);
  requested.SetBool(veKeyVideoIsInterlaced, true);
  std::vector<std::shared_ptr<_kaCachedBuffer>> taken;
  for (_kaCachedBuffer* expected : order) {
    taken.push_back(cache->CreateBuffer(requested, kSmallSize));
    EXPECT_EQ(taken.back().get(), expected);
    EXPECT_TRUE(taken.back()->Equals(requested));
    EXPECT_FALSE(taken.back()->Has(veKeyDisplayWidth));
  }
  EXPECT_EQ(cache->Statistics().hits, 3u);
  EXPECT_EQ(factoryCalls, 3);
}

TEST_F(kaBufferGroupCacheTest, ReturnStampsTheDirtiedTimeFromTheFoundationClock) {
  zTestClock clock(77'000'000);
  auto cache = MakeCache();
  auto buffer = cache->CreateBuffer(SmallVideo(), kSmallSize);
  _kaCachedBuffer* object = buffer.get();
  EXPECT_EQ(object->DirtiedTime(), -1);
  buffer.reset();
  EXPECT_EQ(object->DirtiedTime(), 77'000'000);
}

TEST_F(kaBufferGroupCacheTest, SixReturnsOfOneFormatKeepFiveAndDestroyTheSixth) {
  auto cache = MakeCache();
  std::vector<std::shared_ptr<_kaCachedBuffer>> buffers;
  for (int i = 0; i < 6; ++i) buffers.push_back(cache->CreateBuffer(SmallVideo(), kSmallSize));
  EXPECT_EQ(cache->LiveBuffersForTesting(), 6u);
  EXPECT_EQ(LiveSinceStart(), 6);
  buffers.clear();
  EXPECT_EQ(cache->CountOfCachedBuffers(SmallVideo(), kSmallSize), 5);
  EXPECT_EQ(cache->LiveBuffersForTesting(), 5u);
  EXPECT_EQ(LiveSinceStart(), 5);
  const kaCacheStatistics statistics = cache->Statistics();
  EXPECT_EQ(statistics.peakLiveBuffers, 6u);
  EXPECT_EQ(statistics.peakIdleBuffers, 5u);
  EXPECT_EQ(statistics.liveBytes, 5 * kSmallSize);
  EXPECT_EQ(statistics.peakLiveBytes, 6 * kSmallSize);
}

TEST_F(kaBufferGroupCacheTest, AudioFormatsOfOneSizeShareABucket) {
  auto cache = MakeCache();
  const veMediaRecord at48k = AudioFormat(48000, 2);
  const veMediaRecord at44k = AudioFormat(44100, 2);
  auto buffer = cache->CreateBuffer(at48k, 6400);
  _kaCachedBuffer* object = buffer.get();
  buffer.reset();
  EXPECT_EQ(cache->CountOfCachedBuffers(at44k, 6400), 1);
  EXPECT_EQ(cache->CountOfCachedBuffers(at44k, 6404), -1);
  buffer = cache->CreateBuffer(at44k, 6400);
  EXPECT_EQ(buffer.get(), object);
  EXPECT_EQ(buffer->SampleRate(), 44100);
}

TEST_F(kaBufferGroupCacheTest, VideoFormatsDifferingOnlyInRowBytesUseSeparateBuckets) {
  auto cache = MakeCache();
  const veMediaRecord tight = VideoFormat(4, 4, veRasterType::kRgba, 16);
  const veMediaRecord padded = VideoFormat(4, 4, veRasterType::kRgba, 32);
  auto buffer = cache->CreateBuffer(tight, 128);
  buffer.reset();
  auto other = cache->CreateBuffer(padded, 128);
  EXPECT_EQ(cache->Statistics().misses, 2u);
  EXPECT_EQ(cache->CountOfCachedBuffers(tight, 128), 1);
  EXPECT_EQ(cache->CountOfCachedBuffers(padded, 128), -1);
}

TEST_F(kaBufferGroupCacheTest, BufferIsFiledUnderTheFormatItCarriesWhenReleased) {
  auto cache = MakeCache();
  auto buffer = cache->CreateBuffer(SmallVideo(), kSmallSize);
  buffer->SetWidth(2);
  buffer->SetBytesPerRow(8);
  buffer.reset();
  EXPECT_EQ(cache->CountOfCachedBuffers(SmallVideo(), kSmallSize), -1);
  EXPECT_EQ(cache->CountOfCachedBuffers(VideoFormat(2, 4, veRasterType::kRgba, 8), kSmallSize), 1);
}

// ---- failures -------------------------------------------------------------------

TEST_F(kaBufferGroupCacheTest, FailingFactoryCountsAMissAndNothingElse) {
  auto cache = std::make_shared<TestCache>(
      [](const veMediaRecord&, unsigned long) { return std::shared_ptr<_kaCachedBuffer>(); });
  EXPECT_FALSE(cache->CreateBuffer(SmallVideo(), kSmallSize));
  kaCacheStatistics expected;
  expected.misses = 1;
  EXPECT_EQ(cache->Statistics(), expected);
  EXPECT_EQ(cache->LiveBuffersForTesting(), 0u);
}

TEST_F(kaBufferGroupCacheTest, EmptyFactoryIsAFailedFactoryNotAnException) {
  auto cache = std::make_shared<TestCache>(TestCache::Factory{});
  std::shared_ptr<_kaCachedBuffer> buffer;
  EXPECT_NO_THROW(buffer = cache->CreateBuffer(SmallVideo(), kSmallSize));
  EXPECT_FALSE(buffer);
  EXPECT_EQ(cache->Statistics().misses, 1u);
}

TEST_F(kaBufferGroupCacheTest, SizesBeyondTheSigned32BitRangeFailWithoutCallingTheFactory) {
  auto cache = MakeCache();
  EXPECT_FALSE(cache->CreateBuffer(AudioFormat(48000, 2), 0x80000000UL));
  EXPECT_FALSE(cache->CreateBuffer(AudioFormat(48000, 2), 0x100000040UL));
  EXPECT_EQ(factoryCalls, 0);
  EXPECT_EQ(cache->Statistics().misses, 2u);
  EXPECT_EQ(cache->Statistics().liveBytes, 0u);
}

TEST_F(kaBufferGroupCacheTest, CacheOutsideASharedPointerMakesNoBuffers) {
  TestCache cache([this](const veMediaRecord& format, unsigned long size) {
    ++factoryCalls;
    return MakeTestBuffer(format, size);
  });
  std::shared_ptr<_kaCachedBuffer> buffer;
  EXPECT_NO_THROW(buffer = cache.CreateBuffer(SmallVideo(), kSmallSize));
  EXPECT_FALSE(buffer);
  EXPECT_EQ(factoryCalls, 0);
  EXPECT_EQ(cache.Statistics(), kaCacheStatistics{});
}

// ---- eviction -------------------------------------------------------------------

TEST_F(kaBufferGroupCacheTest, SweepKeepsBuffersReturnedExactlyAtTheCutoff) {
  auto cache = MakeCache();
  auto buffer = cache->CreateBuffer(SmallVideo(), kSmallSize);
  buffer.reset();
  const auto returnedAt = TestCache::Clock::now() - 10s;
  cache->SetIdleReturnTimeForTesting(returnedAt);

  // A request at returnedAt + 2 s sweeps with this cutoff: equal stays.
  cache->SweepIdleBuffersOlderThan(returnedAt);
  EXPECT_EQ(cache->CountOfCachedBuffers(SmallVideo(), kSmallSize), 1);
  EXPECT_EQ(LiveSinceStart(), 1);

  // A request at returnedAt + 2.5 s: strictly older, destroyed.
  cache->SweepIdleBuffersOlderThan(returnedAt + 500ms);
  EXPECT_EQ(cache->CountOfCachedBuffers(SmallVideo(), kSmallSize), -1);
  EXPECT_EQ(cache->LiveBuffersForTesting(), 0u);
  EXPECT_EQ(cache->Statistics().liveBytes, 0u);
  EXPECT_EQ(LiveSinceStart(), 0);
}

TEST_F(kaBufferGroupCacheTest, AnyRequestEvictsBuffersIdleLongerThanTwoSeconds) {
  auto cache = MakeCache();
  auto old = cache->CreateBuffer(SmallVideo(), kSmallSize);
  auto fresh = cache->CreateBuffer(AudioFormat(48000, 2), 6400);
  old.reset();
  cache->SetIdleReturnTimeForTesting(TestCache::Clock::now() - 2500ms);
  fresh.reset();  // returned now: stays
  auto unrelated = cache->CreateBuffer(AudioFormat(48000, 1), 3200);
  EXPECT_EQ(cache->CountOfCachedBuffers(SmallVideo(), kSmallSize), -1);
  EXPECT_EQ(cache->CountOfCachedBuffers(AudioFormat(48000, 2), 6400), 1);
  EXPECT_EQ(cache->LiveBuffersForTesting(), 2u);
  EXPECT_EQ(LiveSinceStart(), 2);
}

TEST_F(kaBufferGroupCacheTest, SweepInTheFutureEmptiesEveryBucket) {
  auto cache = MakeCache();
  cache->CreateBuffer(SmallVideo(), kSmallSize).reset();
  cache->CreateBuffer(AudioFormat(48000, 2), 6400).reset();
  EXPECT_EQ(cache->IdleBuffersForTesting(), 2u);
  cache->SweepIdleBuffersOlderThan(TestCache::Clock::now() + 1h);
  EXPECT_EQ(cache->IdleBuffersForTesting(), 0u);
  EXPECT_EQ(cache->CountOfCachedBuffers(SmallVideo(), kSmallSize), -1);
  EXPECT_EQ(cache->CountOfCachedBuffers(AudioFormat(48000, 2), 6400), -1);
  // The counters remember what happened.
  EXPECT_EQ(cache->Statistics().peakIdleBuffers, 2u);
  EXPECT_EQ(cache->Statistics().liveBytes, 0u);
}

TEST_F(kaBufferGroupCacheTest, PreRecycleRunsOncePerReturnIncludingEviction) {
  auto cache = MakeCache();
  int preCalls = 0;
  auto buffer = cache->CreateBuffer(SmallVideo(), kSmallSize);
  buffer->SetPreRecycleLambda([&] { ++preCalls; });
  buffer.reset();
  EXPECT_EQ(preCalls, 1);
  buffer = cache->CreateBuffer(SmallVideo(), kSmallSize);
  EXPECT_EQ(preCalls, 1);  // a hit is not a return
  buffer.reset();
  EXPECT_EQ(preCalls, 2);
  cache->SweepIdleBuffersOlderThan(TestCache::Clock::now() + 1s);
  EXPECT_EQ(preCalls, 3);
  EXPECT_EQ(LiveSinceStart(), 0);
}

TEST_F(kaBufferGroupCacheTest, DestroyingTheCacheReleasesIdleBuffersAndOrphansTheOthers) {
  auto cache = MakeCache();
  auto inUse = cache->CreateBuffer(SmallVideo(), kSmallSize);
  cache->CreateBuffer(SmallVideo(), kSmallSize).reset();
  int preCalls = 0;
  inUse->SetPreRecycleLambda([&] { ++preCalls; });
  EXPECT_EQ(LiveSinceStart(), 2);
  cache.reset();
  EXPECT_EQ(LiveSinceStart(), 1);  // the idle one went with the cache
  // The buffer in use keeps working and dies with its last reference.
  std::memset(inUse->GetStorage(), 0x42, kSmallSize);
  inUse.reset();
  EXPECT_EQ(preCalls, 1);
  EXPECT_EQ(LiveSinceStart(), 0);
}

// ---- counters -------------------------------------------------------------------

TEST_F(kaBufferGroupCacheTest, StatisticsTrackPeaksHitsAndMisses) {
  auto cache = MakeCache();
  EXPECT_EQ(cache->Statistics(), kaCacheStatistics{});
  std::vector<std::shared_ptr<_kaCachedBuffer>> buffers;
  for (int i = 0; i < 3; ++i) buffers.push_back(cache->CreateBuffer(SmallVideo(), kSmallSize));
  buffers.push_back(cache->CreateBuffer(AudioFormat(48000, 2), 6400));
  buffers.clear();
  buffers.push_back(cache->CreateBuffer(SmallVideo(), kSmallSize));
  const kaCacheStatistics statistics = cache->Statistics();
  EXPECT_EQ(statistics.peakLiveBuffers, 4u);
  EXPECT_EQ(statistics.peakIdleBuffers, 4u);
  EXPECT_EQ(statistics.peakLiveBytes, 3 * kSmallSize + 6400);
  EXPECT_EQ(statistics.liveBytes, 3 * kSmallSize + 6400);
  EXPECT_EQ(statistics.hits, 1u);
  EXPECT_EQ(statistics.misses, 4u);
  EXPECT_EQ(cache->IdleBuffersForTesting(), 3u);
}

// ---- steady state -----------------------------------------------------------------

TEST_F(kaBufferGroupCacheTest, HitsAndReturnsAllocateNothingAfterWarmUp) {
  auto cache = MakeCache();
  const veMediaRecord video = VideoFormat(64, 16, veRasterType::k2vuy, 128);
  const veMediaRecord audio = AudioFormat(48000, 2);
  // A frame in flight while audio comes and goes: the video bucket empties,
  // the audio request's sweep drops it, and the frame's return makes it
  // again. The warm-up crosses a block boundary of every queue once (a
  // block holds 32 entries), so that each has a block to reuse.
  auto cycle = [&] {
    auto frame = cache->CreateBuffer(video, 2048);
    auto block = cache->CreateBuffer(audio, 6400);
    ASSERT_TRUE(frame);
    ASSERT_TRUE(block);
    block.reset();
    frame.reset();
  };
  for (int i = 0; i < 100; ++i) cycle();
  AllocationCounter counter;
  for (int i = 0; i < 200; ++i) cycle();
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_EQ(factoryCalls, 2);
}

TEST_F(kaBufferGroupCacheTest, ConcurrentRequestsAndReleasesKeepTheCountsConsistent) {
  auto cache = MakeCache();
  constexpr int kThreads = 4;
  constexpr int kIterations = 2000;
  const veMediaRecord formats[] = {VideoFormat(8, 8, veRasterType::kRgba, 32), VideoFormat(4, 2, veRasterType::k2vuy, 8),
                                   AudioFormat(48000, 2), AudioFormat(44100, 1)};
  const unsigned long sizes[] = {256, 16, 6400, 1764};
  std::atomic<int> doubleHandouts{0};
  std::atomic<int> wrongRecords{0};
  std::vector<std::shared_ptr<_kaCachedBuffer>> kept(kThreads);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(1234 + t));
      std::vector<std::shared_ptr<_kaCachedBuffer>> held;
      for (int i = 0; i < kIterations; ++i) {
        const size_t which = random() % 4;
        auto buffer = cache->CreateBuffer(formats[which], sizes[which]);
        if (!buffer) continue;
        if (buffer->SampleRate() != formats[which].SampleRate() || buffer->Width() != formats[which].Width()) {
          ++wrongRecords;
        }
        // Nobody else may hold it: mark it and check the mark later.
        const auto mark = static_cast<unsigned char>(t + 1);
        std::memset(buffer->GetStorage(), mark, buffer->StorageSize());
        held.push_back(std::move(buffer));
        if (held.size() > 3 || random() % 2) {
          const size_t victim = random() % held.size();
          const unsigned char* bytes = held[victim]->GetStorage();
          for (uint32_t k = 0; k < held[victim]->StorageSize(); ++k) {
            if (bytes[k] != mark) {
              ++doubleHandouts;
              break;
            }
          }
          held.erase(held.begin() + static_cast<ptrdiff_t>(victim));
        }
      }
      while (held.size() > 1) held.pop_back();
      kept[static_cast<size_t>(t)] = held.empty() ? nullptr : held.front();
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(doubleHandouts, 0);
  EXPECT_EQ(wrongRecords, 0);
  uint64_t inUse = 0;
  for (const auto& buffer : kept) inUse += buffer ? 1 : 0;
  EXPECT_EQ(cache->LiveBuffersForTesting(), cache->IdleBuffersForTesting() + inUse);
  EXPECT_EQ(static_cast<uint64_t>(LiveSinceStart()), cache->LiveBuffersForTesting());
  kept.clear();
  EXPECT_EQ(cache->LiveBuffersForTesting(), cache->IdleBuffersForTesting());
  const kaCacheStatistics statistics = cache->Statistics();
  EXPECT_EQ(statistics.hits + statistics.misses, static_cast<uint64_t>(kThreads * kIterations));
  EXPECT_LE(statistics.peakIdleBuffers, 4 * TestCache::kMaxIdlePerBucket);
  cache.reset();
  EXPECT_EQ(LiveSinceStart(), 0);
}
