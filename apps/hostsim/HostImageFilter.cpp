#include "HostImageFilter.h"

int32_t HostImageFilter::Concrete_QueryInterface(const char* name, void** out) {
  if (out) *out = nullptr;
  if (CompareInterfaceName(name, kaXIImageFilter::kInterfaceName)) {
    return GetInterface(static_cast<kaXIImageFilter*>(this), out);
  }
  return xCUnknown::Concrete_QueryInterface(name, out);
}

std::shared_ptr<kaBuffer2> HostImageFilter::Render(kaFilterSettings& settings, kaFilterRenderState&,
                                                   const std::shared_ptr<luXITexture>&, kaBufferGroup2& group,
                                                   kaOutputDevice&, const std::shared_ptr<kaBufferGroup2>&) {
  ++renders_;
  if (!pass_.image) return {};
  std::shared_ptr<kaBuffer2> output = RenderImage(*pass_.image, settings, group);
  if (output) pass_.image = output;
  return output;
}

kaDiscreteRenderGraph::Node::FilterEntry HostImageFilter::MakeEntry(HostImageFilter& filter, const char* identity) {
  kaDiscreteRenderGraph::Node::FilterEntry entry;
  filter.AddRef();
  entry.filter = zAsSharedPtr<kaXIFilterObject>(&filter);
  entry.identity = identity;
  return entry;
}
