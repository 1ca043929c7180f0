// The audio renderer's receive path: the host's offer, conversion, drift
// correction and the ring.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "AudioRendererTestSupport.h"
#include "plugins/kaPluginAudioRenderer.h"

namespace audiotest {
namespace {

using ReceiveTest = AudioRendererTest;

// The last `bytes` bytes written to the renderer's ring.
std::vector<int16_t> LastWritten(kaPluginRingBuffer& ring, uint32_t bytes) {
  std::vector<int16_t> samples(bytes / 2);
  EXPECT_TRUE(ring.SeekBackwardsRelativeToWritePosition(bytes));
  EXPECT_EQ(ring.Read(samples.data(), bytes), bytes);
  return samples;
}

TEST_F(ReceiveTest, WorkingFormatBlockGoesStraightIntoTheRing) {
  std::vector<int16_t> block(2 * 960);
  CounterFrames(0, 960, block.data());
  const uint64_t requests = GroupRequests();
  renderer->OnReceive(veTimeRange{}, block.data(), 3840, 48000, 2, kSowt);
  EXPECT_EQ(renderer->Ring().AvailableData(), 3840u);
  EXPECT_EQ(LastWritten(renderer->Ring(), 3840), block);
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  EXPECT_EQ(renderer->RateConverter(), nullptr);
  EXPECT_EQ(GroupRequests(), requests) << "no buffer was made: the host did not ask";
  EXPECT_EQ(host->AudioCount(), 1);
}

TEST_F(ReceiveTest, BlockAtAnotherRateIsConvertedBeforeTheRing) {
  std::vector<int16_t> block(2 * 441, 1000);
  const uint64_t requests = GroupRequests();
  for (int i = 0; i < 20; ++i) renderer->OnReceive(veTimeRange{}, block.data(), 441 * 4, 44100, 2, kSowt);
  EXPECT_NE(renderer->RateConverter(), nullptr);
  EXPECT_EQ(renderer->FormatConverter(), nullptr);
  // 200 ms at 44100 is 9600 frames at 48000, less under 1 ms of filter delay.
  const uint32_t frames = renderer->Ring().AvailableData() / 4;
  EXPECT_LE(frames, 9600u);
  EXPECT_GE(frames, 9600u - 48u);
  EXPECT_EQ(GroupRequests(), requests + 20) << "one pooled conversion buffer per block, nothing for the host";
  // Each conversion buffer goes back to the cache at once and serves the next
  // block: only the first block (short by the filter delay) and the first
  // steady one need new buffers.
  EXPECT_LE(group->GetStatistics().misses, 2u);
}

TEST_F(ReceiveTest, FloatBlockAtTheWorkingRateIsConvertedExactly) {
  std::vector<int16_t> expected(2 * 480);
  CounterFrames(70000, 480, expected.data());
  std::vector<float> block(expected.size());
  ToFloat(expected.data(), static_cast<int>(expected.size()), block.data());
  renderer->OnReceive(veTimeRange{}, block.data(), 480 * 8, 48000, 2, kFl32);
  EXPECT_EQ(renderer->Ring().AvailableData(), 1920u);
  EXPECT_EQ(LastWritten(renderer->Ring(), 1920), expected);
}

TEST_F(ReceiveTest, WellFormedBlockOfAnUnconvertedFormatIsOfferedButNotStored) {
  std::vector<int16_t> block(6 * 100, 7);
  renderer->OnReceive(veTimeRange{}, block.data(), 6 * 200, 48000, 6, kTwos);
  EXPECT_EQ(renderer->GetNumChannels(), 6);
  EXPECT_EQ(host->AudioCount(), 1);
  EXPECT_EQ(renderer->Ring().AvailableData(), 0u);

  // A code with no known sample size cannot be checked for whole frames.
  renderer->OnReceive(veTimeRange{}, block.data(), 1001, 48000, 5, static_cast<int>(zFourCC("abcd")));
  EXPECT_EQ(renderer->GetNumChannels(), 5);
  EXPECT_EQ(host->AudioCount(), 2);
  EXPECT_EQ(renderer->Ring().AvailableData(), 0u);
}

TEST_F(ReceiveTest, RatesAndChannelCountsOutsideWhatTheConversionCarriesAreRefusedAndCounted) {
  struct Row {
    int rate, channels, format;
    bool accepted;
  } rows[] = {
      {8000, 2, kSowt, true},    {7999, 2, kSowt, false},   {1, 2, kSowt, false},       {255, 2, kSowt, false},
      {384000, 2, kSowt, true},  {384001, 2, kSowt, false}, {768001, 2, kIn24, false},  {48000, 64, kSowt, true},
      {48000, 65, kSowt, false}, {44100, 64, kSowt, true},  {44100, 65, kSowt, false},  {96000, 64, kIn24, true},
      {96000, 255, kIn24, false}, {48000, 3, kSowt, true},  {48000, 3, kFl32, true},
  };
  uint64_t refused = 0;
  int64_t offered = 0;
  for (const Row& row : rows) {
    renderer->FlushAudio();  // a converter is made for the first block after a flush
    const int channelsBefore = renderer->GetNumChannels();
    const uint32_t ringBefore = renderer->Ring().CurrentWritePosition();
    // 10 ms of audio at the row's rate (at least 80 frames).
    const int frames = std::max(row.rate / 100, 80);
    const int bytesPerSample = row.format == kSowt ? 2 : (row.format == kIn24 ? 3 : 4);
    std::vector<unsigned char> block(static_cast<size_t>(frames) * row.channels * bytesPerSample);
    renderer->OnReceive(veTimeRange{}, block.data(), static_cast<int>(block.size()), row.rate, row.channels,
                        row.format);
    const auto counters = renderer->GetReceiveCounters();
    if (row.accepted) {
      ++offered;
      EXPECT_EQ(renderer->GetNumChannels(), row.channels) << row.rate << " Hz, " << row.channels << " channels";
      EXPECT_NE(renderer->Ring().CurrentWritePosition(), ringBefore) << row.rate << " Hz reached the ring";
    } else {
      ++refused;
      EXPECT_EQ(renderer->GetNumChannels(), channelsBefore) << row.rate << " Hz, " << row.channels << " channels";
      EXPECT_EQ(renderer->Ring().CurrentWritePosition(), ringBefore);
    }
    EXPECT_EQ(counters.refused, refused);
    EXPECT_EQ(host->AudioCount(), offered) << "refused blocks are not offered to the host";
  }
  const auto counters = renderer->GetReceiveCounters();
  EXPECT_EQ(counters.received, std::size(rows));
  EXPECT_EQ(counters.dropped, 0u);
  EXPECT_EQ(counters.truncated, 0u);
}

TEST_F(ReceiveTest, FailedConversionsAndAFullRingAreCounted) {
  std::vector<int16_t> block(2 * 480, 1);
  renderer->OnReceive(veTimeRange{}, block.data(), 1920, 48000, 2, kTwos);  // offered, never converted
  EXPECT_EQ(renderer->GetReceiveCounters().dropped, 1u);
  EXPECT_EQ(host->AudioCount(), 1);
  // Fill the ring: 176 s of stereo, then one block more.
  std::vector<int16_t> second(2 * 48000, 2);
  for (int i = 0; i < 176; ++i) renderer->OnReceive(veTimeRange{}, second.data(), 192000, 48000, 2, kSowt);
  EXPECT_EQ(renderer->GetReceiveCounters().truncated, 0u);
  renderer->OnReceive(veTimeRange{}, block.data(), 1920, 48000, 2, kSowt);
  EXPECT_EQ(renderer->GetReceiveCounters().truncated, 1u);
  EXPECT_EQ(renderer->GetReceiveCounters().received, 178u);
}

TEST_F(ReceiveTest, HostThatDoesNotAskCausesNoBufferForIt) {
  host->SetRequest(TestHostMethods::Request::kMetadata);
  std::vector<float> block(2 * 480, 0.1f);
  const uint64_t requests = GroupRequests();
  renderer->OnReceive(veTimeRange{}, block.data(), 480 * 8, 48000, 2, kFl32);
  std::vector<int16_t> shorts(2 * 480, 1);
  renderer->OnReceive(veTimeRange{}, shorts.data(), 1920, 48000, 2, kSowt);
  EXPECT_EQ(GroupRequests(), requests + 1) << "only the conversion of the float block";

  const std::vector<TestHostMethods::Call> calls = host->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].bufferAddress, nullptr);
  const veMediaRecord& format = calls[0].metadata;
  EXPECT_EQ(format.MediaType(), veMediaTypeAudio);
  EXPECT_EQ(format.AudioFormat(), zFourCC("fl32"));
  EXPECT_EQ(format.Channels(), 2);
  EXPECT_EQ(format.BitsPerSample(), 32);
  EXPECT_EQ(format.SampleRate(), 48000);
  EXPECT_EQ(format.ChannelBuffers(), 1);
  EXPECT_EQ(calls[1].metadata.AudioFormat(), zFourCC("sowt"));
  EXPECT_EQ(calls[1].metadata.BitsPerSample(), 16);
}

