#include "buffers/kaBufferGroup2.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "BufferTestSupport.h"
#include "filters/kaVideoFilterManager.h"
#include "support/TraceCapture.h"

namespace {

using namespace std::chrono_literals;
using kaBufferGroup2Test = BufferTest;

constexpr unsigned char kDirty = 0xAA;
constexpr int kSowt = static_cast<int>(veAudioFormat::kSowt), kRgba = static_cast<int>(veRasterType::kRgba);

// A group whose GPU-accessible buffers the test may shape: rows
// `extraRowBytes` longer than tight, storage `shortfall` bytes short of rows ×
// row bytes, or (`unmappable`) a record without bytes per row; shaped buffers
// start filled with kDirty. It counts the calls of its two overridable slots,
// through which every other form of allocation must go.
class ShapedGroup final : public kaBufferGroup2 {
 public:
  using kaBufferGroup2::CreateGPUAccessibleBuffer;
  int32_t CreateGPUAccessibleBuffer(const veMediaRecord& format, kaGPUAccessibleBuffer** out) override {
    ++gpuCalls;
    if (!extraRowBytes && !shortfall && !unmappable) return kaBufferGroup2::CreateGPUAccessibleBuffer(format, out);
    const int32_t rowBytes = veRasterType::BytesPerRow(format.Width(), format.RasterType(), false) + extraRowBytes;
    veMediaRecord shaped(format);
    if (unmappable) shaped.SetMediaType(zFourCC("data"));  // not video: the group leaves its row bytes 0
    shaped.SetBytesPerRow(unmappable ? 0 : rowBytes);
    const int32_t size = veRasterType::RowCount(format.Height(), format.RasterType()) * rowBytes - shortfall;
    kaBuffer2* buffer = nullptr;
    if (kaBufferGroup2::allocate_buffer(shaped, size, 1, 0, &buffer) != 0) return -1;
    std::memset(buffer->GetStorage(), kDirty, buffer->StorageSize());
    *out = static_cast<_kaCachedBuffer*>(buffer);  // every buffer of a group is one
    return 0;
  }
  int32_t allocate_buffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out) override {
    ++allocateCalls;
    return kaBufferGroup2::allocate_buffer(format, size, count, extra, out);
  }
  int32_t extraRowBytes = 0, shortfall = 0;
  bool unmappable = false;
  int gpuCalls = 0, allocateCalls = 0;
};

}  // namespace

// Row bytes that the group computes and sizes by row count are checked with
// the fills, sizes from frame counts with the statistics; here, what the
// caller gets: the only reference, and its own record left alone.
TEST_F(kaBufferGroup2Test, AllocationHandsTheCallerTheOnlyReferenceAndLeavesItsRecordAlone) {
  Held<ShapedGroup> group(new ShapedGroup());
  const veMediaRecord withoutRowBytes = VideoFormat(3, 2, veRasterType::k2vuy);
  kaBuffer2* raw = nullptr;
  ASSERT_EQ(group->allocate_buffer(withoutRowBytes, -1, 1, 0, &raw), 0);
  Held<kaBuffer2> buffer(raw);
  std::shared_ptr<kaGPUAccessibleBuffer> sized = group->CreateGPUAccessibleBuffer(6, 2, kRgba), shared;
  ASSERT_EQ(group->CreateGPUAccessibleBuffer(VideoFormat(6, 2, veRasterType::kRgba), shared), 0);
  EXPECT_EQ(std::tuple(buffer->BytesPerRow(), buffer->StorageSize(), withoutRowBytes.BytesPerRow()), std::tuple(8, 16u, 0));
  EXPECT_EQ(buffer->RefCountForTesting() + sized->RefCountForTesting() + shared->RefCountForTesting(), 3) << "one each";
  EXPECT_EQ(std::tuple(sized->MediaType(), sized->BytesPerRow(), group->allocateCalls, group->gpuCalls),
            std::tuple(veMediaTypeVideo, 24, 1, 2));
  // Row bytes the caller gives are kept, padding and all.
  veMediaRecord padded = VideoFormat(3, 2, veRasterType::k2vuy);
  padded.SetBytesPerRow(16);
  ASSERT_EQ(group->allocate_buffer(padded, -1, 1, 0, &raw), 0);
  Held<kaBuffer2> wide(raw);
  EXPECT_EQ(std::tuple(wide->BytesPerRow(), wide->StorageSize()), std::tuple(16, 32u));
}

