#include "buffers/kaBufferGroupCache.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <random>

#include "BufferTestSupport.h"
#include "support/AllocationCounter.h"

namespace {

using namespace std::chrono_literals;
using Cache = kaBufferGroupCache<_kaCachedBuffer>;
using Clock = Cache::Clock;
using kaBufferGroupCacheTest = BufferTest;

const veMediaRecord kSmallVideo = VideoFormat(4, 4, veRasterType::kRgba, 16);

// The group's kind of factory: a cached buffer with `size` bytes of storage.
std::shared_ptr<_kaCachedBuffer> MakeBuffer(const veMediaRecord&, unsigned long size) {
  std::shared_ptr<_kaCachedBuffer> buffer = zNewSharedPtr<_kaCachedBuffer>();
  return buffer && buffer->AllocateStorage(static_cast<int>(size)) == 0 ? buffer : nullptr;
}

// The inverse of an odd number modulo 2^32 (Newton's iteration).
constexpr uint32_t InverseOf(uint32_t odd) {
  uint32_t inverse = odd;
  for (int i = 0; i < 5; ++i) inverse *= 2u - odd * inverse;
  return inverse;
}

// `other` with fixed field 7 chosen so that its bucket key for `size` equals
// that of `format`: the last block step of the key's hash is inverted.
veMediaRecord CollidingFormat(const veMediaRecord& format, veMediaRecord other, unsigned long size) {
  uint32_t h = static_cast<uint32_t>(size);
  for (const int32_t word : {static_cast<int32_t>(veMediaTypeVideo), other.Width(), other.Height(),
                             static_cast<int32_t>(other.RasterType()), other.BytesPerRow(), other.FixedField6()}) {
    uint32_t k = static_cast<uint32_t>(word) * 0xcc9e2d51u;
    h ^= std::rotl(k, 15) * 0x1b873593u;
    h = std::rotl(h, 13) * 5u + 0xe6546b64u;
  }
  const uint32_t target = Cache::HashForFormat(format, size);
  const uint32_t mixed = std::rotr((target - 0xe6546b64u) * InverseOf(5u), 13) ^ h;
  other.SetInt32(veKeyFixedField7, static_cast<int32_t>(std::rotr(mixed * InverseOf(0x1b873593u), 15) *
                                                        InverseOf(0xcc9e2d51u)));
  return other;
}

// Resident bytes of this process.
uint64_t ResidentBytes() {
  unsigned long long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  const int read = std::fscanf(statm, "%llu %llu", &pages, &resident);
  std::fclose(statm);
  return read == 2 ? resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedHeap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kSanitizedHeap = true;
#else
constexpr bool kSanitizedHeap = false;
#endif
#else
constexpr bool kSanitizedHeap = false;
#endif

}  // namespace

// Random requests, returns, refilings and clock steps, checked after every
// step against a model of the buckets: oldest idle buffer first, at most five
// idle per bucket, idle buffers older than two seconds destroyed by the next
// request, and every counter (the peaks never fall). The cache measures idle
// ages on the steady clock, which a test cannot move: the model ages buffers
// by the foundation clock (which also stamps them) and, before each request,
// sweeps the cache up to just after the last return that it says has expired.
TEST_F(kaBufferGroupCacheTest, FollowsAModelOfItsBucketsThroughRandomRequestsReturnsAndAgeing) {
  veMediaRecord keyed = kSmallVideo, field6 = kSmallVideo, field5 = kSmallVideo;
  keyed.SetFloat(veKeyFramesPerSecond, 29.97f);
  field6.SetInt32(veKeyFixedField6, 1), field5.SetInt32(veKeyFixedField5, 1);
  // Video formats of one size, apart in bytes per row, in fixed field 6 or in
  // the image, and one that differs from the first only where buckets do not
  // look (fixed field 5, a keyed entry); two audio formats sharing a bucket,
  // and audio of another size.
  const struct { veMediaRecord format; unsigned long size; int bucket; } formats[] = {
      {keyed, 64, 0}, {VideoFormat(4, 4, veRasterType::kRgba, 32), 64, 1}, {field6, 64, 2}, {field5, 64, 0},
      {VideoFormat(2, 4, veRasterType::kRgba, 8), 64, 3}, {AudioFormat(48000, 2), 6400, 4},
      {AudioFormat(44100, 2), 6400, 4}, {AudioFormat(48000, 1), 3200, 5}};
  // An idle buffer, its return time on the foundation clock, and the steady
  // clock read just after its return.
  struct Idle { _kaCachedBuffer* buffer; unsigned long size; int64_t returnedAt; Clock::time_point after; };
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    int preRecycles = 0, expectedPreRecycles = 0;  // outlives every buffer that counts into it
    auto cache = std::make_shared<Cache>(MakeBuffer);
    std::map<int, std::deque<Idle>> buckets;  // a bucket lives until a request finds it empty
    std::vector<std::pair<std::shared_ptr<_kaCachedBuffer>, int>> held;  // buffer, format it carries
    kaCacheStatistics expected;
    uint64_t live = 0, idle = 0;
    const auto destroyed = [&](unsigned long size) { --live, expected.liveBytes -= size, ++expectedPreRecycles; };
    for (int step = 0; step < 600 && !HasFailure(); ++step) {
      const unsigned action = random() % 20;
      if (action < 2) {
        clock().Advance(250'000 * static_cast<int64_t>(1 + random() % 4));
      } else if (action < 11) {  // a request
        const int f = static_cast<int>(random() % std::size(formats));
        const auto& [format, size, bucketId] = formats[f];
        Clock::time_point cutoff{};
        for (auto& [id, queue] : buckets) {
          for (; !queue.empty() && queue.front().returnedAt < clock().Now() - 2'000'000; queue.pop_front(), --idle) {
            cutoff = std::max(cutoff, queue.front().after + 1ns);
            destroyed(queue.front().size);
          }
        }
        if (cutoff != Clock::time_point{}) cache->SweepIdleBuffersOlderThan(cutoff);
        std::erase_if(buckets, [](const auto& bucket) { return bucket.second.empty(); });
        std::shared_ptr<_kaCachedBuffer> buffer = cache->CreateBuffer(format, size);
        ASSERT_TRUE(buffer);
        if (const auto bucket = buckets.find(bucketId); bucket != buckets.end()) {
          const Idle& oldest = bucket->second.front();
          EXPECT_EQ(std::pair(buffer.get(), buffer->DirtiedTime()), std::pair(oldest.buffer, oldest.returnedAt));
          bucket->second.pop_front(), --idle, ++expected.hits;
        } else {
          EXPECT_EQ(buffer->DirtiedTime(), -1);
          buffer->SetPreRecycleLambda([&preRecycles] { ++preRecycles; });
          ++expected.misses;
          expected.peakLiveBuffers = std::max(expected.peakLiveBuffers, ++live);
          expected.peakLiveBytes = std::max(expected.peakLiveBytes, expected.liveBytes += size);
        }
        EXPECT_TRUE(buffer->Equals(format) && buffer->RefCountForTesting() == 1) << step << ": nothing stale";
        buffer->SetDisplayWidth(7);  // the user's own entry, which the next user must not see
        held.emplace_back(std::move(buffer), f);
      } else if (action < 18 && !held.empty()) {  // a return
        const auto which = held.begin() + static_cast<ptrdiff_t>(random() % held.size());
        _kaCachedBuffer* const raw = which->first.get();
        const auto& [format, size, bucketId] = formats[which->second];
        held.erase(which);
        const Clock::time_point after = Clock::now();
        while (Clock::now() == after) {
        }  // so that every later return is stamped strictly later
        if (buckets.contains(bucketId) && buckets[bucketId].size() == 5) {
          destroyed(size);
        } else {
          ++expectedPreRecycles;
          buckets[bucketId].push_back({raw, size, clock().Now(), after});
          expected.peakIdleBuffers = std::max(expected.peakIdleBuffers, ++idle);
        }
      } else if (!held.empty()) {  // the user rewrites the record: the buffer files under it
        auto& [buffer, f] = held[random() % held.size()];
        const int g = static_cast<int>(random() % std::size(formats));
        if (formats[g].size == formats[f].size && buffer->Copy(formats[g].format, false, false, {})) f = g;
      }

      EXPECT_EQ(cache->Statistics(), expected) << "step " << step;
      EXPECT_EQ(std::tuple(cache->LiveBuffersForTesting(), cache->IdleBuffersForTesting(), LiveUnknowns(), preRecycles),
                std::tuple(live, idle, static_cast<int64_t>(live), expectedPreRecycles));
    }
    // The idle buffers go with the cache; buffers in use stay their users'
    // and are destroyed when let go, their recycle function finding no cache.
    cache.reset();
    EXPECT_EQ(LiveUnknowns(), static_cast<int64_t>(held.size()));
    for (const auto& [buffer, f] : held) std::memset(buffer->GetStorage(), 0x42, buffer->StorageSize());
    expectedPreRecycles += static_cast<int>(idle + held.size());
    held.clear();
    EXPECT_EQ(std::pair(LiveUnknowns(), preRecycles), std::pair(int64_t{0}, expectedPreRecycles));
  }
}

TEST_F(kaBufferGroupCacheTest, RequestsEvictBuffersIdleLongerThanTwoSecondsAndKeepOnesReturnedAtTheCutoff) {
  auto cache = std::make_shared<Cache>(MakeBuffer);
  cache->CreateBuffer(kSmallVideo, 64).reset();
  const Clock::time_point returnedAt = Clock::now() - 10s;
  cache->SetIdleReturnTimeForTesting(returnedAt);
  cache->SweepIdleBuffersOlderThan(returnedAt);
  EXPECT_EQ(cache->CountOfCachedBuffers(kSmallVideo, 64), 1);
  cache->SweepIdleBuffersOlderThan(returnedAt + 1ns);
  EXPECT_EQ(cache->CountOfCachedBuffers(kSmallVideo, 64), -1);
  // A request of any format sweeps with its own time less two seconds.
  for (const auto& [idleFor, count] : {std::pair{1000ms, 1L}, std::pair{2500ms, -1L}}) {
    cache->CreateBuffer(kSmallVideo, 64).reset();
    cache->SetIdleReturnTimeForTesting(Clock::now() - idleFor);
    cache->CreateBuffer(AudioFormat(48000, 1), 3200).reset();
    EXPECT_EQ(cache->CountOfCachedBuffers(kSmallVideo, 64), count) << idleFor.count() << " ms";
  }
}

// A hit that runs out of memory copying the request's record into the buffer,
// in either request form, hands out nothing and counts nothing; the buffer
// stays idle and serves the next request whole.
TEST_F(kaBufferGroupCacheTest, AHitThatRunsOutOfMemoryHandsOutNothingAndKeepsTheBufferIdle) {
  if (!AllocationCounter::IsCounting()) GTEST_SKIP() << "allocations are not counted in this build";
  auto cache = std::make_shared<Cache>(MakeBuffer);
  veMediaRecord keyed = kSmallVideo;
  keyed.SetFloat(veKeyFramesPerSecond, 29.97f);  // a keyed entry the idle buffer's record lacks
  _kaCachedBuffer* const idle = cache->CreateBuffer(kSmallVideo, 64).get();  // idle again at the semicolon
  for (const bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "CreateBuffer" : "CreateBufferReference");
    AllocationCounter::FailNthAllocationForTesting(1);
    std::shared_ptr<_kaCachedBuffer> result = shared ? cache->CreateBuffer(keyed, 64) : nullptr;
    _kaCachedBuffer* const reference = shared ? nullptr : cache->CreateBufferReference(keyed, 64);
    const bool failed = AllocationCounter::InjectedFailureHappened();
    AllocationCounter::FailNthAllocationForTesting(0);
    ASSERT_TRUE(failed) << "the record copy allocates";
    EXPECT_EQ(std::tuple(result.get(), reference, cache->Statistics().hits, cache->IdleBuffersForTesting()),
              std::tuple(nullptr, nullptr, uint64_t{0}, uint64_t{1}));
  }
  const std::shared_ptr<_kaCachedBuffer> again = cache->CreateBuffer(keyed, 64);
  EXPECT_EQ(std::tuple(again.get(), again->Equals(keyed), cache->Statistics().hits), std::tuple(idle, true, uint64_t{1}));
}

