#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "foundation/internal/zTrace.h"
#include "kaBufferGroup2TestSupport.h"
#include "support/TraceCapture.h"

namespace {

using namespace std::chrono_literals;
using Report = std::vector<std::pair<const char*, kaCacheStatistics>>;

constexpr const char* kBorder = "+--------------+------------+------------+------------+\n";
constexpr const char* kHeader = "|              |   BufferHW |   MemoryHW |      Hit % |\n";

kaCacheStatistics Snapshot(uint64_t peakLiveBuffers, uint64_t peakLiveBytes, uint64_t hits, uint64_t misses) {
  kaCacheStatistics statistics;
  statistics.peakLiveBuffers = peakLiveBuffers;
  statistics.peakLiveBytes = peakLiveBytes;
  statistics.hits = hits;
  statistics.misses = misses;
  return statistics;
}

std::vector<std::string> TraceReport(const Report& groups) {
  TraceCapture capture;
  kaBufferGroup2::TraceBufferStatistics(groups);
  for (uint32_t level : capture.Levels()) EXPECT_EQ(level, zTraceManager::kLevelNote);
  return capture.Lines();
}

class kaBufferStatisticsTest : public kaBufferGroup2TestBase {};

// ---- the table ------------------------------------------------------------------

TEST_F(kaBufferStatisticsTest, ReportMatchesTheReferenceTableByteForByte) {
  const std::vector<std::string> lines = TraceReport({{"main", Snapshot(12, 300ull * 1048576 + 5, 7, 1)}});
  const std::vector<std::string> expected = {
      kBorder,
      kHeader,
      kBorder,
      "|         main |         12 |     300 MB |     87.50% |\n",
      kBorder,
  };
  EXPECT_EQ(lines, expected);
  for (const std::string& line : lines) EXPECT_EQ(line.size(), 56u) << line;
}

TEST_F(kaBufferStatisticsTest, EmptyListGivesBorderHeaderBorderBorder) {
  const std::vector<std::string> expected = {kBorder, kHeader, kBorder, kBorder};
  EXPECT_EQ(TraceReport({}), expected);
}

TEST_F(kaBufferStatisticsTest, HitColumnAndMemoryColumnEdges) {
  const std::vector<std::string> lines = TraceReport({
      {"fresh", Snapshot(0, 0, 0, 0)},
      {"allhits", Snapshot(1, 1048575, 3, 0)},
      {"allmisses", Snapshot(2, 1048576, 0, 5)},
      {"third", Snapshot(3, 0, 1, 2)},
  });
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[3], "|        fresh |          0 |       0 MB |        n/a |\n");
  EXPECT_EQ(lines[4], "|      allhits |          1 |       0 MB |    100.00% |\n");
  EXPECT_EQ(lines[5], "|    allmisses |          2 |       1 MB |      0.00% |\n");
  EXPECT_EQ(lines[6], "|        third |          3 |       0 MB |     33.33% |\n");
}

TEST_F(kaBufferStatisticsTest, ExtremeCountersStillFormat) {
  const uint64_t max = UINT64_MAX;
  const std::vector<std::string> lines = TraceReport({{"max", Snapshot(max, max, max, max)}});
  ASSERT_EQ(lines.size(), 5u);
  // The request count wraps in 64 bits; the share is still half.
  EXPECT_EQ(lines[3], "|          max | 18446744073709551615 | 17592186044415 MB |     50.00% |\n");
}

TEST_F(kaBufferStatisticsTest, LongLabelWidensItsRowOnly) {
  const std::vector<std::string> lines = TraceReport({{"a-label-of-twenty-ch", Snapshot(1, 0, 0, 1)}});
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "|a-label-of-twenty-ch |          1 |       0 MB |      0.00% |\n");
  EXPECT_EQ(lines[4], kBorder);
}

TEST_F(kaBufferStatisticsTest, NullLabelShowsAsAnEmptyOne) {
  const std::vector<std::string> lines =
      TraceReport({{nullptr, Snapshot(1, 0, 0, 0)}, {"next", Snapshot(2, 0, 0, 0)}});
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], "|              |          1 |       0 MB |        n/a |\n");
  EXPECT_EQ(lines[4], "|         next |          2 |       0 MB |        n/a |\n");
  EXPECT_EQ(lines[5], kBorder);
}

