#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "buffers/_kaCachedBuffer.h"
#include "buffers/kaBuffer2.h"
#include "buffers/kaCacheStatistics.h"
#include "buffers/kaSpareBlockAllocator.h"
#include "foundation/kaFoundation.h"

// The buffer group's recycling cache: buffers their users released wait,
// idle, in buckets per format and size and go to the next request for the
// same, so steady-state video and audio allocate no buffer memory. Owns one
// reference to each idle buffer; buffers in use hold a weak pointer to it and
// come back through their recycle function on whichever thread releases them.
// Lives only in a std::shared_ptr (a cache owned otherwise makes no buffers).
// Any thread may call it; one mutex guards buckets and counters. Evicted
// buffers are destroyed under that mutex, so their pre-recycle functions must
// not call back into the cache.
template <class BufferT>
class KASP2_EXPORT kaBufferGroupCache : public std::enable_shared_from_this<kaBufferGroupCache<BufferT>> {
 public:
  using Clock = std::chrono::steady_clock;
  // A new buffer whose storage holds `size` bytes, or empty. Runs under the
  // cache's lock: it must not call into the cache.
  using Factory = std::function<std::shared_ptr<BufferT>(const veMediaRecord& format, unsigned long size)>;

  // A bucket holds at most this many idle buffers; more are destroyed.
  static constexpr size_t kMaxIdlePerBucket = 5;
  // Idle longer than this, a buffer is destroyed by the next request (there
  // is no timer).
  static constexpr std::chrono::nanoseconds kIdleLifetime{2'000'000'000};
  // Largest storage in bytes: buffers size their storage with a signed
  // 32-bit count.
  static constexpr unsigned long kMaxBufferSize = 0x7fffffffUL;
  // Emptied buckets kept for reuse, so that a format whose buffers are all in
  // use gets its bucket back without allocating when one returns.
  static constexpr size_t kMaxSpareBuckets = 16;

  // One idle buffer, with the cache's reference, and when it came back.
  struct BufferWrapper {
    BufferT* buffer = nullptr;
    Clock::time_point returnedAt;
    // Destroys the buffer (its pre-recycle function still runs).
    void releaseBuffer();
  };
  using WrapperQueue = std::deque<BufferWrapper, kaSpareBlockAllocator<BufferWrapper>>;

  // Idle buffers of one format and size, oldest at the front.
  struct Bucket {
    Bucket(uint32_t bucketHash, uint64_t bucketSize, const veMediaRecord& record);
    uint32_t hash;
    uint64_t size;
    // Copy of the record of the buffer that made the bucket.
    veMediaRecord format;
    WrapperQueue buffers;
  };

  explicit kaBufferGroupCache(Factory bufferFactory);
  kaBufferGroupCache(const kaBufferGroupCache&) = delete;
  kaBufferGroupCache& operator=(const kaBufferGroupCache&) = delete;
  // Destroys every idle buffer; buffers in use are destroyed by their last
  // Release.
  ~kaBufferGroupCache();

  // A buffer of `size` bytes of storage whose record is a copy of `format`
  // (owned values left out): the longest-idle one of its bucket, else a new
  // one from the factory. The caller owns the result's one reference.
  // Returns empty, counting a miss, without a working factory or over kMaxBufferSize.
  // Returns empty, counting nothing, for a cache not owned by a shared
  // pointer, or when memory runs short copying the record (the buffer stays idle).
  std::shared_ptr<BufferT> CreateBuffer(const veMediaRecord& format, unsigned long size);

  // The bucket key: the low 32 bits of `size` for anything but video; for
  // video a hash, seeded with them, of the fields that shape the image.
  static uint32_t HashForFormat(const veMediaRecord& format, unsigned long size);
  // Whether a bucket accepts a format whose key matched: for video, the
  // width, height and raster type must agree, since keys may collide.
  static bool DoesFormatMatch(const veMediaRecord& bucketFormat, const veMediaRecord& format);

  // Destroys idle buffers that came back before `cutoff` and drops emptied
  // buckets: with the lock held, or through SweepIdleBuffersOlderThan.
  void RecycleBuffersWithAge(Clock::time_point cutoff) Z_REQUIRES(mutex);
  void SweepIdleBuffersOlderThan(Clock::time_point cutoff);

  // One consistent snapshot of the counters.
  kaCacheStatistics Statistics() const;
  // Idle buffers in the bucket a request for (`format`, `size`) would use;
  // -1 when there is none.
  long CountOfCachedBuffers(const veMediaRecord& format, unsigned long size) const;
  // Buffers made by the factory and not yet destroyed through the cache.
  uint64_t LiveBuffersForTesting() const;
  // Idle buffers over all buckets.
  uint64_t IdleBuffersForTesting() const;
  // Ages every idle buffer to `returnedAt`, so tests need not wait.
  void SetIdleReturnTimeForTesting(Clock::time_point returnedAt);

 private:
  // A released buffer comes back: kept idle, or Destroy when its bucket is full.
  kaBuffer2::RecycleResult Recycle(BufferT* buffer);
  // First bucket matching by hash, size and DoesFormatMatch.
  std::shared_ptr<Bucket> FindBucket(uint32_t hash, uint64_t size, const veMediaRecord& format) const
      Z_REQUIRES(mutex);
  // A kept empty bucket, or a new one (std::bad_alloc when memory is short).
  std::shared_ptr<Bucket> MakeBucket(uint32_t hash, uint64_t size, const veMediaRecord& record) Z_REQUIRES(mutex);
  // A buffer of `bytes` storage leaves the cache for good.
  void ForgetBuffer(uint64_t bytes) Z_REQUIRES(mutex);
  uint64_t IdleBuffersLocked() const Z_REQUIRES(mutex);

  Factory factory;
  // Not re-entrant, and need not be: no buffer that still has its recycle
  // function reaches a count of zero while it is held (a hit adds the
  // caller's reference before dropping the cache's; eviction clears the
  // recycle function before releasing).
  mutable zMutex mutex;
  std::deque<std::shared_ptr<Bucket>, kaSpareBlockAllocator<std::shared_ptr<Bucket>>> buckets Z_GUARDED_BY(mutex);
  uint64_t peakIdleBuffers Z_GUARDED_BY(mutex) = 0;
  uint64_t peakLiveBuffers Z_GUARDED_BY(mutex) = 0;
  uint64_t liveBuffers Z_GUARDED_BY(mutex) = 0;
  uint64_t liveBytes Z_GUARDED_BY(mutex) = 0;
  uint64_t peakLiveBytes Z_GUARDED_BY(mutex) = 0;
  uint64_t hits Z_GUARDED_BY(mutex) = 0;
  uint64_t misses Z_GUARDED_BY(mutex) = 0;
  // Idle buffers over all buckets, kept as they come and go so that a return
  // need not count them.
  uint64_t idleBuffers Z_GUARDED_BY(mutex) = 0;
  // Emptied buckets waiting for reuse; capacity reserved up front.
  std::vector<std::shared_ptr<Bucket>> spareBuckets Z_GUARDED_BY(mutex);
};

extern template class kaBufferGroupCache<_kaCachedBuffer>;
