#include "filters/kaVideoFilterManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "support/TestImageFilter.h"
#include "support/TestTexture.h"

namespace {

using namespace std::chrono_literals;
using Behaviour = TestImageFilter::Behaviour;
using Node = kaDiscreteRenderGraph::Node;

// The manager's clock while a test runs: moves only when the test says so.
std::atomic<int64_t> gNowNs{0};
kaVideoFilterManager::Clock::time_point ManualNow() {
  return kaVideoFilterManager::Clock::time_point(std::chrono::nanoseconds(gNowNs.load()));
}

constexpr int64_t kStartNs = 1'000'000'000'000;  // 1000 s after the clock's epoch
constexpr int32_t kMiB = 1 << 20;

class kaVideoFilterManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    liveAtStart_ = xCUnknown::LiveObjectsForTesting();
    gNowNs = kStartNs;
    previousClock_ = kaVideoFilterManager::SetClockForTesting(&ManualNow);
    group_ = zNewSharedPtr<kaBufferGroup2>();
    ASSERT_TRUE(group_);
    manager_ = group_->VideoFilterManager();
    ASSERT_TRUE(manager_);
  }

  void TearDown() override {
    storedInputs_.clear();
    manager_.reset();
    group_.reset();
    kaVideoFilterManager::SetClockForTesting(previousClock_);
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart_) << "objects left alive";
  }

  static void Advance(std::chrono::nanoseconds by) { gNowNs += by.count(); }

  std::shared_ptr<kaBuffer2> Run(Node& node, const std::shared_ptr<kaBuffer2>& input) {
    return manager_->RunVideoFilterGraph(node, input, *group_, device_, group_);
  }
  std::shared_ptr<kaBuffer2> Locate(const Node& node, const std::shared_ptr<kaBuffer2>& input) {
    return manager_->LocateCachedBufferForFilterGraph(node, input);
  }

  // A node of one filter that returns `output`, with identity `identity`.
  static Node OneFilterNode(const std::shared_ptr<TestImageFilter>& filter, const std::string& identity) {
    Node node;
    AddFilterEntry(node, filter, identity);
    return node;
  }

  // Caches an output of height × rowBytes bytes for a fresh input, which the
  // fixture keeps alive (a freed input's address could come back and hit the
  // same key); returns it so the test can look the entry up.
  std::shared_ptr<kaBuffer2> StoreEntry(int32_t height, int32_t rowBytes, Node* nodeOut = nullptr) {
    auto filter = TestImageFilter::Make();
    filter->SetOutput(MakePlainVideoBuffer(16, height, rowBytes));
    Node node = OneFilterNode(filter, "sized");
    auto input = MakePlainVideoBuffer(16, 16, 64);
    storedInputs_.push_back(input);
    EXPECT_TRUE(Run(node, input));
    if (nodeOut) *nodeOut = node;
    return input;
  }

  int64_t liveAtStart_ = 0;
  kaVideoFilterManager::NowFunction previousClock_ = nullptr;
  std::shared_ptr<kaBufferGroup2> group_;
  std::shared_ptr<kaVideoFilterManager> manager_;
  kaOutputDevice device_{3};
  std::vector<std::shared_ptr<kaBuffer2>> storedInputs_;
};

// ---- running chains ---------------------------------------------------------

TEST_F(kaVideoFilterManagerTest, NodeWithoutEntriesGivesNothingAndStoresNothing) {
  Node node;
  auto input = TestTexture::Make(8, 8, 32);
  EXPECT_FALSE(Run(node, input));
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
  EXPECT_FALSE(Locate(node, input));
}

TEST_F(kaVideoFilterManagerTest, EntryWithoutFilterObjectIsSkipped) {
  Node node;
  AddFilterEntry(node, nullptr, "nothing");
  auto input = TestTexture::Make(8, 8, 32);
  EXPECT_FALSE(Run(node, input));
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
}

TEST_F(kaVideoFilterManagerTest, ObjectThatIsNoImageFilterDoesNotMakeTheChainUncacheable) {
  auto notAFilter = TestImageFilter::Make();
  notAFilter->SetAnswersImageFilter(false);
  auto filter = TestImageFilter::Make();
  auto output = MakePlainVideoBuffer(8, 8, 32);
  filter->SetOutput(output);

  Node node;
  AddFilterEntry(node, notAFilter, "");  // skipped: its empty identity does not count
  AddFilterEntry(node, filter, "blur");
  auto input = TestTexture::Make(8, 8, 32);

  EXPECT_EQ(Run(node, input), output);
  EXPECT_EQ(notAFilter->RenderCount(), 0);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);
  // The lookup looks at every entry: the empty identity makes it miss, so the
  // stored entry can only leave through housekeeping.
  EXPECT_FALSE(Locate(node, input));
}

