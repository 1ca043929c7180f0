#include "filters/kaVideoFilterManager.h"

#include <atomic>
#include <cstring>
#include <limits>
#include <type_traits>

#include "filters/kaRenderHash.h"
#include "host/kaXIImageFilter.h"
#include "host/luXITexture.h"

namespace {

// The test hook's clock; null means std::chrono::steady_clock::now.
std::atomic<kaVideoFilterManager::NowFunction> gNowForTesting{nullptr};

// Asks `object` for the interface `name` and adopts the reference that a
// successful answer carries. Empty for a null object, a failed query or a null
// answer.
template <class Interface>
std::shared_ptr<Interface> QueryShared(xIUnknown* object, const char* name) {
  if (!object) return {};
  void* answer = nullptr;
  if (object->QueryInterface(name, &answer) != 0 || !answer) return {};
  return make_shared_ptr(static_cast<Interface*>(answer));
}

// Bytes of the input block of the key: dirtied time (int64), width, height,
// upside-down flag widened to 32 bits (int32 each) and the buffer's address
// (64-bit), packed without padding in native byte order.
constexpr size_t kInputBlockBytes = 28;

// The cache key of `node` over `input` (which must hold a buffer): the render
// hash of every entry's identity bytes and, for entries with a filter object,
// its 32-bit state value, followed by the input block. The key follows the
// identity of the input object and its dirtied time: a recycled buffer at the
// same address matches again only with the same dirtied time.
std::string HashForNode(const kaDiscreteRenderGraph::Node& node,
                        const std::shared_ptr<kaBuffer2>& input) {
  kaRenderHash hash;
  for (const kaDiscreteRenderGraph::Node::FilterEntry& entry : node.Filters()) {
    hash.Generate(entry.identity);
    if (entry.filter) {
      const int32_t state = entry.filter->State();
      unsigned char bytes[sizeof(state)];
      std::memcpy(bytes, &state, sizeof(state));
      hash.Generate(bytes, sizeof(bytes));
    }
  }

  const kaBuffer2& buffer = *input;
  const int64_t dirtiedTime = buffer.DirtiedTime();
  const int32_t width = buffer.Width();
  const int32_t height = buffer.Height();
  const int32_t upsideDown = buffer.BufferIsUpsideDown() ? 1 : 0;
  const uint64_t address = reinterpret_cast<uintptr_t>(input.get());
  static_assert(sizeof(dirtiedTime) + sizeof(width) + sizeof(height) + sizeof(upsideDown) +
                    sizeof(address) == kInputBlockBytes);

  unsigned char block[kInputBlockBytes];
  std::memcpy(block + 0, &dirtiedTime, sizeof(dirtiedTime));
  std::memcpy(block + 8, &width, sizeof(width));
  std::memcpy(block + 12, &height, sizeof(height));
  std::memcpy(block + 16, &upsideDown, sizeof(upsideDown));
  std::memcpy(block + 20, &address, sizeof(address));
  hash.Generate(block, sizeof(block));
  return hash.Complete();
}

// The time before which entries are too old, or nothing when now − maxAge lies
// before the clock's range (no entry is that old). A negative maxAge whose
// cutoff lies beyond the clock's range gives the largest time point, before
// which every entry lies.
std::optional<kaVideoFilterManager::Clock::time_point> AgeCutoff(
    kaVideoFilterManager::Clock::time_point now, const std::optional<std::chrono::seconds>& maxAge) {
  using Clock = kaVideoFilterManager::Clock;
  using Duration = Clock::duration;
  static_assert(std::is_signed_v<Duration::rep>);
  if (!maxAge) return now - std::chrono::duration_cast<Duration>(kaVideoFilterManager::kDefaultMaxAge);

  constexpr Duration::rep kTicksPerSecond = Duration::period::den / Duration::period::num;
  static_assert(Duration::period::den % Duration::period::num == 0);
  const Duration::rep seconds = static_cast<Duration::rep>(maxAge->count());
  Duration::rep limit = 0;
  Duration::rep cutoff = 0;
  if (__builtin_mul_overflow(seconds, kTicksPerSecond, &limit) ||
      __builtin_sub_overflow(now.time_since_epoch().count(), limit, &cutoff)) {
    if (seconds > 0) return std::nullopt;
    return Clock::time_point::max();
  }
  return Clock::time_point(Duration(cutoff));
}

}  // namespace

kaVideoFilterManager::~kaVideoFilterManager() = default;

kaVideoFilterManager::NowFunction kaVideoFilterManager::SetClockForTesting(NowFunction now) {
  return gNowForTesting.exchange(now, std::memory_order_acq_rel);
}

kaVideoFilterManager::Clock::time_point kaVideoFilterManager::Now() {
  const NowFunction now = gNowForTesting.load(std::memory_order_acquire);
  return now ? now() : Clock::now();
}

