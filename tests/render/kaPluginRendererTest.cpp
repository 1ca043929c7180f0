#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "RenderTestSupport.h"
#include "render/kaPluginRenderer.h"
#include "render/kaRenderer2.h"
#include "render/kaSourcesPluginMethods.h"

namespace {

// The smallest renderers a plug-in could define on each base.
class BareRenderer : public kaRenderer2 {
 public:
  explicit BareRenderer(kaBufferGroup2& group) : kaRenderer2(group) {}
  uint32_t RendererKind() const override { return zFourCC("bare"); }

 protected:
  ~BareRenderer() override = default;
};

class MinimalPluginRenderer : public kaPluginRenderer {
 public:
  using Ptr = std::unique_ptr<MinimalPluginRenderer, zReleaseDeleter>;
  static Ptr Make(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods) {
    return Ptr(new MinimalPluginRenderer(name, group, methods));
  }
  uint32_t RendererKind() const override { return zFourCC("mini"); }

 protected:
  MinimalPluginRenderer(const std::string& name, kaBufferGroup2& group, kaSourcesPluginMethods& methods)
      : kaPluginRenderer(name, group, methods) {}
  ~MinimalPluginRenderer() override = default;
};

veMediaRecord MarkedRecord() {
  veMediaRecord record(veMediaTypeAudio);
  record.SetWidth(7);
  record.SetSampleRate(44'100);
  record.SetInt32(zFourCC("mark"), 42);
  return record;
}

using kaRenderer2Test = RenderTest;

TEST_F(kaRenderer2Test, DefaultsAnswerWithoutTouchingTheirArguments) {
  std::unique_ptr<BareRenderer, zReleaseDeleter> renderer(new BareRenderer(*group));

  veMediaRecord record = MarkedRecord();
  EXPECT_EQ(renderer->OutputFormat(veMediaTypeVideo, record, 0), -1);
  EXPECT_TRUE(record.Equals(MarkedRecord()));

  kaBuffer2* sentinel = reinterpret_cast<kaBuffer2*>(&record);
  kaBuffer2* out = sentinel;
  EXPECT_EQ(renderer->Cue(&out, ka_renderer_params{5}), -1);
  EXPECT_EQ(out, sentinel) << "the default cue leaves *out alone";

  clock().Set(123'456);
  EXPECT_EQ(renderer->CueTimestampForParameters(ka_renderer_params{99}), 123'456);

  zRecord settings;
  settings.SetInt32(zFourCC("abcd"), 1);
  zRecord result;
  EXPECT_EQ(renderer->ChangeConfigurationSettings(settings, 3, result), 0);
  EXPECT_EQ(result.Count(), 0);
  EXPECT_EQ(renderer->GetDuration(), 0);
  EXPECT_FALSE(renderer->VideoScaling().has_value());
  EXPECT_EQ(renderer->RendererKind(), zFourCC("bare"));
}

TEST_F(kaRenderer2Test, HoldsOneGroupReferenceForItsLifetime) {
  EXPECT_EQ(group->RefCountForTesting(), 1);
  kaRenderer2* renderer = new BareRenderer(*group);
  EXPECT_EQ(group->RefCountForTesting(), 2);
  EXPECT_EQ(renderer->AddRef(), 2);
  EXPECT_EQ(renderer->Release(), 1);
  EXPECT_EQ(group->RefCountForTesting(), 2);
  renderer->Release();
  EXPECT_EQ(group->RefCountForTesting(), 1);
}

TEST_F(kaRenderer2Test, GroupOutlivesTheHostsReferenceWhileARendererHoldsIt) {
  kaRenderer2* renderer = new BareRenderer(*group);
  const int64_t liveWithGroup = xCUnknown::LiveObjectsForTesting();
  group.reset();  // the host lets go first
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveWithGroup) << "the renderer's reference keeps the group";
  renderer->Release();
  EXPECT_EQ(LiveSinceStart(), 0) << "the renderer's release destroyed the group";
}

using kaPluginRendererTest = RenderTest;

TEST_F(kaPluginRendererTest, StartsWith320By240AndStoresOutputSize) {
  auto renderer = MinimalPluginRenderer::Make("cam", *group, *host);
  EXPECT_EQ(renderer->GetOutputWidth(), 320);
  EXPECT_EQ(renderer->GetOutputHeight(), 240);
  renderer->SetOutputWidth(1920);
  renderer->SetOutputHeight(1080);
  EXPECT_EQ(renderer->GetOutputWidth(), 1920);
  EXPECT_EQ(renderer->GetOutputHeight(), 1080);
}

TEST_F(kaPluginRendererTest, VideoOutputFormatIsOutputSizeInRgbWithTrailingBlank) {
  auto renderer = MinimalPluginRenderer::Make("cam", *group, *host);
  renderer->SetOutputWidth(640);
  veMediaRecord record = MarkedRecord();
  EXPECT_EQ(renderer->OutputFormat(veMediaTypeVideo, record, 0), 0);
  EXPECT_EQ(record.MediaType(), veMediaTypeVideo);
  EXPECT_EQ(record.Width(), 640);
  EXPECT_EQ(record.Height(), 240);
  EXPECT_EQ(record.RasterType(), 0x72676220u);
  EXPECT_EQ(record.AsInt32(zFourCC("mark"), 0), 42) << "other entries stay";
  EXPECT_EQ(record.SampleRate(), 44'100);
}

TEST_F(kaPluginRendererTest, AudioOutputFormatWithTheEmptyAudioRecordChangesNothing) {
  auto renderer = MinimalPluginRenderer::Make("mic", *group, *host);
  veMediaRecord record = MarkedRecord();
  EXPECT_EQ(renderer->OutputFormat(veMediaTypeAudio, record, 0), 0);
  EXPECT_TRUE(record.Equals(MarkedRecord()));
}

TEST_F(kaPluginRendererTest, OtherMediaTypesAreRefusedAndChangeNothing) {
  auto renderer = MinimalPluginRenderer::Make("x", *group, *host);
  for (veMediaType type : {veMediaType{0}, zFourCC("text"), zFourCC("VIDO"), veMediaType{0xFFFFFFFFu}}) {
    veMediaRecord record = MarkedRecord();
    EXPECT_EQ(renderer->OutputFormat(type, record, 0), -1);
    EXPECT_TRUE(record.Equals(MarkedRecord()));
  }
}

TEST_F(kaPluginRendererTest, HoldsGroupAndHostTableUntilDestroyed) {
  EXPECT_EQ(host->RefCountForTesting(), 1);
  auto renderer = MinimalPluginRenderer::Make("cam", *group, *host);
  EXPECT_EQ(group->RefCountForTesting(), 2);
  EXPECT_EQ(host->RefCountForTesting(), 2);
  renderer.reset();
  EXPECT_EQ(group->RefCountForTesting(), 1);
  EXPECT_EQ(host->RefCountForTesting(), 1);
}

TEST_F(kaPluginRendererTest, HostTableOutlivesTheHostsReferenceWhileARendererHoldsIt) {
  auto renderer = MinimalPluginRenderer::Make("cam", *group, *host);
  const int64_t tables = TestHostMethods::LiveCount();
  host.reset();
  EXPECT_EQ(TestHostMethods::LiveCount(), tables);
  renderer.reset();
  EXPECT_EQ(TestHostMethods::LiveCount(), tables - 1);
}

TEST_F(kaPluginRendererTest, KeepsTheNameUpToItsFirstNul) {
  EXPECT_EQ(MinimalPluginRenderer::Make("Camera 1", *group, *host)->RendererName(), "Camera 1");
  EXPECT_EQ(MinimalPluginRenderer::Make("", *group, *host)->RendererName(), "");
  EXPECT_EQ(MinimalPluginRenderer::Make(std::string("ab\0cd", 5), *group, *host)->RendererName(), "ab");
  // Longer than a short-string buffer: kept whole.
  const std::string longName(100, 'n');
  EXPECT_EQ(MinimalPluginRenderer::Make(longName, *group, *host)->RendererName(), longName);
}

TEST_F(kaPluginRendererTest, AnswersOnlyTheFoundationsInterfaceNames) {
  auto renderer = MinimalPluginRenderer::Make("cam", *group, *host);
  void* out = renderer.get();
  EXPECT_EQ(renderer->QueryInterface("kaXIVideoLiveDelay", &out), -1);
  EXPECT_EQ(out, nullptr);
  out = renderer.get();
  EXPECT_EQ(renderer->QueryInterface("kaXIAudioLiveDelay", &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(renderer->QueryInterface("xIUnknown", &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(renderer->RefCountForTesting(), 2);
  static_cast<xIUnknown*>(out)->Release();
  EXPECT_EQ(renderer->RefCountForTesting(), 1);
}

}  // namespace
