// What every counted object of the library promises a host that asks it for
// an interface by name: the names it answers (with the right sub-object and
// one reference more, dropped again through that interface), and the names it
// refuses (-1, the out pointer cleared, no reference taken). One row per kind
// of object; the names a kind refuses include its neighbours' names, so a
// renderer that answered another renderer's interface fails here.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "buffers/kaGPUAccessibleBuffer.h"
#include "plugins/kaPluginAudioRenderer.h"
#include "render/kaPluginRenderer.h"
#include "support/TestHostMethods.h"
#include "support/TestVideoRenderer.h"

namespace {

class PlainRenderer final : public kaPluginRenderer {
 public:
  PlainRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host) : kaPluginRenderer("plain", group, host) {}
  uint32_t RendererKind() const override { return zFourCC("plan"); }

 private:
  ~PlainRenderer() override = default;
};

class AudioRenderer final : public kaPluginAudioRenderer {
 public:
  AudioRenderer(kaBufferGroup2& group, kaSourcesPluginMethods& host) : kaPluginAudioRenderer("audio", group, host) {}
  uint32_t RendererKind() const override { return zFourCC("caud"); }

 private:
  ~AudioRenderer() override = default;
};

// One object under test, holding its creator's reference.
struct Subject {
  xCUnknown* object = nullptr;
  std::vector<std::pair<const char*, xIUnknown*>> answers;  // name -> the interface it must hand out
};

struct Row {
  const char* kind;
  std::function<Subject(kaBufferGroup2&, kaSourcesPluginMethods&)> make;
  std::vector<const char*> refused;
};

template <typename Interface, typename T>
xIUnknown* As(T* object) {
  return static_cast<xIUnknown*>(static_cast<Interface*>(object));
}

const std::vector<Row> kRows = {
    {"Buffer",
     [](kaBufferGroup2&, kaSourcesPluginMethods&) {
       auto* buffer = new kaBuffer2();
       return Subject{buffer, {{"xIUnknown", As<xCUnknown>(buffer)}}};
     },
     {"kaXIGPUAccessibleBuffer", "kaXIVideoBuffer", "xIUnknownX"}},
    {"GpuAccessibleBuffer",
     [](kaBufferGroup2& group, kaSourcesPluginMethods&) {
       veMediaRecord format(veMediaTypeVideo);
       format.SetWidth(8);
       format.SetHeight(4);
       format.SetRasterType(zFourCC("BGRA"));
       kaGPUAccessibleBuffer* buffer = nullptr;
       EXPECT_EQ(group.CreateGPUAccessibleBuffer(format, &buffer), 0);
       return Subject{buffer,
                      {{"kaXIGPUAccessibleBuffer", As<kaXIGPUAccessibleBuffer>(buffer)},
                       {"kaXIVideoBuffer", As<kaXIVideoBuffer>(buffer)},
                       {"xIUnknown", As<xCUnknown>(buffer)}}};
     },
     {"kaXIGPUAccessibleBufferX", "kaxigpuaccessiblebuffer", "kaXIVideoLiveDelay"}},
    {"BufferGroup",
     [](kaBufferGroup2&, kaSourcesPluginMethods&) {
       auto* group = new kaBufferGroup2();
       return Subject{group, {{"xIUnknown", As<xCUnknown>(group)}}};
     },
     {"kaXIGPUAccessibleBuffer", "kaXIVideoLiveDelay"}},
    {"PluginRenderer",
     [](kaBufferGroup2& group, kaSourcesPluginMethods& host) {
       auto* renderer = new PlainRenderer(group, host);
       return Subject{renderer, {{"xIUnknown", As<xCUnknown>(renderer)}}};
     },
     {"kaXIVideoLiveDelay", "kaXIAudioLiveDelay"}},
    {"VideoRenderer",
     [](kaBufferGroup2& group, kaSourcesPluginMethods& host) {
       TestVideoRenderer* renderer = TestVideoRenderer::Make("video", group, host).release();
       return Subject{renderer, {{"kaXIVideoLiveDelay", As<kaXIVideoLiveDelay>(renderer)}}};
     },
     {"xIUnknown", "kaXIAudioLiveDelay", "kaXIVideoLiveDelay ", "kaxivideolivedelay", "kaXIGPUAccessibleBuffer"}},
    {"AudioRenderer",
     [](kaBufferGroup2& group, kaSourcesPluginMethods& host) {
       auto* renderer = new AudioRenderer(group, host);
       return Subject{renderer, {{"kaXIAudioLiveDelay", As<kaXIAudioLiveDelay>(renderer)}}};
     },
     {"xIUnknown", "kaXIVideoLiveDelay", "kaXIAudioLiveDelayX", "kaXIGPUAccessibleBuffer"}},
};

class InterfaceQueryTest : public ::testing::TestWithParam<Row> {
 protected:
  std::unique_ptr<kaBufferGroup2, zReleaseDeleter> group{new kaBufferGroup2()};
  TestHostMethods::Ptr host = TestHostMethods::Make();
};

TEST_P(InterfaceQueryTest, AnswersItsNamesWithOneReferenceAndRefusesTheRest) {
  Subject subject = GetParam().make(*group, *host);
  ASSERT_NE(subject.object, nullptr);
  xCUnknown& object = *subject.object;
  ASSERT_EQ(object.RefCountForTesting(), 1);

  for (const auto& [name, expected] : subject.answers) {
    SCOPED_TRACE(name);
    void* out = nullptr;
    ASSERT_EQ(object.QueryInterface(name, &out), 0);
    auto* answered = static_cast<xIUnknown*>(out);
    EXPECT_EQ(answered, expected);
    EXPECT_EQ(object.RefCountForTesting(), 2);
    // Asked again through the interface it handed out: the same sub-object.
    void* again = nullptr;
    ASSERT_EQ(answered->QueryInterface(name, &again), 0);
    EXPECT_EQ(again, out);
    EXPECT_EQ(answered->AddRef(), 4);
    EXPECT_EQ(answered->Release(), 3);
    static_cast<xIUnknown*>(again)->Release();
    answered->Release();
    EXPECT_EQ(object.RefCountForTesting(), 1);
    // A null out pointer: the name is answered, nothing is counted.
    EXPECT_EQ(object.QueryInterface(name, nullptr), 0);
    EXPECT_EQ(object.RefCountForTesting(), 1);
  }

  std::vector<const char*> refused = GetParam().refused;
  refused.insert(refused.end(), {nullptr, "", "other"});
  for (const char* name : refused) {
    SCOPED_TRACE(name ? name : "(null)");
    void* out = &object;
    EXPECT_EQ(object.QueryInterface(name, &out), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object.QueryInterface(name, nullptr), -1);
    EXPECT_EQ(object.RefCountForTesting(), 1);
  }

  // The last reference may be dropped through an interface.
  void* out = nullptr;
  ASSERT_EQ(object.QueryInterface(subject.answers.front().first, &out), 0);
  EXPECT_EQ(object.Release(), 1);
  EXPECT_EQ(static_cast<xIUnknown*>(out)->Release(), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryCountedObject, InterfaceQueryTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.kind); });

}  // namespace
