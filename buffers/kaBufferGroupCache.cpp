#include "buffers/kaBufferGroupCache.h"

#include <algorithm>
#include <bit>
#include <new>

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
    : hash(bucketHash), size(bucketSize), format(record), buffers(kaSpareBlockAllocator<BufferWrapper>()) {}

// ---- construction -----------------------------------------------------------

template <class BufferT>
kaBufferGroupCache<BufferT>::kaBufferGroupCache(Factory bufferFactory)
    : factory(std::move(bufferFactory)), buckets(kaSpareBlockAllocator<std::shared_ptr<Bucket>>()) {
  spareBuckets.reserve(kMaxSpareBuckets);
}

template <class BufferT>
kaBufferGroupCache<BufferT>::~kaBufferGroupCache() {
  // No lock: a recycle function holds a strong pointer while it works on the
  // cache, so nobody else can be inside. This may run inside a buffer's own
  // recycle function (its pointer was the last); that buffer's release here
  // is then handed to its running DeleteObject, which destroys it afterwards.
  for (auto& bucket : buckets) {
    for (auto& wrapper : bucket->buffers) wrapper.releaseBuffer();
  }
}

// ---- requests ---------------------------------------------------------------

template <class BufferT>
std::shared_ptr<BufferT> kaBufferGroupCache<BufferT>::CreateBuffer(const veMediaRecord& format, unsigned long size) {
  const uint32_t hash = HashForFormat(format, size);

  zMutexGuard lock(mutex);
  // Every request sweeps first: the cache has no timer of its own. The bucket
  // is looked up before and kept across the sweep, which may unlink it.
  const std::shared_ptr<Bucket> bucket = FindBucket(hash, size, format);
  RecycleBuffersWithAge(Clock::now() - kIdleLifetime);

  if (bucket && !bucket->buffers.empty()) {
    BufferT* const buffer = bucket->buffers.front().buffer;
    // The record of a same-shaped format is replaced in place, without
    // allocating: keyed entries replaced, fixed fields copied, owned values
    // left out. A failure here is memory exhaustion: the buffer stays idle.
    if (!buffer->Copy(format, false, false, {})) return {};
    // The caller's reference goes on before the wrapper's comes off, so the
    // count never reaches zero under the lock.
    buffer->AddRef();
    std::shared_ptr<BufferT> result = zAsSharedPtr(buffer);
    if (!result) return {};  // zAsSharedPtr gave the caller's reference back
    bucket->buffers.pop_front();
    --idleBuffers;
    ++hits;
    buffer->Release();
    return result;
  }

  // Only a miss needs the weak pointer that the new buffer's recycle function
  // keeps (a hit reuses a buffer that already has one), and only a miss can
  // meet a cache not owned by a shared pointer: such a cache never made a
  // buffer, so it has none to hand out.
  std::weak_ptr<kaBufferGroupCache> self = this->weak_from_this();
  if (self.expired()) return {};  // buffers could never come back
  if (size > kMaxBufferSize || !factory) {
    ++misses;
    return {};
  }
  std::shared_ptr<BufferT> made = factory(format, size);
  ++misses;
  if (!made) return {};

  BufferT* const raw = made.get();
  try {
    raw->recycleFunction = [weakCache = std::move(self), raw]() -> kaBuffer2::RecycleResult {
      const std::shared_ptr<kaBufferGroupCache> cache = weakCache.lock();
      if (!cache) return kaBuffer2::Destroy;
      return cache->Recycle(raw);
    };
  } catch (const std::bad_alloc&) {
    return {};  // `made` has no recycle function: dropping it destroys it
  }
  if (!raw->Copy(format, false, false, {})) {
    raw->SetRecycleLambda(nullptr);
    return {};
  }
  ++liveBuffers;
  liveBytes += size;
  peakLiveBuffers = std::max(peakLiveBuffers, liveBuffers);
  peakLiveBytes = std::max(peakLiveBytes, liveBytes);
  return made;
}

