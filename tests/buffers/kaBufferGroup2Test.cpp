#include "buffers/kaBufferGroup2.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "BufferTestSupport.h"

using kaBufferGroup2Test = BufferTest;

// What the caller gets: the only reference, and its own record left alone.
// Row bytes it gives are kept, padding and all, except by the GPU-accessible
// forms, which make tight rows; a video record without any gets tight rows.
// An audio block comes with its format and its time range.
TEST_F(kaBufferGroup2Test, AllocationHandsTheCallerTheOnlyReferenceAndKeepsTheRowBytesItGives) {
  Held<kaBufferGroup2> group(new kaBufferGroup2());
  const veMediaRecord tight = VideoFormat(3, 2, veRasterType::k2vuy);
  kaBuffer2 *raw = nullptr, *rawPadded = nullptr;
  ASSERT_EQ(group->allocate_buffer(tight, -1, 1, 0, &raw), 0);
  ASSERT_EQ(group->CreateBuffer(VideoFormat(3, 2, veRasterType::k2vuy, 16), 1, 0, &rawPadded), 0);
  const Held<kaBuffer2> buffer(raw), padded(rawPadded);
  std::shared_ptr<kaGPUAccessibleBuffer> sized = group->CreateGPUAccessibleBuffer(6, 2, veRasterType::kRgba), shared;
  ASSERT_EQ(group->CreateGPUAccessibleBuffer(VideoFormat(6, 2, veRasterType::kRgba, 40), shared), 0);
  EXPECT_EQ(std::tuple(buffer->BytesPerRow(), buffer->StorageSize(), tight.BytesPerRow(), padded->BytesPerRow(),
                       padded->StorageSize(), sized->BytesPerRow(), shared->BytesPerRow()),
            std::tuple(8, 16u, 0, 16, 32u, 24, 24));
  EXPECT_EQ(std::tuple(buffer->RefCountForTesting(), sized->RefCountForTesting(), shared->RefCountForTesting()),
            std::tuple(1, 1, 1));
  EXPECT_EQ(group->allocate_buffer(AudioFormat(48000, 2), 0, 1, 0, &raw), -1) << "no buffer of 0 bytes";
  EXPECT_EQ(raw, nullptr);
  unsigned char samples[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const veTimeRange range{48000, 96000, 48000, 2};
  const auto audio = group->MakeAudioBuffer(samples, 8, static_cast<int>(veAudioFormat::kSowt), 48000, 2, range);
  veMediaRecord format = AudioFormat(48000, 2);
  format.SetTimeRange(range);
  ASSERT_TRUE(audio && audio->Equals(format));
  EXPECT_EQ(std::tuple(Bytes(*audio), audio->GetBufferTimeRange(), audio->RefCountForTesting()),
            std::tuple(std::vector<unsigned char>(samples, samples + 8), range, 1));
}

// Blank buffers made over dirty recycled storage: rows of black pixels, or
// zeroed rows (of luma only in I420). Clear means nothing in YUV; odd widths
// are fine outside it.
TEST_F(kaBufferGroup2Test, BlankBuffersAreBlackInTheirRasterType) {
  // `black`: what each pixel pair or pixel gets, `perRow` times; none: rows zeroed whole.
  const struct { uint32_t raster; int32_t width, height; bool clear; std::vector<unsigned char> black; int perRow; }
      rows[] = {{veRasterType::k2vuy, 4, 3, true, {0x80, 0, 0x80, 0}, 2}, {veRasterType::kRgba, 3, 2, true, {}, 0},
                {veRasterType::kYuvs, 4, 3, false, {0, 0x80, 0, 0x80}, 2}, {veRasterType::kRGBA, 4, 3, true, {}, 0},
                {veRasterType::kRGBA, 3, 2, false, {0, 0, 0, 0xFF}, 3}, {veRasterType::kBGRA, 3, 4, false, {}, 0},
                {veRasterType::kRgba, 3, 2, false, {0, 0, 0, 0xFF}, 3}, {veRasterType::kI420, 4, 2, true, {}, 0}};
  const Held<kaBufferGroup2> group(new kaBufferGroup2());
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "raster " << std::hex << row.raster << " clear " << row.clear);
    const veMediaRecord format = VideoFormat(row.width, row.height, row.raster);
    kaGPUAccessibleBuffer* buffer = nullptr;
    ASSERT_EQ(group->CreateGPUAccessibleBuffer(format, &buffer), 0);
    std::memset(buffer->GetStorage(), 0xAA, buffer->StorageSize());
    buffer->Release();
    ASSERT_EQ(group->CreateBlankGPUAccessibleBuffer(format, row.clear, &buffer), 0);
    const Held<kaBuffer2> blank(buffer);
    std::vector<unsigned char> expected(blank->StorageSize(), 0xAA);
    for (int32_t r = 0; r < row.height; ++r) {
      auto at = expected.begin() + r * blank->BytesPerRow();
      if (row.perRow == 0) std::fill_n(at, blank->BytesPerRow(), 0);
      for (int i = 0; i < row.perRow; ++i) at = std::copy(row.black.begin(), row.black.end(), at);
    }
    EXPECT_EQ(std::pair(Bytes(*blank), blank->RefCountForTesting()), std::pair(expected, 1));
  }
  EXPECT_EQ(group->GetStatistics().misses, std::size(rows) - 1) << "one dirtied buffer per format (two rgba rows)";
}

