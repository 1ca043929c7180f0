#pragma once
#include <cstdint>
#include <string>

#include "foundation/kaFoundation.h"
#include "render/kaRenderer2.h"

class kaSourcesPluginMethods;

// Base of the renderers that the library gives to source plug-ins (video and
// audio). It holds the buffer group (through kaRenderer2), the host's
// callback table, the renderer's name, a lock for the audio renderer's cue
// path and the output video size. It holds one reference to the group and
// one to the callback table from construction to destruction, so both
// outlive it. Abstract: a plug-in's subclass supplies RendererKind. The
// operations of this class take no lock; the video renderer replaces the
// size accessors and OutputFormat with locked versions.
class KASP2_EXPORT kaPluginRenderer : public kaRenderer2 {
 public:
  // The output size of a renderer that has received nothing.
  static constexpr int32_t kInitialOutputWidth = 320;
  static constexpr int32_t kInitialOutputHeight = 240;

  // Adds a reference to `group` and to `methods`. The name is kept as its
  // text up to the first NUL; a name without text is passed to the host as
  // "". Throws std::bad_alloc when the lock cannot be made (memory short),
  // having given both references back.
  kaPluginRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  // ---- virtual operations, after those of kaRenderer2 ------------------------

  // "audo": fills `record` through SetAudioRecord and returns 0.
  // "vido": writes type "vido", the output width and height and raster type
  // "rgb " into the record's fixed fields and returns 0.
  // Any other type: returns -1 and leaves the record unchanged.
  int32_t OutputFormat(veMediaType type, veMediaRecord& record, int32_t variant) override;

  // Plain stores and loads of the output size, without a lock.
  virtual void SetOutputWidth(int32_t width);
  virtual void SetOutputHeight(int32_t height);
  virtual int32_t GetOutputWidth();
  virtual int32_t GetOutputHeight();
  // Writes the renderer's output audio format into `record`. Does nothing
  // here; the audio renderer fills it.
  virtual void SetAudioRecord(veMediaRecord& record);

  // The name as passed to the host ("" when it has no text).
  const std::string& RendererName() const { return rendererName.String(); }

 protected:
  // Releases the callback table, deletes the lock, then (in kaRenderer2)
  // releases the group.
  ~kaPluginRenderer() override;

  // Taken by the audio renderer's cue path; the video renderer uses locks of
  // its own. Never null.
  zCriticalPtr rendererLock;
  int32_t outputWidth = kInitialOutputWidth;
  int32_t outputHeight = kInitialOutputHeight;
  // Raster type of the output video; 0 until the video renderer learns one
  // from a received frame.
  int32_t outputRasterType = 0;
  zString rendererName;
  // The host's callbacks; never null until destruction, never replaced.
  kaRef<kaSourcesPluginMethods> hostMethods;
};
