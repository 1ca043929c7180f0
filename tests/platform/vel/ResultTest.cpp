#include "Vel/Result.h"

#include <gtest/gtest.h>

#include <cstring>

namespace Corvane::Vel {
namespace {

Result Pass() { return ResultOK; }
Result Fail() { return ResultError("disk on fire"); }

TEST(ResultTest, OnlyOKSucceeds) {
  EXPECT_FALSE(Result(ResultOK).Failed());
  EXPECT_TRUE(Result(ResultError).Failed());
  EXPECT_TRUE(Result(ResultNotImplemented).Failed());
  EXPECT_TRUE(Result(ResultNotSupported).Failed());
  EXPECT_FALSE(Result().Failed());  // a default result is success
}

TEST(ResultTest, NamedResultsCarryDistinctCodesAndOptionalText) {
  EXPECT_EQ(Pass(), ResultOK);
  EXPECT_EQ(Fail(), ResultError);
  EXPECT_FALSE(Fail() == ResultNotSupported);
  EXPECT_FALSE(Result(ResultNotImplemented) == ResultNotSupported);
  EXPECT_EQ(Pass().GetMessage(), nullptr);
  ASSERT_NE(Fail().GetMessage(), nullptr);
  EXPECT_STREQ(Fail().GetMessage(), "disk on fire");
  EXPECT_EQ(ResultNotImplemented().GetCode(), Result::Code::kNotImplemented);
  EXPECT_EQ(ResultNotImplemented().GetMessage(), nullptr);
}

}  // namespace
}  // namespace Corvane::Vel
