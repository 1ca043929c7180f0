#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "plugins/kaPluginAudioRenderer.h"

// The concrete audio renderer that a plug-in would define, with its ring and
// drift detector open to the tests; its cue state is read under its lock.
// Make() returns the creator's reference; the last Release destroys it.
class TestAudioRenderer : public kaPluginAudioRenderer {
 public:
  using Ptr = std::unique_ptr<TestAudioRenderer, zReleaseDeleter>;
  using kaPluginAudioRenderer::driftDetector, kaPluginAudioRenderer::ringBuffer;
  struct CueState { bool primed; int32_t base; int64_t primeTime; int32_t resolutionSilentCues; };

  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods) {
    return Ptr(new TestAudioRenderer(name, group, methods));
  }
  uint32_t RendererKind() const override { return zFourCC("taud"); }
  CueState State() const {
    zCriticalGuard guard(rendererLock);
    return {readPrimed, readBase, primeTime, resolutionSilenceCount};
  }
  // Whether the constructor made the renderer's lock.
  bool Guarded() const { return rendererLock != nullptr; }
  long long DriftAdjustment() const { return driftDetector ? driftDetector->TotalAdjustment() : 0; }

 protected:
  using kaPluginAudioRenderer::kaPluginAudioRenderer;
  ~TestAudioRenderer() override = default;
};
