#include "buffers/kaBufferGroupCache.h"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>

#include <ctime>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// One block step of MurmurHash3 (x86, 32-bit). The bucket key runs only this
// step, without tail, length or final mixing: it only has to spread formats
// over buckets, and DoesFormatMatch checks every bucket it finds anyway.
constexpr uint32_t MurmurBlock(uint32_t h, uint32_t k) {
  k *= 0xcc9e2d51u;
  k = std::rotl(k, 15);
  k *= 0x1b873593u;
  h ^= k;
  h = std::rotl(h, 13);
  return h * 5u + 0xe6546b64u;
}

}  // namespace

// ---- BufferWrapper, Bucket ------------------------------------------------

template <class BufferT>
void kaBufferGroupCache<BufferT>::BufferWrapper::releaseBuffer() {
  // Without its recycle function the buffer cannot come back here (and so
  // cannot take the cache's lock) when the count reaches zero.
  buffer->SetRecycleLambda(nullptr);
  buffer->Release();
}

template <class BufferT>
kaBufferGroupCache<BufferT>::Bucket::Bucket(uint32_t bucketHash, uint64_t bucketSize, const veMediaRecord& record)
    : hash(bucketHash), size(bucketSize), format(record) {}

// ---- construction -----------------------------------------------------------

template <class BufferT>
kaBufferGroupCache<BufferT>::kaBufferGroupCache(Factory bufferFactory)
    : factory(std::move(bufferFactory)), index(2 * kReservedBuckets, nullptr) {
  buckets.reserve(kReservedBuckets);
  spareBuckets.reserve(kMaxSpareBuckets);
}

template <class BufferT>
kaBufferGroupCache<BufferT>::~kaBufferGroupCache() {
  // No lock: a recycle function holds a strong pointer while it works on the
  // cache, so nobody else can be inside. This may run inside a buffer's own
  // recycle function (its pointer was the last); that buffer's release here
  // is then handed to its running DeleteObject, which destroys it afterwards.
  uint64_t destroyed = untrimmedBytes;
  for (auto& bucket : buckets) {
    bucket->buffers.ForEach([&](BufferWrapper& wrapper) {
      destroyed += bucket->size;
      wrapper.releaseBuffer();
    });
  }
  if (destroyed >= kTrimAfterBytes) ReturnFreedMemoryToSystem();
}

// ---- requests ---------------------------------------------------------------

template <class BufferT>
std::shared_ptr<BufferT> kaBufferGroupCache<BufferT>::CreateBuffer(const veMediaRecord& format, unsigned long size) {
  std::shared_ptr<BufferT> result;
  Request(format, size, &result);
  return result;
}

template <class BufferT>
BufferT* kaBufferGroupCache<BufferT>::CreateBufferReference(const veMediaRecord& format, unsigned long size) {
  return Request(format, size, nullptr);
}

template <class BufferT>
BufferT* kaBufferGroupCache<BufferT>::Request(const veMediaRecord& format, unsigned long size,
                                              std::shared_ptr<BufferT>* shared) {
  const uint32_t hash = HashForFormat(format, size);
  BufferT* result = nullptr;
  bool hit = false;
  bool trim = false;
  {
    zMutexGuard lock(mutex);
    result = RequestLocked(format, size, hash, shared, &hit);
    trim = TrimDue();
  }
  // Outside the lock: trimming walks the whole heap, and returns of other
  // threads need not wait for it.
  if (trim) ReturnFreedMemoryToSystem();
  return hit ? FinishHit(result, format, shared) : result;
}

template <class BufferT>
BufferT* kaBufferGroupCache<BufferT>::FinishHit(BufferT* buffer, const veMediaRecord& format,
                                                std::shared_ptr<BufferT>* shared) {
  // Out of its bucket the buffer is the request's alone, so its record is
  // replaced without the lock, which other threads' hits and returns then
  // do not wait for: in place and without allocating for a same-shaped
  // format (keyed entries replaced, fixed fields copied, owned values left
  // out). A failure is memory exhaustion; so is a failed shared pointer
  // (zAsSharedPtr lets go of the reference itself).
  if (buffer->Copy(format, false, false, {})) {
    if (!shared) return buffer;
    *shared = zAsSharedPtr(buffer);
    if (*shared) return buffer;
  } else {
    buffer->Release();
  }
  // The released reference was the last: the buffer is idle again, filed by
  // its record through Recycle. The request counts nothing.
  zMutexGuard lock(mutex);
  if (hits > 0) --hits;
  return nullptr;
}