// Blank buffers made over dirty recycled storage, with tight rows and with
// rows four bytes longer: each row starts with black pixels and the rest of a
// word-filled row is left alone, while a zero fill covers whole rows.
TEST_F(kaBufferGroup2Test, BlankBuffersAreBlackInTheirRasterType) {
  // `black`: what each pixel pair or pixel gets, `perRow` times; none: rows zeroed whole.
  const struct { uint32_t raster; int32_t width, height; bool clear; std::vector<unsigned char> black; int perRow; } rows[] = {
      {veRasterType::k2vuy, 4, 3, true, {0x80, 0, 0x80, 0}, 2}, {veRasterType::kYuvs, 4, 3, false, {0, 0x80, 0, 0x80}, 2},
      {veRasterType::kRGBA, 3, 2, false, {0, 0, 0, 0xFF}, 3},   {veRasterType::kRgba, 3, 2, false, {0, 0, 0, 0xFF}, 3},
      {veRasterType::kRgba, 3, 2, true, {}, 0},                 {veRasterType::kRGBA, 4, 3, true, {}, 0},
      {veRasterType::kBGRA, 3, 4, false, {}, 0} /* odd widths are fine outside YUV */,
      {veRasterType::kRGB, 6, 2, false, {}, 0},                 {veRasterType::kV210, 6, 2, false, {}, 0},
      {veRasterType::kYM16, 6, 2, true, {}, 0},                 {veRasterType::kI420, 4, 2, true, {}, 0} /* luma only */};
  for (const int32_t padding : {0, 4}) {
    Held<ShapedGroup> group(new ShapedGroup());
    group->extraRowBytes = padding;
    for (const auto& row : rows) {
      SCOPED_TRACE(testing::Message() << "raster " << std::hex << row.raster << " clear " << row.clear << " pad " << padding);
      const veMediaRecord format = VideoFormat(row.width, row.height, row.raster);
      kaGPUAccessibleBuffer* buffer = nullptr;
      ASSERT_EQ(group->CreateGPUAccessibleBuffer(format, &buffer), 0);
      std::memset(buffer->GetStorage(), kDirty, buffer->StorageSize());
      buffer->Release();
      ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(format, row.clear, &buffer), 0);
      Held<kaBuffer2> blank(buffer);
      std::vector<unsigned char> expected(blank->StorageSize(), kDirty);
      for (int32_t r = 0; r < row.height; ++r) {
        auto at = expected.begin() + r * blank->BytesPerRow();
        if (row.perRow == 0) std::fill_n(at, blank->BytesPerRow(), 0);
        for (int i = 0; i < row.perRow; ++i) at = std::copy(row.black.begin(), row.black.end(), at);
      }
      EXPECT_EQ(std::pair(Bytes(*blank), blank->RefCountForTesting()), std::pair(expected, 1));
    }
    EXPECT_EQ(group->gpuCalls, 2 * static_cast<int>(std::size(rows)));
  }
}

