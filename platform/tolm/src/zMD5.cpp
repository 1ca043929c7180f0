#include "tolm/zMD5.h"

#include <md5.h>

#include <cstring>
#include <new>
#include <type_traits>

// The context stores libmd's MD5_CTX in place: it must fit and be plain data,
// because render hashes copy contexts by value.
static_assert(sizeof(MD5_CTX) <= sizeof(zMD5Context::state), "MD5_CTX does not fit zMD5Context::state");
static_assert(alignof(MD5_CTX) <= 8, "zMD5Context::state is 8-byte aligned");
static_assert(std::is_trivially_copyable_v<MD5_CTX>, "MD5_CTX must be plain data");
static_assert(MD5_DIGEST_LENGTH == sizeof(zMD5Context::digest), "digest size");

namespace {

MD5_CTX* Ctx(zMD5Context* context) { return std::launder(reinterpret_cast<MD5_CTX*>(context->state)); }

}  // namespace

void zMD5Init(zMD5Context* context) {
  if (!context) return;
  std::memset(context, 0, sizeof(*context));
  MD5Init(new (context->state) MD5_CTX);
}

void zMD5Update(zMD5Context* context, const void* data, uint32_t length) {
  if (!context || !data || length == 0) return;
  MD5Update(Ctx(context), static_cast<const uint8_t*>(data), length);
}

void zMD5Final(zMD5Context* context) {
  if (!context) return;
  MD5Final(context->digest, Ctx(context));
}

void zMD5String(const zMD5Context* context, char text[33]) {
  if (!text) return;
  if (!context) {
    text[0] = '\0';
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof(context->digest); ++i) {
    text[2 * i] = kHex[context->digest[i] >> 4];
    text[2 * i + 1] = kHex[context->digest[i] & 0x0f];
  }
  text[32] = '\0';
}
