#include "filters/kaVideoFilterManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "filters/kaRenderHash.h"
#include "support/TestImageFilter.h"
#include "support/TestTexture.h"

namespace {

using namespace std::chrono_literals;
using Node = kaDiscreteRenderGraph::Node;
using Behaviour = TestImageFilter::Behaviour;
__extension__ using Wide = __int128;

// The manager's clock in nanoseconds: it moves only when a test moves it.
std::atomic<int64_t> gNowNs{1'000'000'000'000};
kaVideoFilterManager::Clock::time_point ManualNow() { return kaVideoFilterManager::Clock::time_point(std::chrono::nanoseconds(gNowNs)); }

class kaVideoFilterManagerTest : public testing::Test {
 protected:
  void TearDown() override {
    manager.reset(), group.reset();
    kaVideoFilterManager::SetClockForTesting(previousClock_);
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart_) << "objects left alive";
  }
  const int64_t liveAtStart_ = xCUnknown::LiveObjectsForTesting();
  const kaVideoFilterManager::NowFunction previousClock_ = kaVideoFilterManager::SetClockForTesting(&ManualNow);
  std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  std::shared_ptr<kaVideoFilterManager> manager = group->VideoFilterManager();
  kaOutputDevice device{3};
};

// Chains of filter entries, one character each: 'f' a filter, 'e' one that
// gives no output, 't' one that throws, 'u' one without identity, 'n' an entry
// without a filter object, 's' an object that is no image filter and has no
// identity. A run returns the output of the last filter that ran and stores
// it when every filter that ran has an identity; a lookup can find it only
// when every entry has one.
struct Chain { const char* entries; bool result, cacheable, lookable; };
constexpr Chain kChains[] = {{"f", true, true, true},   {"nf", true, true, true},  {"ff", true, true, true}, {"fe", false, true, true},
                             {"ef", true, true, true},  {"fu", true, false, false}, {"sf", true, true, false}, {"ft", false, false, true},
                             {"", false, true, true},   {"n", false, true, true}};

