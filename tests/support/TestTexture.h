#pragma once
#include <cstdint>
#include <memory>

#include "buffers/kaBuffer2.h"
#include "host/luXITexture.h"

// A video buffer that also carries a texture of the host's graphics library:
// a kaBuffer2 that answers "luXITexture" with itself. Both bases share the
// buffer's one reference count. Made with Make(), which returns the creator's
// reference in a shared pointer; no storage is allocated (the filter manager
// reads only the record, the dirtied time, the flag and the address).
class TestTexture : public kaBuffer2, public luXITexture {
 public:
  static std::shared_ptr<TestTexture> Make(int32_t width, int32_t height, int32_t bytesPerRow);

  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  int32_t Concrete_QueryInterface(const char* name, void** out) override;

 protected:
  TestTexture() : kaBuffer2(veMediaTypeVideo) {}
  ~TestTexture() override = default;
};

// A plain video buffer (no texture) of the given size fields, in a shared
// pointer that owns its first reference.
std::shared_ptr<kaBuffer2> MakePlainVideoBuffer(int32_t width, int32_t height, int32_t bytesPerRow);
