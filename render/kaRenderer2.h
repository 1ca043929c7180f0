#pragma once
#include <cstdint>
#include <optional>

#include "foundation/kaFoundation.h"
#include "render/kaRendererParams.h"

class kaBuffer2;
class kaBufferGroup2;

// How the host should scale a renderer's video into its output: horizontal
// and vertical factors and the offset of the scaled image in output pixels.
// Plain data, 16 bytes.
struct kaVideoScaling {
  float scaleX = 1.0f;
  float scaleY = 1.0f;
  float offsetX = 0.0f;
  float offsetY = 0.0f;
};
static_assert(sizeof(kaVideoScaling) == 16, "the scaling description is 16 bytes of data");

// The interface through which the host drives a renderer: it asks for the
// output format, cues the renderer for the media of an output time and tells
// it of sleep, wake and scope changes. Abstract: the plug-in's subclass
// supplies RendererKind. The renderer holds one reference to its buffer group
// (`bufferGroup`) from construction to destruction, so the group outlives it.
// The operations declared here take no lock; subclasses say which thread may
// call theirs. Reference counted: only the last Release destroys it.
class KASP2_EXPORT kaRenderer2 : public xCUnknown {
 public:
  kaRenderer2(const kaRenderer2&) = delete;
  kaRenderer2& operator=(const kaRenderer2&) = delete;

  // ---- xCUnknown: forward to Concrete_QueryInterface / Concrete_AddRef /
  // Concrete_Release. This class answers no interface name of its own.
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // ---- virtual operations, in table order ----------------------------------

  // Describes the renderer's output of media type `type` in `record`;
  // `variant` is the host's own selector and is not read by the library.
  // Returns -1 and leaves the record unchanged here.
  virtual int32_t OutputFormat(veMediaType type, veMediaRecord& record, int32_t variant);
  // Supplied by the plug-in's subclass: a four-character code that names the
  // kind of renderer for the plug-in's and the host's own bookkeeping. The
  // library never calls it.
  virtual uint32_t RendererKind() const = 0;
  // Duration of the renderer's media in microseconds; 0 (live, unbounded)
  // here.
  virtual int64_t GetDuration();
  // The host stops / resumes cueing the renderer. Nothing happens here.
  virtual void Sleep();
  virtual void Wake();
  // The host's cue. Returns -1 and leaves *out alone here; a plug-in's
  // subclass leads it to its renderer's own cue operation.
  virtual int32_t Cue(kaBuffer2** out, const ka_renderer_params& params);
  // The time stamp of the media that a cue for `params` shows: the current
  // zTime::MicroNow() here.
  virtual int64_t CueTimestampForParameters(const ka_renderer_params& params) const;
  // Applies host settings; `variant` is the host's own selector. Returns 0
  // and changes neither record here.
  virtual int32_t ChangeConfigurationSettings(const zRecord& settings, int32_t variant, zRecord& result);
  // How the host should scale the video; empty (no preference) here.
  virtual std::optional<kaVideoScaling> VideoScaling() const;
  // The renderer entered / left the host's active scope. Nothing happens here.
  virtual void EnteredScope();
  virtual void ExitedScope();

 protected:
  // Stores `group` and adds the renderer's reference to it.
  explicit kaRenderer2(kaBufferGroup2& group);
  // Releases the group's reference. Only the last Release destroys a renderer.
  ~kaRenderer2() override;

  // Where buffers come from; one reference held, never null, never replaced.
  const kaRef<kaBufferGroup2> bufferGroup;
};
