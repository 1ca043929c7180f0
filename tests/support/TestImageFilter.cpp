#include "support/TestImageFilter.h"

#include <new>
#include <utility>

#include "tolm/zSharedPtr.h"

std::shared_ptr<TestImageFilter> TestImageFilter::Make(Behaviour behaviour) {
  return zAsSharedPtr(new TestImageFilter(behaviour));
}

std::shared_ptr<kaXIFilterObject> TestImageFilter::AsFilterObject(
    const std::shared_ptr<TestImageFilter>& filter) {
  if (!filter) return {};
  filter->AddRef();
  return make_shared_ptr(static_cast<kaXIFilterObject*>(filter.get()));
}

void TestImageFilter::SetOutput(std::shared_ptr<kaBuffer2> output) {
  std::lock_guard<std::mutex> lock(mutex_);
  output_ = std::move(output);
}

TestImageFilter::LastCall TestImageFilter::Last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
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

int32_t TestImageFilter::State() {
  stateQueries_.fetch_add(1);
  return state_.load();
}

std::shared_ptr<kaBuffer2> TestImageFilter::Render(kaFilterSettings& settings,
                                                   kaFilterRenderState& renderState,
                                                   const std::shared_ptr<luXITexture>& input,
                                                   kaBufferGroup2& group, kaOutputDevice& device,
                                                   const std::shared_ptr<kaBufferGroup2>& groupPointer) {
  renderCount_.fetch_add(1);
  std::lock_guard<std::mutex> lock(mutex_);
  last_ = LastCall{&settings, &renderState, input.get(), &group, &device, &groupPointer};
  switch (behaviour_.load()) {
    case Behaviour::kReturnOutput:
      return output_;
    case Behaviour::kReturnEmpty:
      return {};
    case Behaviour::kThrow:
      throw Failure{renderCount_.load()};
  }
  return {};
}

kaDiscreteRenderGraph::Node::FilterEntry& AddFilterEntry(kaDiscreteRenderGraph::Node& node,
                                                         const std::shared_ptr<TestImageFilter>& filter,
                                                         const std::string& identity) {
  kaDiscreteRenderGraph::Node::FilterEntry entry;
  entry.filter = TestImageFilter::AsFilterObject(filter);
  entry.settings.effect = static_cast<uint32_t>(node.Filters().size() + 1);
  entry.identity = identity;
  node.Filters().push_back(std::move(entry));
  return node.Filters().back();
}