template <class BufferT>
kaBuffer2::RecycleResult kaBufferGroupCache<BufferT>::Recycle(BufferT* buffer) {
  // The bucket key is the record as it is now: a user who changed a hashed
  // field files the buffer under the new format.
  const uint64_t size = buffer->StorageSize();
  buffer->SetDirtiedTime(zTime::MicroNow());
  const uint32_t hash = HashForFormat(*buffer, size);

  zMutexGuard lock(mutex);
  std::shared_ptr<Bucket> bucket = FindBucket(hash, size, *buffer);
  if (bucket && bucket->buffers.size() >= kMaxIdlePerBucket) {
    ForgetBuffer(size);
    return kaBuffer2::Destroy;
  }
  try {
    if (!bucket) {
      bucket = MakeBucket(hash, size, *buffer);
      buckets.push_back(bucket);
    }
    bucket->buffers.push_back(BufferWrapper{buffer, Clock::now()});
    ++idleBuffers;
  } catch (const std::bad_alloc&) {
    // Nobody can keep it; an empty bucket left behind goes with the next sweep.
    ForgetBuffer(size);
    return kaBuffer2::Destroy;
  }
  buffer->AddRef();  // the wrapper's reference: 0 -> 1
  peakIdleBuffers = std::max(peakIdleBuffers, idleBuffers);
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

template <class BufferT>
std::shared_ptr<typename kaBufferGroupCache<BufferT>::Bucket> kaBufferGroupCache<BufferT>::FindBucket(
    uint32_t hash, uint64_t size, const veMediaRecord& format) const {
  for (const auto& bucket : buckets) {
    if (bucket->hash == hash && bucket->size == size && DoesFormatMatch(bucket->format, format)) return bucket;
  }
  return {};
}

template <class BufferT>
std::shared_ptr<typename kaBufferGroupCache<BufferT>::Bucket> kaBufferGroupCache<BufferT>::MakeBucket(
    uint32_t hash, uint64_t size, const veMediaRecord& record) {
  if (spareBuckets.empty()) return std::make_shared<Bucket>(hash, size, record);
  std::shared_ptr<Bucket> bucket = std::move(spareBuckets.back());
  spareBuckets.pop_back();
  bucket->hash = hash;
  bucket->size = size;
  bucket->format = record;  // same shape as before: no allocation
  return bucket;
}

// ---- eviction -----------------------------------------------------------------

template <class BufferT>
void kaBufferGroupCache<BufferT>::RecycleBuffersWithAge(Clock::time_point cutoff) {
  // A bucket's queue is in order of return (each wrapper is stamped with the
  // steady clock under the lock as it is appended), so the idle buffers to
  // evict are at its front and the walk stops at the first younger one.
  for (auto& bucket : buckets) {
    auto& queue = bucket->buffers;
    while (!queue.empty() && queue.front().returnedAt < cutoff) {
      ForgetBuffer(queue.front().buffer->StorageSize());
      queue.front().releaseBuffer();
      queue.pop_front();
      --idleBuffers;
    }
  }
  for (auto it = buckets.begin(); it != buckets.end();) {
    if ((*it)->buffers.empty()) {
      // Kept only while the reserved room lasts, so keeping never allocates.
      if (spareBuckets.size() < std::min(kMaxSpareBuckets, spareBuckets.capacity())) {
        spareBuckets.push_back(std::move(*it));
      }
      it = buckets.erase(it);
    } else {
      ++it;
    }
  }
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::SweepIdleBuffersOlderThan(Clock::time_point cutoff) {
  zMutexGuard lock(mutex);
  RecycleBuffersWithAge(cutoff);
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::ForgetBuffer(uint64_t bytes) {
  // Saturating: a factory that sized its storage unlike the request must not
  // wrap the counters around.
  if (liveBuffers > 0) --liveBuffers;
  liveBytes -= std::min(liveBytes, bytes);
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
  return statistics;
}

template <class BufferT>
long kaBufferGroupCache<BufferT>::CountOfCachedBuffers(const veMediaRecord& format, unsigned long size) const {
  const uint32_t hash = HashForFormat(format, size);
  zMutexGuard lock(mutex);
  const std::shared_ptr<Bucket> bucket = FindBucket(hash, size, format);
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
  return IdleBuffersLocked();
}

template <class BufferT>
void kaBufferGroupCache<BufferT>::SetIdleReturnTimeForTesting(Clock::time_point returnedAt) {
  zMutexGuard lock(mutex);
  for (auto& bucket : buckets) {
    for (auto& wrapper : bucket->buffers) wrapper.returnedAt = returnedAt;
  }
}

template <class BufferT>
uint64_t kaBufferGroupCache<BufferT>::IdleBuffersLocked() const {
  return idleBuffers;
}

template class kaBufferGroupCache<_kaCachedBuffer>;