// Hundreds of buckets come and go (the index grows and closes its gaps), two
// video formats of one key stay apart, and every lookup agrees with a model.
TEST_F(kaBufferGroupCacheTest, FindsEveryBucketThroughItsIndexWhileHundredsComeAndGo) {
  const veMediaRecord wide = VideoFormat(64, 16, veRasterType::k2vuy, 128);
  const veMediaRecord narrow = CollidingFormat(wide, VideoFormat(48, 16, veRasterType::k2vuy, 96), 4096);
  ASSERT_EQ(Cache::HashForFormat(narrow, 4096), Cache::HashForFormat(wide, 4096));
  EXPECT_EQ(Cache::HashForFormat(VideoFormat(1920, 1080, veRasterType::k2vuy, 3840), 4147200), 0x472a47bbu);
  std::vector<std::pair<veMediaRecord, unsigned long>> formats = {{wide, 4096}, {narrow, 4096}};
  for (unsigned long i = 0; i < 300; ++i) formats.emplace_back(AudioFormat(48000, 1), 66 + 64 * i);

  for (const unsigned seed : {1u, 2u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    auto cache = std::make_shared<Cache>(MakeBuffer);
    // Per format: whether its bucket exists, and its idle buffers oldest first.
    std::vector<bool> exists(formats.size());
    std::vector<std::deque<_kaCachedBuffer*>> idle(formats.size());
    std::vector<std::pair<std::shared_ptr<_kaCachedBuffer>, size_t>> held;
    for (int step = 0; step < 3000 && !HasFailure(); ++step) {
      // Skewed towards the first formats, so that buckets fill as well as come and go.
      const size_t f = random() % 2 ? random() % 4 : random() % formats.size();
      if (held.empty() || random() % 2) {
        for (size_t g = 0; g < formats.size(); ++g) exists[g] = exists[g] && !idle[g].empty();  // the sweep
        std::shared_ptr<_kaCachedBuffer> buffer = cache->CreateBuffer(formats[f].first, formats[f].second);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->Width(), formats[f].first.Width());
        if (!idle[f].empty()) {
          EXPECT_EQ(buffer.get(), idle[f].front());
          idle[f].pop_front();
        }
        held.emplace_back(std::move(buffer), f);
      } else {
        const auto which = held.begin() + static_cast<ptrdiff_t>(random() % held.size());
        const size_t g = which->second;
        if (idle[g].size() < Cache::kMaxIdlePerBucket) idle[g].push_back(which->first.get()), exists[g] = true;
        held.erase(which);
        // No sweep may age anything out here: one far time for all keeps the order of return.
        cache->SetIdleReturnTimeForTesting(Clock::now() + 1h);
      }
      for (size_t g = step % 50 == 0 ? 0 : f; g < (step % 50 == 0 ? formats.size() : f + 1); ++g) {
        EXPECT_EQ(cache->CountOfCachedBuffers(formats[g].first, formats[g].second),
                  exists[g] ? static_cast<long>(idle[g].size()) : -1L)
            << "step " << step << ", format " << g;
      }
    }
    held.clear();
    cache.reset();
  }
}

