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

// The buffer group's recycling cache: keeps buffers that their users released
// and hands them out again to the next request for the same format and size,
// so steady-state video and audio work allocates no buffer memory. Idle
// buffers wait in buckets keyed by a hash of their format, at most
// kMaxIdlePerBucket each, and are destroyed by the first request after
// kIdleLifetime of idleness (there is no timer). The cache owns its idle
// buffers (one reference each); buffers in use hold a weak pointer to it and
// come back through their recycle function on whatever thread releases them.
//
// Lives only in a std::shared_ptr (std::make_shared): a cache not owned by
// one makes no buffers. Every operation may be called from any thread; one
// non-recursive mutex guards the buckets and the counters. The lock is never
// held while a buffer that still has its recycle function reaches a count of
// zero (that would re-enter the mutex): a hit adds the caller's reference
// before dropping the wrapper's, eviction clears the recycle function before
// releasing. Evicted buffers are destroyed under the lock, so their
// pre-recycle function runs there and must not call back into the cache.
template <class BufferT>
class KASP2_EXPORT kaBufferGroupCache : public std::enable_shared_from_this<kaBufferGroupCache<BufferT>> {
 public:
  using Clock = std::chrono::steady_clock;
  // Makes a new buffer whose storage holds `size` bytes; an empty pointer on
  // failure. Called under the cache's lock: it must not call into the cache.
  using Factory = std::function<std::shared_ptr<BufferT>(const veMediaRecord& format, unsigned long size)>;

  // A bucket refuses a returned buffer when it already holds this many.
  static constexpr size_t kMaxIdlePerBucket = 5;
  // An idle buffer returned longer ago than this is destroyed by the next
  // request.
  static constexpr std::chrono::nanoseconds kIdleLifetime{2'000'000'000};
  // Largest storage in bytes: buffers size their storage with a signed
  // 32-bit count.
  static constexpr unsigned long kMaxBufferSize = 0x7fffffffUL;
  // Emptied buckets kept for reuse, so that a format whose buffers are all in
  // use gets its bucket back without allocating when one returns.
  static constexpr size_t kMaxSpareBuckets = 16;

  // One idle buffer and when it came back. The wrapper holds one reference.
  struct BufferWrapper {
    BufferT* buffer = nullptr;
    Clock::time_point returnedAt;
    // Clears the buffer's recycle function, then releases the wrapper's
    // reference: the buffer is destroyed (after its pre-recycle function).
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
  // Destroys every idle buffer; counters are left as they are. Buffers still
  // in use live on and are destroyed when their last user releases them.
  ~kaBufferGroupCache();

  // A buffer whose storage holds `size` bytes and whose record is a copy of
  // `format` (keyed entries replaced, fixed fields copied, owned values left
  // out): the longest-idle buffer of a matching bucket (a hit), else a new
  // one from the factory (a miss). Sweeps idle buffers older than
  // kIdleLifetime first. The caller owns the result's one reference.
  // Returns an empty pointer, counting a miss and changing nothing else, when
  // the factory fails or is empty, or `size` exceeds kMaxBufferSize. Returns
  // an empty pointer and counts nothing when the cache is not owned by a
  // shared pointer, or when memory runs short on a hit (the buffer stays
  // idle).
  std::shared_ptr<BufferT> CreateBuffer(const veMediaRecord& format, unsigned long size);

  // Bucket hash: the low 32 bits of `size` for non-video formats; for video
  // the MurmurHash3 (x86, 32-bit) block step, seeded with the low 32 bits of
  // `size`, over type, width, height, raster type, bytes per row and the
  // sixth and seventh fixed fields (no tail, length or final mixing).
  static uint32_t HashForFormat(const veMediaRecord& format, unsigned long size);
  // Whether a bucket's format accepts a format whose hash and size matched:
  // always for a non-video bucket, else when width, height and raster type
  // are equal.
  static bool DoesFormatMatch(const veMediaRecord& bucketFormat, const veMediaRecord& format);

  // Destroys idle buffers returned strictly before `cutoff` and drops the
  // buckets left empty. The caller holds the cache's lock (CreateBuffer
  // does); others call SweepIdleBuffersOlderThan.
  void RecycleBuffersWithAge(Clock::time_point cutoff) Z_REQUIRES(mutex);
  // RecycleBuffersWithAge under the cache's lock.
  void SweepIdleBuffersOlderThan(Clock::time_point cutoff);

  // The six counters, read under one holding of the lock.
  kaCacheStatistics Statistics() const;
  // Idle buffers in the first bucket matching (`format`, `size`) as a
  // request would find it; -1 when there is none.
  long CountOfCachedBuffers(const veMediaRecord& format, unsigned long size) const;
  // Buffers made by the factory and not yet destroyed through the cache.
  uint64_t LiveBuffersForTesting() const;
  // Idle buffers over all buckets.
  uint64_t IdleBuffersForTesting() const;
  // Marks every idle buffer as returned at `returnedAt`, so that tests can
  // age buffers without waiting.
  void SetIdleReturnTimeForTesting(Clock::time_point returnedAt);

 private:
  // The recycle function's work once it holds the cache (see CreateBuffer).
  kaBuffer2::RecycleResult Recycle(BufferT* buffer);
  // First bucket matching by hash, size and DoesFormatMatch.
  std::shared_ptr<Bucket> FindBucket(uint32_t hash, uint64_t size, const veMediaRecord& format) const
      Z_REQUIRES(mutex);
  // A bucket for (hash, size, record): a kept empty one, or a new one. May
  // throw std::bad_alloc.
  std::shared_ptr<Bucket> MakeBucket(uint32_t hash, uint64_t size, const veMediaRecord& record) Z_REQUIRES(mutex);
  // A buffer of `bytes` storage leaves the cache for good.
  void ForgetBuffer(uint64_t bytes) Z_REQUIRES(mutex);
  uint64_t IdleBuffersLocked() const Z_REQUIRES(mutex);

  Factory factory;
  // A plain mutex, never taken twice by one thread: no buffer that still has
  // its recycle function reaches a count of zero while it is held.
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
