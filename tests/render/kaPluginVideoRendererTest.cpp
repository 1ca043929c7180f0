#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "support/ManualClock.h"
#include "support/TestHostMethods.h"
#include "support/TestVideoRenderer.h"

namespace {

using BufferRef = std::unique_ptr<kaBuffer2, zReleaseDeleter>;
using Queue = kaDelayedBufferQueue<kaBuffer2>;
constexpr uint32_t kRgba = veRasterType::kRgba, k2vuy = veRasterType::k2vuy;

// A video buffer without storage; the caller owns its one reference.
BufferRef MakeFrame(int32_t width, int32_t height, uint32_t raster) {
  BufferRef frame(new kaBuffer2(veMediaTypeVideo));
  frame->SetWidth(width), frame->SetHeight(height), frame->SetRasterType(raster);
  return frame;
}

// A renderer named "Camera" on its own group and host table, under the manual
// clock. Every test must leave no counted object and no host table alive.
class kaPluginVideoRendererTest : public ManualClockTest {
 protected:
  void TearDown() override {
    renderer.reset(), host.reset(), group.reset();
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart_) << "counted objects leaked";
    EXPECT_EQ(TestHostMethods::LiveCount(), tablesAtStart_) << "host tables leaked";
  }
  // A cue that must succeed; the result owns the caller's reference.
  BufferRef Cue(int64_t cueTime) {
    kaBuffer2* out = nullptr;
    EXPECT_EQ(renderer->CueVideo(&out, ka_renderer_params{cueTime}), 0);
    return BufferRef(out);
  }

  const int64_t liveAtStart_ = xCUnknown::LiveObjectsForTesting(), tablesAtStart_ = TestHostMethods::LiveCount();
  std::unique_ptr<kaBufferGroup2, zReleaseDeleter> group{new kaBufferGroup2()};
  TestHostMethods::Ptr host = TestHostMethods::Make();
  TestVideoRenderer::Ptr renderer = TestVideoRenderer::Make("Camera", *group, *host);
};