template <class BufferT>
BufferT* kaBufferGroupCache<BufferT>::RequestLocked(const veMediaRecord& format, unsigned long size, uint32_t hash,
                                                    std::shared_ptr<BufferT>* shared, bool* hit) {
  // Every request sweeps first: the cache has no timer of its own. The sweep
  // runs before the lookup, so the bucket found is never one it dropped.
  RecycleBuffersWithAge(RequestCutoff());
  Bucket* const bucket = FindBucket(hash, size, format);

  if (bucket && !bucket->buffers.empty()) {
    // The wrapper's reference becomes the request's: the count stays 1.
    // FinishHit does the rest without the lock.
    BufferT* const buffer = bucket->buffers.front().buffer;
    RemoveFront(bucket);
    ++hits;
    *hit = true;
    return buffer;
  }

  // Only a miss needs the weak pointer that the new buffer's recycle function
  // keeps (a hit reuses a buffer that already has one), and only a miss can
  // meet a cache not owned by a shared pointer: such a cache never made a
  // buffer, so it has none to hand out.
  std::weak_ptr<kaBufferGroupCache> self = this->weak_from_this();
  if (self.expired()) return nullptr;  // buffers could never come back
  if (size > kMaxBufferSize || !factory) {
    ++misses;
    return nullptr;
  }
  std::shared_ptr<BufferT> made = factory(format, size);
  ++misses;
  if (!made) return nullptr;

  BufferT* const raw = made.get();
  try {
    raw->recycleFunction = [weakCache = std::move(self), raw]() -> kaBuffer2::RecycleResult {
      const std::shared_ptr<kaBufferGroupCache> cache = weakCache.lock();
      if (!cache) return kaBuffer2::Destroy;
      return cache->Recycle(raw);
    };
  } catch (const std::bad_alloc&) {
    return nullptr;  // `made` has no recycle function: dropping it destroys it
  }
  if (!raw->Copy(format, false, false, {})) {
    raw->SetRecycleLambda(nullptr);
    return nullptr;
  }
  ++liveBuffers;
  liveBytes += size;
  peakLiveBuffers = std::max(peakLiveBuffers, liveBuffers);
  peakLiveBytes = std::max(peakLiveBytes, liveBytes);
  if (shared) {
    *shared = std::move(made);
  } else {
    raw->AddRef();  // the caller's; `made` lets go of the factory's: 2 -> 1
  }
  return raw;
}

template <class BufferT>
kaBuffer2::RecycleResult kaBufferGroupCache<BufferT>::Recycle(BufferT* buffer) {
  // The bucket key is the record as it is now: a user who changed a hashed
  // field files the buffer under the new format.
  const uint64_t size = buffer->StorageSize();
  buffer->SetDirtiedTime(zTime::MicroNow());
  const uint32_t hash = HashForFormat(*buffer, size);

  bool trim = false;
  {
    zMutexGuard lock(mutex);
    Bucket* bucket = FindBucket(hash, size, *buffer);
    if (bucket && bucket->buffers.size() >= kMaxIdlePerBucket) {
      ForgetBuffer(size);
      return kaBuffer2::Destroy;
    }
    if (maxIdleBytes != 0 && size > maxIdleBytes) {
      // Evicting others would not make room: only this one goes.
      ForgetBuffer(size);
      ++evictedForCap;
      evictedBytesForCap += size;
      return kaBuffer2::Destroy;
    }
    if (!bucket) {
      try {
        ReserveOneMoreBucket();
        bucket = LinkBucket(MakeBucket(hash, size, *buffer));
      } catch (const std::bad_alloc&) {
        ForgetBuffer(size);  // nobody can keep it
        return kaBuffer2::Destroy;
      }
    }
    // Read under the lock, so that each bucket is in order of return and a
    // wait for the lock does not count as idle time.
    const Clock::time_point returnedAt = Clock::now();
    bucket->buffers.push_back(BufferWrapper{buffer, returnedAt, returnsSoFar});
    ++returnsSoFar;
    if (idleBuffers == 0 || returnedAt < earliestIdle) earliestIdle = returnedAt;
    ++idleBuffers;
    idleBytes += size;
    buffer->AddRef();  // the wrapper's reference: 0 -> 1
    // The newcomer fits the cap on its own and is the youngest, so only
    // older buffers go.
    EvictOverCap();
    peakIdleBuffers = std::max(peakIdleBuffers, idleBuffers);
    trim = TrimDue();
  }
  if (trim) ReturnFreedMemoryToSystem();
  return kaBuffer2::Recycled;
}

