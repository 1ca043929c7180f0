// The buffer group's statistics report, idle-bytes cap and diagnostic hooks.
// Exported for the host; nothing inside the library calls them.
#include <string>

#include <fmt/format.h>

#include "buffers/kaBufferGroup2.h"
#include "foundation/internal/zTrace.h"

namespace {

// Whole mebibytes, rounded down.
constexpr unsigned kBytesToMebibytesShift = 20;

void TraceBorder() { zTrace("+{:-<14}+{:-<12}+{:-<12}+{:-<12}+\n", "", "", "", ""); }

// "n/a" before the first request, else the share of requests served from a
// bucket as a percentage with two decimals. Should hits + misses overflow 64
// bits the share is taken over the true sum, so it never exceeds 100%.
std::string HitText(uint64_t hits, uint64_t misses) {
  if (hits == 0 && misses == 0) return "n/a";
  uint64_t requests = 0;
  const double total = __builtin_add_overflow(hits, misses, &requests)
                           ? static_cast<double>(hits) + static_cast<double>(misses)
                           : static_cast<double>(requests);
  return fmt::format("{:1.2f}%", static_cast<double>(hits) / total * 100.0);
}

}  // namespace

kaCacheStatistics kaBufferGroup2::GetStatistics() const {
  if (!cache) return {};
  return cache->Statistics();
}

long kaBufferGroup2::Debug_CountOfCachedBuffers(const veMediaRecord& format, unsigned long size) {
  if (!cache) return -1;
  return cache->CountOfCachedBuffers(format, size);
}

void kaBufferGroup2::SetMaxIdleBytes(uint64_t bytes) {
  if (cache) cache->SetMaxIdleBytes(bytes);
}

void kaBufferGroup2::Debug_RecycleBuffersWithAge(std::chrono::steady_clock::time_point cutoff) {
  if (cache) cache->SweepIdleBuffersOlderThan(cutoff);
}

void kaBufferGroup2::TraceBufferStatistics(const std::vector<std::pair<const char*, kaCacheStatistics>>& groups) {
  TraceBorder();
  zTrace("|{:<13} | {:>10} | {:>10} | {:>10} |\n", "", "BufferHW", "MemoryHW", "Hit %");
  TraceBorder();
  for (const auto& group : groups) {
    // Named copies rather than a structured binding: lambdas may not capture
    // structured bindings before clang 16, and the sanitizer builds use clang.
    const char* const label = group.first;
    const kaCacheStatistics& statistics = group.second;
    // Every part of a row is made inside the guard, so a failing label or
    // number turns only this row into the fallback text.
    zTraceGuarded([&] {
      const std::string memory = fmt::format("{} MB", statistics.peakLiveBytes >> kBytesToMebibytesShift);
      const std::string hitText = HitText(statistics.hits, statistics.misses);
      // {fmt} reads a C string up to its end, so a null label would crash it.
      const char* const text = label ? label : "";
      return fmt::format(fmt::runtime("|{:>13} | {:>10} | {:>10} | {:>10} |\n"), text, statistics.peakLiveBuffers,
                         memory, hitText);
    });
  }
  TraceBorder();
}
