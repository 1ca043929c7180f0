#include "tolm/zTraceManager.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/TraceCapture.h"

namespace {

TEST(zTraceManagerTest, TraceNoteFormatsAtLevelNote) {
  TraceCapture capture;
  zTraceManager::Default().TraceNote("drift %d frames, ratio %.3f, %s", -12, 1.25, "ok");
  ASSERT_EQ(capture.Count(), 1u);
  EXPECT_EQ(capture.Lines()[0], "drift -12 frames, ratio 1.250, ok");
  EXPECT_EQ(capture.Levels()[0], zFourCC("note"));
  EXPECT_EQ(capture.Text(), "drift -12 frames, ratio 1.250, ok\n");
}

TEST(zTraceManagerTest, TraceMessageKeepsLevelAndLength) {
  TraceCapture capture;
  zTraceManager::Default().TraceMessage(zFourCC("warn"), "first");
  zTraceManager::Default().TraceMessage(zTraceManager::kLevelNote, "second and more", 6);
  zTraceManager::Default().TraceMessage(zFourCC("warn"), nullptr);
  zTraceManager::Default().TraceMessage(zFourCC("warn"), nullptr, 4);
  ASSERT_EQ(capture.Count(), 2u);
  EXPECT_EQ(capture.Lines()[0], "first");
  EXPECT_EQ(capture.Levels()[0], zFourCC("warn"));
  EXPECT_EQ(capture.Lines()[1], "second");
  EXPECT_TRUE(capture.Contains("irs"));
  EXPECT_FALSE(capture.Contains("more"));
}

TEST(zTraceManagerTest, LongNotesAreCutAtTheStackBuffer) {
  TraceCapture capture;
  const std::string longText(10000, 'x');
  zTraceManager::Default().TraceNote("%s!", longText.c_str());
  ASSERT_EQ(capture.Count(), 1u);
  EXPECT_EQ(capture.Lines()[0], std::string(4095, 'x'));
}

TEST(zTraceManagerTest, LinesFromTwoThreadsArriveWhole) {
  TraceCapture capture;
  constexpr int kLines = 500;
  auto writer = [](char letter) {
    const std::string body(200, letter);
    for (int i = 0; i < kLines; ++i) zTraceManager::Default().TraceNote("%c%04d %s", letter, i, body.c_str());
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u * kLines);
  int nextA = 0;
  int nextB = 0;
  for (const auto& line : lines) {
    ASSERT_EQ(line.size(), 1u + 4u + 1u + 200u) << line;
    const char letter = line[0];
    ASSERT_TRUE(letter == 'a' || letter == 'b') << line;
    ASSERT_EQ(line.find_first_not_of(letter, 6), std::string::npos) << line;
    // Each thread's lines keep their order.
    int& next = letter == 'a' ? nextA : nextB;
    ASSERT_EQ(std::stoi(line.substr(1, 4)), next) << line;
    ++next;
  }
}

TEST(zTraceManagerTest, CaptureRestoresTheSinkItReplaced) {
  TraceCapture outer;
  {
    TraceCapture inner;
    zTraceManager::Default().TraceNote("inner %d", 1);
    EXPECT_EQ(inner.Count(), 1u);
  }
  zTraceManager::Default().TraceNote("outer %d", 2);
  ASSERT_EQ(outer.Count(), 1u);
  EXPECT_EQ(outer.Lines()[0], "outer 2");
}

TEST(zTraceManagerTest, DefaultSinkWritesWholeLinesToStderr) {
  zTraceManager::Sink sink = nullptr;
  void* context = nullptr;
  zTraceManager::Default().GetSink(&sink, &context);
  ASSERT_EQ(sink, nullptr) << "another capture is still installed";
  testing::internal::CaptureStderr();
  zTraceManager::Default().TraceNote("to stderr %d", 7);
  zTraceManager::Default().TraceMessage(zTraceManager::kLevelNote, "already ended\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr 7\nalready ended\n");
}

}  // namespace