TEST_F(kaBufferGroup2Test, BufferFromDataTakesEachSourceRowAndFillsThatCannotFitOrMapGiveTheBufferBack) {
  Held<ShapedGroup> group(new ShapedGroup());
  unsigned char source[64];
  for (int i = 0; i < 64; ++i) source[i] = static_cast<unsigned char>(i + 1);
  // The record's row bytes are the source's: pixels then padding, or planar rows.
  for (const auto& [format, active, rows] : {std::tuple{VideoFormat(3, 2, veRasterType::kRgba, 16), 12, 2},
                                             std::tuple{VideoFormat(4, 2, veRasterType::kI420, 4), 4, 3}}) {
    kaGPUAccessibleBuffer* out = nullptr;
    ASSERT_EQ(group->CreateGPUAccessibleBufferFromData(format, source, 0, &out), 0);
    Held<kaBuffer2> buffer(out);
    std::vector<unsigned char> expected;
    for (const unsigned char* row = source; row < source + rows * format.BytesPerRow(); row += format.BytesPerRow()) {
      expected.insert(expected.end(), row, row + active);
    }
    EXPECT_EQ(std::tuple(Bytes(*buffer), buffer->BytesPerRow(), buffer->RefCountForTesting()), std::tuple(expected, active, 1));
  }
  // Storage one byte short of rows × row bytes, then buffers that cannot be
  // mapped: the buffer goes back, and the out pointer is cleared, except
  // after a failed mapping of a copy.
  auto* const kUntouched = reinterpret_cast<kaGPUAccessibleBuffer*>(uintptr_t{0x40});
  const veMediaRecord blank = VideoFormat(4, 2, veRasterType::kRgba), image = VideoFormat(4, 4, veRasterType::kRgba, 16);
  using Case = std::tuple<int, bool, kaGPUAccessibleBuffer*>;  // bytes short (0: none to map), a copy, out pointer left
  for (const auto& [shortfall, fromData, left] :
       {Case{1, false, nullptr}, {1, true, nullptr}, {0, false, nullptr}, {0, true, kUntouched}}) {
    group->shortfall = shortfall, group->unmappable = !shortfall;
    kaGPUAccessibleBuffer* out = kUntouched;
    EXPECT_EQ(fromData ? group->CreateGPUAccessibleBufferFromData(image, source, 64, &out)
                       : group->CreateBlankGPUAccessibleBuffer(blank, false, &out), -1);
    EXPECT_EQ(out, left) << shortfall << fromData;
  }
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(image, 63) + group->Debug_CountOfCachedBuffers(VideoFormat(4, 2, kRgba, 16), 31), 2);
  EXPECT_EQ(std::tuple(group->GetStatistics().liveBytes, group->gpuCalls, LiveUnknowns()),
            std::tuple(uint64_t{24 + 12 + 31 + 63 + 32 + 64}, 6, int64_t{2 + 6})) << "each made once, all idle now";
}

TEST_F(kaBufferGroup2Test, ColouredBuffersFillEveryPixelAndCarryTheirDisplaySize) {
  Held<ShapedGroup> group(new ShapedGroup());
  // The 3 x 2 buffer comes back dirty twice: the colour, then zeros, replace what was there.
  const struct { int width, height; uint32_t colour; } cases[] = {
      {2, 2, 0}, {3, 2, 0xFFFFFFFFu}, {3, 2, 0x11223344u}, {3, 2, 0}, {2, 5, 0x01020304u}};
  for (const auto& c : cases) {
    Held<kaBuffer2> buffer(group->CreateColoredBuffer(c.width, c.height, c.colour));
    ASSERT_TRUE(buffer) << c.width << " x " << c.height << " colour " << c.colour;
    std::vector<unsigned char> expected;
    for (int i = 0; i < 4 * c.width * c.height; ++i) expected.push_back(static_cast<unsigned char>(c.colour >> (i % 4 * 8)));
    EXPECT_EQ(Bytes(*buffer), expected);
    EXPECT_EQ(std::tuple(buffer->GetDisplayWidth(), buffer->GetDisplayHeight(), buffer->RasterType()),
              std::tuple(c.width, c.height, veRasterType::kRGB));
    EXPECT_EQ(std::pair(buffer->AsBool(veKeyVideoIsInterlaced, false), buffer->RefCountForTesting()), std::pair(true, 1));
  }
  EXPECT_EQ(std::pair(group->GetStatistics().hits, group->allocateCalls), std::pair(uint64_t{2}, 5));
}

TEST_F(kaBufferGroup2Test, AudioBufferHoldsTheBlockItsFormatAndItsTimeRange) {
  Held<ShapedGroup> group(new ShapedGroup());
  unsigned char samples[510];
  for (int i = 0; i < 510; ++i) samples[i] = static_cast<unsigned char>(i + 1);
  const veTimeRange range{48000, 96000, 48000, 2};
  std::shared_ptr<kaBuffer2> buffer = group->MakeAudioBuffer(samples, 8, kSowt, 48000, 2, range);
  veMediaRecord format = AudioFormat(48000, 2);
  format.SetTimeRange(range);
  ASSERT_TRUE(buffer && buffer->Equals(format));
  EXPECT_EQ(std::tuple(Bytes(*buffer), buffer->GetBufferTimeRange(), buffer->RefCountForTesting()),
            std::tuple(std::vector<unsigned char>(samples, samples + 8), range, 1));
  buffer.reset();
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(AudioFormat(44100, 1), 8), 1) << "audio buckets match on size alone";
  // Whole frames of packed 24-bit samples; the largest channel count.
  EXPECT_TRUE(group->MakeAudioBuffer(samples, 18, static_cast<int>(veAudioFormat::kIn24), 44100, 3, veTimeRange{}));
  EXPECT_TRUE(group->MakeAudioBuffer(samples, 510, kSowt, 48000, 255, veTimeRange{}));
  EXPECT_EQ(group->allocateCalls, 3);
}

