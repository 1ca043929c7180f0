#include "tolm/zMemory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr unsigned char kUntouched = 0xEE;

std::vector<unsigned char> Pattern(size_t size) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  return bytes;
}

TEST(zMemoryTest, CopyAndZeroIgnoreNullAndEmpty) {
  std::vector<unsigned char> destination(8, kUntouched);
  const auto source = Pattern(8);
  zCopyMemory(nullptr, destination.data(), 8);
  zCopyMemory(source.data(), nullptr, 8);
  zCopyMemory(source.data(), destination.data(), 0);
  zZeroMemory(nullptr, 8);
  zZeroMemory(destination.data(), 0);
  EXPECT_EQ(destination, std::vector<unsigned char>(8, kUntouched));
  zCopyMemory(source.data(), destination.data(), 5);
  EXPECT_EQ(std::memcmp(destination.data(), source.data(), 5), 0);
  EXPECT_EQ(destination[5], kUntouched);
  zZeroMemory(destination.data() + 1, 3);
  EXPECT_EQ(destination[0], source[0]);
  EXPECT_EQ(destination[1] | destination[2] | destination[3], 0);
  EXPECT_EQ(destination[4], source[4]);
}

TEST(zMemoryTest, CopyImageOfTightRowsCopiesEverything) {
  constexpr int32_t kRowBytes = 12;
  constexpr int32_t kRows = 5;
  const auto source = Pattern(kRowBytes * kRows);
  std::vector<unsigned char> destination(kRowBytes * kRows + 4, kUntouched);
  EXPECT_NE(zCopyImage(source.data(), kRowBytes, destination.data(), kRowBytes, kRowBytes, kRows), 0);
  EXPECT_EQ(std::memcmp(destination.data(), source.data(), source.size()), 0);
  EXPECT_EQ(destination[source.size()], kUntouched);
}

TEST(zMemoryTest, CopyImageBetweenStridesLeavesPaddingAlone) {
  constexpr int32_t kBytesPerRow = 10;
  constexpr int32_t kSourceStride = 16;
  constexpr int32_t kDestinationStride = 13;
  constexpr int32_t kRows = 4;
  const auto source = Pattern(kSourceStride * kRows);
  std::vector<unsigned char> destination(kDestinationStride * kRows, kUntouched);
  ASSERT_NE(zCopyImage(source.data(), kSourceStride, destination.data(), kDestinationStride, kBytesPerRow, kRows), 0);
  for (int32_t row = 0; row < kRows; ++row) {
    for (int32_t i = 0; i < kDestinationStride; ++i) {
      const unsigned char expected = i < kBytesPerRow ? source[row * kSourceStride + i] : kUntouched;
      ASSERT_EQ(destination[row * kDestinationStride + i], expected) << "row " << row << " byte " << i;
    }
  }
}

TEST(zMemoryTest, CopyImageRefusesBadArgumentsAndCopiesNothing) {
  const auto source = Pattern(64);
  std::vector<unsigned char> destination(64, kUntouched);
  const std::vector<unsigned char> untouched(64, kUntouched);
  EXPECT_EQ(zCopyImage(nullptr, 8, destination.data(), 8, 8, 2), 0);
  EXPECT_EQ(zCopyImage(source.data(), 8, nullptr, 8, 8, 2), 0);
  EXPECT_EQ(zCopyImage(source.data(), 8, destination.data(), 8, 8, 0), 0);
  EXPECT_EQ(zCopyImage(source.data(), 8, destination.data(), 8, 8, -1), 0);
  EXPECT_EQ(zCopyImage(source.data(), 8, destination.data(), 8, 0, 2), 0);
  EXPECT_EQ(zCopyImage(source.data(), 8, destination.data(), 8, -8, 2), 0);
  EXPECT_EQ(zCopyImage(source.data(), 7, destination.data(), 8, 8, 2), 0);
  EXPECT_EQ(zCopyImage(source.data(), 8, destination.data(), 7, 8, 2), 0);
  EXPECT_EQ(zCopyImage(source.data(), -8, destination.data(), 8, 8, 2), 0);
  EXPECT_EQ(zCopyImage(source.data(), 8, destination.data(), std::numeric_limits<int32_t>::min(), 8, 2), 0);
  EXPECT_EQ(destination, untouched);
}

TEST(zMemoryTest, CopyImageOffsetsBeyondTheInt32RangeLandRight) {
  // Three rows INT32_MAX bytes apart: the last row starts past 4 GiB, where a
  // 32-bit offset would wrap. Only the touched pages of the reservation are
  // ever backed by memory.
  constexpr int32_t kStride = std::numeric_limits<int32_t>::max();
  constexpr int32_t kRows = 3;
  constexpr int32_t kBytesPerRow = 16;
  const size_t span = static_cast<size_t>(kStride) * (kRows - 1) + kBytesPerRow;
  void* mapping = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) GTEST_SKIP() << "cannot reserve address space";
  auto* destination = static_cast<unsigned char*>(mapping);
  const auto source = Pattern(kBytesPerRow * kRows);
  ASSERT_NE(zCopyImage(source.data(), kBytesPerRow, destination, kStride, kBytesPerRow, kRows), 0);
  for (int32_t row = 0; row < kRows; ++row) {
    const size_t offset = static_cast<size_t>(kStride) * static_cast<size_t>(row);
    EXPECT_EQ(std::memcmp(destination + offset, source.data() + row * kBytesPerRow, kBytesPerRow), 0) << row;
  }
  munmap(mapping, span);
}

}  // namespace
