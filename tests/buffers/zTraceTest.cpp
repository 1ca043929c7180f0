// The library's guarded trace notes: whatever making or writing a note
// throws, the caller gets no exception and the log gets the best text left.
#include "foundation/internal/zTrace.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/TraceCapture.h"

namespace {

TEST(zTraceTest, AFailedNoteIsReplacedByAFixedTextAndNeverThrows) {
  TraceCapture capture;
  zTraceGuarded([] { return std::string("made\n"); });
  zTraceGuarded([]() -> std::string { throw std::runtime_error("bad width"); });
  zTraceGuarded([]() -> std::string { throw 7; });
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"made\n", "zTrace 'bad width'\n", "zTrace Unknown Assertion\n"}));
  // A sink that throws on every message: the note, its replacement and the
  // fixed text all fail, and still nothing escapes.
  zTraceManager& manager = zTraceManager::Default();
  zTraceManager::Sink sink = nullptr;
  void* context = nullptr;
  manager.GetSink(&sink, &context);
  manager.SetSink([](void*, uint32_t, const char*, size_t) { throw std::runtime_error("sink"); }, nullptr);
  zTraceGuarded([] { return std::string("lost\n"); });
  zTraceGuarded([]() -> std::string { throw 7; });
  manager.SetSink(sink, context);
  EXPECT_EQ(capture.Count(), 3u);
}

}  // namespace