// The 3 x 2 buffer comes back dirty twice: the colour, then zeros, replace
// what was there.
TEST_F(kaBufferGroup2Test, ColouredBuffersFillEveryPixelAndCarryTheirDisplaySize) {
  Held<kaBufferGroup2> group(new kaBufferGroup2());
  const struct { int width, height; uint32_t colour; } cases[] = {
      {2, 2, 0}, {3, 2, 0xFFFFFFFFu}, {3, 2, 0x11223344u}, {3, 2, 0}, {2, 5, 0x01020304u}};
  for (const auto& c : cases) {
    const Held<kaBuffer2> buffer(group->CreateColoredBuffer(c.width, c.height, c.colour));
    ASSERT_TRUE(buffer) << c.width << " x " << c.height << " colour " << c.colour;
    std::vector<unsigned char> expected;
    for (int i = 0; i < 4 * c.width * c.height; ++i) expected.push_back(uint8_t(c.colour >> (i % 4 * 8)));
    EXPECT_EQ(std::tuple(Bytes(*buffer), buffer->GetDisplayWidth(), buffer->GetDisplayHeight(), buffer->RasterType(),
                         buffer->AsBool(veKeyVideoIsInterlaced, false), buffer->RefCountForTesting()),
              std::tuple(expected, c.width, c.height, veRasterType::kRGB, true, 1));
  }
  EXPECT_EQ(group->GetStatistics().hits, 2u);
}

// Threads take buffers of two buckets through two forms of the group and
// mark each one; a buffer handed to two users at once, or with the other
// format's record, shows. Meanwhile a thread sweeps the cache and reads its
// counters. At the end, with every buffer let go and swept, the counters
// balance.
TEST_F(kaBufferGroup2Test, ConcurrentRequestsReturnsAndSweepsNeverShareABufferAndBalanceTheCounters) {
  Held<kaBufferGroup2> group(new kaBufferGroup2());
  const veMediaRecord audio = AudioFormat(48000, 2), video = VideoFormat(8, 4, veRasterType::kRgba);
  const auto later = [] { return std::chrono::steady_clock::now() + std::chrono::hours(1); };
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
        failures += Bytes(*victim->first) != std::vector<unsigned char>(victim->first->StorageSize(), victim->second);
        held.erase(victim);
      }
    }
  };
  std::thread sweeper([&] {
    for (; !stop; std::this_thread::yield()) {
      group->Debug_RecycleBuffersWithAge(later());
      const kaCacheStatistics snapshot = group->GetStatistics();  // one holding of the lock
      failures += snapshot.liveBytes > snapshot.peakLiveBytes;
    }
  });
  std::thread workers[] = {std::thread(worker, 0), std::thread(worker, 1), std::thread(worker, 2),
                           std::thread(worker, 3)};
  for (std::thread& thread : workers) thread.join();
  stop = true;
  sweeper.join();
  group->Debug_RecycleBuffersWithAge(later());
  const kaCacheStatistics statistics = group->GetStatistics();
  EXPECT_EQ(std::tuple(failures.load(), statistics.hits + statistics.misses, statistics.liveBytes, LiveUnknowns()),
            std::tuple(0, uint64_t{1600}, uint64_t{0}, int64_t{2}));
}
