#pragma once
#include <string>

#include "foundation/kaFoundation.h"

// The MD5 digest (RFC 1321) of a sequence of byte blocks as 32 lower-case hex
// characters: the key of the video filter manager's result cache. Exactly one
// foundation MD5 context, so it copies and dies as plain data. One owner, one
// thread. Feed it with Generate, then call Complete once; Complete does not
// reset it, so more hashing needs a new object.
class KASP2_EXPORT kaRenderHash {
 public:
  kaRenderHash();

  // Adds `length` bytes at `data`; only the low 32 bits of `length` count (a
  // block of 4 GiB + 3 bytes adds its first 3). Null data adds nothing.
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