TEST_F(kaBufferGroup2Test, BuffersInUseAndTheFilterManagerOutliveTheGroupWhileIdleBuffersDieWithIt) {
  auto* group = new kaBufferGroup2();
  kaBuffer2 *inUse = nullptr, *idle = nullptr;
  ASSERT_EQ(group->CreateBuffer(AudioFormat(48000, 2), 100, 0, &inUse), 0);
  ASSERT_EQ(group->CreateBuffer(AudioFormat(48000, 1), 100, 0, &idle), 0);
  idle->Release();
  std::shared_ptr<kaVideoFilterManager> manager = group->VideoFilterManager();
  EXPECT_EQ(std::pair(manager, manager->RefCountForTesting()), std::pair(group->VideoFilterManager(), 1))
      << "shared pointers sharing the group's one reference";
  EXPECT_EQ(LiveUnknowns(), 4) << "group, manager, an idle buffer and one in use";
  group->Release();
  EXPECT_EQ(LiveUnknowns(), 2) << "the buffer in use and the manager";
  inUse->Release();
  manager.reset();
}

TEST_F(kaBufferGroup2Test, PeaksStayAtTheirHighestAfterTheBuffersAreGone) {
  Held<kaBufferGroup2> group(new kaBufferGroup2());
  const veMediaRecord audio = AudioFormat(48000, 2);
  kaBuffer2* buffers[3] = {};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(group->CreateBuffer(audio, 100 * (i + 1), 0, &buffers[i]), 0);
  for (kaBuffer2* buffer : buffers) buffer->Release();  // 400, 800 and 1200 bytes, all idle
  ASSERT_EQ(group->CreateBuffer(audio, 100, 0, &buffers[0]), 0);
  buffers[0]->Release();
  group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + 1h);
  EXPECT_EQ(group->Debug_CountOfCachedBuffers(audio, 400), -1) << "destroyed, bucket and all";
  EXPECT_EQ(LiveUnknowns(), 2) << "only the group and its filter manager";
  EXPECT_EQ(group->GetStatistics(), (kaCacheStatistics{3, 3, 2400, 0, 1, 3}));
}

TEST_F(kaBufferGroup2Test, StatisticsReportIsAFixedWidthTableOfNotes) {
  const std::string border = "+--------------+------------+------------+------------+\n";
  const std::string header = "|              |   BufferHW |   MemoryHW |      Hit % |\n";
  const uint64_t max = UINT64_MAX;
  const std::pair<std::pair<const char*, kaCacheStatistics>, const char*> rows[] = {
      {{"main", {12, 0, (300ull << 20) + 5, 0, 7, 1}}, "|         main |         12 |     300 MB |     87.50% |\n"},
      {{"allhits", {1, 0, 1048575, 0, 3, 0}}, "|      allhits |          1 |       0 MB |    100.00% |\n"},
      {{"allmisses", {2, 0, 1048576, 0, 0, 5}}, "|    allmisses |          2 |       1 MB |      0.00% |\n"},
      {{"third", {3, 0, 0, 0, 1, 2}}, "|        third |          3 |       0 MB |     33.33% |\n"},
      {{"max", {max, max, max, max, max, max}}, "|          max | 18446744073709551615 | 17592186044415 MB |     50.00% |\n"},
      {{"a-label-of-twenty-ch", {1, 0, 0, 0, 0, 1}}, "|a-label-of-twenty-ch |          1 |       0 MB |      0.00% |\n"},
      {{nullptr, {1, 0, 0, 0, 0, 0}}, "|              |          1 |       0 MB |        n/a |\n"}};
  std::vector<std::pair<const char*, kaCacheStatistics>> groups;
  std::vector<std::string> lines = {border, header, border};
  for (const auto& [group, line] : rows) groups.push_back(group), lines.push_back(line);
  lines.push_back(border);
  for (const bool empty : {false, true}) {
    TraceCapture capture;
    kaBufferGroup2::TraceBufferStatistics(empty ? decltype(groups){} : groups);
    EXPECT_EQ(capture.Lines(), (empty ? std::vector<std::string>{border, header, border, border} : lines));
    EXPECT_EQ(capture.Levels(), std::vector<uint32_t>(capture.Count(), zTraceManager::kLevelNote));
  }
}