TEST_F(kaVideoFilterManagerTest, FilterReceivesTheEntryBlocksGroupAndDevice) {
  auto filter = TestImageFilter::Make();
  Node node = OneFilterNode(filter, "a");
  auto input = TestTexture::Make(8, 8, 32);
  Run(node, input);

  ASSERT_EQ(filter->RenderCount(), 1);
  const TestImageFilter::LastCall last = filter->Last();
  EXPECT_EQ(last.settings, &node.Filters()[0].settings);
  EXPECT_EQ(last.renderState, &node.Filters()[0].renderState);
  EXPECT_EQ(last.texture, input->Texture());
  EXPECT_EQ(last.group, group_.get());
  EXPECT_EQ(last.groupPointer, &group_);
  EXPECT_EQ(last.device, &device_);
}

TEST_F(kaVideoFilterManagerTest, TextureFollowsTheOutputsAlongTheChain) {
  auto first = TestImageFilter::Make();
  auto second = TestImageFilter::Make(Behaviour::kReturnEmpty);
  auto third = TestImageFilter::Make();
  auto fourth = TestImageFilter::Make();
  auto textured = TestTexture::Make(8, 8, 32);
  first->SetOutput(textured);
  third->SetOutput(MakePlainVideoBuffer(8, 8, 32));  // an output without a texture
  auto last = TestTexture::Make(8, 8, 32);
  fourth->SetOutput(last);

  Node node;
  AddFilterEntry(node, first, "1");
  AddFilterEntry(node, second, "2");
  AddFilterEntry(node, third, "3");
  AddFilterEntry(node, fourth, "4");
  auto input = TestTexture::Make(8, 8, 32);

  EXPECT_EQ(Run(node, input), last);
  EXPECT_EQ(first->Last().texture, input->Texture());
  EXPECT_EQ(second->Last().texture, textured->Texture());
  // An empty output leaves the texture as it was.
  EXPECT_EQ(third->Last().texture, textured->Texture());
  // An output without the interface gives the next filter no texture.
  EXPECT_EQ(fourth->Last().texture, nullptr);
}

TEST_F(kaVideoFilterManagerTest, InputWithoutTextureGivesTheFirstFilterNone) {
  auto filter = TestImageFilter::Make();
  filter->SetOutput(MakePlainVideoBuffer(8, 8, 32));
  Node node = OneFilterNode(filter, "a");
  auto input = MakePlainVideoBuffer(8, 8, 32);
  EXPECT_TRUE(Run(node, input));
  EXPECT_EQ(filter->RenderCount(), 1);
  EXPECT_EQ(filter->Last().texture, nullptr);
}

TEST_F(kaVideoFilterManagerTest, LastFilterWithoutOutputEmptiesTheResult) {
  auto first = TestImageFilter::Make();
  first->SetOutput(MakePlainVideoBuffer(8, 8, 32));
  auto second = TestImageFilter::Make(Behaviour::kReturnEmpty);
  Node node;
  AddFilterEntry(node, first, "1");
  AddFilterEntry(node, second, "2");
  auto input = TestTexture::Make(8, 8, 32);

  EXPECT_FALSE(Run(node, input));
  EXPECT_EQ(second->RenderCount(), 1);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
}

TEST_F(kaVideoFilterManagerTest, FilterWithEmptyIdentityMakesTheResultUncached) {
  auto filter = TestImageFilter::Make();
  auto output = MakePlainVideoBuffer(8, 8, 32);
  filter->SetOutput(output);
  Node node = OneFilterNode(filter, "");
  auto input = TestTexture::Make(8, 8, 32);

  EXPECT_EQ(Run(node, input), output);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
  EXPECT_EQ(filter->StateQueries(), 0) << "no key is made for an uncacheable chain";
}

TEST_F(kaVideoFilterManagerTest, EmptyInputRunsTheChainButCachesNothing) {
  auto filter = TestImageFilter::Make();
  auto output = MakePlainVideoBuffer(8, 8, 32);
  filter->SetOutput(output);
  Node node = OneFilterNode(filter, "a");

  EXPECT_EQ(Run(node, nullptr), output);
  EXPECT_EQ(filter->RenderCount(), 1);
  EXPECT_EQ(filter->Last().texture, nullptr);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
  EXPECT_FALSE(Locate(node, nullptr));
}

