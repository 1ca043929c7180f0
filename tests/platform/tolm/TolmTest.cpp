// The foundation stand-in (libtolm) as the library relies on it: reference
// counts and interface lookup, records against their model, string keys, the
// clock and its test hook, locks, MD5, and the allocation counter that every
// steady-state test trusts. At exit no xCUnknown object may be alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <set>
#include <thread>

#include "support/AllocationCounter.h"
#include "support/RecordModel.h"
#include "tolm/tolm.h"

namespace {

class NoLiveObjectsAtExit : public ::testing::Environment {
  void TearDown() override { EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), 0) << "xCUnknown objects leaked"; }
};
[[maybe_unused]] auto* const kNoLiveObjectsAtExit = ::testing::AddGlobalTestEnvironment(new NoLiveObjectsAtExit);

// Runs body(t) for t in [0, threads) on that many threads and joins them.
template <class F>
void OnThreads(int threads, F body) {
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(body, t);
  for (auto& thread : pool) thread.join();
}

// Stores `p` where the optimiser must assume it is read, so that a new and
// delete pair cannot be left out.
void* volatile gSink = nullptr;
template <class T>
T* Keep(T* p) { return gSink = p, p; }

TEST(AllocationCounterTest, CountsEveryFormOfOperatorNewAndMalloc) {
  AllocationCounter counter;
  struct alignas(128) Wide { char bytes[128]; };
  delete Keep(new int(1));
  delete[] Keep(new int[4]);
  delete Keep(new (std::nothrow) char);
  delete Keep(new Wide);
  EXPECT_EQ(std::pair(counter.Allocations(), counter.Deallocations()), std::pair(int64_t{4}, int64_t{4}));
  if (!AllocationCounter::MallocIsCounted()) GTEST_SKIP() << "sanitizer build: operator new only";
  counter.Reset();
  std::free(std::realloc(Keep(std::malloc(10)), 1000));
  std::free(Keep(std::calloc(3, 8)));
  void* aligned = nullptr;
  ASSERT_EQ(posix_memalign(&aligned, 64, 100), 0);
  std::free(aligned);
  EXPECT_EQ(std::pair(counter.Allocations(), counter.Deallocations()), std::pair(int64_t{4}, int64_t{3}));
}

// Feeds `text` in pieces, with null data between them (no bytes) and the
// context continued from a byte copy after the first piece: the render hash
// keeps contexts by value.
std::string Md5(const std::string& text, size_t piece) {
  zMD5Context first, second, *context = &first;
  zMD5Init(context);
  for (size_t at = 0; at < text.size(); at += piece) {
    zMD5Update(context, text.data() + at, static_cast<uint32_t>(std::min(piece, text.size() - at)));
    zMD5Update(context, nullptr, 100);
    if (at > 0) continue;
    context = static_cast<zMD5Context*>(std::memcpy(&second, &first, sizeof first));
    std::memset(&first, 0xEE, sizeof first);
  }
  zMD5Update(nullptr, "x", 1);
  zMD5Final(context);
  char hex[33];
  zMD5String(context, hex);
  return hex;
}

TEST(zMD5Test, MatchesReferenceDigestsFedInPiecesOfAnySize) {
  // RFC 1321's suite, then runs of 'a' around the padding limit (55 bytes fit
  // the length into their block, 56 need another) and the 64-byte block.
  const std::pair<std::string, const char*> kVectors[] = {{"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"}, {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"}, {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"}, {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"}, {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"}};
  for (const auto& [text, digest] : kVectors) {
    for (size_t piece : {1, 3, 55, 63, 64, 65, 4096}) EXPECT_EQ(Md5(text, piece), digest) << text.size() << "/" << piece;
  }
}

// Typed setters and getters with their conversions at the edge values, copies
// in every mode, fixed fields, removal and Equals, all against the model.
TEST(zRecordTest, AgreesWithTheReferenceModelOverSeededScripts) {
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    recordmodel::SeededInput input(seed);
    const std::string failure = recordmodel::RunRecordScript(input, 300);
    ASSERT_TRUE(failure.empty()) << "seed " << seed << ": " << failure;
  }
}

