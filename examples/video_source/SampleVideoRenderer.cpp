#include "SampleVideoRenderer.h"

#include <new>

SampleVideoRenderer::Ptr SampleVideoRenderer::Make(const std::string& name, kaBufferGroup2& group,
                                                   kaSourcesPluginMethods& methods) {
  return Ptr(new (std::nothrow) SampleVideoRenderer(name, group, methods));
}
