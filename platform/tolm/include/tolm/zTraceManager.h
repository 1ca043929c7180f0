#pragma once
#include <cstddef>
#include <cstdint>

#include "tolm/tolmExport.h"
#include "tolm/zFourCC.h"

// The process-wide trace log. Lines go to stderr unless a sink is installed
// (tests and the host simulator capture them); on stderr each message is
// followed by a newline unless it ends with one. Any thread may trace; each
// line is delivered whole, and lines from different threads do not
// interleave. Tracing allocates nothing.
class TOLM_EXPORT zTraceManager {
 public:
  static constexpr uint32_t kLevelNote = zFourCC("note");

  // Receives one message: its level and its text (not NUL-terminated).
  using Sink = void (*)(void* context, uint32_t level, const char* text, size_t length);

  static zTraceManager& Default();

  // printf-style note at the level "note". Formatting happens on the caller's
  // stack; texts longer than the stack buffer are cut at 4095 bytes.
  void TraceNote(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A ready message at `level`. A null text is ignored.
  void TraceMessage(uint32_t level, const char* text);
  void TraceMessage(uint32_t level, const char* text, size_t length);

  // Installs a sink (null restores stderr). The sink runs under the manager's
  // lock and must not trace itself.
  void SetSink(Sink sink, void* context);
  // The installed sink and its context (null when lines go to stderr), so that
  // a temporary capture can put back what it replaced. Null outs are skipped.
  void GetSink(Sink* sink, void** context);

 private:
  zTraceManager();
};
