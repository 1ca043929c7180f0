#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "VideoRendererTestSupport.h"

namespace {

using kaPluginVideoRendererCueTest = VideoRendererTest;

// True when every pixel of the first `width` of each row holds `pixel`.
bool RowsHold(kaBuffer2& frame, const unsigned char (&pixel)[4], int32_t bytesPerPixel) {
  const unsigned char* data = frame.GetStorage();
  if (!data || frame.BytesPerRow() <= 0) return false;
  for (int32_t row = 0; row < frame.Height(); ++row) {
    const unsigned char* p = data + static_cast<size_t>(row) * static_cast<size_t>(frame.BytesPerRow());
    for (int32_t x = 0; x < frame.Width(); x += 4 / bytesPerPixel) {
      if (std::memcmp(p, pixel, 4) != 0) return false;
      p += 4;
    }
  }
  return true;
}

// ---- without delay --------------------------------------------------------------

TEST_F(kaPluginVideoRendererCueTest, ShowsTheLatestFrameAndReleasesTheReplacedOne) {
  BufferRef first = MakeFrame(16, 8, veRasterType::kRgba);
  BufferRef second = MakeFrame(32, 16, veRasterType::kRgba);
  renderer->OnReceiveVideo(first.get());
  EXPECT_EQ(first->RefCountForTesting(), 2);
  renderer->OnReceiveVideo(second.get());
  EXPECT_EQ(first->RefCountForTesting(), 1) << "the renderer gave the replaced frame back";
  EXPECT_EQ(second->RefCountForTesting(), 2);

  BufferRef shown = Cue(100);
  EXPECT_EQ(shown.get(), second.get());
  EXPECT_EQ(second->RefCountForTesting(), 3) << "one reference for the caller";
  EXPECT_EQ(renderer->GetOutputWidth(), 32);
  EXPECT_EQ(renderer->GetOutputHeight(), 16);
  EXPECT_TRUE(second->AsBool(veKeyVideoIsInterlaced, false));
  shown.reset();
  EXPECT_EQ(second->RefCountForTesting(), 2);
}

TEST_F(kaPluginVideoRendererCueTest, TheSameFrameDeliveredTwiceKeepsOneRendererReference) {
  BufferRef frame = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(frame.get());
  renderer->OnReceiveVideo(frame.get());
  EXPECT_EQ(frame->RefCountForTesting(), 2);
  EXPECT_EQ(Cue(7).get(), frame.get());
  EXPECT_EQ(frame->DirtiedTime(), 7);
}

TEST_F(kaPluginVideoRendererCueTest, FirstCueAfterAChangeStampsTheFrameAndLaterCuesDoNot) {
  // The clock does not move in this test: changes and cues share one
  // microsecond, and each change must still be seen.
  BufferRef a = MakeFrame(16, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(a.get());
  EXPECT_EQ(a->DirtiedTime(), -1) << "delivery does not stamp";
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), clock().Now())
      << "an unstamped frame reports the current time";

