// The filter result cache: the render hash of a node and an input, and a
// cache hit (LocateCachedBufferForFilterGraph), beside a plain MD5 of the
// same bytes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "host/kaDiscreteRenderGraph.h"
#include "host/kaXIFilterObject.h"
#include "host/kaXIImageFilter.h"

#if KASP2_BENCH_HAVE_LIBMD
#include <md5.h>
#endif

namespace kasp2bench {
namespace {

// The identities of a two-filter chain, as a host names its filter settings.
const char* const kIdentities[] = {"colour-correct/gain=1.10/lift=0.02", "sharpen/amount=0.35"};
constexpr int32_t kFilterStates[] = {7, 3};

// A host filter that returns one fixed output.
class BenchFilter : public xCUnknown, public kaXIFilterObject, public kaXIImageFilter {
 public:
  static std::shared_ptr<kaXIFilterObject> Make(int32_t state, std::shared_ptr<kaBuffer2> output) {
    auto* filter = new BenchFilter(state, std::move(output));
    return zAsSharedPtr(static_cast<kaXIFilterObject*>(filter));
  }
  int32_t QueryInterface(const char* name, void** out) override { return xCUnknown::QueryInterface(name, out); }
  int32_t AddRef() override { return xCUnknown::AddRef(); }
  int32_t Release() override { return xCUnknown::Release(); }
  int32_t Concrete_QueryInterface(const char* name, void** out) override {
    if (out) *out = nullptr;
    if (CompareInterfaceName(name, kaXIImageFilter::kInterfaceName)) {
      if (!out) return 0;
      *out = static_cast<kaXIImageFilter*>(this);
      xCUnknown::AddRef();
      return 0;
    }
    return xCUnknown::Concrete_QueryInterface(name, out);
  }
  int32_t State() override { return state_; }
  std::shared_ptr<kaBuffer2> Render(kaFilterSettings&, kaFilterRenderState&, const std::shared_ptr<luXITexture>&,
                                    kaBufferGroup2&, kaOutputDevice&, const std::shared_ptr<kaBufferGroup2>&) override {
    return output_;
  }

 private:
  BenchFilter(int32_t state, std::shared_ptr<kaBuffer2> output) : state_(state), output_(std::move(output)) {}
  ~BenchFilter() override = default;
  int32_t state_;
  std::shared_ptr<kaBuffer2> output_;
};

// The 28 bytes that identify an input buffer in the key: dirtied time,
// width, height, upside-down flag, address.
struct __attribute__((packed)) InputBlock {
  int64_t dirtied;
  int32_t width;
  int32_t height;
  int32_t upsideDown;
  uint64_t address;
};
static_assert(sizeof(InputBlock) == 28);

InputBlock BlockOf(const kaBuffer2& input) {
  return InputBlock{input.DirtiedTime(), input.Width(), input.Height(), input.BufferIsUpsideDown() ? 1 : 0,
                    static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&input))};
}

std::shared_ptr<kaBuffer2> MakeHdBuffer(kaBufferGroup2& group) {
  kaBuffer2* out = nullptr;
  if (group.allocate_buffer(HdFrameFormat(), -1, 1, 0, &out) != 0 || !out) return {};
  return zAsSharedPtr(out);
}

// LocateCachedBufferForFilterGraph for a two-filter node whose result is
// cached: one key, one map find and one refresh, no filter work.
void BM_Filter_CacheHit(benchmark::State& state) {
  kaBufferGroup2* rawGroup = new kaBufferGroup2();
  std::shared_ptr<kaBufferGroup2> group = zAsSharedPtr(rawGroup);
  std::shared_ptr<kaBuffer2> input = MakeHdBuffer(*group);
  std::shared_ptr<kaBuffer2> output = MakeHdBuffer(*group);
  if (!input || !output) {
    state.SkipWithError("the group made no buffer");
    return;
  }
  input->SetDirtiedTime(123'456'789);
  kaDiscreteRenderGraph::Node node;
  for (int i = 0; i < 2; ++i) {
    kaDiscreteRenderGraph::Node::FilterEntry entry;
    entry.filter = BenchFilter::Make(kFilterStates[i], output);
    entry.identity = kIdentities[i];
    node.Filters().push_back(std::move(entry));
  }
  std::shared_ptr<kaVideoFilterManager> manager = group->VideoFilterManager();
  kaOutputDevice device;
  manager->RunVideoFilterGraph(node, input, *group, device, group);
  if (manager->LocateCachedBufferForFilterGraph(node, input) != output) {
    state.SkipWithError("the result was not cached");
    return;
  }
  for (auto _ : state) {
    std::shared_ptr<kaBuffer2> hit = manager->LocateCachedBufferForFilterGraph(node, input);
    benchmark::DoNotOptimize(hit.get());
  }
  node.Filters().clear();
}
BENCHMARK(BM_Filter_CacheHit);

// The render hash of the same bytes: both identities with their states and
// the input block, through kaRenderHash.
void BM_Filter_RenderHash(benchmark::State& state) {
  GroupRef group(new kaBufferGroup2());
  std::shared_ptr<kaBuffer2> input = MakeHdBuffer(*group);
  if (!input) {
    state.SkipWithError("the group made no buffer");
    return;
  }
  const std::string identities[2] = {kIdentities[0], kIdentities[1]};
  const InputBlock block = BlockOf(*input);
  for (auto _ : state) {
    kaRenderHash hash;
    for (int i = 0; i < 2; ++i) {
      hash.Generate(identities[i]);
      hash.Generate(&kFilterStates[i], sizeof(int32_t));
    }
    hash.Generate(&block, sizeof block);
    std::string key = hash.Complete();
    benchmark::DoNotOptimize(key.data());
  }
}
BENCHMARK(BM_Filter_RenderHash);

#if KASP2_BENCH_HAVE_LIBMD
// libmd's MD5 over the same five pieces, to 32 hexadecimal characters in a
// stack buffer.
void BM_Filter_MD5(benchmark::State& state) {
  GroupRef group(new kaBufferGroup2());
  std::shared_ptr<kaBuffer2> input = MakeHdBuffer(*group);
  if (!input) {
    state.SkipWithError("the group made no buffer");
    return;
  }
  const InputBlock block = BlockOf(*input);
  const size_t lengths[2] = {std::strlen(kIdentities[0]), std::strlen(kIdentities[1])};
  for (auto _ : state) {
    MD5_CTX context;
    MD5Init(&context);
    for (int i = 0; i < 2; ++i) {
      MD5Update(&context, reinterpret_cast<const uint8_t*>(kIdentities[i]), lengths[i]);
      MD5Update(&context, reinterpret_cast<const uint8_t*>(&kFilterStates[i]), sizeof(int32_t));
    }
    MD5Update(&context, reinterpret_cast<const uint8_t*>(&block), sizeof block);
    char text[MD5_DIGEST_STRING_LENGTH];
    MD5End(&context, text);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_Filter_MD5);
#endif

}  // namespace
}  // namespace kasp2bench