// Names first used by four threads at once, half of them walking backwards
// so that first uses race: one stable id per name, and no allocation later.
TEST(zRecordTest, StringKeysInternedFromSeveralThreadsGetOneIdAndCostNoAllocationLater) {
  constexpr int kThreads = 4, kNames = 200;
  std::vector<std::vector<zKey>> ids(kThreads, std::vector<zKey>(kNames));
  OnThreads(kThreads, [&ids](int t) {
    for (int i = 0, n = t % 2 ? kNames - 1 : 0; i < kNames; ++i, n += t % 2 ? -1 : 1)
      ids[t][n] = zRecord::KeyForString(("channel_selection_" + std::to_string(n)).c_str());
  });
  std::set<zKey> distinct;
  for (int n = 0; n < kNames; ++n) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(ids[t][n], ids[0][n]) << n;
    const char* text = zRecord::StringForKey(ids[0][n]);
    EXPECT_EQ(std::string(text ? text : ""), "channel_selection_" + std::to_string(n));
    EXPECT_TRUE(zRecord::IsStringKey(ids[0][n]) && distinct.insert(ids[0][n]).second);
  }
  for (zKey unknown : {zKey{zFourCC("dura")}, (1ull << 63) | 0xffffffffull}) EXPECT_EQ(zRecord::StringForKey(unknown), nullptr);
  EXPECT_FALSE(zRecord::IsStringKey(zFourCC("dura")) || zRecord::KeyForString("") || zRecord::KeyForString(nullptr));
  zRecord record;
  record.SetInt32(ids[0][7], 3);  // the entry exists: changing it must not allocate
  AllocationCounter counter;
  EXPECT_EQ(zRecord::KeyForString("channel_selection_7"), ids[0][7]);
  EXPECT_TRUE(record.SetInt32("channel_selection_7", 4));
  EXPECT_EQ(record.AsInt32(ids[0][7], 0) + record.AsInt32("a_key_that_nobody_interned", -1), 3);
  EXPECT_EQ(counter.Allocations(), 0);
}

// Counts its destructions. While `parks` > 0 it survives its count reaching
// zero by adding a reference back, as a recycled buffer does; with `parks` < 0
// it never dies.
struct Counted : xCUnknown {
  explicit Counted(std::atomic<int>* destroyed, int parks = 0) : destroyed(destroyed), parks(parks) {}
  ~Counted() override { destroyed->fetch_add(1); }
  void DeleteObject() override {
    ++deletes;
    if (parks > 0 && parks--) return (void)Concrete_AddRef();
    if (parks == 0) delete this;
  }
  std::atomic<int>* destroyed;
  int parks, deletes = 0;
};

TEST(xCUnknownTest, CountsReferencesAnswersInterfacesAndRunsDeleteObjectOnceAtZero) {
  std::atomic<int> destroyed{0};
  auto* object = new Counted(&destroyed, 1);
  void* out = nullptr;
  ASSERT_TRUE(object->QueryInterface("xIUnknown", &out) == 0 && out == static_cast<xIUnknown*>(object));
  EXPECT_EQ(object->QueryInterface("xIUnknown", nullptr), 0);  // answers without adding a reference
  for (const char* name : {"xIUnknow", "xIUnknownX", "xiunknown", static_cast<const char*>(nullptr)}) {
    out = object;
    EXPECT_EQ(std::pair(object->QueryInterface(name, &out), out), std::pair(-1, static_cast<void*>(nullptr))) << name;
  }
  EXPECT_EQ(std::pair(object->GetInterface(nullptr, &out), out), std::pair(-1, static_cast<void*>(nullptr)));
  EXPECT_EQ(object->AddRef(), 3);
  EXPECT_EQ(static_cast<xIUnknown*>(object)->Release(), 2);  // the interface's reference, given back through it
  EXPECT_EQ(object->Release() + object->Release(), 1);        // parked at zero: alive again with one reference
  EXPECT_TRUE(object->RefCountForTesting() == 1 && object->Release() == 0);
  Counted undying(&destroyed, -1);
  EXPECT_EQ(undying.Release() + undying.Release(), 0);  // a stray release at zero is ignored
  EXPECT_EQ(std::pair(undying.deletes, destroyed.load()), std::pair(1, 1));
}

struct CountedRef : zRefCount {
  explicit CountedRef(std::atomic<int>* destroyed) : destroyed(destroyed) {}
  ~CountedRef() override { destroyed->fetch_add(1); }
  std::atomic<int>* destroyed;
};

TEST(xCUnknownTest, ConcurrentAddRefAndReleaseKeepCountsExactAndDeleteOnce) {
  std::atomic<int> destroyed{0}, destroyedRefs{0};
  auto* object = new Counted(&destroyed);
  OnThreads(4, [object](int) { for (int i = 0; i < 20000; ++i) object->AddRef(), object->Release(); });
  EXPECT_EQ(object->Release(), 0);
  for (int round = 0; round < 200; ++round) {  // last releases race: one deletes, for both bases
    auto* counted = new Counted(&destroyed);
    auto* ref = new CountedRef(&destroyedRefs);
    for (int t = 1; t < 4; ++t) counted->AddRef(), ref->AddRef();
    OnThreads(4, [counted, ref](int) { counted->Release(), ref->Release(); });
  }
  EXPECT_EQ(std::pair(destroyed.load(), destroyedRefs.load()), std::pair(201, 200));
}