TEST_F(kaVideoFilterManagerTest, EmptyGroupRunsNothing) {
  auto filter = TestImageFilter::Make();
  filter->SetOutput(MakePlainVideoBuffer(8, 8, 32));
  Node node = OneFilterNode(filter, "a");
  auto input = TestTexture::Make(8, 8, 32);

  EXPECT_FALSE(manager_->RunVideoFilterGraph(node, input, *group_, device_, nullptr));
  EXPECT_EQ(filter->RenderCount(), 0);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
}

TEST_F(kaVideoFilterManagerTest, FilterExceptionPropagatesAndLeavesTheCacheAlone) {
  auto good = TestImageFilter::Make();
  auto cached = MakePlainVideoBuffer(8, 8, 32);
  good->SetOutput(cached);
  auto thrower = TestImageFilter::Make(Behaviour::kThrow);
  Node node;
  AddFilterEntry(node, good, "good");
  auto input = TestTexture::Make(8, 8, 32);
  ASSERT_EQ(Run(node, input), cached);
  ASSERT_EQ(manager_->EntryCountForTesting(), 1u);

  // The same node, now ending with a throwing filter: same entry count, and
  // the first entry of the node keeps its cached result.
  AddFilterEntry(node, thrower, "thrower");
  good->SetOutput(MakePlainVideoBuffer(8, 8, 32));
  EXPECT_THROW(Run(node, input), TestImageFilter::Failure);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);
  node.Filters().pop_back();
  EXPECT_EQ(Locate(node, input), cached);
}

// ---- keys and lookups -------------------------------------------------------

TEST_F(kaVideoFilterManagerTest, SameNodeAndInputTwiceStoresOneEntryThatLookupFinds) {
  auto filter = TestImageFilter::Make();
  auto firstOutput = MakePlainVideoBuffer(8, 8, 32);
  filter->SetOutput(firstOutput);
  Node node = OneFilterNode(filter, "a");
  auto input = TestTexture::Make(8, 8, 32);
  input->SetDirtiedTime(1234);

  Run(node, input);
  auto secondOutput = MakePlainVideoBuffer(8, 8, 32);
  filter->SetOutput(secondOutput);
  Run(node, input);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);
  EXPECT_EQ(Locate(node, input), secondOutput) << "the later store replaces the earlier";

  // The replaced output was released by the cache: only the test holds it.
  EXPECT_EQ(firstOutput.use_count(), 1);
  EXPECT_EQ(firstOutput->RefCountForTesting(), 1);
  EXPECT_EQ(filter->RenderCount(), 2) << "a lookup runs no filter";
}

TEST_F(kaVideoFilterManagerTest, EveryPartOfTheKeyTellsInputsApart) {
  auto filter = TestImageFilter::Make();
  filter->SetOutput(MakePlainVideoBuffer(8, 8, 32));
  filter->SetState(7);
  Node node = OneFilterNode(filter, "a");
  auto input = TestTexture::Make(8, 8, 32);
  input->SetDirtiedTime(5000);
  Run(node, input);
  ASSERT_TRUE(Locate(node, input));

  input->SetDirtiedTime(5001);
  EXPECT_FALSE(Locate(node, input)) << "dirtied time";
  input->SetDirtiedTime(5000);
  ASSERT_TRUE(Locate(node, input));

  input->SetWidth(9);
  EXPECT_FALSE(Locate(node, input)) << "width";
  input->SetWidth(8);
  input->SetHeight(9);
  EXPECT_FALSE(Locate(node, input)) << "height";
  input->SetHeight(8);
  input->SetBufferIsUpsideDown(true);
  EXPECT_FALSE(Locate(node, input)) << "upside-down flag";
  input->SetBufferIsUpsideDown(false);
  ASSERT_TRUE(Locate(node, input));

  filter->SetState(8);
  EXPECT_FALSE(Locate(node, input)) << "filter state";
  filter->SetState(7);
  node.Filters()[0].identity = "b";
  EXPECT_FALSE(Locate(node, input)) << "identity";
  node.Filters()[0].identity = "a";
  ASSERT_TRUE(Locate(node, input));

  // The same fields on another object: its address differs.
  auto twin = TestTexture::Make(8, 8, 32);
  twin->SetDirtiedTime(5000);
  EXPECT_FALSE(Locate(node, twin)) << "address";

  // Bytes per row is not part of the key.
  input->SetBytesPerRow(64);
  EXPECT_TRUE(Locate(node, input));
}