TEST_F(ReceiveTest, HostThatAsksGetsTheUntouchedBlockWithItsTimeRange) {
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  host->SetKeepBuffers(true);
  std::vector<float> block(3 * 441);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i) / 4096.0f;
  const veTimeRange range{44100, 123456, 44100, 441};
  renderer->OnReceive(range, block.data(), 441 * 12, 44100, 3, kFl32);

  const std::vector<TestHostMethods::Call> calls = host->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rendererName, "mic");
  ASSERT_TRUE(calls[0].buffer);
  const kaBuffer2& offered = *calls[0].buffer;
  EXPECT_EQ(offered.AudioFormat(), zFourCC("fl32"));
  EXPECT_EQ(offered.Channels(), 3);
  EXPECT_EQ(offered.SampleRate(), 44100);
  EXPECT_EQ(offered.BitsPerSample(), 32);
  ASSERT_EQ(offered.StorageSize(), 441u * 12);
  EXPECT_EQ(std::memcmp(offered.GetStorage(), block.data(), 441 * 12), 0);
  EXPECT_EQ(offered.GetBufferTimeRange(), range);
  // The block still reached the ring, converted.
  EXPECT_GT(renderer->Ring().AvailableData(), 0u);
  EXPECT_EQ(renderer->Ring().AvailableData() % 6, 0u);
  host->ClearCalls();
}

