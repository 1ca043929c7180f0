#include "filters/kaRenderHash.h"

#include <cstdint>
#include <cstring>

kaRenderHash::kaRenderHash() { zMD5Init(&context_); }

void kaRenderHash::Generate(const void* data, unsigned long length) {
  // The foundation's MD5 takes a 32-bit length: a longer block's length is
  // cut to its low 32 bits, as the hosts that share these hashes cut it.
  zMD5Update(&context_, data, static_cast<uint32_t>(length));
}

void kaRenderHash::Generate(const std::string& text) {
  Generate(text.data(), static_cast<unsigned long>(text.size()));
}

std::string kaRenderHash::Complete() {
  zMD5Final(&context_);
  char text[33];
  std::memset(text, 0, sizeof(text));
  zMD5String(&context_, text);
  // Up to the first zero byte: the full 32 characters for a well-formed digest.
  return std::string(text, ::strnlen(text, sizeof(text) - 1));
}

std::string kaRenderHash::GenerateHash(const void* data, unsigned long length) {
  kaRenderHash hash;
  hash.Generate(data, length);
  return hash.Complete();
}