// ---- format keys ------------------------------------------------------------

template <class BufferT>
uint32_t kaBufferGroupCache<BufferT>::HashForFormat(const veMediaRecord& format, unsigned long size) {
  // Audio buckets differ only by size. Video adds the fields that describe
  // the image: type, width, height, raster type, bytes per row and the fixed
  // fields 'mfd6' and 'mfd7'.
  const auto seed = static_cast<uint32_t>(size);
  if (format.MediaType() != veMediaTypeVideo) return seed;
  const uint32_t words[7] = {
      static_cast<uint32_t>(format.MediaType()),  static_cast<uint32_t>(format.Width()),
      static_cast<uint32_t>(format.Height()),     static_cast<uint32_t>(format.RasterType()),
      static_cast<uint32_t>(format.BytesPerRow()), static_cast<uint32_t>(format.FixedField6()),
      static_cast<uint32_t>(format.FixedField7())};
  uint32_t h = seed;
  for (uint32_t word : words) h = MurmurBlock(h, word);
  return h;
}

template <class BufferT>
bool kaBufferGroupCache<BufferT>::DoesFormatMatch(const veMediaRecord& bucketFormat, const veMediaRecord& format) {
  // An audio bucket is defined by its size alone, which already matched.
  if (bucketFormat.MediaType() != veMediaTypeVideo) return true;
  return bucketFormat.Width() == format.Width() && bucketFormat.Height() == format.Height() &&
         bucketFormat.RasterType() == format.RasterType();
}

// ---- the index ------------------------------------------------------------------

template <class BufferT>
size_t kaBufferGroupCache<BufferT>::HomeSlot(uint32_t hash, uint64_t size) const {
  // Audio keys are the size twice over and video hashes skip the final mix,
  // so both go through one 64-bit mix before their low bits pick a slot.
  uint64_t x = (size * 0x9E3779B97F4A7C15ull) ^ hash;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<size_t>(x) & (index.size() - 1);
}

template <class BufferT>
size_t kaBufferGroupCache<BufferT>::SlotFor(uint32_t hash, uint64_t size) const {
  const size_t mask = index.size() - 1;
  size_t slot = HomeSlot(hash, size);
  while (index[slot] && (index[slot]->hash != hash || index[slot]->size != size)) slot = (slot + 1) & mask;
  return slot;
}

