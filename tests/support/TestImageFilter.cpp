#include "support/TestImageFilter.h"

#include <new>
#include <utility>

#include "tolm/zSharedPtr.h"

std::shared_ptr<TestImageFilter> TestImageFilter::Make(Behaviour behaviour) {
  return zAsSharedPtr(new TestImageFilter(behaviour));
}

void TestImageFilter::SetOutput(std::shared_ptr<kaBuffer2> output) {
  std::lock_guard<std::mutex> lock(mutex_);
  output_ = std::move(output);
}

int32_t TestImageFilter::QueryInterface(const char* name, void** out) {
  return xCUnknown::QueryInterface(name, out);
}
int32_t TestImageFilter::AddRef() { return xCUnknown::AddRef(); }
int32_t TestImageFilter::Release() { return xCUnknown::Release(); }

int32_t TestImageFilter::Concrete_QueryInterface(const char* name, void** out) {
  if (out) *out = nullptr;
  if (answersImageFilter_ && CompareInterfaceName(name, kaXIImageFilter::kInterfaceName)) {
    if (!out) return 0;
    *out = static_cast<kaXIImageFilter*>(this);
    xCUnknown::AddRef();
    return 0;
  }
  return xCUnknown::Concrete_QueryInterface(name, out);
}

int32_t TestImageFilter::State() { return state_.load(); }

std::shared_ptr<kaBuffer2> TestImageFilter::Render(kaFilterSettings&, kaFilterRenderState&,
                                                   const std::shared_ptr<luXITexture>&, kaBufferGroup2&,
                                                   kaOutputDevice&, const std::shared_ptr<kaBufferGroup2>&) {
  const int32_t count = renderCount_.fetch_add(1) + 1;
  if (behaviour_ == Behaviour::kThrow) throw Failure{count};
  std::lock_guard<std::mutex> lock(mutex_);
  return behaviour_ == Behaviour::kReturnOutput ? output_ : nullptr;
}

kaDiscreteRenderGraph::Node::FilterEntry& AddFilterEntry(kaDiscreteRenderGraph::Node& node,
                                                         const std::shared_ptr<TestImageFilter>& filter,
                                                         const std::string& identity) {
  kaDiscreteRenderGraph::Node::FilterEntry entry;
  if (filter) {
    filter->AddRef();
    entry.filter = make_shared_ptr(static_cast<kaXIFilterObject*>(filter.get()));
  }
  entry.settings.effect = static_cast<uint32_t>(node.Filters().size() + 1);
  entry.identity = identity;
  node.Filters().push_back(std::move(entry));
  return node.Filters().back();
}
