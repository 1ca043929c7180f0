#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "render/kaSourcesPluginMethods.h"

// A host callback table for tests. It counts and records every call (which
// operation, the renderer name, what the producer yielded) and can ask the
// producer for the format, the buffer or both, as a host would. Reference
// counted like a host's table: Make() returns the creator's reference (hold it
// in a TestHostMethods::Ptr). Callbacks may arrive on any thread; the setters
// are for the test thread before the renderer runs.
//
// With recording off only the counters move and a callback allocates nothing
// of its own (asking for the buffer wraps it in a pooled shared pointer), for
// allocation-counting tests.
class TestHostMethods : public kaSourcesPluginMethods {
 public:
  // What the callback asks the producer for.
  enum class Request { kNothing, kMetadata, kBuffer, kMetadataThenBuffer };
  enum class Kind { kVideo, kAudio };

  struct Call {
    Kind kind = Kind::kVideo;
    std::string rendererName;
    veMediaRecord metadata;  // a copy taken during the call, when the format was asked for
    // The buffer when it was asked for and buffers are kept (else dropped as
    // the call returns).
    std::shared_ptr<kaBuffer2> buffer;
  };

  // Runs inside each callback, after the request, with the producer.
  using Hook = std::function<void(Kind kind, const std::string& rendererName, kaBuffer2Producer& producer)>;

  using Ptr = std::unique_ptr<TestHostMethods, zReleaseDeleter>;
  static Ptr Make();
  // Tables alive in the process, to prove that renderers give theirs back.
  static int64_t LiveCount();

  void SetRequest(Request request) { request_ = request; }
  void SetKeepBuffers(bool keep) { keepBuffers_ = keep; }
  void SetRecording(bool record) { recording_ = record; }
  void SetHook(Hook hook) { hook_ = std::move(hook); }

  int64_t VideoCount() const { return videoCount_.load(); }
  int64_t AudioCount() const { return audioCount_.load(); }
  // Copies of the recorded calls, oldest first.
  std::vector<Call> Calls() const;

  void VideoReceived(const std::string& rendererName, kaBuffer2Producer& producer) override;
  void AudioReceived(const std::string& rendererName, kaOptimizedBuffer2Producer& producer) override;

 protected:
  ~TestHostMethods() override;

 private:
  TestHostMethods();
  void Receive(Kind kind, const std::string& rendererName, kaBuffer2Producer& producer);

  std::atomic<Request> request_{Request::kNothing};
  std::atomic<bool> keepBuffers_{false};
  std::atomic<bool> recording_{true};
  Hook hook_;  // set before the renderer runs
  std::atomic<int64_t> videoCount_{0};
  std::atomic<int64_t> audioCount_{0};
  mutable std::mutex mutex_;
  std::vector<Call> calls_;  // guarded by mutex_
};