// What a dequeue (the due records and the record shown before) or a clear
// (all it holds) lets go of goes back to the caller's Dropped holder with the
// buffers' references, which it releases only when the caller destroys it,
// after leaving its own lock.
TEST(kaDelayedBufferQueueTest, HandsBackWhatItLetsGoOfWithTheReferences) {
  const BufferRef a(new kaBuffer2(veMediaTypeVideo)), b(new kaBuffer2(veMediaTypeVideo)), c(new kaBuffer2(veMediaTypeVideo));
  Queue queue;
  queue.SetDelay(1'000);
  for (const auto& [buffer, time] : {std::pair{c.get(), 300}, {b.get(), 200}, {a.get(), 2'000}, {b.get(), 9'000}}) ASSERT_TRUE(queue.Enqueue(buffer, time));
  // The cue time (0: a clear), the buffer shown, the records handed back, the buffer of the last-shown record among
  // them, and the references to a, b and c once the holder is gone.
  struct Row { int64_t cueTime; kaBuffer2* shown; int32_t handedBack; kaBuffer2* previous; std::tuple<int32_t, int32_t, int32_t> referencesAfter; };
  const Row rows[] = {{1'350, c.get(), 2, nullptr, {2, 2, 2}}, {1'400, c.get(), 0, nullptr, {2, 2, 2}},  // c shown, then again
                      {3'500, a.get(), 1, c.get(), {2, 2, 1}}, {0, nullptr, 1, a.get(), {1, 1, 1}}};
  for (const Row& row : rows) {
    {
      Queue::Dropped dropped;
      const BufferRef shown(row.cueTime ? queue.Dequeue(row.cueTime, dropped) : (queue.Clear(dropped), nullptr));
      EXPECT_EQ(std::tuple(shown.get(), dropped.skipped.Count(), dropped.previous ? dropped.previous->buffer.Get() : nullptr),
                std::tuple(row.shown, row.handedBack, row.previous));
      for (int32_t i = 0; i < dropped.skipped.Count(); ++i) EXPECT_GE(dropped.skipped.Get(i)->buffer->RefCountForTesting(), 2);
    }
    EXPECT_EQ(std::tuple(a->RefCountForTesting(), b->RefCountForTesting(), c->RefCountForTesting()), row.referencesAfter)
        << "after the cue at " << row.cueTime;
  }
}

// The renderer's delay queue as it must behave, over frames named by index,
// each charged the same against the bound.
struct QueueModel {
  struct Record { int frame; int64_t time; };
  int64_t delay = 0;
  std::vector<Record> records;  // ascending time, equal times in arrival order
  std::optional<Record> last;   // the record handed out last
  uint64_t charge = 0, bound = Queue::kDefaultMaxQueuedBytes, dropped = 0;

  // Lets go of the records at or before `time`; returns the newest of them.
  std::optional<Record> TakeDue(int64_t time) {
    std::optional<Record> newest;
    for (; !records.empty() && records.front().time <= time; records.erase(records.begin())) newest = records.front();
    return newest;
  }
  void FitBound(uint64_t incoming) {  // the oldest make way
    for (; !records.empty() && (records.size() + incoming) * charge > bound; ++dropped) records.erase(records.begin());
  }
  void Enqueue(int frame, int64_t time) {
    TakeDue(delay != 0 ? time - delay - Queue::kExpiryMarginUs : time);  // can never be shown
    if (charge > bound) return void(++dropped);                          // could never fit: refused
    FitBound(1);
    records.insert(std::find_if(records.begin(), records.end(), [time](auto& r) { return r.time > time; }), {frame, time});
  }
  // The frame to show at `cueTime`, or -1.
  int Dequeue(int64_t cueTime) {
    const std::optional<Record> newest = TakeDue(cueTime - delay);
    if (newest && (!last || newest->time >= last->time)) last = newest;  // never back in time
    return last && last->time <= cueTime - delay ? last->frame : -1;
  }
  void Clear() { records.clear(), last.reset(); }
  int Holds(int f) const { return int(std::count_if(records.begin(), records.end(), [f](auto& r) { return r.frame == f; })) + (last && last->frame == f); }
};

// A frame of the model, and the dirtied time and "vidI" its record must hold.
struct Frame { BufferRef buffer; int64_t stamp = -1; bool interlaced = false; };

// A plug-in delivers frames of random size, raster type and time range (now
// and then the newest one again, or with an earlier arrival time, as racing
// delivery threads do) while the host cues at output times around the
// clock's, sets the delay (odd values too) and the bound on delayed storage,
// flushes, and stalls long enough for waiting frames to expire. After every
// step the renderer must match the model: the frame or blank frame handed
// out, the dirtied times, the output format (with the frame rate learned from
// delivered and from delayed frames), the counters and every frame's
// reference count.
TEST_F(kaPluginVideoRendererTest, FollowsTheModelThroughRandomDeliveriesCuesDelaysAndFlushes) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
  const veTimeRange ranges[] = {{}, {30'000, 0, 30'000, 1'001}, {25, 0, 25, 1}, {0, 0, 25, 1}, {1, 0, 90'000, 0},
                                {1, 0, -5, 10}, {1, 0, 1'000, UINT64_MAX}};
  const int32_t widths[] = {16, 32, 6, 3};  // frames are half as high
  const uint32_t rasters[] = {kRgba, k2vuy, veRasterType::kBGRA};
  const veMediaType types[] = {veMediaTypeVideo, veMediaTypeAudio, zFourCC("junk")};
  const int64_t arrivalSteps[] = {0, 500, 1'000, 2'000, -700}, cueOffsets[] = {-2'000, 0, 0, 500, 1'000, 3'000, 10'000};
  // Seconds, and the microseconds they become: truncated, none for NaN or negative values, at most 10 s.
  const std::pair<double, int64_t> delays[] = {{0, 0}, {0.001, 1'000}, {0.002, 2'000}, {0.0334, 33'400}, {0.0000009, 0},
                                               {1.9999999, 1'999'999}, {kNaN, 0}, {-0.5, 0}, {-kInf, 0}, {kInf, 10'000'000}};
  Queue measured;  // what a queue charges against its bound for a frame without storage
  const uint64_t charge = (measured.Enqueue(MakeFrame(1, 1, kRgba).get(), 0), measured.QueuedBytes());
  const uint64_t bounds[] = {charge - 1, charge, 3 * charge, Queue::kDefaultMaxQueuedBytes};
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer), host->SetRecording(false);
  for (uint32_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    auto pick = [&random](const auto& values) { return values[random() % std::size(values)]; };
    renderer = TestVideoRenderer::Make("Camera", *group, *host);
    QueueModel queue{0, {}, {}, charge};
    std::vector<Frame> frames;
    int current = -1;  // the frame on screen; -1 none, -2 a blank frame
    kaBuffer2* blank = nullptr;
    bool changed = false;  // the frame on screen changed since a cue last stamped it
    int32_t width = 320, height = 240;
    uint32_t raster = 0;
    int64_t blankStamp = -1, durationScale = -1, duration = -1;
    auto show = [&](int frame, bool delivered) {  // the raster type is learned from delivered frames only
      const kaBuffer2& shown = *frames[size_t(frame)].buffer;
      const veTimeRange range = shown.GetBufferTimeRange();
      current = frame, changed = true, width = shown.Width(), height = shown.Height(), raster = delivered ? shown.RasterType() : raster;
      if (range.timeScale && range.durationScale) durationScale = range.durationScale, duration = int64_t(std::min<uint64_t>(range.duration, INT64_MAX));
    };
    for (int step = 0; step < 400 && !HasFailure(); ++step) {
      const uint32_t op = random() % 20;
      if (op < 7) {  // a delivery, now and then of the newest frame again
        clock().Advance(pick(arrivalSteps));
        if (frames.empty() || op != 0) {
          const int32_t w = pick(widths);
          frames.push_back(Frame{MakeFrame(w, w / 2, pick(rasters))}), frames.back().buffer->SetBufferTimeRange(pick(ranges));
        }
        Frame& frame = frames.back();
        renderer->OnReceiveVideo(frame.buffer.get());
        frame.interlaced |= queue.delay == 0;
        queue.delay == 0 ? show(int(frames.size() - 1), true) : queue.Enqueue(int(frames.size() - 1), clock().Now());
      } else if (op < 13) {  // a cue
        const int64_t cueTime = clock().Now() + pick(cueOffsets);
        if (const int due = queue.delay != 0 ? queue.Dequeue(cueTime) : -1; due >= 0 && due != current) show(due, false);
        const uint32_t blankRaster = raster != 0 ? raster : kRgba;
        const bool blankFails = current == -1 && blankRaster == k2vuy && width % 2 != 0;
        if (current == -1 && !blankFails) current = -2, changed = true, blank = nullptr;
        kaBuffer2* out = reinterpret_cast<kaBuffer2*>(&blank);  // must be overwritten
        EXPECT_EQ(renderer->CueVideo(&out, ka_renderer_params{cueTime}), blankFails ? -1 : 0);
        const BufferRef shown(blankFails ? nullptr : out);
        EXPECT_EQ(out == nullptr, blankFails) << "an odd width has no blank 2vuy frame";
        if (current == -2 && !blank && shown) {  // opaque black in rgba, black in 2vuy, zero bytes in the other types
          const uint32_t black = blankRaster == k2vuy ? 0x00800080u : blankRaster == kRgba ? 0xFF000000u : 0;
          blank = shown.get();
          EXPECT_EQ(std::tuple(blank->Width(), blank->Height(), blank->RasterType(), blank->GetDisplayWidth(), blank->GetDisplayHeight(),
                               std::memcmp(blank->GetStorage(), &black, 4)), std::tuple(width, height, blankRaster, width, height, 0));
        }
        EXPECT_EQ(shown.get(), current >= 0 ? frames[size_t(current)].buffer.get() : current == -2 ? blank : nullptr);
        if (current != -1 && changed) (current == -2 ? blankStamp : frames[size_t(current)].stamp) = cueTime;
        changed = changed && current == -1;
      } else if (op == 13) {
        clock().Advance(600'000);  // the host stalls: waiting frames expire
      } else if (op == 14) {
        const auto [seconds, micros] = pick(delays);
        renderer->SetVideoDelay(seconds), queue.delay = micros, queue.Clear();  // the frame on screen stays
      } else if (op == 15) {
        renderer->FlushVideo(), current = -1, queue.Clear();
      } else if (op == 16) {
        renderer->SetMaxDelayedBytes(queue.bound = pick(bounds)), queue.FitBound(0);
      }
      const int64_t stamp = current >= 0 ? frames[size_t(current)].stamp : current == -2 ? blankStamp : -1;
      EXPECT_EQ(std::tuple(renderer->QueueDelayMicros(), renderer->GetVideoDelay(), renderer->QueuedFrames(), renderer->DelayedFramesDropped(),
                           renderer->CueTimestampForParameters({0}), current == -2 ? blank->RefCountForTesting() : 1),
                std::tuple(queue.delay, double(queue.delay) / 1e6, int32_t(queue.records.size()), queue.dropped,
                           current != -1 && stamp < 0 ? clock().Now() : stamp, 1));  // a blank frame is the renderer's alone
      veMediaRecord format, delayFormat;
      EXPECT_EQ(renderer->OutputFormat(pick(types), format, 0), 0) << "always video";
      const bool rated = durationScale > 0 && duration > 0;
      EXPECT_EQ(std::tuple(format.MediaType(), format.Width(), format.Height(), format.RasterType(), format.BytesPerRow(),
                           format.AsInt64(veKeyTimeScale, -1), format.AsUInt64(veKeyDuration, 0),
                           format.AsFloat(veKeyFramesPerSecond, 0)),
                std::tuple(veMediaTypeVideo, width, height, raster ? raster : kRgba,
                           raster == k2vuy ? 2 * (width + width % 2) : 4 * width, durationScale > 0 ? durationScale : -1,
                           rated ? uint64_t(duration) : 0, rated ? float(double(durationScale) / double(duration)) : 0));
      renderer->GetVideoDelayFormat(delayFormat);
      EXPECT_TRUE(delayFormat.Equals(current >= 0 ? *frames[size_t(current)].buffer : current == -2 ? *blank : format));
      for (size_t i = 0; i < frames.size(); ++i) {
        const kaBuffer2& frame = *frames[i].buffer;
        EXPECT_EQ(std::tuple(frame.RefCountForTesting(), frame.DirtiedTime(), frame.AsBool(veKeyVideoIsInterlaced, false)),
                  std::tuple(1 + (current == int(i)) + queue.Holds(int(i)), frames[i].stamp, frames[i].interlaced))
            << "frame " << i;
      }
    }
    // What the host holds outlives the renderer; everything else goes with it.
    const BufferRef held = current == -1 ? nullptr : Cue(clock().Now());
    EXPECT_EQ(std::pair(group->RefCountForTesting(), host->RefCountForTesting()), std::pair(2, 2));
    renderer.reset();
    EXPECT_EQ(std::pair(group->RefCountForTesting(), host->RefCountForTesting()), std::pair(1, 1));
    for (const Frame& frame : frames) EXPECT_EQ(frame.buffer->RefCountForTesting(), frame.buffer == held ? 2 : 1);
    EXPECT_TRUE(!held || held->Width() > 0);
  }
}

// A plug-in thread delivers numbered frames from the group's cache and
// flushes now and then; two host threads cue at the clock's time, one of them
// changing the delay. The host keeps the last frames it is told of and reads
// them on the test thread, as a multiviewer does, and now and then uses the
// renderer from a thread of its own while it is told of a frame (which never
// finishes if a renderer or queue lock is held around the callback). No
// thread runs more than kMaxLead iterations ahead, so deliveries and cues
// interleave. Every frame read must be whole (ThreadSanitizer and
// AddressSanitizer watch the reads), and no cue may show a frame older than
// one any cue returned before it started.
TEST_F(kaPluginVideoRendererTest, HostThreadReadsKeptFramesWhileTwoThreadsCueConcurrently) {
  constexpr int kFrames = 2'000, kMaxLead = 8, kKept = 64;
  constexpr zKey kNumberKey = zFourCC("fnum");
  std::atomic<int> failures{0}, framesSeen{0}, delivered{0}, running{3}, cued[2] = {0, 0};
  std::atomic<int64_t> newestShown{-1};
  std::mutex keptLock;
  std::vector<std::shared_ptr<kaBuffer2>> kept(kKept);  // guarded by keptLock
  int told = 0;                                          // guarded by keptLock
  host->SetRecording(false);
  host->SetHook([&](TestHostMethods::Kind, const std::string&, kaBuffer2Producer& producer) {
    std::shared_ptr<kaBuffer2> frame = producer.ProduceBuffer();
    if (frame->AsInt64(kNumberKey, 0) % 400 == 1) std::thread([&] { renderer->SetOutputWidth(renderer->GetOutputWidth()); Cue(clock().Now()); }).join();
    const std::lock_guard<std::mutex> guard(keptLock);
    kept[size_t(told++ % kKept)] = std::move(frame);
  });
  std::thread plugin([&] {
    for (int i = 0; i < kFrames; delivered.store(++i)) {
      while (i - std::min(cued[0].load(), cued[1].load()) > kMaxLead) std::this_thread::yield();
      const std::shared_ptr<kaGPUAccessibleBuffer> frame = group->CreateGPUAccessibleBuffer(64, 36, int(kRgba));
      frame->SetInt64(kNumberKey, i), renderer->OnReceiveVideo(frame.get()), clock().Advance(1'000);
      if (i % 250 == 125) renderer->FlushVideo();
    }
    --running;
  });
  auto cue = [&](int self) {
    for (int i = 0; i < kFrames; cued[self].store(++i)) {
      while (delivered.load() == 0 || i - delivered.load() > kMaxLead) std::this_thread::yield();
      if (self == 0 && i % 200 == 100) renderer->SetVideoDelay((i / 200) % 2 == 0 ? 0.002 : 0.0);
      const int64_t before = newestShown.load();
      const BufferRef shown = Cue(clock().Now());
      const int64_t number = shown ? shown->AsInt64(kNumberKey, -1) : -2;
      veMediaRecord format;
      renderer->OutputFormat(veMediaTypeVideo, format, 0);
      failures += number < before && number != -1;  // a blank frame after a flush, else never an older frame
      failures += renderer->CueTimestampForParameters({0}) < -1 || (format.Width() != 64 && format.Width() != 320);
      framesSeen += number >= 0;
      for (int64_t newest = before; number > newest && !newestShown.compare_exchange_weak(newest, number);) continue;
    }
    --running;
  };
  std::thread cue0(cue, 0), cue1(cue, 1);
  for (int slot = 0; running.load() > 0; ++slot) {
    std::unique_lock<std::mutex> guard(keptLock);
    const std::shared_ptr<kaBuffer2> frame = kept[size_t(slot % kKept)];
    guard.unlock();
    const veMediaRecord copy = frame ? *frame : veMediaRecord();  // reads every entry
    failures += frame && (frame->GetDisplayWidth() != 64 || frame->GetDisplayHeight() != 36 || copy.Width() != 64 ||
                          frame->DirtiedTime() < -1 || !frame->AsBool(veKeyVideoIsInterlaced, true));
  }
  plugin.join(), cue0.join(), cue1.join();
  EXPECT_EQ(std::tuple(failures.load(), host->VideoCount()), std::tuple(0, int64_t{kFrames}));
  EXPECT_GT(framesSeen.load(), 0);
}

// The same ordering, made certain: a cue that is held up while it lets go of
// a skipped frame (its last release runs a host's pre-recycle function) must
// not put its frame back on screen over a newer one that another host thread
// cued meanwhile, nor make that newer frame count as changed again.
TEST_F(kaPluginVideoRendererTest, ConcurrentCueHeldUpByAReleaseNeverTakesTheScreenBack) {
  renderer->SetVideoDelay(0.001);
  const int64_t start = clock().Now();
  std::promise<void> inRelease, otherCueDone;
  std::shared_future<void> otherDone = otherCueDone.get_future().share();
  BufferRef first = MakeFrame(8, 8, 0), second = MakeFrame(8, 8, 0), third = MakeFrame(8, 8, 0);
  first->SetPreRecycleLambda([&inRelease, otherDone] { inRelease.set_value(); otherDone.wait(); });
  clock().Set(start + 1'000), renderer->OnReceiveVideo(first.get());
  clock().Set(start + 2'000), renderer->OnReceiveVideo(second.get());
  first.reset();  // the queue holds the only reference: skipping it releases it
  std::future<BufferRef> slowCue = std::async(std::launch::async, [&] { return Cue(start + 3'500); });
  inRelease.get_future().wait();
  clock().Set(start + 4'000), renderer->OnReceiveVideo(third.get());
  EXPECT_EQ(Cue(start + 5'500).get(), third.get());
  otherCueDone.set_value();
  EXPECT_EQ(slowCue.get().get(), second.get()) << "the held-up cue shows what was due at its time";
  EXPECT_EQ(renderer->CueTimestampForParameters({0}), start + 5'500) << "the newer frame stays on screen";
  EXPECT_EQ(Cue(start + 5'600).get(), third.get());
  EXPECT_EQ(third->DirtiedTime(), start + 5'500) << "and is not stamped again";
}

}  // namespace
