#pragma once
#include <cstdint>
#include <optional>

#include "foundation/kaFoundation.h"
#include "render/kaRendererParams.h"

class kaBuffer2;
class kaBufferGroup2;

// How the host should scale a renderer's video into its output: factors and
// the offset of the scaled image in output pixels. Plain data.
struct kaVideoScaling {
  float scaleX = 1.0f;
  float scaleY = 1.0f;
  float offsetX = 0.0f;
  float offsetY = 0.0f;
};
static_assert(sizeof(kaVideoScaling) == 16, "the scaling description is 16 bytes of data");

// What the host drives a renderer through: output format, cues for the media
// of an output time, sleep, wake and scope changes. Abstract: the plug-in's
// subclass supplies RendererKind. Holds a reference to its buffer group for
// its whole life. Nothing here locks; subclasses say which thread calls
// theirs. Reference counted: only the last Release destroys it.
class KASP2_EXPORT kaRenderer2 : public xCUnknown {
 public:
  kaRenderer2(const kaRenderer2&) = delete;
  kaRenderer2& operator=(const kaRenderer2&) = delete;

  // ---- xCUnknown (no interface name of its own) -----------------------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // ---- virtual operations: hosts call them through the table, so their
  // order never changes ------------------------------------------------------

  // Describes the output of media type `type` in `record` and returns 0;
  // `variant` is the host's own. Returns -1, the record unchanged, here.
  virtual int32_t OutputFormat(veMediaType type, veMediaRecord& record, int32_t variant);
  // A four-character code naming the kind of renderer, for the plug-in's and
  // the host's bookkeeping; the library never calls it.
  virtual uint32_t RendererKind() const = 0;
  // Microseconds of media; 0 (live, unbounded) here.
  virtual int64_t GetDuration();
  // The host stops / resumes cueing. Nothing here.
  virtual void Sleep();
  virtual void Wake();
  // The host's cue; a plug-in's subclass leads it to its renderer's own.
  // Returns -1, *out untouched, here.
  virtual int32_t Cue(kaBuffer2** out, const ka_renderer_params& params);
  // The time stamp of what a cue for `params` shows; now here.
  virtual int64_t CueTimestampForParameters(const ka_renderer_params& params) const;
  // Applies host settings; `variant` is the host's own. Returns 0 and
  // changes neither record here.
  virtual int32_t ChangeConfigurationSettings(const zRecord& settings, int32_t variant, zRecord& result);
  // How the host should scale the video; empty (no preference) here.
  virtual std::optional<kaVideoScaling> VideoScaling() const;
  // The renderer entered / left the host's active scope. Nothing here.
  virtual void EnteredScope();
  virtual void ExitedScope();

 protected:
  explicit kaRenderer2(kaBufferGroup2& group);
  ~kaRenderer2() override;

  // Where buffers come from; one reference held, never null, never replaced.
  const kaRef<kaBufferGroup2> bufferGroup;
};
