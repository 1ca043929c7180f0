#include "filters/kaRenderHash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

namespace {

// RFC 1321, appendix A.5.
constexpr const char* kMD5OfEmpty = "d41d8cd98f00b204e9800998ecf8427e";
constexpr const char* kMD5OfAbc = "900150983cd24fb0d6963f7d28e17f72";
constexpr const char* kMD5OfMessageDigest = "f96b697d7cb7938d525a2f31aaf161d0";
constexpr const char* kEightyDigits =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
constexpr const char* kMD5OfEightyDigits = "57edf4a22be3c955ac49da2e2107b67a";

// The hash is one MD5 context and nothing else: copied and stored as plain data.
static_assert(sizeof(kaRenderHash) == sizeof(zMD5Context));
static_assert(std::is_trivially_copyable_v<kaRenderHash>);
static_assert(!std::is_polymorphic_v<kaRenderHash>);

TEST(kaRenderHashTest, CompletedWithoutInputIsTheDigestOfNothing) {
  kaRenderHash hash;
  EXPECT_EQ(hash.Complete(), kMD5OfEmpty);
  EXPECT_EQ(kaRenderHash::GenerateHash(nullptr, 0), kMD5OfEmpty);
}

TEST(kaRenderHashTest, MatchesTheRfcVectors) {
  EXPECT_EQ(kaRenderHash::GenerateHash("abc", 3), kMD5OfAbc);
  EXPECT_EQ(kaRenderHash::GenerateHash("message digest", 14), kMD5OfMessageDigest);
  EXPECT_EQ(kaRenderHash::GenerateHash(kEightyDigits, std::strlen(kEightyDigits)), kMD5OfEightyDigits);
}

TEST(kaRenderHashTest, DigestDependsOnlyOnTheConcatenatedBytes) {
  kaRenderHash pieces;
  pieces.Generate(std::string("a"));
  pieces.Generate("b", 1);
  pieces.Generate(std::string("c"));
  EXPECT_EQ(pieces.Complete(), kMD5OfAbc);

  kaRenderHash whole;
  whole.Generate(std::string("abc"));
  EXPECT_EQ(whole.Complete(), kaRenderHash::GenerateHash("abc", 3));

  // Blocks that straddle the 64-byte boundary of the digest's rounds.
  kaRenderHash straddling;
  straddling.Generate(kEightyDigits, 7);
  straddling.Generate(kEightyDigits + 7, 60);
  straddling.Generate(std::string(kEightyDigits + 67));
  EXPECT_EQ(straddling.Complete(), kMD5OfEightyDigits);
}

TEST(kaRenderHashTest, EmptyStringsAndNullDataAddNothing) {
  kaRenderHash hash;
  hash.Generate(std::string());
  hash.Generate(std::string("ab"));
  hash.Generate(nullptr, 5);
  hash.Generate(std::string());
  hash.Generate("c", 1);
  EXPECT_EQ(hash.Complete(), kMD5OfAbc);
}

TEST(kaRenderHashTest, OnlyTheLow32BitsOfALengthCount) {
  const char bytes[] = "abcdef";
  // 4 GiB + 3 bytes: the update sees a length of 3 and reads only "abc".
  EXPECT_EQ(kaRenderHash::GenerateHash(bytes, (1UL << 32) + 3), kMD5OfAbc);
  // Exactly 4 GiB reads nothing.
  EXPECT_EQ(kaRenderHash::GenerateHash(bytes, 1UL << 32), kMD5OfEmpty);
}

TEST(kaRenderHashTest, ACopiedHashContinuesIndependently) {
  kaRenderHash original;
  original.Generate("a", 1);
  kaRenderHash copy = original;
  original.Generate("bc", 2);
  copy.Generate("xyz", 3);
  EXPECT_EQ(original.Complete(), kMD5OfAbc);
  EXPECT_EQ(copy.Complete(), kaRenderHash::GenerateHash("axyz", 4));
}

TEST(kaRenderHashTest, KeysAreThirtyTwoLowerCaseHexCharacters) {
  for (const char* input : {"", "abc", "a longer text that spans more than one block of the digest "
                                       "rounds, more than sixty-four bytes"}) {
    const std::string key = kaRenderHash::GenerateHash(input, std::strlen(input));
    ASSERT_EQ(key.size(), 32u) << input;
    for (char c : key) {
      EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << key;
    }
  }
  EXPECT_NE(kaRenderHash::GenerateHash("abd", 3), kMD5OfAbc);
}

}  // namespace
