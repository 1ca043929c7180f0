#include "support/TestHostMethods.h"

namespace {
std::atomic<int64_t> gLiveTables{0};
}  // namespace

TestHostMethods::TestHostMethods() { gLiveTables.fetch_add(1); }

TestHostMethods::~TestHostMethods() { gLiveTables.fetch_sub(1); }

TestHostMethods::Ptr TestHostMethods::Make() { return Ptr(new TestHostMethods()); }

int64_t TestHostMethods::LiveCount() { return gLiveTables.load(); }

std::vector<TestHostMethods::Call> TestHostMethods::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void TestHostMethods::VideoReceived(const std::string& rendererName, kaBuffer2Producer& producer) {
  videoCount_.fetch_add(1);
  Receive(Kind::kVideo, rendererName, producer);
}

void TestHostMethods::AudioReceived(const std::string& rendererName, kaOptimizedBuffer2Producer& producer) {
  audioCount_.fetch_add(1);
  Receive(Kind::kAudio, rendererName, producer);
}

void TestHostMethods::Receive(Kind kind, const std::string& rendererName, kaBuffer2Producer& producer) {
  const Request request = request_.load();
  const bool record = recording_.load();
  const veMediaRecord* metadata = nullptr;
  std::shared_ptr<kaBuffer2> buffer;
  if (request == Request::kMetadata || request == Request::kMetadataThenBuffer) metadata = producer.ProduceMetadata();
  if (request == Request::kBuffer || request == Request::kMetadataThenBuffer) buffer = producer.ProduceBuffer();

  if (record) {
    Call call{kind, rendererName, metadata ? *metadata : veMediaRecord(), keepBuffers_.load() ? buffer : nullptr};
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  if (hook_) hook_(kind, rendererName, producer);
}