TEST_F(ReceiveTest, RendererWithoutANamePassesAnEmptyName) {
  auto unnamed = TestAudioRenderer::Make("", *group, *host);
  std::vector<int16_t> block(2 * 10, 0);
  unnamed->OnReceive(veTimeRange{}, block.data(), 40, 48000, 2, kSowt);
  const std::vector<TestHostMethods::Call> calls = host->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rendererName, "");
}

TEST_F(ReceiveTest, WithDriftCorrectionOffNoDetectorOrResamplerIsEverMade) {
  for (int k = 0; k < 400; ++k) {
    // Half the expected rate: a drift the detector would correct at once.
    DeliverCounter(k * 240, 240);
    clock().Advance(10'000);
  }
  EXPECT_EQ(renderer->DriftDetector(), nullptr);
  EXPECT_EQ(renderer->Resampler(), nullptr);
  EXPECT_EQ(renderer->Ring().AvailableData(), 400u * 240 * 4);
}

// Drives a drift-enabled renderer with 480-frame blocks every 10 ms of the
// manual clock, disturbed once: a missed block (the source then lags by 480
// frames) or a double block (it runs 480 frames ahead). Once the detector's
// window holds only disturbed deliveries it asks for one frame more or less.
class DriftReceiveTest : public AudioRendererTest {
 protected:
  void SetUp() override {
    AudioRendererTest::SetUp();
    renderer->SetDriftCorrectionEnabled(true);
  }

  // A ramp block: channel 0 rises by 10 a frame from a start that changes
  // from block to block; channel 1 holds -1.
  void DeliverRamp(int frames) {
    std::vector<int16_t> block(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
      block[2 * i] = static_cast<int16_t>(streamFrames_ % 97 + 10 * i);
      block[2 * i + 1] = -1;
    }
    lastBlock_ = block;
    // A plug-in may hand over bytes at an odd address.
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * 4 + 1);
    uint8_t* data = bytes.data() + (misaligned_ ? 1 : 0);
    std::memcpy(data, block.data(), static_cast<size_t>(frames) * 4);
    const uint32_t before = renderer->Ring().AvailableData();
    renderer->OnReceive(veTimeRange{}, data, frames * 4, 48000, 2, kSowt);
    lastWrittenFrames_ = (renderer->Ring().AvailableData() - before) / 4;
    streamFrames_ += frames;
  }

  // Runs until a block is written with other than 480 frames; returns the
  // frames written for it (0 when none was within the bound).
  uint32_t RunUntilAdjusted(bool lagging) {
    for (int k = 0; k < 1000; ++k) {
      if (k == 100) {
        if (lagging) {
          clock().Advance(10'000);  // a block that never came
        } else {
          DeliverRamp(480);  // an extra block at the same time
        }
      }
      DeliverRamp(480);
      if (lastWrittenFrames_ != 480) {
        adjustedAt_ = k;
        return lastWrittenFrames_;
      }
      clock().Advance(10'000);
    }
    return 0;
  }

  bool misaligned_ = false;
  int64_t streamFrames_ = 0;
  uint32_t lastWrittenFrames_ = 0;
  std::vector<int16_t> lastBlock_;
  int adjustedAt_ = -1;
};

TEST_F(DriftReceiveTest, LaggingSourceGetsOneFrameMore) {
  EXPECT_EQ(renderer->DriftDetector(), nullptr);
  DeliverRamp(480);
  ASSERT_NE(renderer->DriftDetector(), nullptr) << "made on the first drift-enabled delivery";
  EXPECT_EQ(renderer->Resampler(), nullptr) << "made only on the first adjustment";
  clock().Advance(10'000);

  ASSERT_EQ(RunUntilAdjusted(true), 481u);
  // Warm-up, then a window (2 s = 200 blocks) of lagging measurements.
  EXPECT_GT(adjustedAt_, 100 + 195);
  EXPECT_NE(renderer->Resampler(), nullptr);
  EXPECT_EQ(renderer->DriftDetector()->TotalAdjustment(), 1);

  // The stretched block keeps its end frames and stays monotonic between.
  const std::vector<int16_t> written = LastWritten(renderer->Ring(), 481 * 4);
  EXPECT_EQ(written[0], lastBlock_[0]);
  EXPECT_EQ(written[2 * 480], lastBlock_[2 * 479]);
  for (int i = 1; i < 481; ++i) {
    EXPECT_GE(written[2 * i], written[2 * (i - 1)]) << i;
    EXPECT_EQ(written[2 * i + 1], -1) << i;
  }
}

TEST_F(DriftReceiveTest, MisalignedBlockIsStretchedFromAnAlignedCopy) {
  misaligned_ = true;
  const uint64_t requestsBefore = GroupRequests();
  ASSERT_EQ(RunUntilAdjusted(true), 481u);
  EXPECT_EQ(GroupRequests(), requestsBefore + 1) << "one pooled copy, for the adjusted block only";
  const std::vector<int16_t> written = LastWritten(renderer->Ring(), 481 * 4);
  EXPECT_EQ(written[0], lastBlock_[0]);
  EXPECT_EQ(written[2 * 480], lastBlock_[2 * 479]);
  for (int i = 1; i < 481; ++i) EXPECT_GE(written[2 * i], written[2 * (i - 1)]) << i;
}

TEST_F(DriftReceiveTest, LeadingSourceGetsOneFrameLess) {
  ASSERT_EQ(RunUntilAdjusted(false), 479u);
  EXPECT_EQ(renderer->DriftDetector()->TotalAdjustment(), -1);
  const std::vector<int16_t> written = LastWritten(renderer->Ring(), 479 * 4);
  EXPECT_EQ(written[0], lastBlock_[0]);
  EXPECT_EQ(written[2 * 478], lastBlock_[2 * 479]);
}

TEST_F(DriftReceiveTest, OneFrameBlockThatWouldShrinkToNothingIsWrittenAsItIs) {
  ASSERT_EQ(RunUntilAdjusted(false), 479u);
  const int64_t adjusted = renderer->DriftDetector()->TotalAdjustment();
  clock().Advance(10'000);
  DeliverRamp(1);
  EXPECT_EQ(lastWrittenFrames_, 1u);
  EXPECT_EQ(renderer->DriftDetector()->TotalAdjustment(), adjusted - 1) << "the detector counted it";
  const std::vector<int16_t> written = LastWritten(renderer->Ring(), 4);
  EXPECT_EQ(written, lastBlock_);
}

TEST_F(DriftReceiveTest, ConvertedBlocksAreDriftCorrectedToo) {
  // The same lag with float blocks: the detector sees the converted frames.
  for (int k = 0; k < 1000; ++k) {
    if (k == 100) clock().Advance(10'000);
    std::vector<float> block(2 * 480, 0.25f);
    const uint32_t before = renderer->Ring().AvailableData();
    renderer->OnReceive(veTimeRange{}, block.data(), 480 * 8, 48000, 2, kFl32);
    const uint32_t written = (renderer->Ring().AvailableData() - before) / 4;
    if (written != 480) {
      EXPECT_EQ(written, 481u);
      EXPECT_GT(k, 295);
      return;
    }
    clock().Advance(10'000);
  }
  ADD_FAILURE() << "no adjustment";
}

}  // namespace
}  // namespace audiotest
