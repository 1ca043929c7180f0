#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "kasp2/kasp2.h"

// The video renderer of the sample video source plug-in: the concrete class
// that the library's abstract kaPluginVideoRenderer asks a plug-in to write.
// It names its kind and leads the host's Cue to CueVideo; everything else
// (the frame on screen, the live delay, blank frames) is the library's.
// Made with Make(), which returns the creator's reference in a Ptr; the
// renderer holds a reference to the group and to the host's table until its
// last Release. The plug-in's delivery thread calls OnReceiveVideo, host
// threads call Cue.
class SampleVideoRenderer final : public kaPluginVideoRenderer {
 public:
  static constexpr uint32_t kKind = zFourCC("svid");
  using Ptr = std::unique_ptr<SampleVideoRenderer, zReleaseDeleter>;

  // An empty Ptr when memory is short.
  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  uint32_t RendererKind() const override { return kKind; }
  // The host's cue: the frame for params.cueTime, one reference for the caller.
  int32_t Cue(kaBuffer2** out, const ka_renderer_params& params) override { return CueVideo(out, params); }

 private:
  SampleVideoRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginVideoRenderer(name, group, methods) {}
  ~SampleVideoRenderer() override = default;
};