// Threads take buffers of two buckets through two forms of the group and
// mark each one; a buffer handed to two users at once, or with the other
// format's record, shows. Meanwhile a thread sweeps the cache and reads its
// counters. At the end every byte counted live is an idle buffer's.
TEST_F(kaBufferGroup2Test, ConcurrentRequestsReturnsAndSweepsNeverShareABufferAndBalanceTheCounters) {
  Held<kaBufferGroup2> group(new kaBufferGroup2());
  const veMediaRecord audio = AudioFormat(48000, 2), video = VideoFormat(8, 4, veRasterType::kRgba);
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  const auto worker = [&](int index) {
    std::mt19937 random(static_cast<unsigned>(1234 + index));
    std::vector<std::pair<std::shared_ptr<kaBuffer2>, unsigned char>> held;  // buffer, its mark
    for (int round = 0; round < 400; ++round) {
      kaBuffer2* raw = nullptr;
      std::shared_ptr<kaGPUAccessibleBuffer> blank;
      const bool isVideo = random() % 2;
      std::shared_ptr<kaBuffer2> buffer = isVideo ? (group->CreateBlankGPUAccessibleBuffer(video, false, blank), blank)
                                                  : (group->allocate_buffer(audio, -1, 64, 0, &raw), zAsSharedPtr(raw));
      ASSERT_TRUE(buffer && buffer->Width() == (isVideo ? 8 : 0) && buffer->SampleRate() == (isVideo ? 0 : 48000));
      const auto mark = static_cast<unsigned char>(index * 64 + round % 64);
      std::memset(buffer->GetStorage(), mark, buffer->StorageSize());
      held.emplace_back(std::move(buffer), mark);
      if (held.size() > 3 || random() % 2) {
        const auto victim = held.begin() + static_cast<ptrdiff_t>(random() % held.size());
        const std::vector<unsigned char> bytes = Bytes(*victim->first);
        failures += std::count(bytes.begin(), bytes.end(), victim->second) != static_cast<ptrdiff_t>(bytes.size());
        held.erase(victim);
      }
    }
  };
  std::thread sweeper([&] {
    for (; !stop; std::this_thread::yield()) {
      group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + 1h);
      const kaCacheStatistics snapshot = group->GetStatistics();  // one holding of the lock
      failures += snapshot.liveBytes > snapshot.peakLiveBytes;
    }
  });
  std::thread workers[] = {std::thread(worker, 0), std::thread(worker, 1), std::thread(worker, 2), std::thread(worker, 3)};
  for (std::thread& thread : workers) thread.join();
  stop = true;
  sweeper.join();

  const kaCacheStatistics statistics = group->GetStatistics();
  const long idleAudio = std::max(0L, group->Debug_CountOfCachedBuffers(audio, 256));
  const long idleVideo = std::max(0L, group->Debug_CountOfCachedBuffers(VideoFormat(8, 4, veRasterType::kRgba, 32), 128));
  EXPECT_EQ(std::tuple(failures.load(), statistics.hits + statistics.misses, statistics.liveBytes, LiveUnknowns()),
            std::tuple(0, uint64_t{1600}, uint64_t(idleAudio * 256 + idleVideo * 128), 2 + idleAudio + idleVideo));
  EXPECT_LE(statistics.peakIdleBuffers, 2u * 5u);
  group->Debug_RecycleBuffersWithAge(std::chrono::steady_clock::now() + 1h);
  EXPECT_EQ(group->GetStatistics().liveBytes, 0u);
}
