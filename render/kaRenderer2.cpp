#include "render/kaRenderer2.h"

#include "buffers/kaBufferGroup2.h"

kaRenderer2::kaRenderer2(kaBufferGroup2& group) : bufferGroup(kaRef<kaBufferGroup2>::Retain(&group)) {}

kaRenderer2::~kaRenderer2() = default;  // bufferGroup gives its reference back

int32_t kaRenderer2::QueryInterface(const char* name, void** out) { return Concrete_QueryInterface(name, out); }

int32_t kaRenderer2::AddRef() { return Concrete_AddRef(); }

int32_t kaRenderer2::Release() { return Concrete_Release(); }

int32_t kaRenderer2::OutputFormat(veMediaType /*type*/, veMediaRecord& /*record*/, int32_t /*variant*/) {
  return -1;
}

int64_t kaRenderer2::GetDuration() { return 0; }

void kaRenderer2::Sleep() {}

void kaRenderer2::Wake() {}

int32_t kaRenderer2::Cue(kaBuffer2** /*out*/, const ka_renderer_params& /*params*/) { return -1; }

int64_t kaRenderer2::CueTimestampForParameters(const ka_renderer_params& /*params*/) const {
  return zTime::MicroNow();
}

int32_t kaRenderer2::ChangeConfigurationSettings(const zRecord& /*settings*/, int32_t /*variant*/,
                                                 zRecord& /*result*/) {
  return 0;
}

std::optional<kaVideoScaling> kaRenderer2::VideoScaling() const { return std::nullopt; }

void kaRenderer2::EnteredScope() {}

void kaRenderer2::ExitedScope() {}
