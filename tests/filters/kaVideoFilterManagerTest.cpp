// kaVideoFilterManager against a model of its result cache; kaRenderHash
// against the RFC 1321 digests.
#include "filters/kaVideoFilterManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <type_traits>

#include "buffers/kaBufferGroup2.h"
#include "filters/kaRenderHash.h"
#include "support/TestImageFilter.h"
#include "support/TestTexture.h"

namespace {

using namespace std::chrono_literals;
using enum TestImageFilter::Behaviour;
using Failure = TestImageFilter::Failure;
__extension__ using Wide = __int128;

// The manager's clock in nanoseconds, installed for this whole program (no
// test here wants another): it moves only when a test moves it.
std::atomic<int64_t> gNowNs{1'000'000'000'000};
[[maybe_unused]] const kaVideoFilterManager::NowFunction kReplacedClock = kaVideoFilterManager::SetClockForTesting(
    [] { return kaVideoFilterManager::Clock::time_point(std::chrono::nanoseconds(gNowNs.load())); });

// Chains of filter entries, one character each: 'f' a filter, 'e' one that
// gives no output, 't' one that throws, 'u' one without identity, 'n' an entry
// without a filter object, 's' an object that is no image filter and has no
// identity. A run returns the output of the last filter that ran and stores
// it when every filter that ran has an identity; a lookup can find it only
// when every entry has one.
struct Chain { const char* entries; bool result, cacheable, lookable; };
constexpr Chain kChains[] = {{"f", 1, 1, 1},  {"nf", 1, 1, 1}, {"ef", 1, 1, 1}, {"fe", 0, 1, 1},
                             {"fu", 1, 0, 0}, {"sf", 1, 1, 0}, {"ft", 0, 0, 1}, {"n", 0, 1, 1}};

// Bytes an output counts for in the cache: negative sizes count as 0.
Wide Bytes(const kaBuffer2& output) { return std::max(output.Height(), 0) * Wide{std::max(output.BytesPerRow(), 0)}; }

// Runs and lookups of those chains over inputs whose key fields change
// (dirtied time, size, upside-down flag; bytes per row is none of them), as
// do the filters' identities and states, with the clock moving and
// housekeeping and removals in between. Every call gets a node built anew:
// equal settings must give equal keys. After every step the manager must
// match the model: what a run returns, what a lookup finds, what is kept,
// the cached size (in 64 bits, held at INT64_MAX), and the owners of every
// output. These seeds reach entries exactly at the age and the size limits,
// and a cached size beyond INT64_MAX.
TEST(kaVideoFilterManagerTest, FollowsTheModelThroughRandomRunsLookupsAndHousekeeping) {
  const int64_t liveAtStart = xCUnknown::LiveObjectsForTesting();
  kaOutputDevice device{3};
  // Chain, identity, filter state, input, and the input's dirtied time, width, height and upside-down flag.
  using Key = std::tuple<long, char, int32_t, size_t, int64_t, int32_t, int32_t, bool>;
  constexpr int32_t kMiB = 1 << 20, kMax = INT32_MAX;
  const std::tuple<int32_t, int32_t, int32_t> sizes[] = {  // of outputs: width, height, bytes per row
      {16, 8, 0}, {16, -4, 100}, {16, 100, kMiB}, {16, 100, kMiB}, {16, 300, kMiB}, {16, 3, 7}, {16, kMax, kMax}};
  const int64_t stepsNs[] = {1'000'000, 249'000'000, 250'000'000, 500'000'000};  // 750 ms: the default age
  const std::optional<std::chrono::seconds> ages[] = {std::nullopt, 0s, 1s, 10s, std::chrono::seconds::max(),
                                                      std::chrono::seconds::min()};
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    // A reference to one of `values`.
    auto pick = [&random](const auto& values) -> decltype(auto) { return values[random() % std::size(values)]; };
    const std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
    const std::shared_ptr<kaVideoFilterManager> manager = group->VideoFilterManager();
    const std::shared_ptr<kaBuffer2> inputs[] = {TestTexture::Make(8, 8, 32), MakePlainVideoBuffer(8, 8, 32), nullptr};
    std::vector<std::shared_ptr<kaBuffer2>> outputs;
    std::map<Key, std::pair<int64_t, size_t>> model;  // time of the last store or hit, output
    char identity = 'a';
    int32_t state = 7;
    auto cachedBytes = [&](Wide total = 0) {
      for (const auto& [key, entry] : model) total += Bytes(*outputs[entry.second]);
      return total;
    };
    auto dropOldest = [&] { model.erase(std::ranges::min_element(model, {}, [](auto& e) { return e.second.first; })); };
    for (int step = 0; step < 400 && !HasFailure(); ++step) {
      const uint32_t op = random() % 20;
      const Chain& chain = pick(kChains);
      const size_t in = random() % std::size(inputs);
      const kaBuffer2* input = inputs[in].get();
      const Key key = !input ? Key{} : Key{&chain - kChains, identity, state, in, input->DirtiedTime(), input->Width(),
                                           input->Height(), input->BufferIsUpsideDown()};
      if (op < 12) {
        gNowNs += pick(stepsNs);
        kaDiscreteRenderGraph::Node node;
        for (const char* entry = chain.entries; *entry; ++entry) {
          const auto behaviour = *entry == 'e' ? kReturnEmpty : *entry == 't' ? kThrow : kReturnOutput;
          const auto filter = *entry == 'n' ? nullptr : TestImageFilter::Make(behaviour);
          if (filter) filter->SetState(state), filter->SetAnswersImageFilter(*entry != 's');
          if (*entry == 'f' || *entry == 'u') {
            filter->SetOutput(outputs.emplace_back(std::apply(MakePlainVideoBuffer, pick(sizes))));
          }
          AddFilterEntry(node, filter, *entry == 'u' || *entry == 's' ? "" : std::string{*entry, identity});
        }
        if (op < 7) {
          std::shared_ptr<kaBuffer2> got = inputs[1];  // no run returns it: left as it is when a filter throws
          try { got = manager->RunVideoFilterGraph(node, inputs[in], *group, device, group); } catch (const Failure&) {}
          EXPECT_EQ(got, std::strchr(chain.entries, 't') ? inputs[1] : chain.result ? outputs.back() : nullptr);
          if (chain.result && chain.cacheable && input) model[key] = {gNowNs, outputs.size() - 1};
        } else {
          const auto found = chain.lookable && input ? model.find(key) : model.end();
          EXPECT_EQ(manager->LocateCachedBufferForFilterGraph(node, inputs[in]),
                    found == model.end() ? nullptr : outputs[found->second.second]);
          if (found != model.end()) found->second.first = gNowNs;  // a hit keeps the entry young
        }
      } else if (op < 16) {
        kaBuffer2& changed = *inputs[random() % 2];
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
        std::erase_if(model, [&](const auto& e) { return e.second.first < cutoff; });
        while (model.size() > 1 && cachedBytes() > 200 * Wide{kMiB}) dropOldest();  // never the last entry
      } else {
        manager->RemoveOldestCacheEntry();
        if (!model.empty()) dropOldest();
      }
      EXPECT_EQ(std::pair(manager->EntryCountForTesting(), manager->CacheSize()),
                std::pair(model.size(), int64_t(std::min<Wide>(cachedBytes(), INT64_MAX))));
      for (size_t i = 0; i < outputs.size(); ++i) {  // held by the test and the entries that keep it; one reference
        const long owners = 1 + std::ranges::count_if(model, [i](auto& e) { return e.second.second == i; });
        EXPECT_EQ(std::pair(outputs[i].use_count(), outputs[i]->RefCountForTesting()), std::pair(owners, 1)) << i;
      }
    }
  }
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart) << "objects left alive";
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
      {{}, kEmpty}, {{{"message digest", 14}}, "f96b697d7cb7938d525a2f31aaf161d0"},
      {{{"a", 1}, {"", 0}, {nullptr, 5}, {"bc", 2}}, kAbc}, {{{"abcdef", (1UL << 32) + 3}}, kAbc},
      {{{"abcdef", 1UL << 32}}, kEmpty},
      {{{kDigits, 7}, {kDigits + 7, 60}, {kDigits + 67, 13}}, "57edf4a22be3c955ac49da2e2107b67a"}};  // 64-byte rounds
  for (const auto& [blocks, digest] : rows) {
    kaRenderHash hash;
    for (const auto& [data, length] : blocks) {
      data && length < 8 ? hash.Generate(std::string(data, length)) : hash.Generate(data, length);
    }
    EXPECT_EQ(hash.Complete(), digest);
    EXPECT_TRUE(blocks.size() != 1 || kaRenderHash::GenerateHash(blocks[0].first, blocks[0].second) == digest);
  }
}

