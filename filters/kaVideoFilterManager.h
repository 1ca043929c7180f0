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
// video buffer and caches the output, keyed by a render hash of the node's
// filters and the input. One per buffer group (VideoFilterManager()); the host
// calls it from any thread. Filters run on the caller's thread with no lock
// held. The cache lock guards only the map and is a leaf: buffers leaving the
// cache are released after it, so no host code runs under it. Cached buffers
// are shared and stay valid for whoever holds them.
class KASP2_EXPORT kaVideoFilterManager : public xCUnknown {
 public:
  using Clock = std::chrono::steady_clock;
  using Entry = std::pair<Clock::time_point, std::shared_ptr<kaBuffer2>>;

  // How long an entry stays after its last store or hit, by default.
  static constexpr std::chrono::nanoseconds kDefaultMaxAge{750'000'000};
  // Housekeeping trims the oldest entries while the cached buffers hold more.
  static constexpr int64_t kMaxCacheBytes = 209'715'200;  // 200 MiB

  kaVideoFilterManager() = default;
  ~kaVideoFilterManager() override;

  // Runs the chain of `node` over `input` and returns the last filter's output
  // (empty when none ran or it gave nothing); caches a non-empty output when
  // every filter that ran has an identity and `input` is not empty.
  // `context` is not used. A host filter's exception reaches the caller, the
  // cache unchanged.
  // Returns empty, running nothing, for an empty `group`: the filters need it.
  std::shared_ptr<kaBuffer2> RunVideoFilterGraph(kaDiscreteRenderGraph::Node& node,
                                                 const std::shared_ptr<kaBuffer2>& input,
                                                 xCUnknown& context, kaOutputDevice& device,
                                                 const std::shared_ptr<kaBufferGroup2>& group);

  // The cached result for `node` and `input`, its time refreshed; runs no filter.
  // Returns empty when there is none, `input` is empty or a filter has no identity.
  std::shared_ptr<kaBuffer2> LocateCachedBufferForFilterGraph(const kaDiscreteRenderGraph::Node& node,
                                                              const std::shared_ptr<kaBuffer2>& input);

  // Bytes the cached images hold (height × bytes per row), saturating.
  int64_t CacheSize() const;

  // Removes the least recently stored or hit entry, if any.
  void RemoveOldestCacheEntry();

  // Removes the entries older than `maxAge` (kDefaultMaxAge when empty), then
  // the oldest while the cache holds more than kMaxCacheBytes, always keeping
  // the last entry. A negative `maxAge` removes every entry in practice.
  void PerformCacheHousekeeping(const std::optional<std::chrono::seconds>& maxAge);

  size_t EntryCountForTesting() const;

  // Replaces, process-wide, the clock that stamps and ages entries (null
  // restores the steady clock); returns the one installed before.
  using NowFunction = Clock::time_point (*)();
  static NowFunction SetClockForTesting(NowFunction now);

 private:
  int64_t CacheSizeLocked() const Z_REQUIRES(cacheLock_);
  // The oldest entry's buffer goes to `released`, for release after the lock.
  void RemoveOldestCacheEntryLocked(std::vector<std::shared_ptr<kaBuffer2>>& released) Z_REQUIRES(cacheLock_);

  static Clock::time_point Now();

  mutable zMutex cacheLock_;
  // Render-hash key → (time of the last store or hit, cached output buffer).
  std::unordered_map<std::string, Entry> cache_ Z_GUARDED_BY(cacheLock_);
};
