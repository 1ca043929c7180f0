#include "tolm/zString.h"

#include <gtest/gtest.h>

namespace {

TEST(zStringTest, LengthMinusOneReadsUpToTheNul) {
  zString text("channel", -1);
  EXPECT_EQ(text.Length(), 7);
  EXPECT_STREQ(text.Text(), "channel");
  zString defaulted("abc");
  EXPECT_EQ(defaulted.Length(), 3);
}

TEST(zStringTest, ExplicitLengthKeepsEmbeddedNuls) {
  zString bytes("a\0b", 3);
  EXPECT_EQ(bytes.Length(), 3);
  EXPECT_EQ(bytes.String(), std::string("a\0b", 3));
  zString prefix("abcdef", 2);
  EXPECT_EQ(prefix.String(), "ab");
}

TEST(zStringTest, NullTextGivesAnEmptyString) {
  zString empty(nullptr, 10);
  EXPECT_EQ(empty.Length(), 0);
  ASSERT_NE(empty.Text(), nullptr);
  EXPECT_STREQ(empty.Text(), "");
  EXPECT_EQ(empty, zString());
}

TEST(zStringTest, AppendAndClear) {
  zString text;
  text += 'o';
  text += 'k';
  EXPECT_EQ(text, zString("ok"));
  text.Clear();
  EXPECT_EQ(text.Length(), 0);
  EXPECT_STREQ(text.Text(), "");
}

}  // namespace
