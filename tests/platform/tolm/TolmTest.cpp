// The foundation stand-in (libtolm) as the library relies on it: reference
// counts under concurrent use, records against their model, string keys, the
// clock and its test hook, the shared-pointer pool and MD5. Interface lookup
// is checked on the library's objects (tests/badinput), locks and zRefCount
// under ThreadSanitizer by the stress test. At exit no xCUnknown object may
// be alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

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
  // From RFC 1321's suite, then runs of 'a' at the padding limit (55 bytes
  // fit the length into their block, 56 need another).
  const std::pair<std::string, const char*> kVectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"}};
  for (const auto& [text, digest] : kVectors) {
    for (size_t piece : {1, 3, 55, 64, 65}) EXPECT_EQ(Md5(text, piece), digest) << text.size() << "/" << piece;
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

// Names first used by four threads at once: one stable id per name, and a
// name for each id. That a known name costs no allocation is proven on the
// audio cue path, which tags every buffer by name (tests/perf).
TEST(zRecordTest, StringKeysInternedFromSeveralThreadsGetOneStableIdEach) {
  constexpr int kThreads = 4, kNames = 200;
  auto name = [](int n) { return "channel_selection_" + std::to_string(n); };
  std::vector<std::vector<zKey>> ids(kThreads, std::vector<zKey>(kNames));
  OnThreads(kThreads, [&](int t) {
    for (int n = 0; n < kNames; ++n) ids[t][n] = zRecord::KeyForString(name(n).c_str());
  });
  std::set<zKey> distinct;
  for (int n = 0; n < kNames; ++n) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(ids[t][n], ids[0][n]) << n;
    const char* text = zRecord::StringForKey(ids[0][n]);
    EXPECT_EQ(std::string(text ? text : ""), name(n));
    EXPECT_TRUE(zRecord::IsStringKey(ids[0][n]) && distinct.insert(ids[0][n]).second);
  }
  zRecord record;
  EXPECT_TRUE(record.SetInt32("channel_selection_7", 4));
  EXPECT_EQ(record.AsInt32(ids[0][7], 0) + record.AsInt32("a_key_that_nobody_interned", -1), 3);
}

// Counts its destructions. While `parks` > 0 it survives its count reaching
// zero by adding a reference back, as a recycled buffer does.
struct Counted : xCUnknown {
  Counted(std::atomic<int>* destroyed, int parks) : destroyed(destroyed), parks(parks) {}
  ~Counted() override { destroyed->fetch_add(1); }
  void DeleteObject() override {
    if (parks > 0 && parks--) return (void)Concrete_AddRef();
    delete this;
  }
  std::atomic<int>* destroyed;
  int parks;
};

// Four threads take and give back references meanwhile, then their last
// releases race. Exactly one of them runs DeleteObject, once; one that parks
// leaves the object alive with one reference.
TEST(xCUnknownTest, ConcurrentAddRefAndReleaseKeepCountsExactAndDeleteOnce) {
  std::atomic<int> destroyed{0};
  for (int round = 0; round < 200; ++round) {
    auto* counted = new Counted(&destroyed, round % 2);
    for (int t = 1; t < 4; ++t) counted->AddRef();
    OnThreads(4, [counted](int) {
      for (int i = 0; i < 100; ++i) counted->AddRef(), counted->Release();
      counted->Release();
    });
    EXPECT_TRUE(round % 2 == 0 || (counted->RefCountForTesting() == 1 && counted->Release() == 0)) << round;
  }
  EXPECT_EQ(destroyed.load(), 200);
}

// Four threads take and give back blocks; one handed to two owners at once
// would show another thread's pattern.
TEST(zSharedPtrTest, ConcurrentOwnersNeverShareAPoolBlock) {
  std::atomic<int> shared{0};
  OnThreads(4, [&shared](int t) {
    constexpr std::ptrdiff_t kSize = zSharedPtrPool::kBlockSize;
    unsigned char* held[16];
    for (int round = 0; round < 2000; ++round) {
      for (auto*& block : held) block = static_cast<unsigned char*>(zSharedPtrPool::Allocate());
      for (auto* block : held) std::memset(block, t + 1, kSize);
      for (auto* block : held) shared += std::count(block, block + kSize, t + 1) != kSize;
      for (auto* block : held) zSharedPtrPool::Free(block);
    }
  });
  EXPECT_EQ(shared, 0);
}

// Test clocks nest, add up advances from several threads, and give the
// monotonic clock back when the last one goes.
TEST(zTimeTest, TestClocksNestAddUpAdvancesFromSeveralThreadsAndGiveBackTheMonotonicClock) {
  {
    zTestClock outer(500);
    OnThreads(4, [&outer](int) {
      for (int i = 0; i < 10000; ++i) outer.Advance(3);
    });
    EXPECT_EQ((zTestClock(-7), zTime::MicroNow()), -7);  // installed for this statement only
    EXPECT_EQ(zTime::MicroNow(), 120'500);
  }
  EXPECT_GT(zTime::MicroNow(), 120'500) << "the monotonic clock is back";
}

}  // namespace
