#pragma once
#include <gtest/gtest.h>

#include <cstdint>

#include "RenderTestSupport.h"
#include "support/TestVideoRenderer.h"

// Fixture of the video renderer's tests: one renderer named "Camera" on the
// fixture's group and host table, under the manual clock.
class VideoRendererTest : public RenderTest {
 protected:
  void SetUp() override {
    RenderTest::SetUp();
    renderer = TestVideoRenderer::Make("Camera", *group, *host);
  }
  void TearDown() override {
    renderer.reset();
    RenderTest::TearDown();
  }

  // A cue that must succeed; the result owns the caller's reference.
  BufferRef Cue(int64_t cueTime) {
    kaBuffer2* out = nullptr;
    EXPECT_EQ(renderer->CueVideo(&out, ka_renderer_params{cueTime}), 0);
    EXPECT_NE(out, nullptr);
    return BufferRef(out);
  }

  veMediaRecord Format() {
    veMediaRecord record;
    EXPECT_EQ(renderer->OutputFormat(veMediaTypeVideo, record, 0), 0);
    return record;
  }

  TestVideoRenderer::Ptr renderer;
};
