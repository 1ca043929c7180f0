#pragma once
#include <cstdint>

// A snapshot of the recycling cache's counters, copied under one holding of
// the cache's lock. Plain data; the cache's count of live buffers is not part
// of it.
struct kaCacheStatistics {
  uint64_t peakLiveBuffers = 0;  // most buffers alive at once
  uint64_t peakIdleBuffers = 0;  // most idle buffers held at once over all buckets
  uint64_t peakLiveBytes = 0;    // most storage bytes alive at once
  uint64_t liveBytes = 0;        // storage bytes of the buffers alive now
  uint64_t hits = 0;             // requests served from a bucket
  uint64_t misses = 0;           // requests that called the factory
  uint64_t evictedForCap = 0;       // idle buffers destroyed to keep under the idle-bytes cap
  uint64_t evictedBytesForCap = 0;  // their storage bytes

  bool operator==(const kaCacheStatistics&) const = default;
};
