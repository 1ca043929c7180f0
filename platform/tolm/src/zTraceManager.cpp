#include "tolm/zTraceManager.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tolm/zMutex.h"
#include "zProcessLifetime.h"

namespace {

// Longest formatted note, NUL included; the buffer lives on the caller's
// stack so that tracing never allocates.
constexpr size_t kNoteBufferBytes = 4096;

struct TraceState {
  zMutex lock;  // serialises delivery: one line at a time
  zTraceManager::Sink sink Z_GUARDED_BY(lock) = nullptr;  // null means stderr
  void* context Z_GUARDED_BY(lock) = nullptr;
};

// Never destroyed: threads may trace while static objects are torn down.
TraceState& State() { return zProcessLifetime<TraceState>(); }

void WriteToStderr(const char* text, size_t length) {
  std::fwrite(text, 1, length, stderr);
  if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

zTraceManager::zTraceManager() = default;

zTraceManager& zTraceManager::Default() {
  static zTraceManager manager;
  return manager;
}

void zTraceManager::TraceNote(const char* format, ...) {
  if (!format) return;
  char text[kNoteBufferBytes];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (written < 0) return;
  const size_t length = static_cast<size_t>(written) < sizeof(text) ? static_cast<size_t>(written) : sizeof(text) - 1;
  TraceMessage(kLevelNote, text, length);
}

void zTraceManager::TraceMessage(uint32_t level, const char* text) {
  if (!text) return;
  TraceMessage(level, text, std::strlen(text));
}

void zTraceManager::TraceMessage(uint32_t level, const char* text, size_t length) {
  if (!text) return;
  TraceState& state = State();
  zMutexGuard guard(state.lock);
  if (state.sink) {
    state.sink(state.context, level, text, length);
  } else {
    WriteToStderr(text, length);
  }
}

void zTraceManager::SetSink(Sink sink, void* context) {
  TraceState& state = State();
  zMutexGuard guard(state.lock);
  state.sink = sink;
  state.context = sink ? context : nullptr;
}

void zTraceManager::GetSink(Sink* sink, void** context) {
  TraceState& state = State();
  zMutexGuard guard(state.lock);
  if (sink) *sink = state.sink;
  if (context) *context = state.context;
}
