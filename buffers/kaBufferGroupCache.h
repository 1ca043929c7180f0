#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "buffers/_kaCachedBuffer.h"
#include "buffers/kaBuffer2.h"
#include "buffers/kaCacheStatistics.h"
#include "foundation/kaFoundation.h"

// The buffer group's recycling cache: buffers their users released wait,
// idle, in buckets per format and size and go to the next request for the
// same, so steady-state video and audio allocate no buffer memory. Owns its
// buckets and one reference to each idle buffer; buffers in use hold a weak
// pointer to it and come back through their recycle function on whichever
// thread releases them. Lives only in a std::shared_ptr (a cache owned
// otherwise makes no buffers). Any thread may call it; one mutex guards
// buckets, index and counters. Evicted buffers are destroyed under that
// mutex, so their pre-recycle functions must not call back into the cache.
//
// A request finds its bucket through an open-addressed index keyed by (hash,
// size). The age sweep walks the buckets only when a lower bound it keeps on
// the earliest return says that something may have aged, so a request's
// sweep is one comparison nearly always, and nothing else under the lock
// touches more than the bucket in hand.
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
  // How far the coarse clock that spares a request its precise clock read
  // may lag: a few of its ticks (1 to 10 ms) and then some.
  static constexpr std::chrono::milliseconds kCoarseClockMargin{50};
  // Emptied buckets kept for reuse, so that a format whose buffers are all in
  // use gets its bucket back without allocating when one returns.
  static constexpr size_t kMaxSpareBuckets = 16;
  // Room reserved up front for buckets and index slots, so that a host's
  // usual handful of formats never grows either.
  static constexpr size_t kReservedBuckets = 64;
  // Storage bytes the cache destroys before it asks the C library to give
  // freed heap pages back to the system (see ReturnFreedMemoryToSystem).
  // Below it the freed blocks simply serve the next allocations; above it a
  // burst of odd frame sizes would otherwise stay resident for good.
  static constexpr uint64_t kTrimAfterBytes = uint64_t{64} << 20;

  // One idle buffer, with the cache's reference, when it came back and how
  // many returns the cache had taken before it (the order of return over all
  // buckets, which the idle-bytes cap evicts by).
  struct BufferWrapper {
    BufferT* buffer = nullptr;
    Clock::time_point returnedAt;
    uint64_t returnOrder = 0;
    // Destroys the buffer (its pre-recycle function still runs).
    void releaseBuffer();
  };

  // A bucket's idle buffers, oldest first: a ring of kMaxIdlePerBucket
  // wrappers inside the bucket itself, so that keeping a buffer never
  // allocates and a hit or a return touches the bucket's own memory only.
  class IdleQueue {
   public:
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    BufferWrapper& front() { return slots_[head_]; }
    BufferWrapper& back() { return slots_[Wrap(head_ + count_ - 1u)]; }
    // Only while size() < kMaxIdlePerBucket.
    void push_back(const BufferWrapper& wrapper) { slots_[Wrap(head_ + count_++)] = wrapper; }
    // Only while not empty().
    void pop_front() {
      head_ = Wrap(head_ + 1u);
      --count_;
    }
    // Calls `visit` with each wrapper, oldest first.
    template <class Visit>
    void ForEach(Visit&& visit) {
      for (size_t i = 0; i < count_; ++i) visit(slots_[Wrap(head_ + i)]);
    }

   private:
    static size_t Wrap(size_t slot) { return slot < kMaxIdlePerBucket ? slot : slot - kMaxIdlePerBucket; }
    size_t head_ = 0;
    size_t count_ = 0;
    BufferWrapper slots_[kMaxIdlePerBucket];
  };

  // Idle buffers of one format and size, oldest at the front.
  struct Bucket {
    Bucket(uint32_t bucketHash, uint64_t bucketSize, const veMediaRecord& record);
    uint32_t hash;
    uint64_t size;
    // Copy of the record of the buffer that made the bucket.
    veMediaRecord format;
    IdleQueue buffers;
    // The next younger bucket of the same (hash, size): the index keeps the
    // buckets of one key in order of creation, and a lookup takes the first
    // that DoesFormatMatch accepts.
    Bucket* nextWithKey = nullptr;
    // Where the bucket sits in `buckets`.
    size_t position = 0;
    // Emptied since the last sweep, which drops it unless it filled again.
    bool emptied = false;
    Bucket* nextEmptied = nullptr;
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
  // The same as a plain reference that the caller owns (null where the above
  // is empty): the group's path, which spares a hit the shared pointer's
  // control block and a reference count round trip.
  BufferT* CreateBufferReference(const veMediaRecord& format, unsigned long size);

  // The bucket key: the low 32 bits of `size` for anything but video; for
  // video a hash, seeded with them, of the fields that shape the image.
  static uint32_t HashForFormat(const veMediaRecord& format, unsigned long size);
  // Whether a bucket accepts a format whose key matched: for video, the
  // width, height and raster type must agree, since keys may collide.
  static bool DoesFormatMatch(const veMediaRecord& bucketFormat, const veMediaRecord& format);

  // Whether a buffer that came back at `returnedAt` has aged out by `cutoff`:
  // strictly before it (one returned at the cutoff stays). The walk over the
  // buckets and the test for whether to walk at all share this one rule.
  static bool CameBackBefore(Clock::time_point returnedAt, Clock::time_point cutoff) { return returnedAt < cutoff; }
  // Destroys idle buffers that came back before `cutoff` and drops emptied
  // buckets: with the lock held, or through SweepIdleBuffersOlderThan.
  void RecycleBuffersWithAge(Clock::time_point cutoff) Z_REQUIRES(mutex);
  void SweepIdleBuffersOlderThan(Clock::time_point cutoff);

  // Caps the storage bytes of all idle buffers together; 0 (the default)
  // means no cap. Past the cap the longest-idle buffers of any bucket are
  // destroyed first, at once and on every return; a returned buffer larger
  // than the whole cap is destroyed itself and the others stay. Each one is
  // counted in evictedForCap and evictedBytesForCap.
  void SetMaxIdleBytes(uint64_t bytes);

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
  // A released buffer comes back: kept idle, or Destroy when its bucket is
  // full or it is larger than the idle-bytes cap.
  kaBuffer2::RecycleResult Recycle(BufferT* buffer);
  // Both request forms: with `shared` the result is also stored there (and
  // owned by it), else the caller owns the returned reference.
  BufferT* Request(const veMediaRecord& format, unsigned long size, std::shared_ptr<BufferT>* shared);
  // A hit takes the longest-idle buffer out of its bucket and sets `hit`;
  // else a miss makes a buffer (or fails).
  BufferT* RequestLocked(const veMediaRecord& format, unsigned long size, uint32_t hash,
                         std::shared_ptr<BufferT>* shared, bool* hit) Z_REQUIRES(mutex);
  // A hit's record copy and shared pointer, made without the lock; on
  // failure the buffer goes back idle and the hit is taken back.
  BufferT* FinishHit(BufferT* buffer, const veMediaRecord& format, std::shared_ptr<BufferT>* shared)
      Z_EXCLUDES(mutex);
  // The age cutoff of a request's sweep: now less kIdleLifetime, or the
  // earliest time when no idle buffer can be that old.
  Clock::time_point RequestCutoff() const Z_REQUIRES(mutex);
  // First bucket of the key (hash, size) that DoesFormatMatch accepts.
  Bucket* FindBucket(uint32_t hash, uint64_t size, const veMediaRecord& format) const Z_REQUIRES(mutex);
  // Makes room for one more bucket in `buckets` and the index, so that
  // LinkBucket cannot fail (std::bad_alloc when memory is short).
  void ReserveOneMoreBucket() Z_REQUIRES(mutex);
  // A kept empty bucket, or a new one (std::bad_alloc when memory is short).
  std::unique_ptr<Bucket> MakeBucket(uint32_t hash, uint64_t size, const veMediaRecord& record) Z_REQUIRES(mutex);
  // Adds a bucket to `buckets` and the index; room was reserved.
  Bucket* LinkBucket(std::unique_ptr<Bucket> bucket) Z_REQUIRES(mutex);
  // Removes an empty bucket from the index and `buckets`; kept as a spare
  // while the reserved room lasts.
  void DropBucket(Bucket* bucket) Z_REQUIRES(mutex);
  // Where the key's probe run starts.
  size_t HomeSlot(uint32_t hash, uint64_t size) const Z_REQUIRES(mutex);
  // The index slot where the key's chain starts, or the empty slot where it
  // would go.
  size_t SlotFor(uint32_t hash, uint64_t size) const Z_REQUIRES(mutex);
  // Takes the front wrapper of `bucket` off its queue; the caller has dealt
  // with the wrapper's reference.
  void RemoveFront(Bucket* bucket) Z_REQUIRES(mutex);
  // Destroys the front buffer of `bucket`, its longest idle.
  void EvictFront(Bucket* bucket) Z_REQUIRES(mutex);
  // Destroys the longest-idle buffers of all while idle bytes exceed the
  // cap: a walk over the buckets' fronts for each, paid only with a cap set.
  void EvictOverCap() Z_REQUIRES(mutex);
  // A buffer of `bytes` storage leaves the cache for good.
  void ForgetBuffer(uint64_t bytes) Z_REQUIRES(mutex);
  // Whether enough storage was destroyed since the last trim to trim now;
  // if so the count starts over.
  bool TrimDue() Z_REQUIRES(mutex);
  // Gives the heap's free pages back to the system. Called without the lock.
  static void ReturnFreedMemoryToSystem();

  Factory factory;
  // Not re-entrant, and need not be: no buffer that still has its recycle
  // function reaches a count of zero while it is held (a hit hands the idle
  // wrapper's reference to the caller; eviction clears the recycle function
  // before releasing).
  mutable zMutex mutex;
  // Every bucket that holds idle buffers (or was emptied since the last
  // sweep), in no particular order: lookups go through `index`.
  std::vector<std::unique_ptr<Bucket>> buckets Z_GUARDED_BY(mutex);
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
  std::vector<std::unique_ptr<Bucket>> spareBuckets Z_GUARDED_BY(mutex);
  // Open addressing with linear probing over a power-of-two table: each used
  // slot holds the oldest bucket of one (hash, size) key. At most half full;
  // it grows only when a new bucket makes a new high, so reusing a dropped
  // bucket's place never allocates.
  std::vector<Bucket*> index Z_GUARDED_BY(mutex);
  size_t usedSlots Z_GUARDED_BY(mutex) = 0;
  // No idle buffer came back before this (meaningful while any is idle): a
  // lower bound, exact after each walk of the age sweep and lowered by
  // returns; hits leave it, so it may lag behind the true earliest return,
  // which costs at most a walk that finds nothing to evict.
  Clock::time_point earliestIdle Z_GUARDED_BY(mutex);
  // Returns taken so far: the next idle buffer's returnOrder.
  uint64_t returnsSoFar Z_GUARDED_BY(mutex) = 0;
  // Buckets a hit or an eviction emptied since the last sweep.
  Bucket* emptiedBuckets Z_GUARDED_BY(mutex) = nullptr;
  uint64_t idleBytes Z_GUARDED_BY(mutex) = 0;
  uint64_t maxIdleBytes Z_GUARDED_BY(mutex) = 0;  // 0: no cap
  uint64_t evictedForCap Z_GUARDED_BY(mutex) = 0;
  uint64_t evictedBytesForCap Z_GUARDED_BY(mutex) = 0;
  // Storage bytes destroyed through the cache since the last trim.
  uint64_t untrimmedBytes Z_GUARDED_BY(mutex) = 0;
};

extern template class kaBufferGroupCache<_kaCachedBuffer>;
