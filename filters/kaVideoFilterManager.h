#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "buffers/kaBuffer2.h"
#include "foundation/kaFoundation.h"
#include "host/kaDiscreteRenderGraph.h"
#include "host/kaOutputDevice.h"

class kaBufferGroup2;

// Runs the filter chain of one node of the host's render graph over an input
// video buffer and keeps the chain's output in a result cache keyed by a render
// hash of the node's filter settings and of the input buffer. One manager per
// buffer group, made by the group and shared through the group's
// VideoFilterManager(); the host calls every operation, from any thread.
// Filters run on the caller's thread without any manager lock held; the cache
// lock guards only the map. Cached buffers are shared: a buffer stays valid for
// whoever holds it after its entry is removed.
//
// Locks: the cache lock is a leaf. No other lock is taken and no host code runs
// while it is held: a buffer whose entry is removed or replaced is released
// after the lock is let go, so it reaches the recycling cache (and its
// preRecycleFunction runs) with no manager lock held.
class KASP2_EXPORT kaVideoFilterManager : public xCUnknown {
 public:
  using Clock = std::chrono::steady_clock;
  using Entry = std::pair<Clock::time_point, std::shared_ptr<kaBuffer2>>;

  // Entries stay this long after their last store or hit by default.
  static constexpr std::chrono::nanoseconds kDefaultMaxAge{750'000'000};
  // Housekeeping trims the oldest entries while the cached buffers hold more
  // than this (height × bytes per row summed); exactly this much is accepted.
  static constexpr int64_t kMaxCacheBytes = 209'715'200;  // 200 MiB

  kaVideoFilterManager() = default;
  ~kaVideoFilterManager() override;

  // Runs the chain of `node` over `input` and returns the output of the last
  // filter that ran (empty when none ran or the last one gave nothing). When
  // every filter that ran has a non-empty identity and the result is not
  // empty, the result is stored under the node's key, replacing an earlier
  // entry. `context` is accepted and not used.
  //  - An empty `group` runs nothing and returns an empty pointer: the filters
  //    need the group itself by reference, and there is none.
  //  - An empty `input` runs the chain with an empty input texture and stores
  //    nothing (no key can be made without the input's fields).
  //  - An exception thrown by a host filter is the host's own and propagates to
  //    the caller; the cache is unchanged, since the store follows the chain.
  std::shared_ptr<kaBuffer2> RunVideoFilterGraph(kaDiscreteRenderGraph::Node& node,
                                                 const std::shared_ptr<kaBuffer2>& input,
                                                 xCUnknown& context, kaOutputDevice& device,
                                                 const std::shared_ptr<kaBufferGroup2>& group);

  // The cached result for `node` and `input`, with its time refreshed, or an
  // empty pointer: when it is absent, when any filter entry of the node has an
  // empty identity, or when `input` is empty. Runs no filter.
  std::shared_ptr<kaBuffer2> LocateCachedBufferForFilterGraph(const kaDiscreteRenderGraph::Node& node,
                                                              const std::shared_ptr<kaBuffer2>& input);

  // Bytes held by the cached buffers: the sum of height × bytes per row, each
  // product formed in 64 bits; a buffer whose height or bytes per row is not
  // positive counts 0, and the sum saturates at INT64_MAX. Takes the cache
  // lock, so the caller must not hold it (housekeeping uses the unlocked form
  // internally).
  int64_t CacheSize() const;

  // Removes the entry with the oldest time stamp (the first met in the walk
  // among equals) and releases its buffer; nothing on an empty cache. Takes
  // the cache lock, like CacheSize.
  void RemoveOldestCacheEntry();

  // Removes every entry stamped earlier than now − maxAge (0.75 s when
  // `maxAge` holds no value; an entry exactly at the limit stays). Then, while
  // at least two entries remain and the cached buffers hold more than
  // kMaxCacheBytes, removes the oldest; the last entry is never removed for
  // size. A maxAge too large to subtract from now removes nothing by age; a
  // negative one removes every entry stamped before now − maxAge, i.e. every
  // entry in practice. The whole trimming is one holding of the cache lock.
  void PerformCacheHousekeeping(const std::optional<std::chrono::seconds>& maxAge);

  // Number of entries, under the cache lock (diagnostics and tests).
  size_t EntryCountForTesting() const;

  // Replaces the steady clock that stamps and ages entries, process-wide, for
  // every manager; null restores std::chrono::steady_clock::now. Returns the
  // clock installed before. Tests only.
  using NowFunction = Clock::time_point (*)();
  static NowFunction SetClockForTesting(NowFunction now);

 private:
  int64_t CacheSizeLocked() const Z_REQUIRES(cacheLock_);
  // Moves the oldest entry's buffer into `released` (for release once the lock
  // is let go) and erases the entry.
  void RemoveOldestCacheEntryLocked(std::vector<std::shared_ptr<kaBuffer2>>& released) Z_REQUIRES(cacheLock_);

  static Clock::time_point Now();

  mutable zMutex cacheLock_;
  // Render-hash key → (time of the last store or hit, cached output buffer).
  std::unordered_map<std::string, Entry> cache_ Z_GUARDED_BY(cacheLock_);
};
