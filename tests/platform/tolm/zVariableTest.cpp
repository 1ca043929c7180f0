#include "tolm/zVariable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

TEST(zVariableTest, SettersKeepTheFlagBitAndReplaceTheTag) {
  zVariable v(42);
  v.type = zVariable::kFlagBit;
  v.SetInt32(7, 2);
  EXPECT_EQ(v.Tag(), kzTypeInt32);
  EXPECT_EQ(v.type & zVariable::kFlagBit, zVariable::kFlagBit);
  EXPECT_EQ(v.flags, 2);
  v.SetDouble(1.5);
  EXPECT_EQ(v.Tag(), kzTypeDouble);
  EXPECT_EQ(v.type & zVariable::kFlagBit, zVariable::kFlagBit);
  EXPECT_EQ(v.flags, 0);
  ASSERT_TRUE(v.SetOwned("abc", -1));
  EXPECT_EQ(v.type, zVariable::kFlagBit | kzTypeOwned);
  v.Clear();
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_EQ(v.type, zVariable::kFlagBit);
  EXPECT_EQ(v.key, 42u);
}

TEST(zVariableTest, OwnedBytesAreCopiedAndNulTerminated) {
  const char bytes[] = {'a', '\0', 'b', 'c'};
  zVariable v;
  ASSERT_TRUE(v.SetOwned(bytes, 4));
  ASSERT_NE(v.OwnedData(), nullptr);
  EXPECT_NE(v.OwnedData(), bytes);
  EXPECT_EQ(v.OwnedSize(), 4u);
  EXPECT_EQ(std::memcmp(v.OwnedData(), bytes, 4), 0);
  EXPECT_EQ(v.OwnedData()[4], '\0');
  ASSERT_TRUE(v.SetOwned("text", -1));
  EXPECT_STREQ(v.OwnedData(), "text");
  EXPECT_EQ(v.OwnedSize(), 4u);
  ASSERT_TRUE(v.SetOwned(nullptr, 0));
  EXPECT_EQ(v.OwnedSize(), 0u);
  EXPECT_STREQ(v.OwnedData(), "");
  // Replacing owned bytes by a number frees them (leak checkers see it).
  v.SetInt32(1);
  EXPECT_EQ(v.OwnedData(), nullptr);
  EXPECT_EQ(v.OwnedSize(), 0u);
}

TEST(zVariableTest, BadOwnedArgumentsLeaveTheValueAlone) {
  zVariable v;
  v.SetInt64(99);
  EXPECT_FALSE(v.SetOwned(nullptr, -1));
  EXPECT_FALSE(v.SetOwned(nullptr, 5));
  EXPECT_EQ(v.Tag(), kzTypeInt64);
  EXPECT_EQ(v.AsInt64_full(0), 99);
}

