#include "tolm/zBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

bool AllZero(const unsigned char* data, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

TEST(zBufferTest, StartsEmpty) {
  zBuffer buffer(0, 0);
  EXPECT_EQ(buffer.Data(), nullptr);
  EXPECT_EQ(buffer.Size(), 0u);
}

TEST(zBufferTest, AllocatesAlignedZeroFilledStorage) {
  zBuffer buffer(100, zBuffer::kResizeDiscardContents);
  ASSERT_NE(buffer.Data(), nullptr);
  EXPECT_EQ(buffer.Size(), 100u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.Data()) % 64, 0u);
  EXPECT_TRUE(AllZero(buffer.Data(), buffer.Size()));
  ASSERT_EQ(buffer.ResizeTo(1000, zBuffer::kResizeDiscardContents), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.Data()) % 64, 0u);
  EXPECT_TRUE(AllZero(buffer.Data(), buffer.Size()));
}

TEST(zBufferTest, DiscardModeZeroesEvenAtTheSameSize) {
  zBuffer buffer(0, 0);
  ASSERT_EQ(buffer.ResizeTo(32, zBuffer::kResizeDiscardContents), 0);
  std::memset(buffer.Data(), 0xAB, buffer.Size());
  ASSERT_EQ(buffer.ResizeTo(32, zBuffer::kResizeDiscardContents), 0);
  EXPECT_EQ(buffer.Size(), 32u);
  EXPECT_TRUE(AllZero(buffer.Data(), buffer.Size()));
}

TEST(zBufferTest, KeepModePreservesTheLeadingBytes) {
  zBuffer buffer(16, zBuffer::kResizeKeepContents);
  for (uint32_t i = 0; i < 16; ++i) buffer.Data()[i] = static_cast<unsigned char>(i + 1);
  ASSERT_EQ(buffer.ResizeTo(64, zBuffer::kResizeKeepContents), 0);
  for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(buffer.Data()[i], i + 1);
  EXPECT_TRUE(AllZero(buffer.Data() + 16, 48));
  ASSERT_EQ(buffer.ResizeTo(4, zBuffer::kResizeKeepContents), 0);
  EXPECT_EQ(buffer.Size(), 4u);
  EXPECT_EQ(buffer.Data()[3], 4);
}

TEST(zBufferTest, BadSizesFailAndLeaveTheBufferAsItWas) {
  zBuffer buffer(8, zBuffer::kResizeDiscardContents);
  buffer.Data()[0] = 9;
  unsigned char* before = buffer.Data();
  EXPECT_EQ(buffer.ResizeTo(-1, zBuffer::kResizeDiscardContents), -1);
  EXPECT_EQ(buffer.ResizeTo(static_cast<int64_t>(std::numeric_limits<uint32_t>::max()) + 1,
                            zBuffer::kResizeDiscardContents),
            -1);
  EXPECT_EQ(buffer.ResizeTo(std::numeric_limits<int64_t>::min(), zBuffer::kResizeKeepContents), -1);
  EXPECT_EQ(buffer.Data(), before);
  EXPECT_EQ(buffer.Size(), 8u);
  EXPECT_EQ(buffer.Data()[0], 9);
  zBuffer negative(-5, zBuffer::kResizeDiscardContents);
  EXPECT_EQ(negative.Data(), nullptr);
  EXPECT_EQ(negative.Size(), 0u);
}

TEST(zBufferTest, SizeZeroFreesTheStorage) {
  zBuffer buffer(128, zBuffer::kResizeDiscardContents);
  ASSERT_EQ(buffer.ResizeTo(0, zBuffer::kResizeDiscardContents), 0);
  EXPECT_EQ(buffer.Data(), nullptr);
  EXPECT_EQ(buffer.Size(), 0u);
}

}  // namespace
