#include "support/TraceCapture.h"

#include <algorithm>

TraceCapture::TraceCapture() {
  zTraceManager& manager = zTraceManager::Default();
  manager.GetSink(&previousSink_, &previousContext_);
  manager.SetSink(&TraceCapture::Receive, this);
}

TraceCapture::~TraceCapture() { zTraceManager::Default().SetSink(previousSink_, previousContext_); }

void TraceCapture::Receive(void* context, uint32_t level, const char* text, size_t length) {
  auto* self = static_cast<TraceCapture*>(context);
  std::lock_guard<std::mutex> guard(self->mutex_);
  self->lines_.emplace_back(text, length);
  self->levels_.push_back(level);
}

std::vector<std::string> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

std::vector<uint32_t> TraceCapture::Levels() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return levels_;
}

std::string TraceCapture::Text() const {
  std::string text;
  for (const std::string& line : Lines()) text += line + '\n';
  return text;
}

bool TraceCapture::Contains(const std::string& fragment) const {
  const std::vector<std::string> lines = Lines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(fragment) != std::string::npos; });
}