// The idle-bytes cap, over audio buckets of 100, 200 and 300 bytes: buffers
// are requested in the order given, then released in that order; the cap may
// change afterwards. Survivors are listed by their place in that order.
TEST_F(kaBufferGroupCacheTest, KeepsIdleBytesUnderTheCapDestroyingTheOldestOfAnyBucketFirst) {
  constexpr uint64_t kUnchanged = UINT64_MAX;
  const struct {
    const char* name;
    uint64_t cap;
    std::vector<unsigned long> returns;
    uint64_t capAfter;
    std::vector<size_t> kept;
    uint64_t evicted, evictedBytes;
  } cases[] = {
      {"no cap by default", 0, {100, 200, 300}, kUnchanged, {0, 1, 2}, 0, 0},
      {"exactly at the cap", 600, {100, 200, 300}, kUnchanged, {0, 1, 2}, 0, 0},
      {"one byte over the cap", 599, {100, 200, 300}, kUnchanged, {1, 2}, 1, 100},
      {"oldest first, not largest or smallest", 450, {200, 100, 300}, kUnchanged, {1, 2}, 1, 200},
      {"oldest first within a bucket", 250, {100, 100, 100}, kUnchanged, {1, 2}, 1, 100},
      {"a buffer larger than the cap goes alone", 250, {100, 300, 100}, kUnchanged, {0, 2}, 1, 300},
      {"cap lowered while buffers idle", 0, {100, 200, 300}, 350, {2}, 2, 300},
      {"cap lowered below every buffer", 0, {100, 200, 300}, 1, {}, 3, 600},
      {"cap set to 0 turns it off", 150, {100, 100}, 0, {1}, 1, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cache = std::make_shared<Cache>(MakeBuffer);
    cache->SetMaxIdleBytes(c.cap);
    std::vector<std::shared_ptr<_kaCachedBuffer>> held;
    for (const unsigned long size : c.returns) held.push_back(cache->CreateBuffer(AudioFormat(48000, 1), size));
    std::vector<_kaCachedBuffer*> raw;
    for (auto& buffer : held) raw.push_back(buffer.get()), buffer.reset();
    if (c.capAfter != kUnchanged) cache->SetMaxIdleBytes(c.capAfter);

    uint64_t keptBytes = 0;
    for (const size_t k : c.kept) keptBytes += c.returns[k];
    const kaCacheStatistics statistics = cache->Statistics();
    EXPECT_EQ(std::tuple(statistics.evictedForCap, statistics.evictedBytesForCap, statistics.liveBytes),
              std::tuple(c.evicted, c.evictedBytes, keptBytes));
    EXPECT_EQ(std::tuple(cache->IdleBuffersForTesting(), cache->LiveBuffersForTesting(), LiveUnknowns()),
              std::tuple(c.kept.size(), c.kept.size(), static_cast<int64_t>(c.kept.size())));
    // The survivors come back oldest first per bucket; only idle buffers can.
    for (const size_t k : c.kept) {
      EXPECT_EQ(cache->CreateBuffer(AudioFormat(48000, 1), c.returns[k]).get(), raw[k]) << "buffer " << k;
    }
  }
}

// A burst of a thousand frame sizes goes idle and ages out: the next request
// destroys them all, and the process's resident memory comes back to within
// 10 % of where it stood before the burst.
TEST_F(kaBufferGroupCacheTest, GivesABurstOfFrameSizesBackToTheSystemOnceItAgesOut) {
  if (kSanitizedHeap) {
    GTEST_SKIP() << "the sanitizer's allocator keeps freed blocks in quarantine and shadow memory resident, so "
                    "resident size does not follow what the cache frees";
  }
  // A host's earlier 2 MiB frames have raised the C library's mmap threshold,
  // so the burst's frames come from the heap.
  auto cache = std::make_shared<Cache>(MakeBuffer);
  ASSERT_TRUE(cache->CreateBuffer(AudioFormat(48000, 2), 2 << 20));
  cache = std::make_shared<Cache>(MakeBuffer);
  const uint64_t before = ResidentBytes();
  for (int32_t width = 256; width < 256 + 2 * 1000; width += 2) {
    const veMediaRecord frame = VideoFormat(width, 64, veRasterType::k2vuy, 2 * width);
    ASSERT_TRUE(cache->CreateBuffer(frame, static_cast<unsigned long>(2 * width * 64)));
  }
  const uint64_t peak = ResidentBytes();
  cache->SetIdleReturnTimeForTesting(Clock::now() - 2500ms);
  cache->CreateBuffer(AudioFormat(48000, 1), 3200).reset();
  const uint64_t after = ResidentBytes();
  EXPECT_EQ(std::pair(cache->IdleBuffersForTesting(), cache->LiveBuffersForTesting()), std::pair(uint64_t{1}, uint64_t{1}));
  EXPECT_GT(peak, before + (100u << 20)) << "the burst was resident";
  EXPECT_LE(after, before + before / 10) << "before " << before << ", peak " << peak << ", after " << after;
}