// ---- zTrace -----------------------------------------------------------------------

TEST_F(kaBufferStatisticsTest, ZTraceFormatsOneNote) {
  TraceCapture capture;
  zTrace("{}-{:>4}|\n", 12, "ab");
  ASSERT_EQ(capture.Lines(), std::vector<std::string>{"12-  ab|\n"});
  EXPECT_EQ(capture.Levels(), std::vector<uint32_t>{zTraceManager::kLevelNote});
}

TEST_F(kaBufferStatisticsTest, ZTraceReportsFailuresInPlaceOfTheLine) {
  TraceCapture capture;
  zTrace("{:d}\n", "not a number");  // fmt::format_error, a std::runtime_error
  zTraceGuarded([]() -> std::string { throw std::runtime_error("disk on fire"); });
  zTraceGuarded([]() -> std::string { throw 42; });
  zTraceGuarded([]() -> std::string { throw std::logic_error("not a runtime error"); });
  const std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("zTrace '", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "zTrace 'disk on fire'\n");
  EXPECT_EQ(lines[2], "zTrace Unknown Assertion\n");
  EXPECT_EQ(lines[3], "zTrace Unknown Assertion\n");
}

// ---- snapshots and diagnostics ------------------------------------------------------

TEST_F(kaBufferStatisticsTest, SnapshotCountsRequestsBytesAndPeaks) {
  EXPECT_EQ(group->GetStatistics(), kaCacheStatistics{});
  const veMediaRecord audio = AudioFormat(48000, 2);
  kaBuffer2* a = nullptr;
  kaBuffer2* b = nullptr;
  ASSERT_EQ(group->CreateBuffer(audio, 100, 0, &a), 0);  // 400 bytes
  ASSERT_EQ(group->CreateBuffer(audio, 50, 0, &b), 0);   // 200 bytes
  a->Release();
  b->Release();
  ASSERT_EQ(group->CreateBuffer(audio, 100, 0, &a), 0);  // a hit
  a->Release();

  const kaCacheStatistics statistics = group->GetStatistics();
  EXPECT_EQ(statistics.peakLiveBuffers, 2u);
  EXPECT_EQ(statistics.peakIdleBuffers, 2u);
  EXPECT_EQ(statistics.peakLiveBytes, 600u);
  EXPECT_EQ(statistics.liveBytes, 600u);
  EXPECT_EQ(statistics.hits, 1u);
  EXPECT_EQ(statistics.misses, 2u);

  // A snapshot is a copy: the report of it reads nothing live.
  const std::vector<std::string> lines = TraceReport({{"group", statistics}});
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "|        group |          2 |       0 MB |     33.33% |\n");
}

TEST_F(kaBufferStatisticsTest, CountOfCachedBuffersFollowsReturnsAndSweeps) {
  const veMediaRecord video = VideoFormat(4, 4, veRasterType::kBGRA, 16);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(video, 64), -1) << "no bucket at all";

  kaBuffer2* first = nullptr;
  kaBuffer2* second = nullptr;
  ASSERT_EQ(group->allocate_buffer(video, -1, 1, 0, &first), 0);
  ASSERT_EQ(group->allocate_buffer(video, -1, 1, 0, &second), 0);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(video, 64), -1) << "never returned";
  first->Release();
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(video, 64), 1);
  second->Release();
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(video, 64), 2);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(video, 65), -1) << "another size";
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(VideoFormat(4, 4, veRasterType::kRgba, 16), 64), -1);

  group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() - 1h);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(video, 64), 2) << "a cutoff in the past keeps them";
  group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + 1h);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(video, 64), -1) << "emptied and removed";
  EXPECT_EQ(group->GetStatistics().liveBytes, 0u);
  EXPECT_EQ(LiveSinceStart(), 2) << "only the group and its filter manager";
}

}  // namespace
