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
// buffer it was given (or an empty output, or throws). It records what its
// last Render call received. Reference counted like host objects: Make()
// returns the creator's reference in a shared pointer. Render and State may be
// called from several threads at once; the setters are for the test thread
// before the filter runs.
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

  // Holds a reference of the filter as its kaXIFilterObject, as a node entry
  // keeps it.
  static std::shared_ptr<kaXIFilterObject> AsFilterObject(const std::shared_ptr<TestImageFilter>& filter);

  void SetOutput(std::shared_ptr<kaBuffer2> output);
  void SetBehaviour(Behaviour behaviour) { behaviour_ = behaviour; }
  void SetState(int32_t state) { state_ = state; }
  // False makes the object refuse "kaXIImageFilter" (an entry whose object is
  // no image filter).
  void SetAnswersImageFilter(bool answers) { answersImageFilter_ = answers; }

  int32_t RenderCount() const { return renderCount_.load(); }
  int32_t StateQueries() const { return stateQueries_.load(); }

  // What the last Render call received.
  struct LastCall {
    const kaFilterSettings* settings = nullptr;
    const kaFilterRenderState* renderState = nullptr;
    luXITexture* texture = nullptr;  // the texture's address only; no reference kept
    kaBufferGroup2* group = nullptr;
    kaOutputDevice* device = nullptr;
    const std::shared_ptr<kaBufferGroup2>* groupPointer = nullptr;
  };
  LastCall Last() const;

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

  std::atomic<Behaviour> behaviour_;
  std::atomic<int32_t> state_{0};
  std::atomic<bool> answersImageFilter_{true};
  std::atomic<int32_t> renderCount_{0};
  std::atomic<int32_t> stateQueries_{0};
  mutable std::mutex mutex_;
  std::shared_ptr<kaBuffer2> output_;  // guarded by mutex_
  LastCall last_;                      // guarded by mutex_
};

// Adds an entry to `node` with `filter` (may be null), an identity and a
// settings value that tells entries apart.
kaDiscreteRenderGraph::Node::FilterEntry& AddFilterEntry(kaDiscreteRenderGraph::Node& node,
                                                         const std::shared_ptr<TestImageFilter>& filter,
                                                         const std::string& identity);