std::shared_ptr<kaBuffer2> kaVideoFilterManager::RunVideoFilterGraph(
    kaDiscreteRenderGraph::Node& node, const std::shared_ptr<kaBuffer2>& input,
    xCUnknown& /*context*/, kaOutputDevice& device, const std::shared_ptr<kaBufferGroup2>& group) {
  // The filters take the group itself by reference; without one nothing can run.
  if (!group) return {};

  // An empty `input` still runs the chain, with an empty input texture; only
  // the store needs its fields for the key.
  std::shared_ptr<luXITexture> texture =
      QueryShared<luXITexture>(input.get(), luXITexture::kInterfaceName);
  std::shared_ptr<kaBuffer2> result;
  bool cacheable = true;

  // No lock here: filters are host code and may take as long as they need.
  for (kaDiscreteRenderGraph::Node::FilterEntry& entry : node.Filters()) {
    // An entry whose object is no image filter is skipped altogether; it does
    // not even make the chain uncacheable.
    const std::shared_ptr<kaXIImageFilter> filter =
        QueryShared<kaXIImageFilter>(entry.filter.get(), kaXIImageFilter::kInterfaceName);
    if (!filter) continue;

    std::shared_ptr<kaBuffer2> output =
        filter->Render(entry.settings, entry.renderState, texture, *group, device, group);
    // An empty output leaves the next filter the texture it would have had.
    if (output) texture = QueryShared<luXITexture>(output.get(), luXITexture::kInterfaceName);
    if (entry.identity.empty()) cacheable = false;
    result = std::move(output);
  }

  // The store comes after the whole chain, so a host filter that throws
  // leaves the cache unchanged.
  if (!cacheable || !input) return result;

  std::string key = HashForNode(node, input);
  if (!result) return result;

  // The entry this store replaces, released once the lock is let go.
  std::shared_ptr<kaBuffer2> replaced;
  {
    zMutexGuard lock(cacheLock_);
    const Clock::time_point now = Now();
    auto [slot, inserted] = cache_.try_emplace(std::move(key), now, result);
    if (!inserted) {
      replaced = std::move(slot->second.second);
      slot->second = Entry(now, result);
    }
  }
  return result;
}

std::shared_ptr<kaBuffer2> kaVideoFilterManager::LocateCachedBufferForFilterGraph(
    const kaDiscreteRenderGraph::Node& node, const std::shared_ptr<kaBuffer2>& input) {
  for (const kaDiscreteRenderGraph::Node::FilterEntry& entry : node.Filters()) {
    if (entry.identity.empty()) return {};
  }
  if (!input) return {};

  const std::string key = HashForNode(node, input);
  zMutexGuard lock(cacheLock_);
  auto found = cache_.find(key);
  if (found == cache_.end()) return {};
  // A hit counts as a use: it keeps the entry young for housekeeping.
  found->second.first = Now();
  return found->second.second;
}

int64_t kaVideoFilterManager::CacheSize() const {
  zMutexGuard lock(cacheLock_);
  return CacheSizeLocked();
}

int64_t kaVideoFilterManager::CacheSizeLocked() const {
  int64_t total = 0;
  for (const auto& [key, entry] : cache_) {
    const kaBuffer2* buffer = entry.second.get();
    if (!buffer) continue;
    const int64_t height = buffer->Height();
    const int64_t rowBytes = buffer->BytesPerRow();
    if (height <= 0 || rowBytes <= 0) continue;
    // An image without rows or row bytes counts 0. Both factors are below
    // 2^31, so the product fits; the sum saturates at INT64_MAX.
    if (__builtin_add_overflow(total, height * rowBytes, &total)) {
      return std::numeric_limits<int64_t>::max();
    }
  }
  return total;
}

void kaVideoFilterManager::RemoveOldestCacheEntry() {
  std::vector<std::shared_ptr<kaBuffer2>> released;
  {
    zMutexGuard lock(cacheLock_);
    RemoveOldestCacheEntryLocked(released);
  }
}

void kaVideoFilterManager::RemoveOldestCacheEntryLocked(
    std::vector<std::shared_ptr<kaBuffer2>>& released) {
  // Among equal stamps, the first met in the walk goes.
  if (cache_.empty()) return;
  auto oldest = cache_.begin();
  for (auto it = std::next(oldest); it != cache_.end(); ++it) {
    if (it->second.first < oldest->second.first) oldest = it;
  }
  released.push_back(std::move(oldest->second.second));
  cache_.erase(oldest);
}

void kaVideoFilterManager::PerformCacheHousekeeping(
    const std::optional<std::chrono::seconds>& maxAge) {
  // An entry exactly at the cutoff stays. A maxAge too large to subtract from
  // now removes nothing by age.
  const Clock::time_point now = Now();
  const std::optional<Clock::time_point> cutoff = AgeCutoff(now, maxAge);

  // Buffers of removed entries, released after the lock is let go. Allocates
  // only when something is removed.
  std::vector<std::shared_ptr<kaBuffer2>> released;
  {
    zMutexGuard lock(cacheLock_);
    if (cutoff) {
      for (auto it = cache_.begin(); it != cache_.end();) {
        if (it->second.first < *cutoff) {
          released.push_back(std::move(it->second.second));
          it = cache_.erase(it);
        } else {
          ++it;
        }
      }
    }
    // The last entry is never removed for size, so one result larger than
    // the bound still caches. Exactly kMaxCacheBytes is accepted.
    if (cache_.size() >= 2) {
      while (cache_.size() > 1 && CacheSizeLocked() > kMaxCacheBytes) {
        RemoveOldestCacheEntryLocked(released);
      }
    }
  }
}

size_t kaVideoFilterManager::EntryCountForTesting() const {
  zMutexGuard lock(cacheLock_);
  return cache_.size();
}
