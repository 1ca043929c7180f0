#include "support/TestTexture.h"

#include <new>

#include "tolm/zSharedPtr.h"

std::shared_ptr<TestTexture> TestTexture::Make(int32_t width, int32_t height, int32_t bytesPerRow) {
  std::shared_ptr<TestTexture> texture = zAsSharedPtr(new TestTexture());
  texture->SetWidth(width);
  texture->SetHeight(height);
  texture->SetBytesPerRow(bytesPerRow);
  texture->SetRasterType(veRasterType::kBGRA);
  return texture;
}

int32_t TestTexture::QueryInterface(const char* name, void** out) { return kaBuffer2::QueryInterface(name, out); }
int32_t TestTexture::AddRef() { return kaBuffer2::AddRef(); }
int32_t TestTexture::Release() { return kaBuffer2::Release(); }

int32_t TestTexture::Concrete_QueryInterface(const char* name, void** out) {
  if (out) *out = nullptr;
  if (CompareInterfaceName(name, luXITexture::kInterfaceName)) {
    if (!out) return 0;
    *out = static_cast<luXITexture*>(this);
    kaBuffer2::AddRef();
    return 0;
  }
  return kaBuffer2::Concrete_QueryInterface(name, out);
}

std::shared_ptr<kaBuffer2> MakePlainVideoBuffer(int32_t width, int32_t height, int32_t bytesPerRow) {
  std::shared_ptr<kaBuffer2> buffer = zAsSharedPtr(new kaBuffer2(veMediaTypeVideo));
  buffer->SetWidth(width);
  buffer->SetHeight(height);
  buffer->SetBytesPerRow(bytesPerRow);
  buffer->SetRasterType(veRasterType::kBGRA);
  return buffer;
}