// Workers run and look up their own chains while the test thread trims the
// cache: whatever it removes meanwhile, the buffers a worker holds stay whole.
TEST(kaVideoFilterManagerTest, RunsLookupsAndHousekeepingFromSeveralThreadsAtOnce) {
  const std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  const std::shared_ptr<kaVideoFilterManager> manager = group->VideoFilterManager();
  kaOutputDevice device{3};
  std::atomic<int> finished{0}, bad{0};
  auto worker = [&](int first) {
    const std::shared_ptr<TestImageFilter> filter = TestImageFilter::Make();
    const std::shared_ptr<TestTexture> input = TestTexture::Make(32, 32, 128);
    kaDiscreteRenderGraph::Node node;
    AddFilterEntry(node, filter, std::to_string(first));
    for (int tag = first; tag < first + 400; ++tag) {
      filter->SetOutput(MakePlainVideoBuffer(tag, 4, 16));
      const auto made = manager->RunVideoFilterGraph(node, input, *group, device, group);
      const auto found = manager->LocateCachedBufferForFilterGraph(node, input);
      bad += !made || made->Width() != tag || (found && (found->Width() < first || found->Width() > tag));
      input->SetDirtiedTime(tag / 16);  // a new key now and then
    }
    filter->SetOutput(nullptr), ++finished;
  };
  std::thread workers[] = {std::thread(worker, 1), std::thread(worker, 1'001), std::thread(worker, 2'001)};
  for (; finished < 3; gNowNs += 1'000'000) {
    manager->PerformCacheHousekeeping(0s), manager->RemoveOldestCacheEntry();
    bad += manager->CacheSize() < 0;
  }
  for (std::thread& thread : workers) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
