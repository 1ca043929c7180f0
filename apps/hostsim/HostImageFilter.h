#pragma once
#include <cstdint>
#include <memory>

#include "host/kaDiscreteRenderGraph.h"
#include "host/kaXIFilterObject.h"
#include "host/kaXIImageFilter.h"
#include "kasp2/kasp2.h"

// The image that the next filter of a chain reads. The simulator's engine
// renders on the CPU and its buffers carry no graphics texture, so the
// filters of one chain hand their images along through this object: the
// engine puts the chain's input in `image` before a run, and each filter
// replaces it with its output. Engine thread only.
struct HostFilterPass {
  std::shared_ptr<kaBuffer2> image;
};

// Base of the simulator's image filters: a host filter object that answers
// "kaXIImageFilter", reports a constant state, and renders its input image
// (taken from the pass) into a new buffer from the group. Reference counted
// like every host object: made with one reference, which Make's caller owns.
// Render runs on the engine thread; the pass must outlive the filter.
class HostImageFilter : public xCUnknown, public kaXIFilterObject, public kaXIImageFilter {
 public:
  int32_t QueryInterface(const char* name, void** out) override { return Concrete_QueryInterface(name, out); }
  int32_t AddRef() override { return Concrete_AddRef(); }
  int32_t Release() override { return Concrete_Release(); }
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

  // The filter's settings never change, so its state is constant.
  int32_t State() override { return 1; }

  // Renders the pass's image; an empty input (or an image the filter cannot
  // read) gives an empty output and leaves the pass alone.
  std::shared_ptr<kaBuffer2> Render(kaFilterSettings& settings, kaFilterRenderState& renderState,
                                    const std::shared_ptr<luXITexture>& input, kaBufferGroup2& group,
                                    kaOutputDevice& device, const std::shared_ptr<kaBufferGroup2>& groupPointer) override;

  int64_t RenderCount() const { return renders_; }

  // Puts `filter` into a node entry with the given identity; the entry holds
  // its own reference.
  static kaDiscreteRenderGraph::Node::FilterEntry MakeEntry(HostImageFilter& filter, const char* identity);

 protected:
  explicit HostImageFilter(HostFilterPass& pass) : pass_(pass) {}
  ~HostImageFilter() override = default;

  // The filter's work: a new image made from `input`, or empty.
  virtual std::shared_ptr<kaBuffer2> RenderImage(kaBuffer2& input, const kaFilterSettings& settings,
                                                 kaBufferGroup2& group) = 0;

 private:
  HostFilterPass& pass_;
  int64_t renders_ = 0;
};
