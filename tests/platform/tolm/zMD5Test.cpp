#include "tolm/zMD5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

std::string Digest(const std::string& text) {
  zMD5Context context;
  zMD5Init(&context);
  zMD5Update(&context, text.data(), static_cast<uint32_t>(text.size()));
  zMD5Final(&context);
  char hex[33];
  zMD5String(&context, hex);
  return hex;
}

struct Vector {
  const char* input;
  const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
constexpr Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(zMD5Test, MatchesTheRfc1321Vectors) {
  for (const auto& vector : kRfc1321) EXPECT_EQ(Digest(vector.input), vector.digest) << '"' << vector.input << '"';
}

TEST(zMD5Test, PiecewiseUpdatesEqualOneUpdate) {
  const std::string text(1000, 'q');
  zMD5Context context;
  zMD5Init(&context);
  // Pieces that straddle the 64-byte block boundary in every way.
  size_t offset = 0;
  for (uint32_t piece = 1; offset < text.size(); ++piece) {
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(piece, text.size() - offset));
    zMD5Update(&context, text.data() + offset, length);
    offset += length;
  }
  zMD5Final(&context);
  char hex[33];
  zMD5String(&context, hex);
  EXPECT_EQ(std::string(hex), Digest(text));
}

TEST(zMD5Test, ContextIsPlainDataThatCanBeCopiedMidway) {
  zMD5Context context;
  zMD5Init(&context);
  zMD5Update(&context, "message ", 8);
  zMD5Context copy;
  std::memcpy(&copy, &context, sizeof(context));
  zMD5Update(&context, "digest", 6);
  zMD5Update(&copy, "digest", 6);
  zMD5Final(&context);
  zMD5Final(&copy);
  char a[33];
  char b[33];
  zMD5String(&context, a);
  zMD5String(&copy, b);
  EXPECT_STREQ(a, "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_STREQ(b, a);
}

TEST(zMD5Test, NullDataCountsAsNoBytes) {
  zMD5Context context;
  zMD5Init(&context);
  zMD5Update(&context, nullptr, 100);
  zMD5Update(nullptr, "abc", 3);
  zMD5Update(&context, "abc", 3);
  zMD5Final(&context);
  char hex[33];
  zMD5String(&context, hex);
  EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(std::strlen(hex), 32u);
}

}  // namespace