// Four threads take and give back blocks; one handed to two owners at once
// would show another thread's pattern. When the threads end, their blocks
// go to the shared list, which keeps a bounded number.
TEST(zSharedPtrTest, ConcurrentOwnersNeverShareAPoolBlockAndEndedThreadsGiveTheirsBack) {
  std::vector<void*> drained;  // empties the shared list and this thread's own
  while (zSharedPtrPool::IdleBlocksForTesting() > 0) drained.push_back(zSharedPtrPool::Allocate());
  std::atomic<int> shared{0};
  OnThreads(4, [&shared](int t) {
    constexpr size_t kSize = zSharedPtrPool::kBlockSize;
    unsigned char* held[16];
    for (int round = 0; round < 2000; ++round) {
      for (auto*& block : held) std::memset(block = static_cast<unsigned char*>(zSharedPtrPool::Allocate()), t + 1, kSize);
      for (auto* block : held) shared += std::count(block, block + kSize, t + 1) != static_cast<std::ptrdiff_t>(kSize);
      for (auto* block : held) zSharedPtrPool::Free(block);
    }
  });
  EXPECT_EQ(shared, 0);
  // A thread that starts after another ended may reuse its blocks: 16 to 64 come back.
  EXPECT_TRUE(zSharedPtrPool::IdleBlocksForTesting() >= 16u && zSharedPtrPool::IdleBlocksForTesting() <= 64u);
  for (int i = 0; i < 5000; ++i) drained.push_back(zSharedPtrPool::Allocate());
  for (void* block : drained) zSharedPtrPool::Free(block);
  EXPECT_TRUE(zSharedPtrPool::IdleBlocksForTesting() >= 4096u - 64 && zSharedPtrPool::IdleBlocksForTesting() <= 4096u);
}

TEST(zTimeTest, SecondsToMicroTruncatesTowardZeroAndSaturates) {
  const std::pair<double, int64_t> kCases[] = {{1.5, 1'500'000}, {-1.5, -1'500'000}, {0.0000019, 1}, {-0.0000019, -1},
      {0.0000009, 0}, {9e12, 9'000'000'000'000'000'000}, {1e13, INT64_MAX}, {-1e13, INT64_MIN}, {HUGE_VAL, INT64_MAX},
      {-HUGE_VAL, INT64_MIN}, {std::numeric_limits<double>::max(), INT64_MAX}, {std::nan(""), 0}};
  for (const auto& [seconds, micros] : kCases) EXPECT_EQ(zTime::SecondsToMicro(seconds), micros) << seconds;
}

// Test clocks nest, add up advances from several threads, and give the
// monotonic clock back when the last one goes.
TEST(zTimeTest, TestClocksNestAddUpAdvancesFromSeveralThreadsAndGiveBackTheMonotonicClock) {
  {
    zTestClock outer(500);
    OnThreads(4, [&outer](int) { for (int i = 0; i < 10000; ++i) outer.Advance(3); });
    EXPECT_EQ((zTestClock(-7), zTime::MicroNow()), -7);  // installed for this statement only
    EXPECT_EQ(zTime::MicroNow(), 120'500);
  }
  auto monotonic = [] { timespec t{}; return clock_gettime(CLOCK_MONOTONIC, &t), t.tv_sec * 1'000'000 + t.tv_nsec / 1000; };
  const int64_t before = monotonic(), now = zTime::MicroNow();
  EXPECT_TRUE(before <= now && now <= monotonic()) << now;
}

// Plain counters changed under the lock, entered twice: a lost update or a
// torn pair shows a missing exclusion, and ThreadSanitizer reports the race.
TEST(zCriticalTest, ReentrantLockExcludesOtherThreads) {
  zCriticalPtr lock(zCritical::Factory(1));
  ASSERT_NE(lock, nullptr);
  int64_t counter = 0, shadow = 0;
  bool torn = false;
  OnThreads(4, [&](int) Z_NO_THREAD_SAFETY_ANALYSIS {
    for (int i = 0; i < 20000; ++i) {
      zCriticalGuard outer(lock.get());
      ++counter;
      zCriticalGuard inner(lock.get());  // a lock that is not re-entrant hangs here
      torn = torn || ++shadow != counter;
    }
  });
  EXPECT_EQ(std::pair(counter, torn), std::pair(int64_t{80000}, false));
}

}  // namespace
