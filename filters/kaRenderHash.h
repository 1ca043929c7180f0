#pragma once
#include <string>

#include "foundation/kaFoundation.h"

// Render hash: the MD5 digest (RFC 1321) of a sequence of byte blocks, as a
// 32-character lower-case hexadecimal key. The video filter manager keys its
// result cache with it. The object is exactly one MD5 context of the
// foundation and nothing else, so it copies, stores and dies as plain data.
// Not thread-safe: one owner feeds it on one thread.
//
// Calling order: construct, any number of Generate calls in the order the
// bytes are to be hashed, one Complete. Complete finalises the context without
// resetting it; hashing more after Complete needs a new object.
class KASP2_EXPORT kaRenderHash {
 public:
  kaRenderHash();

  // Adds `length` bytes at `data`. The foundation's update takes a 32-bit
  // length, so only the low 32 bits of `length` count (a block of 4 GiB + 3
  // bytes adds its first 3 bytes). Null data adds nothing.
  void Generate(const void* data, unsigned long length);
  // Adds the bytes of `text`, without a terminating zero.
  void Generate(const std::string& text);

  // Finalises the digest and returns its 32-character text.
  std::string Complete();

  // A fresh hash of one block: construct, Generate(data, length), Complete().
  static std::string GenerateHash(const void* data, unsigned long length);

 private:
  zMD5Context context_;
};