template <class BufferT>
typename kaBufferGroupCache<BufferT>::Bucket* kaBufferGroupCache<BufferT>::FindBucket(
    uint32_t hash, uint64_t size, const veMediaRecord& format) const {
  for (Bucket* bucket = index[SlotFor(hash, size)]; bucket; bucket = bucket->nextWithKey) {
    if (DoesFormatMatch(bucket->format, format)) return bucket;
  }
  return nullptr;
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::ReserveOneMoreBucket() {
  if (buckets.size() == buckets.capacity()) buckets.reserve(std::max(2 * buckets.capacity(), kReservedBuckets));
  if (2 * (usedSlots + 1) <= index.size()) return;
  // Rehash into a table twice the size. The chains move whole, so each key
  // keeps its buckets in order of creation.
  std::vector<Bucket*> old(2 * index.size(), nullptr);
  old.swap(index);
  for (Bucket* head : old) {
    if (head) index[SlotFor(head->hash, head->size)] = head;
  }
}

template <class BufferT>
std::unique_ptr<typename kaBufferGroupCache<BufferT>::Bucket> kaBufferGroupCache<BufferT>::MakeBucket(
    uint32_t hash, uint64_t size, const veMediaRecord& record) {
  if (spareBuckets.empty()) return std::make_unique<Bucket>(hash, size, record);
  std::unique_ptr<Bucket> bucket = std::move(spareBuckets.back());
  spareBuckets.pop_back();
  bucket->hash = hash;
  bucket->size = size;
  bucket->format = record;  // same shape as before: no allocation
  return bucket;
}

template <class BufferT>
typename kaBufferGroupCache<BufferT>::Bucket* kaBufferGroupCache<BufferT>::LinkBucket(
    std::unique_ptr<Bucket> bucket) {
  Bucket* const raw = bucket.get();
  raw->nextWithKey = nullptr;
  raw->emptied = false;
  raw->position = buckets.size();
  buckets.push_back(std::move(bucket));  // within the reserved capacity
  Bucket*& head = index[SlotFor(raw->hash, raw->size)];
  if (!head) {
    head = raw;
    ++usedSlots;
  } else {
    Bucket* last = head;
    while (last->nextWithKey) last = last->nextWithKey;
    last->nextWithKey = raw;
  }
  return raw;
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::DropBucket(Bucket* bucket) {
  const size_t mask = index.size() - 1;
  size_t slot = SlotFor(bucket->hash, bucket->size);
  Bucket** link = &index[slot];
  while (*link != bucket) link = &(*link)->nextWithKey;
  *link = bucket->nextWithKey;
  if (!index[slot]) {
    // The key is gone: shift later entries of the probe run back into the
    // hole (backward-shift deletion), so lookups need no tombstones.
    --usedSlots;
    for (size_t next = (slot + 1) & mask; index[next]; next = (next + 1) & mask) {
      const size_t home = HomeSlot(index[next]->hash, index[next]->size);
      // An entry may move into the hole only if its home is not between
      // the hole and itself.
      if (((next - home) & mask) >= ((next - slot) & mask)) {
        index[slot] = std::exchange(index[next], nullptr);
        slot = next;
      }
    }
  }
  // Swap-remove from `buckets`.
  std::unique_ptr<Bucket> owned = std::move(buckets[bucket->position]);
  if (bucket->position + 1 != buckets.size()) {
    buckets[bucket->position] = std::move(buckets.back());
    buckets[bucket->position]->position = bucket->position;
  }
  buckets.pop_back();
  // Kept only while the reserved room lasts, so keeping never allocates.
  if (spareBuckets.size() < std::min(kMaxSpareBuckets, spareBuckets.capacity())) {
    spareBuckets.push_back(std::move(owned));
  }
}

// ---- eviction -----------------------------------------------------------------

template <class BufferT>
typename kaBufferGroupCache<BufferT>::Clock::time_point kaBufferGroupCache<BufferT>::RequestCutoff() const {
  if (idleBuffers == 0) return Clock::time_point::min();  // nothing to age out: no clock read at all
#if defined(CLOCK_MONOTONIC_COARSE)
  // A precise read of the steady clock was a third of a hit's cost here.
  // The coarse monotonic clock is the same clock (steady_clock reads
  // CLOCK_MONOTONIC) at a fraction of the cost, lagging by at most its tick.
  // When even it, plus a margin far beyond a tick, leaves the earliest
  // possible return inside its lifetime, no buffer can age out now.
  timespec coarse{};
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &coarse) == 0) {
    const Clock::time_point coarseNow{std::chrono::seconds(coarse.tv_sec) + std::chrono::nanoseconds(coarse.tv_nsec)};
    if (coarseNow + kCoarseClockMargin < earliestIdle + kIdleLifetime) return Clock::time_point::min();
  }
#endif
  return Clock::now() - kIdleLifetime;
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::RemoveFront(Bucket* bucket) {
  bucket->buffers.pop_front();
  --idleBuffers;
  idleBytes -= std::min(idleBytes, bucket->size);
  if (bucket->buffers.empty() && !bucket->emptied) {
    bucket->emptied = true;
    bucket->nextEmptied = std::exchange(emptiedBuckets, bucket);
  }
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::EvictFront(Bucket* bucket) {
  ForgetBuffer(bucket->size);
  bucket->buffers.front().releaseBuffer();
  RemoveFront(bucket);
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::EvictOverCap() {
  if (maxIdleBytes == 0) return;
  while (idleBuffers > 0 && idleBytes > maxIdleBytes) {
    // The longest-idle buffer of all is the front of its own bucket, the
    // one that came back first of all the fronts.
    Bucket* oldest = nullptr;
    for (const auto& bucket : buckets) {
      if (!bucket->buffers.empty() &&
          (!oldest || bucket->buffers.front().returnOrder < oldest->buffers.front().returnOrder)) {
        oldest = bucket.get();
      }
    }
    if (!oldest) break;
    ++evictedForCap;
    evictedBytesForCap += oldest->size;
    EvictFront(oldest);
  }
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::RecycleBuffersWithAge(Clock::time_point cutoff) {
  // Every idle buffer came back at or after earliestIdle, so the walk over
  // the buckets is due only when that is before the cutoff; it evicts each
  // bucket's aged buffers from the front (a bucket is in order of return)
  // and then knows the earliest return exactly.
  if (idleBuffers > 0 && CameBackBefore(earliestIdle, cutoff)) {
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& bucket : buckets) {
      while (!bucket->buffers.empty() && CameBackBefore(bucket->buffers.front().returnedAt, cutoff)) {
        EvictFront(bucket.get());
      }
      if (!bucket->buffers.empty()) earliest = std::min(earliest, bucket->buffers.front().returnedAt);
    }
    earliestIdle = earliest;
  }
  // Only buckets that emptied since the last sweep can be empty.
  while (Bucket* const bucket = emptiedBuckets) {
    emptiedBuckets = bucket->nextEmptied;
    bucket->emptied = false;
    if (bucket->buffers.empty()) DropBucket(bucket);
  }
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::SweepIdleBuffersOlderThan(Clock::time_point cutoff) {
  bool trim = false;
  {
    zMutexGuard lock(mutex);
    RecycleBuffersWithAge(cutoff);
    trim = TrimDue();
  }
  if (trim) ReturnFreedMemoryToSystem();
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::SetMaxIdleBytes(uint64_t bytes) {
  bool trim = false;
  {
    zMutexGuard lock(mutex);
    maxIdleBytes = bytes;
    EvictOverCap();
    trim = TrimDue();
  }
  if (trim) ReturnFreedMemoryToSystem();
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::ForgetBuffer(uint64_t bytes) {
  // Saturating: a factory that sized its storage unlike the request must not
  // wrap the counters around.
  if (liveBuffers > 0) --liveBuffers;
  liveBytes -= std::min(liveBytes, bytes);
  untrimmedBytes += bytes;
}

template <class BufferT>
bool kaBufferGroupCache<BufferT>::TrimDue() {
  if (untrimmedBytes < kTrimAfterBytes) return false;
  untrimmedBytes = 0;
  return true;
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::ReturnFreedMemoryToSystem() {
  // Buffer storage comes from the C library's heap (the foundation's
  // zBuffer, 64-byte aligned). glibc serves blocks above its mmap threshold
  // with mmap, but raises that threshold to the size of each such block
  // freed, so once a few frames have come and gone, later frames of up to
  // 32 MiB live in the heap, among small blocks that pin it: freeing them
  // leaves their pages resident. malloc_trim hands every whole free page of
  // every arena back with madvise. It is chosen over mapping large storage
  // directly because the storage is the foundation's, shared by every
  // kaBuffer2, and the cached buffer adds no members of its own; and it costs
  // nothing on the paths that matter: it runs only after the cache destroyed
  // kTrimAfterBytes, never on a hit or a return that keeps its buffer.
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// ---- counters -------------------------------------------------------------------

template <class BufferT>
kaCacheStatistics kaBufferGroupCache<BufferT>::Statistics() const {
  zMutexGuard lock(mutex);
  kaCacheStatistics statistics;
  statistics.peakLiveBuffers = peakLiveBuffers;
  statistics.peakIdleBuffers = peakIdleBuffers;
  statistics.peakLiveBytes = peakLiveBytes;
  statistics.liveBytes = liveBytes;
  statistics.hits = hits;
  statistics.misses = misses;
  statistics.evictedForCap = evictedForCap;
  statistics.evictedBytesForCap = evictedBytesForCap;
  return statistics;
}

template <class BufferT>
long kaBufferGroupCache<BufferT>::CountOfCachedBuffers(const veMediaRecord& format, unsigned long size) const {
  const uint32_t hash = HashForFormat(format, size);
  zMutexGuard lock(mutex);
  const Bucket* const bucket = FindBucket(hash, size, format);
  return bucket ? static_cast<long>(bucket->buffers.size()) : -1;
}

template <class BufferT>
uint64_t kaBufferGroupCache<BufferT>::LiveBuffersForTesting() const {
  zMutexGuard lock(mutex);
  return liveBuffers;
}

template <class BufferT>
uint64_t kaBufferGroupCache<BufferT>::IdleBuffersForTesting() const {
  zMutexGuard lock(mutex);
  return idleBuffers;
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::SetIdleReturnTimeForTesting(Clock::time_point returnedAt) {
  zMutexGuard lock(mutex);
  for (auto& bucket : buckets) {
    bucket->buffers.ForEach([&](BufferWrapper& wrapper) { wrapper.returnedAt = returnedAt; });
  }
  earliestIdle = returnedAt;
}

template class kaBufferGroupCache<_kaCachedBuffer>;
