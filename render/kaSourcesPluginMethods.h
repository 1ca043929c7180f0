#pragma once
#include <string>

#include "buffers/kaBuffer2Producer.h"
#include "buffers/kaOptimizedBuffer2Producer.h"
#include "foundation/kaFoundation.h"

// The host's callback table: a reference-counted object that the host
// implements and hands to every renderer it makes; each renderer holds one
// reference from construction to destruction. Renderers call it on the
// plug-in's delivery thread, after every delivered frame or audio block and
// outside every lock of the library, so an implementation may call back into
// the renderer. The producer lives only for the duration of the call; a
// buffer obtained through it carries its own reference and may be kept.
class KASP2_EXPORT kaSourcesPluginMethods : public zRefCount {
 public:
  kaSourcesPluginMethods();

  // A plug-in delivered a video frame to the renderer named `rendererName`
  // ("" for a renderer whose name has no text). Does nothing here.
  virtual void VideoReceived(const std::string& rendererName, kaBuffer2Producer& producer);
  // A plug-in delivered an audio block; the producer knows the block's format
  // without producing it. Does nothing here.
  virtual void AudioReceived(const std::string& rendererName, kaOptimizedBuffer2Producer& producer);

 protected:
  // Only the last Release destroys a table.
  ~kaSourcesPluginMethods() override;
};
