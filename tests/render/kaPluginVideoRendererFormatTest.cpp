#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>

#include "VideoRendererTestSupport.h"

namespace {

using kaPluginVideoRendererFormatTest = VideoRendererTest;

BufferRef FrameWithRange(int32_t width, int32_t height, const veTimeRange& range) {
  BufferRef frame = MakeFrame(width, height, veRasterType::kRgba);
  frame->SetBufferTimeRange(range);
  return frame;
}

// ---- output format ----------------------------------------------------------------

TEST_F(kaPluginVideoRendererFormatTest, DescribesVideoWhateverTypeIsAsked) {
  for (veMediaType type : {veMediaTypeVideo, veMediaTypeAudio, zFourCC("junk")}) {
    veMediaRecord record(veMediaTypeAudio);
    record.SetSampleRate(48'000);
    EXPECT_EQ(renderer->OutputFormat(type, record, 0), 0);
    EXPECT_EQ(record.MediaType(), veMediaTypeVideo);
    EXPECT_EQ(record.Width(), 320);
    EXPECT_EQ(record.Height(), 240);
    EXPECT_EQ(record.RasterType(), veRasterType::kRgba);
    EXPECT_EQ(record.BytesPerRow(), 1280);
    EXPECT_FALSE(record.Has(veKeyTimeScale)) << "no frame rate known yet";
    EXPECT_FALSE(record.Has(veKeyFramesPerSecond));
  }
}

TEST_F(kaPluginVideoRendererFormatTest, LearnsSizeAndRasterTypeFromFramesDeliveredWithoutDelay) {
  BufferRef frame = MakeFrame(1280, 720, veRasterType::k2vuy);
  renderer->OnReceiveVideo(frame.get());
  veMediaRecord record = Format();
  EXPECT_EQ(record.Width(), 1280);
  EXPECT_EQ(record.Height(), 720);
  EXPECT_EQ(record.RasterType(), veRasterType::k2vuy);
  EXPECT_EQ(record.BytesPerRow(), 2560);
  EXPECT_EQ(renderer->GetOutputWidth(), 1280);
}

TEST_F(kaPluginVideoRendererFormatTest, SizeSettersAreReflectedInTheFormat) {
  renderer->SetOutputWidth(640);
  renderer->SetOutputHeight(360);
  veMediaRecord record = Format();
  EXPECT_EQ(record.Width(), 640);
  EXPECT_EQ(record.Height(), 360);
  EXPECT_EQ(record.BytesPerRow(), 2560);
}

TEST_F(kaPluginVideoRendererFormatTest, ReportsTheFrameRateOfTheTimeRange) {
  BufferRef ntsc = FrameWithRange(8, 8, veTimeRange{30'000, 0, 30'000, 1'001});
  renderer->OnReceiveVideo(ntsc.get());
  veMediaRecord record = Format();
  EXPECT_EQ(record.AsInt64(veKeyTimeScale, 0), 30'000);
  EXPECT_EQ(record.AsUInt64(veKeyDuration, 0), 1'001u);
  EXPECT_EQ(record.AsFloat(veKeyFramesPerSecond, 0.0f), 29.97003f);
  EXPECT_EQ(record.AsFloat(veKeyFramesPerSecond, 0.0f), static_cast<float>(30'000.0 / 1'001.0));

  // Without a time scale the range is ignored and the old rate stays.
  BufferRef untimed = FrameWithRange(8, 8, veTimeRange{0, 0, 25, 1});
  renderer->OnReceiveVideo(untimed.get());
  // Nor without a duration scale.
  BufferRef noDurationScale = FrameWithRange(8, 8, veTimeRange{25, 0, 0, 1});
  renderer->OnReceiveVideo(noDurationScale.get());
  record = Format();
  EXPECT_EQ(record.AsInt64(veKeyTimeScale, 0), 30'000);
  EXPECT_EQ(record.AsUInt64(veKeyDuration, 0), 1'001u);
  EXPECT_EQ(record.AsFloat(veKeyFramesPerSecond, 0.0f), 29.97003f);
}

TEST_F(kaPluginVideoRendererFormatTest, IncompleteOrOddDurationsGiveNoRateOrAPositiveOne) {
  // A scale without a duration: the time scale only.
  BufferRef noDuration = FrameWithRange(8, 8, veTimeRange{1, 0, 90'000, 0});
  renderer->OnReceiveVideo(noDuration.get());
  veMediaRecord record = Format();
  EXPECT_EQ(record.AsInt64(veKeyTimeScale, 0), 90'000);
  EXPECT_FALSE(record.Has(veKeyDuration));
  EXPECT_FALSE(record.Has(veKeyFramesPerSecond));

  // A negative scale reports nothing.
  BufferRef negative = FrameWithRange(8, 8, veTimeRange{1, 0, -5, 10});
  renderer->OnReceiveVideo(negative.get());
  record = Format();
  EXPECT_FALSE(record.Has(veKeyTimeScale));

  // A duration beyond the int64 range is kept at its largest value, never a
  // negative one.
  BufferRef huge = FrameWithRange(8, 8, veTimeRange{1, 0, 1'000, std::numeric_limits<uint64_t>::max()});
  renderer->OnReceiveVideo(huge.get());
  record = Format();
  EXPECT_EQ(record.AsUInt64(veKeyDuration, 0), static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
  EXPECT_GT(record.AsFloat(veKeyFramesPerSecond, 0.0f), 0.0f);
}

TEST_F(kaPluginVideoRendererFormatTest, DelayFormatIsTheShownFramesWholeFormatOrTheOutputFormat) {
  veMediaRecord empty;
  renderer->GetVideoDelayFormat(empty);
  EXPECT_TRUE(empty.Equals(Format()));

  BufferRef frame = MakeFrame(720, 576, veRasterType::kYuvs);
  frame->SetInt32(zFourCC("pgid"), 77);
  frame->SetBytesPerRow(1500);
  renderer->OnReceiveVideo(frame.get());
  veMediaRecord copy;
  renderer->GetVideoDelayFormat(copy);
  EXPECT_TRUE(copy.Equals(*frame)) << "every field and entry of the frame, vidI included";
  EXPECT_EQ(copy.AsInt32(zFourCC("pgid"), 0), 77);
  EXPECT_EQ(copy.BytesPerRow(), 1500);

  renderer->FlushVideo();
  veMediaRecord afterFlush;
  renderer->GetVideoDelayFormat(afterFlush);
  EXPECT_TRUE(afterFlush.Equals(Format()));
  EXPECT_EQ(afterFlush.RasterType(), veRasterType::kYuvs);
}

// ---- interfaces -------------------------------------------------------------------

TEST_F(kaPluginVideoRendererFormatTest, AnswersTheLiveDelayInterfaceOnTheRenderersCount) {
  void* out = nullptr;
  ASSERT_EQ(renderer->QueryInterface("kaXIVideoLiveDelay", &out), 0);
  auto* delay = static_cast<kaXIVideoLiveDelay*>(out);
  EXPECT_EQ(delay, static_cast<kaXIVideoLiveDelay*>(renderer.get()));
  EXPECT_EQ(renderer->RefCountForTesting(), 2);

  delay->SetVideoDelay(0.25);
  EXPECT_EQ(renderer->QueueDelayMicros(), 250'000);
  EXPECT_DOUBLE_EQ(delay->GetVideoDelay(), 0.25);
  veMediaRecord format;
  delay->GetVideoDelayFormat(format);
  EXPECT_EQ(format.Width(), 320);

  EXPECT_EQ(delay->AddRef(), 3);
  void* again = nullptr;
  EXPECT_EQ(delay->QueryInterface("kaXIVideoLiveDelay", &again), 0);
  EXPECT_EQ(again, out);
  EXPECT_EQ(renderer->RefCountForTesting(), 4);
  delay->Release();
  delay->Release();
  delay->Release();
  EXPECT_EQ(renderer->RefCountForTesting(), 1);
}

TEST_F(kaPluginVideoRendererFormatTest, OtherNamesGiveMinusOneAndAClearedOutPointer) {
  for (const char* name : {"xIUnknown", "kaXIAudioLiveDelay", "kaXIVideoLiveDelay ", "", "kaxivideolivedelay"}) {
    void* out = renderer.get();
    EXPECT_EQ(renderer->QueryInterface(name, &out), -1) << name;
    EXPECT_EQ(out, nullptr) << name;
  }
  void* out = renderer.get();
  EXPECT_EQ(renderer->QueryInterface(nullptr, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(renderer->QueryInterface("kaXIVideoLiveDelay", nullptr), 0);
  EXPECT_EQ(renderer->RefCountForTesting(), 1) << "no reference without an out pointer";
}

// ---- host callback ----------------------------------------------------------------

TEST_F(kaPluginVideoRendererFormatTest, HostGetsTheNameAndAProducerOfTheFrame) {
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer);
  host->SetKeepBuffers(true);
  BufferRef frame = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(frame.get());
  renderer->SetVideoDelay(0.1);
  BufferRef queued = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(queued.get());

  auto calls = host->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].kind, TestHostMethods::Kind::kVideo);
  EXPECT_EQ(calls[0].rendererName, "Camera");
  EXPECT_EQ(calls[0].metadataAddress, static_cast<const veMediaRecord*>(frame.get()));
  EXPECT_EQ(calls[0].bufferAddress, frame.get());
  EXPECT_EQ(calls[1].bufferAddress, queued.get());
  // Test's, renderer's (shown) and the one the host kept (its copy in
  // `calls` shares that reference).
  EXPECT_EQ(frame->RefCountForTesting(), 3);
  // Test's, queue's and the host's.
  EXPECT_EQ(queued->RefCountForTesting(), 3);
  calls.clear();
  host->ClearCalls();
  EXPECT_EQ(frame->RefCountForTesting(), 2);
  EXPECT_EQ(queued->RefCountForTesting(), 2);
}

TEST_F(kaPluginVideoRendererFormatTest, ProducedBufferIsReleasedWhenTheHostDoesNotKeepIt) {
  host->SetRequest(TestHostMethods::Request::kBuffer);
  BufferRef frame = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(frame.get());
  ASSERT_EQ(host->Calls().size(), 1u);
  EXPECT_EQ(host->Calls()[0].bufferAddress, frame.get());
  EXPECT_EQ(frame->RefCountForTesting(), 2) << "the producer gave its reference back";
}

TEST_F(kaPluginVideoRendererFormatTest, RendererWithoutNameTextPassesAnEmptyName) {
  auto unnamed = TestVideoRenderer::Make(std::string("\0x", 2), *group, *host);
  BufferRef frame = MakeFrame(8, 8, veRasterType::kRgba);
  unnamed->OnReceiveVideo(frame.get());
  ASSERT_EQ(host->Calls().size(), 1u);
  EXPECT_EQ(host->Calls()[0].rendererName, "");
}

// A host that calls back into the renderer from another thread while it is
// told of a frame: if a renderer or queue lock were held around the callback
// the helper thread would block and the test would never finish.
TEST_F(kaPluginVideoRendererFormatTest, HostCallbackRunsOutsideTheRendererAndQueueLocks) {
  int helperRuns = 0;
  TestVideoRenderer* target = renderer.get();
  host->SetHook([&](TestHostMethods::Kind, const std::string&, kaBuffer2Producer&) {
    std::thread helper([&] {
      target->SetOutputWidth(target->GetOutputWidth());
      veMediaRecord record;
      target->GetVideoDelayFormat(record);
      kaBuffer2* out = nullptr;
      if (target->CueVideo(&out, ka_renderer_params{1}) == 0 && out) out->Release();
      (void)target->GetVideoDelay();
      (void)target->QueuedFrames();
      ++helperRuns;
    });
    helper.join();
  });
  BufferRef a = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(a.get());
  renderer->SetVideoDelay(0.1);
  BufferRef b = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(b.get());
  EXPECT_EQ(helperRuns, 2);
  host->SetHook({});
}

// ---- lifetime -----------------------------------------------------------------------

TEST_F(kaPluginVideoRendererFormatTest, DestructionReleasesFramesHostTableAndGroup) {
  EXPECT_EQ(group->RefCountForTesting(), 2);
  EXPECT_EQ(host->RefCountForTesting(), 2);
  BufferRef shown = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(shown.get());
  renderer->SetVideoDelay(0.1);
  BufferRef queued = MakeFrame(8, 8, veRasterType::kRgba);
  renderer->OnReceiveVideo(queued.get());
  EXPECT_EQ(shown->RefCountForTesting(), 2);
  EXPECT_EQ(queued->RefCountForTesting(), 2);

  renderer.reset();
  EXPECT_EQ(shown->RefCountForTesting(), 1);
  EXPECT_EQ(queued->RefCountForTesting(), 1);
  EXPECT_EQ(group->RefCountForTesting(), 1);
  EXPECT_EQ(host->RefCountForTesting(), 1);
}

TEST_F(kaPluginVideoRendererFormatTest, BlankFrameHeldByTheHostOutlivesTheRenderer) {
  BufferRef blank = Cue(5);
  renderer.reset();
  EXPECT_EQ(blank->RefCountForTesting(), 1);
  EXPECT_EQ(blank->Width(), 320);
  blank.reset();
  group.reset();
  host.reset();
  EXPECT_EQ(LiveSinceStart(), 0);
}

}  // namespace
