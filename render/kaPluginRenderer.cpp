#include "render/kaPluginRenderer.h"

#include "render/kaSourcesPluginMethods.h"

kaPluginRenderer::kaPluginRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
    : kaRenderer2(group),
      rendererLock(kaMakeRequiredLock()),
      outputRasterType(0),
      rendererName(name.c_str(), -1),
      hostMethods(kaRef<kaSourcesPluginMethods>::Retain(&methods)) {}

kaPluginRenderer::~kaPluginRenderer() {
  // The host's table is given back first; the lock goes before the name, and
  // kaRenderer2's destructor gives back the group last.
  hostMethods.Reset();
  rendererLock.reset();
}

int32_t kaPluginRenderer::OutputFormat(veMediaType type, veMediaRecord& record, int32_t /*variant*/) {
  if (type == veMediaTypeAudio) {
    SetAudioRecord(record);
    return 0;
  }
  if (type == veMediaTypeVideo) {
    record.SetMediaType(veMediaTypeVideo);
    record.SetWidth(outputWidth);
    record.SetHeight(outputHeight);
    record.SetRasterType(veRasterType::kRGB);
    return 0;
  }
  return -1;
}

void kaPluginRenderer::SetOutputWidth(int32_t width) { outputWidth = width; }

void kaPluginRenderer::SetOutputHeight(int32_t height) { outputHeight = height; }

int32_t kaPluginRenderer::GetOutputWidth() { return outputWidth; }

int32_t kaPluginRenderer::GetOutputHeight() { return outputHeight; }

void kaPluginRenderer::SetAudioRecord(veMediaRecord& /*record*/) {}