// Runs and lookups of those chains over inputs whose key fields change
// (dirtied time, size, upside-down flag; bytes per row is none of them), as
// do the filters' identities and states, with the clock moving and
// housekeeping and removals in between. Every call gets a node built anew:
// equal settings must give equal keys. After every step the manager must
// match the model: what a run returns and passes to each filter, what a
// lookup finds, which filters are asked for their state (for a key), what is
// kept, the cached size (in 64 bits, held at INT64_MAX), and the owners of
// every output.
TEST_F(kaVideoFilterManagerTest, FollowsTheModelThroughRandomRunsLookupsAndHousekeeping) {
  // Chain, identity, filter state, input, and the input's dirtied time, width, height and upside-down flag.
  using Key = std::tuple<int, char, int32_t, size_t, int64_t, int32_t, int32_t, bool>;
  constexpr int32_t kMiB = 1 << 20, kMax = INT32_MAX;
  constexpr Wide kMaxCacheBytes = 200 * Wide{kMiB};
  const std::pair<int32_t, int32_t> sizes[] = {{8, 0}, {3, 7}, {-4, 100}, {100, kMiB}, {100, kMiB}, {300, kMiB}, {65'536, 65'536}, {kMax, kMax}};
  const int64_t stepsNs[] = {1'000'000, 249'000'000, 250'000'000, 500'000'000};
  const std::optional<std::chrono::seconds> ages[] = {std::nullopt, 0s, 1s, 10s, std::chrono::seconds::max(), std::chrono::seconds::min()};
  int keptAtTheAgeLimit = 0, keptAtTheSizeLimit = 0, heldAtTheTop = 0;
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    auto pick = [&random](const auto& values) { return values[random() % std::size(values)]; };
    group = zNewSharedPtr<kaBufferGroup2>(), manager = group->VideoFilterManager();
    const std::shared_ptr<TestTexture> textures[] = {TestTexture::Make(8, 8, 32), TestTexture::Make(8, 8, 32)};
    const std::shared_ptr<kaBuffer2> inputs[] = {textures[0], textures[1], MakePlainVideoBuffer(8, 8, 32), nullptr};
    std::vector<std::shared_ptr<kaBuffer2>> outputs;
    std::map<Key, std::pair<int64_t, size_t>> model;  // time of the last store or hit, output
    char identity = 'a';
    int32_t state = 7;
    auto cachedBytes = [&](Wide total = 0) {
      for (const auto& [stored, entry] : model) total += std::max(outputs[entry.second]->Height(), 0) * Wide{std::max(outputs[entry.second]->BytesPerRow(), 0)};
      return total;
    };
    auto removeOldest = [&] { model.erase(std::min_element(model.begin(), model.end(), [](auto& x, auto& y) { return x.second.first < y.second.first; })); };
    for (int step = 0; step < 400 && !HasFailure(); ++step) {
      const uint32_t op = random() % 20;
      const int c = int(random() % std::size(kChains));
      const size_t in = random() % std::size(inputs);
      const std::shared_ptr<kaBuffer2>& input = inputs[in];
      const Key key{c, identity, state, in, input ? input->DirtiedTime() : 0, input ? input->Width() : 0, input ? input->Height() : 0,
                    input && input->BufferIsUpsideDown()};
      if (op < 12) {
        gNowNs += pick(stepsNs);
        Node node;
        std::vector<std::shared_ptr<TestImageFilter>> filters;
        std::vector<std::tuple<const TestImageFilter*, size_t, const luXITexture*>> ran;  // filter, entry, texture it must get
        const luXITexture* texture = in < 2 ? textures[in]->Texture() : nullptr;  // the texture of the last output that had one
        for (const char* entry = kChains[c].entries; *entry; ++entry) {
          const auto behaviour = *entry == 'e' ? Behaviour::kReturnEmpty : *entry == 't' ? Behaviour::kThrow : Behaviour::kReturnOutput;
          const auto filter = *entry == 'n' ? nullptr : filters.emplace_back(TestImageFilter::Make(behaviour));
          if (filter) filter->SetState(state), filter->SetAnswersImageFilter(*entry != 's');
          if (filter && *entry != 's') ran.emplace_back(filter.get(), node.Filters().size(), texture);
          if (*entry == 'f' || *entry == 'u') {
            const auto [height, rowBytes] = pick(sizes);
            const std::shared_ptr<TestTexture> textured = random() % 2 ? TestTexture::Make(16, height, rowBytes) : nullptr;
            filter->SetOutput(outputs.emplace_back(textured ? textured : MakePlainVideoBuffer(16, height, rowBytes)));
            texture = textured ? textured->Texture() : nullptr;
          }
          AddFilterEntry(node, filter, *entry == 'u' || *entry == 's' ? "" : std::string{*entry, identity});
        }
        const Chain& chain = kChains[c];
        if (op < 7) {
          std::shared_ptr<kaBuffer2> result = inputs[2];  // no run returns it: left as it is when a filter throws
          try { result = manager->RunVideoFilterGraph(node, input, *group, device, group); } catch (const TestImageFilter::Failure&) {}
          EXPECT_EQ(result, std::strchr(chain.entries, 't') ? inputs[2] : chain.result ? outputs.back() : nullptr);
          if (chain.result && chain.cacheable && input) model[key] = {gNowNs, outputs.size() - 1};
          for (const auto& [filter, entry, expected] : ran) {  // each got its entry's blocks, the group and the device
            const TestImageFilter::LastCall call = filter->Last();
            EXPECT_EQ(std::tuple(filter->RenderCount(), call.texture, call.settings, call.renderState, call.group, call.groupPointer, call.device),
                      std::tuple(1, expected, &node.Filters()[entry].settings, &node.Filters()[entry].renderState, group.get(), &group, &device));
          }
        } else {
          const auto found = chain.lookable && input ? model.find(key) : model.end();
          EXPECT_EQ(manager->LocateCachedBufferForFilterGraph(node, input), found == model.end() ? nullptr : outputs[found->second.second]);
          if (found != model.end()) found->second.first = gNowNs;  // a hit keeps the entry young
        }
        for (const auto& filter : filters) EXPECT_EQ(filter->StateQueries() > 0, input && (op < 7 ? chain.cacheable : chain.lookable)) << chain.entries;
      } else if (op < 16) {
        kaBuffer2& changed = *inputs[random() % 3];
        const int32_t to = int32_t(random() % 2);
        switch (random() % 7) {  // each key field, and bytes per row, which is none
          case 0: changed.SetDirtiedTime(to); break;
          case 1: changed.SetWidth(8 + to); break;
          case 2: changed.SetHeight(8 + to); break;
          case 3: changed.SetBufferIsUpsideDown(to); break;
          case 4: changed.SetBytesPerRow(32 + 32 * to); break;
          case 5: identity = char('a' + to); break;
          default: state = 7 + to;
        }
      } else if (op < 18) {
        const std::optional<std::chrono::seconds> age = pick(ages);
        manager->PerformCacheHousekeeping(age);
        const Wide cutoff = Wide{gNowNs} - (age ? Wide{age->count()} * 1'000'000'000 : 750'000'000);
        keptAtTheAgeLimit += int(std::count_if(model.begin(), model.end(), [&](auto& entry) { return entry.second.first == cutoff; }));
        std::erase_if(model, [&](const auto& entry) { return entry.second.first < cutoff; });
        keptAtTheSizeLimit += model.size() > 1 && cachedBytes() == kMaxCacheBytes;
        while (model.size() > 1 && cachedBytes() > kMaxCacheBytes) removeOldest();  // never the last entry
      } else {
        manager->RemoveOldestCacheEntry();
        if (!model.empty()) removeOldest();
      }
      heldAtTheTop += cachedBytes() > INT64_MAX;
      EXPECT_EQ(std::pair(manager->EntryCountForTesting(), manager->CacheSize()), std::pair(model.size(), int64_t(std::min<Wide>(cachedBytes(), INT64_MAX))));
      for (size_t i = 0; i < outputs.size(); ++i) {  // owned by the test and by the entries that keep it; one reference
        const long owners = 1 + std::count_if(model.begin(), model.end(), [i](auto& entry) { return entry.second.second == i; });
        EXPECT_EQ(std::pair(outputs[i].use_count(), outputs[i]->RefCountForTesting()), std::pair(owners, 1)) << "output " << i;
      }
    }
    manager.reset(), group.reset();
    for (const auto& output : outputs) EXPECT_EQ(output.use_count(), 1) << "kept after the manager";
  }
  EXPECT_TRUE(keptAtTheAgeLimit > 0 && keptAtTheSizeLimit > 0 && heldAtTheTop > 0) << "the steps reach every limit";
}

