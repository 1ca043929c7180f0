#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "render/kaPluginVideoRenderer.h"

// The concrete video renderer that a plug-in would define: it names its kind
// and leads the host's Cue to CueVideo. Make() returns the creator's
// reference in a TestVideoRenderer::Ptr; the last Release destroys it.
class TestVideoRenderer : public kaPluginVideoRenderer {
 public:
  static constexpr uint32_t kKind = zFourCC("tvid");
  using Ptr = std::unique_ptr<TestVideoRenderer, zReleaseDeleter>;

  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods) {
    return Ptr(new TestVideoRenderer(name, group, methods));
  }

  uint32_t RendererKind() const override { return kKind; }
  int32_t Cue(kaBuffer2** out, const ka_renderer_params& params) override { return CueVideo(out, params); }

  // Frames waiting in the delay queue.
  int32_t QueuedFrames() const { return delayQueue.CountForTesting(); }
  // The delay queue's delay in microseconds.
  int64_t QueueDelayMicros() const { return delayQueue.GetDelay(); }

 protected:
  TestVideoRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginVideoRenderer(name, group, methods) {}
  ~TestVideoRenderer() override = default;
};
