#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tolm/zTraceManager.h"

// Captures the process-wide trace log for the lifetime of the object: installs
// a zTraceManager sink that records every message (text and level) and, on
// destruction, puts back the sink that was installed before (stderr by
// default). Messages may come from any thread; the accessors return copies
// and may be called at any time. Only one capture should be alive at a time
// (a nested one works but the outer one sees nothing until it ends).
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // One entry per message, in delivery order.
  std::vector<std::string> Lines() const;
  std::vector<uint32_t> Levels() const;
  // All messages joined, each followed by '\n'.
  std::string Text() const;
  size_t Count() const { return Lines().size(); }
  // True when some message contains `fragment`.
  bool Contains(const std::string& fragment) const;

 private:
  static void Receive(void* context, uint32_t level, const char* text, size_t length);

  mutable std::mutex mutex_;
  std::vector<std::string> lines_;  // guarded by mutex_
  std::vector<uint32_t> levels_;    // guarded by mutex_
  zTraceManager::Sink previousSink_ = nullptr;
  void* previousContext_ = nullptr;
};