TEST_F(kaVideoFilterManagerTest, EntriesWithoutFilterStillAddTheirIdentity) {
  auto filter = TestImageFilter::Make();
  filter->SetOutput(MakePlainVideoBuffer(8, 8, 32));
  Node node;
  AddFilterEntry(node, nullptr, "x");
  AddFilterEntry(node, filter, "y");
  auto input = TestTexture::Make(8, 8, 32);
  Run(node, input);
  ASSERT_TRUE(Locate(node, input));
  node.Filters()[0].identity = "z";
  EXPECT_FALSE(Locate(node, input));
}

TEST_F(kaVideoFilterManagerTest, LookupWithAnyEmptyIdentityMissesWithoutHashing) {
  auto filter = TestImageFilter::Make();
  Node node;
  AddFilterEntry(node, filter, "a");
  AddFilterEntry(node, nullptr, "");
  auto input = TestTexture::Make(8, 8, 32);
  EXPECT_FALSE(Locate(node, input));
  EXPECT_EQ(filter->StateQueries(), 0);
}

TEST_F(kaVideoFilterManagerTest, LookupRefreshesTheEntryTime) {
  Node node;
  auto input = StoreEntry(8, 32, &node);
  Advance(700ms);
  ASSERT_TRUE(Locate(node, input));  // refreshed at 700 ms
  Advance(700ms);                   // 1.4 s after the store, 0.7 s after the hit
  manager_->PerformCacheHousekeeping(std::nullopt);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);
  Advance(51ms);
  manager_->PerformCacheHousekeeping(std::nullopt);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
}

TEST_F(kaVideoFilterManagerTest, CachedBufferStaysValidForItsHolderAfterRemoval) {
  Node node;
  auto input = StoreEntry(8, 32, &node);
  std::shared_ptr<kaBuffer2> held = Locate(node, input);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->RefCountForTesting(), 1) << "the cache shares one reference";
  const long sharers = held.use_count();
  manager_->RemoveOldestCacheEntry();
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
  EXPECT_EQ(held.use_count(), sharers - 1);
  EXPECT_EQ(held->RefCountForTesting(), 1);
  EXPECT_EQ(held->Height(), 8);
}

// ---- size and housekeeping --------------------------------------------------

TEST_F(kaVideoFilterManagerTest, CacheSizeSumsHeightTimesRowBytesIn64Bits) {
  EXPECT_EQ(manager_->CacheSize(), 0);
  StoreEntry(65536, 65536);  // 4 GiB: wraps in 32 bits
  StoreEntry(10, 0);         // no bytes per row: 0
  StoreEntry(-4, 100);       // not a real size: 0
  StoreEntry(3, 7);
  EXPECT_EQ(manager_->CacheSize(), (int64_t{1} << 32) + 21);
}

TEST_F(kaVideoFilterManagerTest, CacheSizeSaturatesInsteadOfWrapping) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  StoreEntry(kMax, kMax);
  StoreEntry(kMax, kMax);
  StoreEntry(kMax, kMax);  // three products of about 2^62 exceed int64
  EXPECT_EQ(manager_->CacheSize(), std::numeric_limits<int64_t>::max());
}

TEST_F(kaVideoFilterManagerTest, HousekeepingKeepsTwoOfThreeHundredMebibyteEntries) {
  Node oldestNode;
  auto oldest = StoreEntry(100, kMiB, &oldestNode);
  Advance(1ms);
  Node middleNode;
  auto middle = StoreEntry(100, kMiB, &middleNode);
  Advance(1ms);
  Node newestNode;
  auto newest = StoreEntry(100, kMiB, &newestNode);

  manager_->PerformCacheHousekeeping(std::nullopt);
  EXPECT_EQ(manager_->CacheSize(), int64_t{200} * kMiB) << "exactly 200 MiB is accepted";
  EXPECT_FALSE(Locate(oldestNode, oldest));
  EXPECT_TRUE(Locate(middleNode, middle));
  EXPECT_TRUE(Locate(newestNode, newest));
}

TEST_F(kaVideoFilterManagerTest, HousekeepingNeverRemovesTheLastEntryForSize) {
  StoreEntry(300, kMiB);
  manager_->PerformCacheHousekeeping(std::nullopt);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);

  Advance(1ms);
  StoreEntry(300, kMiB);
  manager_->PerformCacheHousekeeping(std::nullopt);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u) << "trimmed down to one, never to none";
}

TEST_F(kaVideoFilterManagerTest, HousekeepingRemovesEntriesOlderThanTheDefaultAge) {
  StoreEntry(8, 32);
  Advance(750ms);
  manager_->PerformCacheHousekeeping(std::nullopt);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u) << "exactly at the limit stays";
  Advance(1ns);
  manager_->PerformCacheHousekeeping(std::nullopt);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
}