  Cue(7'000);
  EXPECT_EQ(a->DirtiedTime(), 7'000);
  Cue(8'000);
  EXPECT_EQ(a->DirtiedTime(), 7'000) << "the same frame is not stamped again";
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{9'999}), 7'000);

  BufferRef b = MakeFrame(16, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(b.get());
  Cue(9'000);
  EXPECT_EQ(b->DirtiedTime(), 9'000);
  EXPECT_EQ(a->DirtiedTime(), 7'000);
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), 9'000);
}

TEST_F(kaPluginVideoRendererCueTest, StampsAMissingDisplaySizeFromWidthAndHeight) {
  BufferRef bare = MakeFrame(16, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(bare.get());
  Cue(1);
  EXPECT_EQ(bare->GetDisplayWidth(), 16);
  EXPECT_EQ(bare->GetDisplayHeight(), 8);
  ASSERT_NE(bare->Find(veKeyDisplayWidth), nullptr);
  EXPECT_EQ(bare->Find(veKeyDisplayWidth)->flags, 2);

  BufferRef sized = MakeFrame(16, 8, veRasterType::kRgba);
  sized->SetDisplayWidth(100);
  sized->SetDisplayHeight(50);
  renderer->OnReceiveVideo(sized.get());
  Cue(2);
  EXPECT_EQ(sized->GetDisplayWidth(), 100) << "a display size given by the plug-in stays";
  EXPECT_EQ(sized->GetDisplayHeight(), 50);

  BufferRef half = MakeFrame(16, 8, veRasterType::kRgba);
  half->SetDisplayWidth(100);
  renderer->OnReceiveVideo(half.get());
  Cue(3);
  EXPECT_EQ(half->GetDisplayWidth(), 16) << "one missing dimension replaces both";
  EXPECT_EQ(half->GetDisplayHeight(), 8);
}

TEST_F(kaPluginVideoRendererCueTest, NullFrameIsIgnoredWithoutCallingTheHost) {
  renderer->OnReceiveVideo(nullptr);
  EXPECT_EQ(host->VideoCount(), 0);
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), -1);
  EXPECT_EQ(Format().Width(), 320);
}

TEST_F(kaPluginVideoRendererCueTest, NullOutPointerIsRefusedAndChangesNothing) {
  const int64_t liveBefore = LiveSinceStart();
  EXPECT_EQ(renderer->CueVideo(nullptr, ka_renderer_params{5}), -1);
  EXPECT_EQ(LiveSinceStart(), liveBefore) << "no blank frame was made";
  BufferRef frame = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(frame.get());
  EXPECT_EQ(renderer->CueVideo(nullptr, ka_renderer_params{5}), -1);
  EXPECT_EQ(frame->DirtiedTime(), -1);
  EXPECT_EQ(frame->RefCountForTesting(), 2);
}

// ---- blank frames ---------------------------------------------------------------

TEST_F(kaPluginVideoRendererCueTest, WithoutAFrameTheCueShowsA320By240OpaqueBlackRgbaFrame) {
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), -1);
  BufferRef blank = Cue(4'242);
  EXPECT_EQ(blank->MediaType(), veMediaTypeVideo);
  EXPECT_EQ(blank->Width(), 320);
  EXPECT_EQ(blank->Height(), 240);
  EXPECT_EQ(blank->RasterType(), veRasterType::kRgba);
  EXPECT_EQ(blank->BytesPerRow(), 1280);
  EXPECT_EQ(blank->GetDisplayWidth(), 320);
  EXPECT_EQ(blank->GetDisplayHeight(), 240);
  EXPECT_EQ(blank->DirtiedTime(), 4'242);
  const unsigned char opaqueBlack[4] = {0x00, 0x00, 0x00, 0xFF};
  EXPECT_TRUE(RowsHold(*blank, opaqueBlack, 4));
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), 4'242);

  // The blank frame stays on screen: the next cue shows the same object.
  EXPECT_EQ(blank->RefCountForTesting(), 2);
  EXPECT_EQ(Cue(5'000).get(), blank.get());
  EXPECT_EQ(blank->DirtiedTime(), 4'242);
}

TEST_F(kaPluginVideoRendererCueTest, BlankFrameAfterAFlushUsesTheLearnedSizeAndRasterType) {
  BufferRef frame = MakeFrame(4, 2, veRasterType::k2vuy);
  renderer->OnReceiveVideo(frame.get());
  renderer->FlushVideo();
  EXPECT_EQ(frame->RefCountForTesting(), 1) << "the flush released the shown frame";
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), -1);

  BufferRef blank = Cue(10);
  EXPECT_NE(blank.get(), frame.get());
  EXPECT_EQ(blank->Width(), 4);
  EXPECT_EQ(blank->Height(), 2);
  EXPECT_EQ(blank->RasterType(), veRasterType::k2vuy);
  const unsigned char yuvBlack[4] = {0x80, 0x00, 0x80, 0x00};
  EXPECT_TRUE(RowsHold(*blank, yuvBlack, 2));
  EXPECT_EQ(blank->DirtiedTime(), 10);
}

TEST_F(kaPluginVideoRendererCueTest, FailedBlankFrameGivesNullAndMinusOneAndTheNextFrameRecovers) {
  BufferRef odd = MakeFrame(3, 2, veRasterType::k2vuy);
  renderer->OnReceiveVideo(odd.get());
  renderer->FlushVideo();
  const int64_t liveBefore = LiveSinceStart();

  kaBuffer2* out = reinterpret_cast<kaBuffer2*>(&out);
  EXPECT_EQ(renderer->CueVideo(&out, ka_renderer_params{50}), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(LiveSinceStart(), liveBefore) << "no buffer was made";
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{0}), -1);
  EXPECT_EQ(renderer->CueVideo(&out, ka_renderer_params{51}), -1) << "every cue tries again";
  EXPECT_EQ(out, nullptr);

  BufferRef even = MakeFrame(4, 2, veRasterType::k2vuy);
  renderer->OnReceiveVideo(even.get());
  BufferRef shown = Cue(60);
  EXPECT_EQ(shown.get(), even.get());
  EXPECT_EQ(even->DirtiedTime(), 60);
}

TEST_F(kaPluginVideoRendererCueTest, FlushDropsTheShownAndTheQueuedFrames) {
  BufferRef shown = MakeFrame(8, 8, veRasterType::kBGRA);
  renderer->OnReceiveVideo(shown.get());
  renderer->SetVideoDelay(0.01);
  BufferRef queued = MakeFrame(8, 8, veRasterType::kBGRA);
  renderer->OnReceiveVideo(queued.get());
  EXPECT_EQ(renderer->QueuedFrames(), 1);
  EXPECT_EQ(queued->RefCountForTesting(), 2);

  renderer->FlushVideo();
  EXPECT_EQ(renderer->QueuedFrames(), 0);
  EXPECT_EQ(shown->RefCountForTesting(), 1);
  EXPECT_EQ(queued->RefCountForTesting(), 1);
  EXPECT_DOUBLE_EQ(renderer->GetVideoDelay(), 0.01) << "a flush keeps the delay";

  clock().Advance(1'000'000);
  BufferRef blank = Cue(clock().Now());
  EXPECT_EQ(blank->RasterType(), veRasterType::kBGRA);
}

// ---- with delay -----------------------------------------------------------------

TEST_F(kaPluginVideoRendererCueTest, WithDelayTheNewestDueFrameIsShownAndRepeated) {
  renderer->SetVideoDelay(0.01);  // 10,000 us
  const int64_t t0 = clock().Now();
  BufferRef a = MakeFrame(64, 32, veRasterType::k2vuy);
  BufferRef b = MakeFrame(96, 48, veRasterType::k2vuy);
  renderer->OnReceiveVideo(a.get());
  clock().Advance(1'000);
  renderer->OnReceiveVideo(b.get());
  EXPECT_EQ(renderer->QueuedFrames(), 2);
  EXPECT_EQ(renderer->GetOutputWidth(), 320) << "queued frames change nothing yet";
  EXPECT_EQ(host->VideoCount(), 2) << "the host hears of queued frames at once";

  BufferRef blank = Cue(t0 + 9'999);
  EXPECT_NE(blank.get(), a.get());
  EXPECT_EQ(blank->Width(), 320);

  BufferRef shown = Cue(t0 + 10'500);
  EXPECT_EQ(shown.get(), a.get());
  EXPECT_EQ(a->DirtiedTime(), t0 + 10'500);
  EXPECT_EQ(renderer->GetOutputWidth(), 64);
  EXPECT_EQ(renderer->GetOutputHeight(), 32);
  EXPECT_EQ(Format().RasterType(), veRasterType::kRgba) << "the delayed path does not learn the raster type";
  EXPECT_FALSE(a->AsBool(veKeyVideoIsInterlaced, false)) << "nor does it set vidI";
  EXPECT_EQ(blank->RefCountForTesting(), 1) << "the blank frame was replaced";
  shown.reset();

  shown = Cue(t0 + 11'500);
  EXPECT_EQ(shown.get(), b.get());
  EXPECT_EQ(a->RefCountForTesting(), 1) << "renderer and queue both let go of the older frame";
  EXPECT_EQ(renderer->GetOutputWidth(), 96);
  shown.reset();

  shown = Cue(t0 + 12'000);
  EXPECT_EQ(shown.get(), b.get()) << "repeated while nothing newer is due";
  EXPECT_EQ(b->DirtiedTime(), t0 + 11'500) << "a repeat is not a change";
  // Test's, renderer's (shown), queue's (last delivered) and the caller's.
  EXPECT_EQ(b->RefCountForTesting(), 4);
}

TEST_F(kaPluginVideoRendererCueTest, CueTimeGoingBackKeepsTheShownFrame) {
  renderer->SetVideoDelay(0.001);
  const int64_t t0 = clock().Now();
  BufferRef a = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(a.get());
  EXPECT_EQ(Cue(t0 + 5'000).get(), a.get());
  EXPECT_EQ(Cue(t0).get(), a.get()) << "nothing due: the shown frame stays";
  EXPECT_EQ(a->DirtiedTime(), t0 + 5'000);
}

TEST_F(kaPluginVideoRendererCueTest, DelayBackToZeroDropsQueuedFramesAndTheNextDeliveryShowsAtOnce) {
  renderer->SetVideoDelay(0.01);
  const int64_t t0 = clock().Now();
  BufferRef a = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(a.get());
  EXPECT_EQ(Cue(t0 + 10'000).get(), a.get());
  BufferRef b = MakeFrame(8, 8, veRasterType::kRgba);
  clock().Advance(100);
  renderer->OnReceiveVideo(b.get());

  renderer->SetVideoDelay(0.0);
  EXPECT_EQ(renderer->QueuedFrames(), 0);
  EXPECT_EQ(b->RefCountForTesting(), 1) << "the queued frame was dropped";
  EXPECT_EQ(Cue(t0 + 20'000).get(), a.get()) << "the shown frame stays until the next delivery";

  BufferRef c = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(c.get());
  EXPECT_EQ(Cue(t0 + 20'001).get(), c.get());
  EXPECT_EQ(a->RefCountForTesting(), 1);
}

TEST_F(kaPluginVideoRendererCueTest, DelayedFramesStayWithinTheQueueBoundOldestDroppedFirst) {
  // A plug-in sends 640x360 frames at 60 fps into the longest delay; the
  // queue may hold about ten of them.
  renderer->SetVideoDelay(10.0);
  const uint64_t bound = 10 * (640 * 360 * 4 + 4096);
  renderer->SetMaxDelayedBytes(bound);
  std::vector<BufferRef> sent;
  const int64_t start = clock().Now();
  for (int i = 0; i < 600; ++i) {
    clock().Set(start + i * 16'667);
    sent.push_back(MakeFrame(640, 360, veRasterType::kRgba));
    ASSERT_EQ(sent.back()->AllocateStorage(640 * 360 * 4), 0);
    renderer->OnReceiveVideo(sent.back().get());
  }
  EXPECT_GE(renderer->QueuedFrames(), 9);
  EXPECT_LE(renderer->QueuedFrames(), 10);
  EXPECT_EQ(renderer->DelayedFramesDropped(), 600u - static_cast<uint64_t>(renderer->QueuedFrames()));
  for (int i = 0; i < 600 - renderer->QueuedFrames(); ++i) {
    EXPECT_EQ(sent[static_cast<size_t>(i)]->RefCountForTesting(), 1) << "frame " << i << " still held";
  }
  // The oldest frame still queued is what the viewer sees once it is due.
  const int oldestKept = 600 - renderer->QueuedFrames();
  EXPECT_EQ(Cue(start + oldestKept * 16'667 + 10'000'000).get(), sent[static_cast<size_t>(oldestKept)].get());

  // A frame larger than the bound is refused, the queue kept.
  renderer->SetMaxDelayedBytes(1000);
  EXPECT_EQ(renderer->QueuedFrames(), 0) << "lowering the bound drops what exceeds it";
  BufferRef big = MakeFrame(640, 360, veRasterType::kRgba);
  ASSERT_EQ(big->AllocateStorage(640 * 360 * 4), 0);
  renderer->OnReceiveVideo(big.get());
  EXPECT_EQ(renderer->QueuedFrames(), 0);
  EXPECT_EQ(big->RefCountForTesting(), 1);
}

// ---- live delay setting ---------------------------------------------------------

TEST_F(kaPluginVideoRendererCueTest, DelaySecondsAreTruncatedToMicroseconds) {
  renderer->SetVideoDelay(0.0334);
  EXPECT_EQ(renderer->QueueDelayMicros(), 33'400);
  EXPECT_DOUBLE_EQ(renderer->GetVideoDelay(), 0.0334);
  renderer->SetVideoDelay(1.9999999);
  EXPECT_EQ(renderer->QueueDelayMicros(), 1'999'999);
  renderer->SetVideoDelay(0.0000009);
  EXPECT_EQ(renderer->QueueDelayMicros(), 0);
}

TEST_F(kaPluginVideoRendererCueTest, NaNAndNegativeDelaysMeanNoDelayAndHugeOnesStopAtTenSeconds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double seconds : {nan, -0.5, -inf, -1e300}) {
    renderer->SetVideoDelay(1.0);
    renderer->SetVideoDelay(seconds);
    EXPECT_EQ(renderer->QueueDelayMicros(), 0) << seconds;
    EXPECT_EQ(renderer->GetVideoDelay(), 0.0) << seconds;
  }
  for (double seconds : {inf, std::numeric_limits<double>::max(), 1e18, 10.000001}) {
    renderer->SetVideoDelay(seconds);
    EXPECT_EQ(renderer->QueueDelayMicros(), 10'000'000) << seconds;
    EXPECT_EQ(renderer->GetVideoDelay(), 10.0) << seconds;
  }
}

}  // namespace