TEST(zVariableTest, CopiesDuplicateOwnedBytesAndMovesTransferThem) {
  zVariable a(7);
  ASSERT_TRUE(a.SetOwned("hello", -1, 3));
  zVariable b(a);
  EXPECT_EQ(b.key, 7u);
  EXPECT_NE(b.OwnedData(), a.OwnedData());
  EXPECT_STREQ(b.OwnedData(), "hello");
  EXPECT_TRUE(b.SameValue(a));
  zVariable c;
  c.SetInt32(1);
  c = a;
  EXPECT_STREQ(c.OwnedData(), "hello");
  EXPECT_NE(c.OwnedData(), a.OwnedData());
  const char* bytes = a.OwnedData();
  zVariable d(std::move(a));
  EXPECT_EQ(d.OwnedData(), bytes);
  EXPECT_TRUE(a.IsEmpty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  zVariable e;
  ASSERT_TRUE(e.SetOwned("old", -1));
  e = std::move(d);
  EXPECT_EQ(e.OwnedData(), bytes);
  EXPECT_TRUE(d.IsEmpty());  // NOLINT(bugprone-use-after-move)
  const zVariable& alias = e;
  e = alias;  // self-assignment keeps the bytes
  EXPECT_STREQ(e.OwnedData(), "hello");
}

TEST(zVariableTest, FullCopyKeepsKeyAndFlagBitOfTheDestination) {
  zVariable source(1);
  ASSERT_TRUE(source.SetOwned("payload", -1, 5));
  zVariable destination(2);
  destination.type = zVariable::kFlagBit;
  ASSERT_TRUE(destination.full_copy(source.type, source));
  EXPECT_EQ(destination.key, 2u);
  EXPECT_EQ(destination.type, zVariable::kFlagBit | kzTypeOwned);
  EXPECT_EQ(destination.flags, 5);
  EXPECT_STREQ(destination.OwnedData(), "payload");
  EXPECT_NE(destination.OwnedData(), source.OwnedData());
  source.SetFloat(2.5f);
  ASSERT_TRUE(destination.full_copy(source.type, source));
  EXPECT_EQ(destination.Tag(), kzTypeFloat);
  EXPECT_EQ(destination.AsDouble_full(0), 2.5);
  // Copying itself changes nothing.
  ASSERT_TRUE(destination.full_copy(destination.type, destination));
  EXPECT_EQ(destination.AsDouble_full(0), 2.5);
}

TEST(zVariableTest, SameValueComparesTagFlagsAndContent) {
  zVariable a, b;
  a.SetInt32(5);
  b.SetInt64(5);
  EXPECT_FALSE(a.SameValue(b));
  b.SetInt32(5, 2);
  EXPECT_FALSE(a.SameValue(b));
  b.SetInt32(5);
  EXPECT_TRUE(a.SameValue(b));
  a.SetDouble(std::nan(""));
  b = a;
  EXPECT_TRUE(a.SameValue(b));
  ASSERT_TRUE(a.SetOwned("xy", -1));
  ASSERT_TRUE(b.SetOwned("xz", -1));
  EXPECT_FALSE(a.SameValue(b));
  ASSERT_TRUE(b.SetOwned("xy", -1));
  EXPECT_TRUE(a.SameValue(b));
}

TEST(zVariableTest, EmptyAndOwnedValuesGiveTheDefault) {
  zVariable v;
  EXPECT_EQ(v.AsInt32_full(-3), -3);
  EXPECT_EQ(v.AsInt64_full(-4), -4);
  EXPECT_EQ(v.AsUInt64_full(5), 5u);
  EXPECT_EQ(v.AsDouble_full(1.25), 1.25);
  EXPECT_TRUE(v.AsBool_full(true));
  ASSERT_TRUE(v.SetOwned("12", -1));
  EXPECT_EQ(v.AsInt32_full(-3), -3);
  EXPECT_EQ(v.AsDouble_full(1.25), 1.25);
}

TEST(zVariableTest, Int32ConversionSaturates) {
  zVariable v;
  v.SetInt64(static_cast<int64_t>(kI32Max) + 1);
  EXPECT_EQ(v.AsInt32_full(0), kI32Max);
  v.SetInt64(static_cast<int64_t>(kI32Min) - 1);
  EXPECT_EQ(v.AsInt32_full(0), kI32Min);
  v.SetInt64(kI64Max);
  EXPECT_EQ(v.AsInt32_full(0), kI32Max);
  v.SetInt64(kI64Min);
  EXPECT_EQ(v.AsInt32_full(0), kI32Min);
  v.SetUInt64(kU64Max);
  EXPECT_EQ(v.AsInt32_full(0), kI32Max);
  v.SetInt64(-17);
  EXPECT_EQ(v.AsInt32_full(0), -17);
  v.SetDouble(1e300);
  EXPECT_EQ(v.AsInt32_full(0), kI32Max);
  v.SetDouble(-1e300);
  EXPECT_EQ(v.AsInt32_full(0), kI32Min);
  v.SetFloat(-2.9f);
  EXPECT_EQ(v.AsInt32_full(0), -2);
  v.SetDouble(2.9);
  EXPECT_EQ(v.AsInt32_full(0), 2);
  v.SetBool(true);
  EXPECT_EQ(v.AsInt32_full(0), 1);
}

TEST(zVariableTest, Int64AndUInt64ConversionsSaturate) {
  zVariable v;
  v.SetUInt64(kU64Max);
  EXPECT_EQ(v.AsInt64_full(0), kI64Max);
  EXPECT_EQ(v.AsUInt64_full(0), kU64Max);
  v.SetUInt64(static_cast<uint64_t>(kI64Max));
  EXPECT_EQ(v.AsInt64_full(0), kI64Max);
  v.SetInt64(-1);
  EXPECT_EQ(v.AsUInt64_full(7), 0u);
  v.SetInt32(-1);
  EXPECT_EQ(v.AsUInt64_full(7), 0u);
  v.SetInt32(kI32Min);
  EXPECT_EQ(v.AsInt64_full(0), kI32Min);
  // 2^63 is the first double above the int64 range.
  v.SetDouble(9223372036854775808.0);
  EXPECT_EQ(v.AsInt64_full(0), kI64Max);
  v.SetDouble(-9223372036854775808.0);
  EXPECT_EQ(v.AsInt64_full(0), kI64Min);
  v.SetDouble(std::numeric_limits<double>::infinity());
  EXPECT_EQ(v.AsInt64_full(0), kI64Max);
  EXPECT_EQ(v.AsUInt64_full(0), kU64Max);
  v.SetDouble(-std::numeric_limits<double>::infinity());
  EXPECT_EQ(v.AsInt64_full(0), kI64Min);
  EXPECT_EQ(v.AsUInt64_full(9), 0u);
  v.SetDouble(18446744073709551616.0);
  EXPECT_EQ(v.AsUInt64_full(0), kU64Max);
  v.SetDouble(4e18);
  EXPECT_EQ(v.AsInt64_full(0), 4000000000000000000);
}

TEST(zVariableTest, NaNConvertsToTheDefault) {
  zVariable v;
  v.SetDouble(std::nan(""));
  EXPECT_EQ(v.AsInt32_full(-9), -9);
  EXPECT_EQ(v.AsInt64_full(-9), -9);
  EXPECT_EQ(v.AsUInt64_full(9), 9u);
  EXPECT_FALSE(v.AsBool_full(false));
  EXPECT_TRUE(std::isnan(v.AsDouble_full(0)));
  v.SetFloat(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(v.AsInt32_full(11), 11);
  EXPECT_EQ(v.AsInt64_full(12), 12);
}

}  // namespace
