#include "buffers/kaBufferGroupCache.h"

#include <chrono>
#include <deque>
#include <map>
#include <random>

#include "BufferTestSupport.h"

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