TEST_F(kaVideoFilterManagerTest, HousekeepingHonoursAGivenAge) {
  StoreEntry(8, 32);
  Advance(9s);
  StoreEntry(8, 32);
  Advance(1s + 1ns);  // the first is 10 s + 1 ns old, the second 1 s + 1 ns
  manager_->PerformCacheHousekeeping(10s);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);

  // Zero: everything stamped before now goes; an entry stamped now stays.
  StoreEntry(8, 32);
  manager_->PerformCacheHousekeeping(0s);
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);
  Advance(1ns);
  manager_->PerformCacheHousekeeping(0s);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
}

TEST_F(kaVideoFilterManagerTest, HousekeepingWithExtremeAgesDoesNotOverflow) {
  StoreEntry(8, 32);
  Advance(24h);
  manager_->PerformCacheHousekeeping(std::chrono::seconds::max());
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u) << "nothing is that old";
  manager_->PerformCacheHousekeeping(std::chrono::seconds(std::numeric_limits<int64_t>::max() / 1'000'000'000));
  EXPECT_EQ(manager_->EntryCountForTesting(), 1u);
  manager_->PerformCacheHousekeeping(std::chrono::seconds::min());
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u) << "a negative age puts the cutoff after every entry";
}

TEST_F(kaVideoFilterManagerTest, RemoveOldestTakesTheLeastRecentlyUsedEntry) {
  manager_->RemoveOldestCacheEntry();  // empty: nothing happens
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);

  Node firstNode;
  auto first = StoreEntry(8, 32, &firstNode);
  Advance(1ms);
  Node secondNode;
  auto second = StoreEntry(8, 32, &secondNode);
  Advance(1ms);
  ASSERT_TRUE(Locate(firstNode, first));  // the first is now the youngest

  manager_->RemoveOldestCacheEntry();
  EXPECT_TRUE(Locate(firstNode, first));
  EXPECT_FALSE(Locate(secondNode, second));
}

TEST_F(kaVideoFilterManagerTest, DestroyingTheManagerReleasesCachedBuffers) {
  auto own = zNewSharedPtr<kaVideoFilterManager>();
  ASSERT_TRUE(own);
  auto filter = TestImageFilter::Make();
  auto output = MakePlainVideoBuffer(8, 8, 32);
  filter->SetOutput(output);
  Node node = OneFilterNode(filter, "a");
  auto input = TestTexture::Make(8, 8, 32);
  own->RunVideoFilterGraph(node, input, *group_, device_, group_);
  filter->SetOutput(nullptr);
  EXPECT_EQ(output.use_count(), 2);
  own.reset();
  EXPECT_EQ(output.use_count(), 1);
}

// ---- concurrency --------------------------------------------------------------

TEST_F(kaVideoFilterManagerTest, RunsLookupsAndHousekeepingFromSeveralThreadsAtOnce) {
  constexpr int kWorkers = 3;
  constexpr int kRounds = 400;
  std::atomic<int> finished{0};
  std::atomic<int> badBuffers{0};

  auto worker = [&](int index) {
    auto filter = TestImageFilter::Make();
    Node node = OneFilterNode(filter, "worker" + std::to_string(index));
    auto input = TestTexture::Make(32, 32, 128);
    for (int round = 0; round < kRounds; ++round) {
      const int32_t tag = index * kRounds + round + 1;
      filter->SetOutput(MakePlainVideoBuffer(tag, 4, 16));
      std::shared_ptr<kaBuffer2> made = Run(node, input);
      std::shared_ptr<kaBuffer2> found = Locate(node, input);
      // Whatever housekeeping removed meanwhile, the buffers held here are
      // alive and intact.
      if (!made || made->Width() != tag || made->RefCountForTesting() < 1) ++badBuffers;
      if (found) {
        if (found->Width() < 1 || found->Width() > kWorkers * kRounds || found->RefCountForTesting() < 1) {
          ++badBuffers;
        }
      }
      if (round % 16 == 0) input->SetDirtiedTime(round);  // new keys now and then
    }
    ++finished;
  };
  auto housekeeper = [&] {
    int64_t sizeSeen = 0;
    while (finished.load() < kWorkers) {
      Advance(1ms);
      manager_->PerformCacheHousekeeping(0s);
      manager_->RemoveOldestCacheEntry();
      sizeSeen = manager_->CacheSize();
      if (sizeSeen < 0) ++badBuffers;
    }
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) threads.emplace_back(worker, i);
  threads.emplace_back(housekeeper);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(badBuffers.load(), 0);
  Advance(1ms);
  manager_->PerformCacheHousekeeping(0s);
  EXPECT_EQ(manager_->EntryCountForTesting(), 0u);
}

}  // namespace
