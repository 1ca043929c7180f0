#include "support/TraceCapture.h"

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
  std::lock_guard<std::mutex> guard(mutex_);
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += '\n';
  }
  return text;
}

size_t TraceCapture::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_.size();
}

bool TraceCapture::Contains(const std::string& fragment) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const std::string& line : lines_) {
    if (line.find(fragment) != std::string::npos) return true;
  }
  return false;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.clear();
  levels_.clear();
}
