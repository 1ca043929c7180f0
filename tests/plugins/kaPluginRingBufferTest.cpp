#include "plugins/kaPluginRingBuffer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/AllocationCounter.h"
#include "support/ManualClock.h"

// Sanitizer allocators do not fail the way the real one does under an
// address-space limit; gcc and clang announce them differently.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KASP2_RING_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KASP2_RING_TEST_SANITIZED 1
#endif
#endif

namespace {

std::vector<uint8_t> Pattern(size_t length, uint8_t first = 1) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// Reads the whole readable window without consuming it.
std::vector<uint8_t> Peek(kaPluginRingBuffer& ring) {
  std::vector<uint8_t> bytes(ring.AvailableData());
  if (bytes.empty()) return bytes;
  bytes.resize(ring.Read(bytes.data(), static_cast<unsigned int>(bytes.size())));
  return bytes;
}

class kaPluginRingBufferTest : public ManualClockTest {};

TEST_F(kaPluginRingBufferTest, StartsEmptyWithWrapSizeEqualToCapacity) {
  kaPluginRingBuffer ring(64, true);
  EXPECT_EQ(ring.Capacity(), 64u);
  EXPECT_EQ(ring.WrapSize(), 64u);
  EXPECT_EQ(ring.AvailableData(), 0u);
  EXPECT_EQ(ring.AvailableSpace(), 64u);
  EXPECT_EQ(ring.CurrentReadPosition(), 0u);
  EXPECT_EQ(ring.CurrentWritePosition(), 0u);
  EXPECT_EQ(ring.LastWriteTime(), 0);
  EXPECT_EQ(ring.ElapseTimeSinceLastWrite(), -1);
}

TEST_F(kaPluginRingBufferTest, ZeroFillClearsEveryStorageByte) {
  kaPluginRingBuffer ring(64, true);
  ring.Seek(1);  // one past the writer at 0: the whole ring but one byte is readable
  const std::vector<uint8_t> bytes = Peek(ring);
  ASSERT_EQ(bytes.size(), 63u);
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(kaPluginRingBufferTest, ReadWithNullDestinationOrZeroLengthReturnsZeroAndChangesNothing) {
  kaPluginRingBuffer ring(16, true);
  const auto data = Pattern(5);
  ASSERT_EQ(ring.Write(data.data(), 5), 5u);
  uint8_t out[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(ring.Read(nullptr, 5), 0u);
  EXPECT_EQ(ring.Read(out, 0), 0u);
  EXPECT_EQ(ring.ReadAndSeek(nullptr, 5), 0u);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(ring.AvailableData(), 5u);
  EXPECT_EQ(ring.CurrentReadPosition(), 0u);
}

TEST_F(kaPluginRingBufferTest, ReadBeyondCountReturnsCountAndDoesNotConsume) {
  kaPluginRingBuffer ring(16, true);
  const auto data = Pattern(6, 10);
  ASSERT_EQ(ring.Write(data.data(), 6), 6u);
  uint8_t first[16] = {};
  uint8_t second[16] = {};
  EXPECT_EQ(ring.Read(first, 16), 6u);
  EXPECT_EQ(ring.AvailableData(), 6u);
  EXPECT_EQ(ring.CurrentReadPosition(), 0u);
  EXPECT_EQ(ring.Read(second, 16), 6u);
  EXPECT_EQ(0, std::memcmp(first, data.data(), 6));
  EXPECT_EQ(0, std::memcmp(second, data.data(), 6));
}

TEST_F(kaPluginRingBufferTest, WriteIntoFullRingReturnsZeroButStampsTheTime) {
  kaPluginRingBuffer ring(8, true);
  const auto data = Pattern(8);
  ASSERT_EQ(ring.Write(data.data(), 8), 8u);
  clock().Advance(5'000'000);
  const int64_t stampTime = clock().Now();
  EXPECT_EQ(ring.Write(data.data(), 3), 0u);
  EXPECT_EQ(ring.LastWriteTime(), stampTime);
  clock().Advance(7);
  EXPECT_EQ(ring.ElapseTimeSinceLastWrite(), 7);
  EXPECT_EQ(Peek(ring), data);  // nothing held was overwritten
}

TEST_F(kaPluginRingBufferTest, WriteStampsTheClockReadingOfTheWrite) {
  kaPluginRingBuffer ring(8, true);
  clock().Set(123'456'789);
  const auto data = Pattern(2);
  ring.Write(data.data(), 2);
  EXPECT_EQ(ring.LastWriteTime(), 123'456'789);
  EXPECT_EQ(ring.ElapseTimeSinceLastWrite(), 0);
  clock().Advance(2'500'000);
  EXPECT_EQ(ring.ElapseTimeSinceLastWrite(), 2'500'000);
}

TEST_F(kaPluginRingBufferTest, WriteEndingExactlyAtWrapSizeLeavesWritePositionZero) {
  kaPluginRingBuffer ring(10, true);
  const auto data = Pattern(10);
  ASSERT_EQ(ring.Write(data.data(), 4), 4u);
  uint8_t sink[4];
  ASSERT_EQ(ring.ReadAndSeek(sink, 4), 4u);
  EXPECT_EQ(ring.Write(data.data(), 6), 6u);
  EXPECT_EQ(ring.CurrentWritePosition(), 0u);
  EXPECT_EQ(ring.AvailableData(), 6u);
}

TEST_F(kaPluginRingBufferTest, WriteOfTenWithFourBytesOfSpaceWritesTheFirstFour) {
  kaPluginRingBuffer ring(16, true);
  const auto filler = Pattern(12, 100);
  ASSERT_EQ(ring.Write(filler.data(), 12), 12u);
  const auto data = Pattern(10, 1);
  EXPECT_EQ(ring.Write(data.data(), 10), 4u);
  EXPECT_EQ(ring.AvailableSpace(), 0u);
  std::vector<uint8_t> expected = filler;
  expected.insert(expected.end(), data.begin(), data.begin() + 4);
  EXPECT_EQ(Peek(ring), expected);
}

TEST_F(kaPluginRingBufferTest, WriteAndReadSplitAcrossTheEndOfTheRing) {
  kaPluginRingBuffer ring(10, true);
  const auto head = Pattern(7, 50);
  ASSERT_EQ(ring.Write(head.data(), 7), 7u);
  uint8_t sink[7];
  ASSERT_EQ(ring.ReadAndSeek(sink, 7), 7u);
  const auto data = Pattern(6, 1);
  ASSERT_EQ(ring.Write(data.data(), 6), 6u);  // 3 bytes at the end, 3 at the start
  EXPECT_EQ(ring.CurrentWritePosition(), 3u);
  uint8_t out[6] = {};
  EXPECT_EQ(ring.ReadAndSeek(out, 6), 6u);
  EXPECT_EQ(0, std::memcmp(out, data.data(), 6));
  EXPECT_EQ(ring.CurrentReadPosition(), 3u);
  EXPECT_EQ(ring.AvailableData(), 0u);
}

TEST_F(kaPluginRingBufferTest, WriteWithNullSourceWritesNothingAndDoesNotStamp) {
  kaPluginRingBuffer ring(8, true);
  EXPECT_EQ(ring.Write(nullptr, 4), 0u);
  EXPECT_EQ(ring.AvailableData(), 0u);
  EXPECT_EQ(ring.LastWriteTime(), 0);
}

TEST_F(kaPluginRingBufferTest, SeekRelativeBeyondTheDataOrTheRingFailsAndChangesNothing) {
  kaPluginRingBuffer ring(20, true);
  const auto data = Pattern(8);
  ASSERT_EQ(ring.Write(data.data(), 8), 8u);
  ASSERT_TRUE(ring.SeekRelative(3));  // read 3, count 5
  EXPECT_FALSE(ring.SeekRelative(6));     // forward beyond the count
  EXPECT_FALSE(ring.SeekRelative(-16));   // back beyond wrap size - count (15)
  EXPECT_EQ(ring.CurrentReadPosition(), 3u);
  EXPECT_EQ(ring.AvailableData(), 5u);
  EXPECT_TRUE(ring.SeekRelative(5));      // exactly to the writer
  EXPECT_EQ(ring.AvailableData(), 0u);
  EXPECT_TRUE(ring.SeekRelative(-20));    // back by the whole ring
  EXPECT_EQ(ring.AvailableData(), 20u);
  EXPECT_EQ(ring.CurrentReadPosition(), 8u);
}

TEST_F(kaPluginRingBufferTest, SeekRelativeOutsideTheSigned32BitRangeFails) {
  kaPluginRingBuffer ring(16, true);
  const auto data = Pattern(8);
  ring.Write(data.data(), 8);
  EXPECT_FALSE(ring.SeekRelative(4'294'967'296LL + 4));  // would pass if cut to 32 bits
  EXPECT_FALSE(ring.SeekRelative(-4'294'967'296LL - 4));
  EXPECT_FALSE(ring.SeekRelative(INT64_MIN));
  EXPECT_FALSE(ring.SeekRelative(INT64_MAX));
  EXPECT_EQ(ring.AvailableData(), 8u);
  EXPECT_EQ(ring.CurrentReadPosition(), 0u);
}

TEST_F(kaPluginRingBufferTest, SeekRelativeLandingOnWrapSizeKeepsItAndReadsFromOffsetZero) {
  kaPluginRingBuffer ring(10, true);
  const auto data = Pattern(10, 1);
  ASSERT_EQ(ring.Write(data.data(), 10), 10u);
  ASSERT_TRUE(ring.SeekRelative(10));
  ASSERT_TRUE(ring.SeekRelative(-3));  // read position 7, count 3
  ASSERT_TRUE(ring.SeekRelative(3));   // lands on 10 = wrap size
  EXPECT_EQ(ring.CurrentReadPosition(), 10u);
  EXPECT_EQ(ring.AvailableData(), 0u);
  const auto more = Pattern(4, 200);
  ASSERT_EQ(ring.Write(more.data(), 4), 4u);
  uint8_t out[4] = {};
  EXPECT_EQ(ring.Read(out, 4), 4u);
  EXPECT_EQ(0, std::memcmp(out, more.data(), 4));  // storage offset 0 onwards
  EXPECT_TRUE(ring.SeekRelative(2));
  EXPECT_EQ(ring.CurrentReadPosition(), 2u);
}

TEST_F(kaPluginRingBufferTest, SeekDerivesTheCountFromThePositionModuloWrapSize) {
  kaPluginRingBuffer ring(100, true);
  const auto data = Pattern(30);
  ASSERT_EQ(ring.Write(data.data(), 30), 30u);
  ring.Seek(30);
  EXPECT_EQ(ring.AvailableData(), 0u);
  ring.Seek(31);
  EXPECT_EQ(ring.AvailableData(), 99u);
  EXPECT_EQ(ring.CurrentReadPosition(), 31u);
  ring.Seek(4'000'000'010u);  // 4,000,000,010 mod 100 = 10
  EXPECT_EQ(ring.CurrentReadPosition(), 10u);
  EXPECT_EQ(ring.AvailableData(), 20u);
  uint8_t out[20] = {};
  EXPECT_EQ(ring.Read(out, 20), 20u);
  EXPECT_EQ(0, std::memcmp(out, data.data() + 10, 20));
}

TEST_F(kaPluginRingBufferTest, SeekBackwardsFromWriterGivesExactlyThatCount) {
  kaPluginRingBuffer ring(50, true);
  const auto data = Pattern(40);
  ASSERT_EQ(ring.Write(data.data(), 40), 40u);
  ASSERT_TRUE(ring.SeekRelative(35));  // count 5
  EXPECT_TRUE(ring.SeekBackwardsRelativeToWritePosition(12));
  EXPECT_EQ(ring.AvailableData(), 12u);
  EXPECT_EQ(ring.CurrentReadPosition(), 28u);
  EXPECT_TRUE(ring.SeekBackwardsRelativeToWritePosition(45));  // wraps through the end
  EXPECT_EQ(ring.AvailableData(), 45u);
  EXPECT_EQ(ring.CurrentReadPosition(), 45u);
  EXPECT_TRUE(ring.SeekBackwardsRelativeToWritePosition(50));
  EXPECT_EQ(ring.AvailableData(), 50u);
  EXPECT_EQ(ring.CurrentReadPosition(), 40u);
}

TEST_F(kaPluginRingBufferTest, SeekBackwardsBeyondTheRingFailsAtTheWriterWithNoData) {
  kaPluginRingBuffer ring(50, true);
  const auto data = Pattern(40);
  ASSERT_EQ(ring.Write(data.data(), 40), 40u);
  EXPECT_FALSE(ring.SeekBackwardsRelativeToWritePosition(51));
  EXPECT_EQ(ring.CurrentReadPosition(), 40u);
  EXPECT_EQ(ring.AvailableData(), 0u);
  EXPECT_FALSE(ring.SeekBackwardsRelativeToWritePosition(0xFFFFFFFFu));
  EXPECT_EQ(ring.AvailableData(), 0u);
}

TEST_F(kaPluginRingBufferTest, MakeEmptyResetsPositionsButKeepsBytesWrapSizeAndTime) {
  kaPluginRingBuffer ring(20, true);
  ring.SetWrapBufferSize(16);
  const auto data = Pattern(9, 30);
  ASSERT_EQ(ring.Write(data.data(), 9), 9u);
  const int64_t stamped = ring.LastWriteTime();
  ring.MakeEmpty();
  EXPECT_EQ(ring.AvailableData(), 0u);
  EXPECT_EQ(ring.CurrentWritePosition(), 0u);
  EXPECT_EQ(ring.CurrentReadPosition(), 0u);
  EXPECT_EQ(ring.WrapSize(), 16u);
  EXPECT_EQ(ring.LastWriteTime(), stamped);
  ring.Seek(1);  // the old bytes are still in the storage
  uint8_t out[8] = {};
  EXPECT_EQ(ring.Read(out, 8), 8u);
  EXPECT_EQ(0, std::memcmp(out, data.data() + 1, 8));
}

TEST_F(kaPluginRingBufferTest, SetWrapBufferSizeAcceptsOnlySizesBelowCapacity) {
  kaPluginRingBuffer ring(100, true);
  ring.SetWrapBufferSize(100);
  EXPECT_EQ(ring.WrapSize(), 100u);
  ring.SetWrapBufferSize(200);
  EXPECT_EQ(ring.WrapSize(), 100u);
  ring.SetWrapBufferSize(0);  // a ring of no bytes would divide by zero
  EXPECT_EQ(ring.WrapSize(), 100u);
  ring.SetWrapBufferSize(99);
  EXPECT_EQ(ring.WrapSize(), 99u);
  EXPECT_EQ(ring.AvailableSpace(), 99u);
  ring.SetWrapBufferSize(97);
  ring.SetWrapBufferSize(98);  // may widen again, never back to the capacity
  EXPECT_EQ(ring.WrapSize(), 98u);
}

TEST_F(kaPluginRingBufferTest, SetWrapBufferSizeKeepsPositionsThatStillFit) {
  kaPluginRingBuffer ring(100, true);
  const auto data = Pattern(30);
  ASSERT_EQ(ring.Write(data.data(), 30), 30u);
  ASSERT_TRUE(ring.SeekRelative(10));
  ring.SetWrapBufferSize(40);
  EXPECT_EQ(ring.CurrentWritePosition(), 30u);
  EXPECT_EQ(ring.CurrentReadPosition(), 10u);
  EXPECT_EQ(ring.AvailableData(), 20u);
  const auto more = Pattern(20, 100);
  EXPECT_EQ(ring.Write(more.data(), 20), 20u);  // wraps at the new size: 10 + 10
  EXPECT_EQ(ring.CurrentWritePosition(), 10u);
  uint8_t out[40] = {};
  EXPECT_EQ(ring.Read(out, 40), 40u);
  EXPECT_EQ(0, std::memcmp(out, data.data() + 10, 20));
  EXPECT_EQ(0, std::memcmp(out + 20, more.data(), 20));
}

TEST_F(kaPluginRingBufferTest, SetWrapBufferSizeBelowAPositionOrTheCountEmptiesTheRing) {
  {
    kaPluginRingBuffer ring(100, true);  // writer beyond the new size
    const auto data = Pattern(60);
    ASSERT_EQ(ring.Write(data.data(), 60), 60u);
    ASSERT_TRUE(ring.SeekRelative(55));
    ring.SetWrapBufferSize(50);
    EXPECT_EQ(ring.WrapSize(), 50u);
    EXPECT_EQ(ring.AvailableData(), 0u);
    EXPECT_EQ(ring.CurrentWritePosition(), 0u);
    EXPECT_EQ(ring.CurrentReadPosition(), 0u);
    EXPECT_EQ(ring.AvailableSpace(), 50u);
  }
  {
    kaPluginRingBuffer ring(100, true);  // reader beyond the new size, writer below
    const auto data = Pattern(100);
    ASSERT_EQ(ring.Write(data.data(), 90), 90u);
    ASSERT_TRUE(ring.SeekRelative(85));
    ASSERT_EQ(ring.Write(data.data(), 20), 20u);  // writer wraps to 10
    ring.SetWrapBufferSize(60);
    EXPECT_EQ(ring.AvailableData(), 0u);
    EXPECT_EQ(ring.CurrentReadPosition(), 0u);
    EXPECT_EQ(ring.CurrentWritePosition(), 0u);
  }
  {
    kaPluginRingBuffer ring(100, true);  // count above the new size
    const auto data = Pattern(100);
    ASSERT_EQ(ring.Write(data.data(), 100), 100u);  // full: writer and reader at 0
    ring.SetWrapBufferSize(50);
    EXPECT_EQ(ring.AvailableData(), 0u);
    EXPECT_EQ(ring.AvailableSpace(), 50u);
  }
}

TEST_F(kaPluginRingBufferTest, StringReadStopsBeforeTheZeroByteAndLeavesIt) {
  kaPluginRingBuffer ring(32, true);
  const char bytes[] = {'a', 'b', '\0', 'c'};
  ASSERT_EQ(ring.Write(bytes, 4), 4u);
  zString text("stale");
  ring >> text;
  EXPECT_EQ(text.String(), "ab");
  EXPECT_EQ(ring.AvailableData(), 2u);
  char next[2] = {1, 1};
  EXPECT_EQ(ring.Read(next, 2), 2u);
  EXPECT_EQ(next[0], '\0');
  EXPECT_EQ(next[1], 'c');
}

TEST_F(kaPluginRingBufferTest, StringReadOnAnEmptyRingYieldsAnEmptyString) {
  kaPluginRingBuffer ring(32, true);
  zString text("stale");
  ring >> text;
  EXPECT_EQ(text.Length(), 0);
}

TEST_F(kaPluginRingBufferTest, StringReadRunsToTheEndOfTheDataAcrossTheRingEnd) {
  kaPluginRingBuffer ring(8, true);
  const auto filler = Pattern(6);
  ring.Write(filler.data(), 6);
  ring.SeekRelative(6);
  ring << zString("hello");  // 2 bytes at the end, 3 at the start
  zString text;
  ring >> text;
  EXPECT_EQ(text.String(), "hello");
  EXPECT_EQ(ring.AvailableData(), 0u);
}

TEST_F(kaPluginRingBufferTest, StringWriteHasNoPrefixAndNoTerminator) {
  kaPluginRingBuffer ring(32, true);
  ring << zString("xyz");
  EXPECT_EQ(ring.AvailableData(), 3u);
  EXPECT_EQ(Peek(ring), (std::vector<uint8_t>{'x', 'y', 'z'}));
  clock().Advance(10);
  ring << zString();
  EXPECT_EQ(ring.AvailableData(), 3u);
  EXPECT_EQ(ring.LastWriteTime(), clock().Now());  // an empty write still stamps
}

TEST_F(kaPluginRingBufferTest, TypedValuesRoundTripInNativeByteOrder) {
  kaPluginRingBuffer ring(64, true);
  ring << static_cast<char>(-5) << static_cast<unsigned char>(250) << static_cast<short>(-30000)
       << static_cast<unsigned short>(60000) << -2'000'000'000 << 4'000'000'000u << -9'000'000'000'000'000'000LL
       << 18'000'000'000'000'000'000ULL;
  EXPECT_EQ(ring.AvailableData(), 1u + 1 + 2 + 2 + 4 + 4 + 8 + 8);

  uint8_t raw[30] = {};
  ASSERT_EQ(ring.Read(raw, 30), 30u);
  const int32_t expectedInt = -2'000'000'000;
  EXPECT_EQ(0, std::memcmp(raw + 6, &expectedInt, 4));  // no byte-order conversion
  EXPECT_EQ(raw[6], static_cast<uint8_t>(expectedInt & 0xFF));  // little-endian on this target

  char c = 0;
  unsigned char uc = 0;
  short s = 0;
  unsigned short us = 0;
  int i = 0;
  unsigned int ui = 0;
  long long ll = 0;
  unsigned long long ull = 0;
  ring >> c >> uc >> s >> us >> i >> ui >> ll >> ull;
  EXPECT_EQ(c, -5);
  EXPECT_EQ(uc, 250);
  EXPECT_EQ(s, -30000);
  EXPECT_EQ(us, 60000);
  EXPECT_EQ(i, -2'000'000'000);
  EXPECT_EQ(ui, 4'000'000'000u);
  EXPECT_EQ(ll, -9'000'000'000'000'000'000LL);
  EXPECT_EQ(ull, 18'000'000'000'000'000'000ULL);
  EXPECT_EQ(ring.AvailableData(), 0u);
}

TEST_F(kaPluginRingBufferTest, TypedReadOnShortDataFillsOnlyTheLeadingBytes) {
  kaPluginRingBuffer ring(16, true);
  const uint8_t two[2] = {0x11, 0x22};
  ASSERT_EQ(ring.Write(two, 2), 2u);
  int value = 0x7A7B7C7D;
  ring >> value;
  uint8_t bytes[4];
  std::memcpy(bytes, &value, 4);
  EXPECT_EQ(bytes[0], 0x11);
  EXPECT_EQ(bytes[1], 0x22);
  EXPECT_EQ(bytes[2], 0x7B);  // untouched
  EXPECT_EQ(bytes[3], 0x7A);
  EXPECT_EQ(ring.AvailableData(), 0u);
}

TEST_F(kaPluginRingBufferTest, TypedWriteIntoShortSpaceWritesOnlyTheLeadingBytes) {
  kaPluginRingBuffer ring(8, true);
  const auto filler = Pattern(5);
  ring.Write(filler.data(), 5);
  ring << 0x0102030405060708LL;
  EXPECT_EQ(ring.AvailableData(), 8u);
  ASSERT_TRUE(ring.SeekRelative(5));
  uint8_t out[3] = {};
  EXPECT_EQ(ring.Read(out, 3), 3u);
  EXPECT_EQ(out[0], 0x08);
  EXPECT_EQ(out[1], 0x07);
  EXPECT_EQ(out[2], 0x06);
}

TEST_F(kaPluginRingBufferTest, ARingOfSizeZeroIsUnusableButSafe) {
  kaPluginRingBuffer ring(0, true);
  const auto data = Pattern(4);
  uint8_t out[4] = {};
  EXPECT_EQ(ring.Capacity(), 0u);
  EXPECT_EQ(ring.WrapSize(), 0u);
  EXPECT_EQ(ring.Write(data.data(), 4), 0u);
  EXPECT_EQ(ring.LastWriteTime(), 0);
  EXPECT_EQ(ring.Read(out, 4), 0u);
  EXPECT_EQ(ring.ReadAndSeek(out, 4), 0u);
  EXPECT_FALSE(ring.SeekRelative(0));
  EXPECT_FALSE(ring.SeekBackwardsRelativeToWritePosition(0));
  ring.Seek(17);
  ring.SetWrapBufferSize(1);
  ring.MakeEmpty();
  EXPECT_EQ(ring.WrapSize(), 0u);
  EXPECT_EQ(ring.AvailableData(), 0u);
  EXPECT_EQ(ring.AvailableSpace(), 0u);
  EXPECT_EQ(ring.CurrentReadPosition(), 0u);
  zString text("x");
  ring >> text;
  EXPECT_EQ(text.Length(), 0);
  ring << 5 << zString("abc");
  EXPECT_EQ(ring.AvailableData(), 0u);
}

#if !defined(KASP2_RING_TEST_SANITIZED)
// Builds a renderer-sized ring under an address-space limit of little more
// than what the process maps now, and checks that it came out unusable.
// Returns 0 when it did, 2 when the limit could not be set, 1 otherwise.
static int BuildRingUnderAddressSpaceLimit() {
  constexpr unsigned int kRendererRingBytes = 33'792'000;
  rlimit saved{};
  if (getrlimit(RLIMIT_AS, &saved) != 0) return 2;
  long pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  if (pages <= 0) return 2;
  const rlim_t mapped = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
  rlimit limited = saved;
  limited.rlim_cur = mapped + 8 * 1024 * 1024;
  if (saved.rlim_max != RLIM_INFINITY && limited.rlim_cur > saved.rlim_max) return 2;
  if (setrlimit(RLIMIT_AS, &limited) != 0) return 2;
  auto* ring = new (std::nothrow) kaPluginRingBuffer(kRendererRingBytes, true);
  setrlimit(RLIMIT_AS, &saved);
  if (!ring) return 1;
  const auto data = Pattern(16);
  uint8_t out[16];
  bool unusable = ring->Capacity() == 0 && ring->WrapSize() == 0 && ring->Write(data.data(), 16) == 0 &&
                  ring->Read(out, 16) == 0;
  ring->Seek(5);
  unusable = unusable && !ring->SeekRelative(0);
  delete ring;
  return unusable ? 0 : 1;
}
#endif

TEST_F(kaPluginRingBufferTest, FailedStorageAllocationLeavesAnUnusableRing) {
#if defined(KASP2_RING_TEST_SANITIZED)
  GTEST_SKIP() << "sanitizer allocators do not return null under an address-space limit";
#else
  // In a fresh copy of this executable: once earlier tests have run threads,
  // malloc can serve the request from another thread's arena, whose address
  // space is already reserved, and the limit would not make it fail.
  rlimit current{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &current), 0);
  if (current.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "address space has a hard limit";
  const std::string savedStyle = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(BuildRingUnderAddressSpaceLimit()), testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, savedStyle);
#endif
}

TEST_F(kaPluginRingBufferTest, ReadWriteAndSeeksDoNotAllocate) {
  kaPluginRingBuffer ring(4096, true);
  const auto data = Pattern(1000);
  std::vector<uint8_t> out(1000);
  ring.Write(data.data(), 1000);  // warm-up
  AllocationCounter counter;
  for (int round = 0; round < 50; ++round) {
    ring.Write(data.data(), 1000);
    ring.Read(out.data(), 700);
    ring.ReadAndSeek(out.data(), 900);
    ring.Seek(static_cast<unsigned int>(round * 977));
    ring.SeekRelative(-100);
    ring.SeekBackwardsRelativeToWritePosition(300);
    ring.AvailableSpace();
    ring.ElapseTimeSinceLastWrite();
    int value = 0;
    ring << round;
    ring >> value;
  }
  EXPECT_EQ(counter.Allocations(), 0);
}

// ---- model-based randomised test -------------------------------------------

// A byte-at-a-time model of the ring: no block copies and no split logic, so
// it checks the implementation's two-part copies and wrap arithmetic.
struct RingModel {
  std::vector<uint8_t> storage;
  uint32_t capacity = 0;
  uint32_t wrap = 0;
  uint32_t count = 0;
  uint32_t read = 0;
  uint32_t write = 0;

  explicit RingModel(uint32_t size) : storage(size, 0), capacity(size), wrap(size) {}

  uint32_t Write(const uint8_t* src, uint32_t length) {
    const uint32_t n = std::min(length, wrap - count);
    for (uint32_t k = 0; k < n; ++k) {
      storage[write] = src[k];
      write = (write + 1) % wrap;
    }
    count += n;
    return n;
  }
  std::vector<uint8_t> Read(uint32_t length) const {
    const uint32_t n = std::min(length, count);
    std::vector<uint8_t> out;
    for (uint32_t k = 0; k < n; ++k) out.push_back(storage[(read + k) % wrap]);
    return out;
  }
  bool SeekRelative(int64_t distance) {
    const int64_t newCount = static_cast<int64_t>(count) - distance;
    if (newCount < 0 || newCount > wrap) return false;
    int64_t position = static_cast<int64_t>(read) + distance;
    while (position < 0) position += wrap;
    if (position > wrap) position %= wrap;
    read = static_cast<uint32_t>(position);
    count = static_cast<uint32_t>(newCount);
    return true;
  }
  void Seek(uint32_t position) {
    read = position % wrap;
    count = static_cast<uint32_t>((static_cast<uint64_t>(write) + wrap - read) % wrap);
  }
  bool SeekBack(uint32_t distance) {
    count = 0;
    read = write;
    return SeekRelative(-static_cast<int64_t>(distance));
  }
  void SetWrap(uint32_t size) {
    if (size == 0 || size >= capacity) return;
    wrap = size;
    if (write >= size || read > size || count > size) count = read = write = 0;
  }
};

uint32_t TestSeed() {
  if (const char* text = std::getenv("KASP2_TEST_SEED")) return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  return std::random_device{}();
}

TEST_F(kaPluginRingBufferTest, MatchesAByteModelOverRandomOperations) {
  const uint32_t seed = TestSeed();
  std::cout << "[ seed     ] " << seed << " (replay with KASP2_TEST_SEED=" << seed << ")\n";
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto uniform = [&random](uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(random);
  };

  uint8_t nextByte = 1;
  for (int ring_round = 0; ring_round < 20; ++ring_round) {
    const uint32_t capacity = uniform(1, 40);
    kaPluginRingBuffer ring(capacity, true);
    RingModel model(capacity);
    for (int step = 0; step < 2000; ++step) {
      const uint32_t op = uniform(0, 99);
      SCOPED_TRACE("round " + std::to_string(ring_round) + " step " + std::to_string(step) + " op " +
                   std::to_string(op));
      // Lengths cluster around the interesting sizes: 0, 1, the space, the wrap.
      const uint32_t length = uniform(0, model.wrap + 3);
      if (op < 25) {
        std::vector<uint8_t> bytes(length);
        for (uint8_t& b : bytes) b = nextByte++;
        ASSERT_EQ(ring.Write(bytes.data(), length), model.Write(bytes.data(), length));
      } else if (op < 40) {
        std::vector<uint8_t> out(length + 1, 0xEE);
        const uint32_t got = ring.Read(length ? out.data() : nullptr, length);
        const auto expected = model.Read(length);
        ASSERT_EQ(got, expected.size());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
      } else if (op < 52) {
        std::vector<uint8_t> out(length + 1, 0xEE);
        const uint32_t got = ring.ReadAndSeek(length ? out.data() : nullptr, length);
        const auto expected = model.Read(length);
        ASSERT_EQ(got, expected.size());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
        model.SeekRelative(got);
      } else if (op < 67) {
        const int64_t distance = static_cast<int64_t>(uniform(0, 2 * model.wrap + 4)) - model.wrap - 2;
        ASSERT_EQ(ring.SeekRelative(distance), model.SeekRelative(distance));
      } else if (op < 77) {
        const uint32_t position = uniform(0, 3) == 0 ? random() : uniform(0, 2 * model.wrap);
        ring.Seek(position);
        model.Seek(position);
      } else if (op < 85) {
        const uint32_t distance = uniform(0, model.wrap + 2);
        ASSERT_EQ(ring.SeekBackwardsRelativeToWritePosition(distance), model.SeekBack(distance));
      } else if (op < 90) {
        int value = 0x55555555;
        int expectedValue = 0x55555555;
        const auto expected = model.Read(sizeof(int));
        if (!expected.empty()) std::memcpy(&expectedValue, expected.data(), expected.size());
        ring >> value;
        model.SeekRelative(static_cast<int64_t>(expected.size()));
        ASSERT_EQ(value, expectedValue);
      } else if (op < 93) {
        const short value = static_cast<short>(random());
        ring << value;
        model.Write(reinterpret_cast<const uint8_t*>(&value), sizeof value);
      } else if (op < 96) {
        zString text;
        ring >> text;
        std::string expected;
        for (;;) {
          const auto next = model.Read(1);
          if (next.empty() || next[0] == 0) break;
          expected += static_cast<char>(next[0]);
          model.SeekRelative(1);
        }
        ASSERT_EQ(text.String(), expected);
      } else if (op < 98) {
        const uint32_t size = uniform(0, capacity + 1);
        ring.SetWrapBufferSize(size);
        model.SetWrap(size);
      } else {
        ring.MakeEmpty();
        model.count = model.read = model.write = 0;
      }
      ASSERT_EQ(ring.WrapSize(), model.wrap);
      ASSERT_EQ(ring.AvailableData(), model.count);
      ASSERT_EQ(ring.AvailableSpace(), model.wrap - model.count);
      ASSERT_EQ(ring.CurrentReadPosition(), model.read);
      ASSERT_EQ(ring.CurrentWritePosition(), model.write);
      ASSERT_LE(model.read, model.wrap);
      ASSERT_LT(model.write, model.wrap);
    }
  }
}

// ---- concurrency ---------------------------------------------------------------

// One writer and one reader stream a known byte sequence through a small ring
// (so that it wraps thousands of times); the reader checks every byte. Run
// under TSan, this also checks that the unlocked observers are race-free.
TEST(kaPluginRingBufferConcurrencyTest, WriterAndReaderThreadsSeeTheSameByteSequence) {
  constexpr uint64_t kTotalBytes = 2'000'000;
  kaPluginRingBuffer ring(997, true);
  std::atomic<bool> failed{false};
  std::atomic<bool> writerDone{false};

  std::thread writer([&] {
    std::minstd_rand random(7);
    uint64_t produced = 0;
    uint8_t block[300];
    while (produced < kTotalBytes && !failed.load()) {
      const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(1 + random() % 300, kTotalBytes - produced));
      for (uint32_t i = 0; i < length; ++i) block[i] = static_cast<uint8_t>((produced + i) % 251);
      const uint32_t written = ring.Write(block, length);
      produced += written;  // what did not fit is offered again
      if (written == 0) std::this_thread::yield();
    }
    writerDone.store(true);
  });

  std::thread observer([&] {
    while (!writerDone.load()) {
      if (ring.availableDataWithoutTakingLock() > 997u) failed.store(true);
      if (ring.ElapseTimeSinceLastWrite() < -1) failed.store(true);
      std::this_thread::yield();
    }
  });

  std::minstd_rand random(11);
  uint64_t consumed = 0;
  uint8_t block[400];
  while (consumed < kTotalBytes && !failed.load()) {
    const uint32_t length = 1 + random() % 400;
    uint32_t got = 0;
    if (random() % 4 == 0) {
      // Peek, then consume only part of it: the rest must be seen again.
      got = ring.Read(block, length);
      got /= 2;
      if (got > 0 && !ring.SeekRelative(got)) failed.store(true);
    } else {
      got = ring.ReadAndSeek(block, length);
    }
    for (uint32_t i = 0; i < got; ++i) {
      if (block[i] != static_cast<uint8_t>((consumed + i) % 251)) {
        failed.store(true);
        break;
      }
    }
    consumed += got;
    if (got == 0) std::this_thread::yield();
  }
  writer.join();
  observer.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(consumed, kTotalBytes);
  EXPECT_EQ(ring.AvailableData(), 0u);
}

}  // namespace
