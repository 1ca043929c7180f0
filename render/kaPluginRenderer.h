#pragma once
#include <cstdint>
#include <string>

#include "foundation/kaFoundation.h"
#include "render/kaRenderer2.h"

class kaSourcesPluginMethods;

// Base of the video and audio renderers given to source plug-ins. Holds a
// reference to the buffer group and to the host's callback table for its whole
// life, its name, the audio cue path's lock and the output video size.
// Abstract: a plug-in's subclass supplies RendererKind. Nothing here locks;
// the video renderer overrides the size accessors and OutputFormat with
// locked versions.
class KASP2_EXPORT kaPluginRenderer : public kaRenderer2 {
 public:
  // The output size of a renderer that has received nothing.
  static constexpr int32_t kInitialOutputWidth = 320;
  static constexpr int32_t kInitialOutputHeight = 240;

  // The name is kept up to its first NUL. Throws std::bad_alloc, holding no
  // reference, when the lock cannot be made.
  kaPluginRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods);

  // ---- virtual operations, after those of kaRenderer2 in the table ----------

  // Audio: SetAudioRecord. Video: the output size in "rgb ". Returns 0.
  // Returns -1, the record unchanged, for any other media type.
  int32_t OutputFormat(veMediaType type, veMediaRecord& record, int32_t variant) override;

  // The output size, without a lock.
  virtual void SetOutputWidth(int32_t width);
  virtual void SetOutputHeight(int32_t height);
  virtual int32_t GetOutputWidth();
  virtual int32_t GetOutputHeight();
  // The output audio format; nothing here, the audio renderer writes it.
  virtual void SetAudioRecord(veMediaRecord& record);

  // The name as passed to the host ("" when it has no text).
  const std::string& RendererName() const { return rendererName.String(); }

 protected:
  // Releases the callback table, then the group.
  ~kaPluginRenderer() override;

  // The audio renderer's cue path lock; the video renderer has its own.
  // Never null.
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