// One MD5 context and nothing else: copied and stored as plain data.
static_assert(sizeof(kaRenderHash) == sizeof(zMD5Context) && std::is_trivially_copyable_v<kaRenderHash>);

// Blocks fed one by one (short ones as strings), and the digest of what they
// add up to (RFC 1321, appendix A.5): only the concatenated bytes count, null
// data adds nothing, and only the low 32 bits of a length count.
TEST(kaRenderHashTest, IsTheMd5OfTheConcatenatedBlocksInLowerCaseHex) {
  constexpr char kEmpty[] = "d41d8cd98f00b204e9800998ecf8427e", kAbc[] = "900150983cd24fb0d6963f7d28e17f72";
  constexpr char kDigits[] = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
  const std::pair<std::vector<std::pair<const char*, unsigned long>>, const char*> rows[] = {
      {{}, kEmpty}, {{{"abc", 3}}, kAbc}, {{{"message digest", 14}}, "f96b697d7cb7938d525a2f31aaf161d0"},
      {{{"a", 1}, {"", 0}, {nullptr, 5}, {"bc", 2}}, kAbc}, {{{"abcdef", (1UL << 32) + 3}}, kAbc}, {{{"abcdef", 1UL << 32}}, kEmpty},
      {{{kDigits, 7}, {kDigits + 7, 60}, {kDigits + 67, 13}}, "57edf4a22be3c955ac49da2e2107b67a"}};  // across 64-byte rounds
  for (const auto& [blocks, digest] : rows) {
    kaRenderHash hash;
    for (const auto& [data, length] : blocks) data && length < 8 ? hash.Generate(std::string(data, length)) : hash.Generate(data, length);
    EXPECT_EQ(hash.Complete(), digest);
    EXPECT_TRUE(blocks.size() != 1 || kaRenderHash::GenerateHash(blocks[0].first, blocks[0].second) == digest);
  }
}

// Workers run and look up their own chains while the test thread trims the
// cache: whatever it removes meanwhile, the buffers a worker holds stay whole.
TEST_F(kaVideoFilterManagerTest, RunsLookupsAndHousekeepingFromSeveralThreadsAtOnce) {
  std::atomic<int> finished{0}, bad{0};
  auto worker = [&](int first) {
    const std::shared_ptr<TestImageFilter> filter = TestImageFilter::Make();
    const std::shared_ptr<TestTexture> input = TestTexture::Make(32, 32, 128);
    Node node;
    AddFilterEntry(node, filter, std::to_string(first));
    for (int tag = first; tag < first + 400; ++tag) {
      filter->SetOutput(MakePlainVideoBuffer(tag, 4, 16));
      const auto made = manager->RunVideoFilterGraph(node, input, *group, device, group), found = manager->LocateCachedBufferForFilterGraph(node, input);
      bad += !made || made->Width() != tag || (found && (found->Width() < first || found->Width() > tag));
      input->SetDirtiedTime(tag / 16);  // a new key now and then
    }
    filter->SetOutput(nullptr), ++finished;
  };
  std::thread workers[] = {std::thread(worker, 1), std::thread(worker, 1'001), std::thread(worker, 2'001)};
  for (; finished < 3; gNowNs += 1'000'000) manager->PerformCacheHousekeeping(0s), manager->RemoveOldestCacheEntry(), bad += manager->CacheSize() < 0;
  for (std::thread& thread : workers) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
