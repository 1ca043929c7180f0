#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "host/kaDiscreteRenderGraph.h"
#include "host/kaXIFilterObject.h"
#include "host/kaXIImageFilter.h"
#include "tolm/xCUnknown.h"

class kaBuffer2;
class kaBufferGroup2;
class kaOutputDevice;
class luXITexture;

// A filter object of a test render graph: answers "kaXIImageFilter" (unless
// told not to), reports a settable state value, and on Render returns the
// buffer it was given (or an empty output, or throws), counting its renders.
// Reference counted like host objects: Make() returns the creator's reference
// in a shared pointer. Render and State may be called from several threads at
// once; the setters are for the test thread before the filter runs.
class TestImageFilter : public xCUnknown, public kaXIFilterObject, public kaXIImageFilter {
 public:
  enum class Behaviour {
    kReturnOutput,  // returns the buffer set with SetOutput (empty if none)
    kReturnEmpty,   // returns an empty pointer
    kThrow,         // throws TestImageFilter::Failure
  };

  // What a throwing filter throws.
  struct Failure {
    int32_t code;
  };

  static std::shared_ptr<TestImageFilter> Make(Behaviour behaviour = Behaviour::kReturnOutput);

  void SetOutput(std::shared_ptr<kaBuffer2> output);
  void SetState(int32_t state) { state_ = state; }
  // False makes the object refuse "kaXIImageFilter" (an entry whose object is
  // no image filter).
  void SetAnswersImageFilter(bool answers) { answersImageFilter_ = answers; }

  int32_t RenderCount() const { return renderCount_.load(); }

  // xIUnknown, for all three bases.
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

  int32_t State() override;
  std::shared_ptr<kaBuffer2> Render(kaFilterSettings& settings, kaFilterRenderState& renderState,
                                    const std::shared_ptr<luXITexture>& input, kaBufferGroup2& group,
                                    kaOutputDevice& device,
                                    const std::shared_ptr<kaBufferGroup2>& groupPointer) override;

 private:
  explicit TestImageFilter(Behaviour behaviour) : behaviour_(behaviour) {}
  ~TestImageFilter() override = default;

  const Behaviour behaviour_;
  std::atomic<int32_t> state_{0};
  std::atomic<bool> answersImageFilter_{true};
  std::atomic<int32_t> renderCount_{0};
  std::mutex mutex_;
  std::shared_ptr<kaBuffer2> output_;  // guarded by mutex_
};

// Adds an entry to `node` with `filter` (may be null; the entry holds a
// reference of it as its kaXIFilterObject), an identity and a settings value
// that tells entries apart.
kaDiscreteRenderGraph::Node::FilterEntry& AddFilterEntry(kaDiscreteRenderGraph::Node& node,
                                                         const std::shared_ptr<TestImageFilter>& filter,
                                                         const std::string& identity);
