#include <atomic>
#include <cmath>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "buffers/BufferTestSupport.h"
#include "support/TestHostMethods.h"
#include "support/TestVideoRenderer.h"

using BufferRef = Held<kaBuffer2>;
using Queue = kaDelayedBufferQueue<kaBuffer2>;
constexpr uint32_t kRgba = veRasterType::kRgba, k2vuy = veRasterType::k2vuy;

// A video frame without storage; the caller owns its one reference.
BufferRef MakeFrame(int32_t width, int32_t height, uint32_t raster) {
  return BufferRef(NewVideoBuffer(width, height, raster, 0, 0));
}

// A renderer named "Camera" on its own group and host table, under the manual
// clock. Every test must leave no counted object and no host table alive.
class kaPluginVideoRendererTest : public BufferTest {
 protected:
  void TearDown() override {
    renderer.reset(), host.reset(), group.reset();
    EXPECT_EQ(TestHostMethods::LiveCount(), tablesAtStart_) << "host tables leaked";
    BufferTest::TearDown();
  }
  // A cue that must succeed; the result owns the caller's reference.
  BufferRef Cue(int64_t cueTime) {
    kaBuffer2* out = nullptr;
    EXPECT_EQ(renderer->CueVideo(&out, ka_renderer_params{cueTime}), 0);
    return BufferRef(out);
  }

  const int64_t tablesAtStart_ = TestHostMethods::LiveCount();
  Held<kaBufferGroup2> group{new kaBufferGroup2()};
  TestHostMethods::Ptr host = TestHostMethods::Make();
  TestVideoRenderer::Ptr renderer = TestVideoRenderer::Make("Camera", *group, *host);
};

// What a dequeue (the due records and the record shown before) or a clear
// (all it holds) lets go of goes back to the caller's Dropped holder with the
// buffers' references, which it releases only when the caller destroys it,
// after leaving its own lock.
TEST(kaDelayedBufferQueueTest, HandsBackWhatItLetsGoOfWithTheReferences) {
  const BufferRef a = MakeFrame(1, 1, kRgba), b = MakeFrame(1, 1, kRgba), c = MakeFrame(1, 1, kRgba);
  Queue queue;
  queue.SetDelay(1'000);
  ASSERT_TRUE(queue.Enqueue(c.get(), 300) && queue.Enqueue(b.get(), 200) && queue.Enqueue(a.get(), 2'000) &&
              queue.Enqueue(b.get(), 9'000));
  auto refs = [&] { return std::array{a->RefCountForTesting(), b->RefCountForTesting(), c->RefCountForTesting()}; };
  // The cue time (0: a clear), the buffer shown, the records handed back, and
  // the references to a, b and c while the holder and the shown buffer live
  // and once they are gone.
  struct Row { int64_t cueTime; kaBuffer2* shown; int32_t handedBack; std::array<int32_t, 3> during, after; };
  // b and c due, c shown; c again; a shown, c's record let go; back before a: nothing shown, a kept; a clear.
  const Row rows[] = {{1'350, c.get(), 2, {2, 3, 3}, {2, 2, 2}}, {1'400, c.get(), 0, {2, 2, 3}, {2, 2, 2}},
                      {3'500, a.get(), 1, {3, 2, 2}, {2, 2, 1}}, {2'500, nullptr, 0, {2, 2, 1}, {2, 2, 1}},
                      {0, nullptr, 1, {2, 2, 1}, {1, 1, 1}}};
  for (const Row& row : rows) {
    {
      Queue::Dropped dropped;
      const BufferRef shown(row.cueTime ? queue.Dequeue(row.cueTime, dropped) : (queue.Clear(dropped), nullptr));
      EXPECT_EQ(std::tuple(shown.get(), dropped.skipped.Count(), refs()),
                std::tuple(row.shown, row.handedBack, row.during));
    }
    EXPECT_EQ(refs(), row.after) << "after the cue at " << row.cueTime;
  }
}

// The renderer's delay queue as it must behave, over frames named by index,
// each charged the same against the bound.
struct QueueModel {
  using Record = std::pair<int64_t, int>;  // arrival time, frame (-1: none)
  static constexpr Record kNone{INT64_MIN, -1};
  uint64_t charge = 0, bound = Queue::kDefaultMaxQueuedBytes, dropped = 0;
  int64_t delay = 0;
  std::multimap<int64_t, int> queued{};  // equal times in arrival order
  Record last = kNone;                   // the record handed out last

  // Lets go of the records at or before `time`; returns the newest of them.
  Record TakeDue(int64_t time) {
    Record newest = kNone;
    for (; !queued.empty() && queued.begin()->first <= time; queued.erase(queued.begin())) newest = *queued.begin();
    return newest;
  }
  void FitBound(uint64_t incoming) {  // the oldest make way
    for (; !queued.empty() && (queued.size() + incoming) * charge > bound; ++dropped) queued.erase(queued.begin());
  }
  void Enqueue(int frame, int64_t time) {
    TakeDue(delay != 0 ? time - delay - Queue::kExpiryMarginUs : time);  // can never be shown
    if (charge > bound) return void(++dropped);                          // could never fit: refused
    FitBound(1);
    queued.emplace(time, frame);
  }
  // The frame to show at `cueTime`, or -1.
  int Dequeue(int64_t cueTime) {
    const Record newest = TakeDue(cueTime - delay);
    if (newest.second >= 0 && newest.first >= last.first) last = newest;  // never back in time
    return last.first <= cueTime - delay ? last.second : -1;
  }
  void Clear() { queued.clear(), last = kNone; }
  int Holds(int frame) const {
    const auto isIt = [frame](const auto& record) { return record.second == frame; };
    return int(std::count_if(queued.begin(), queued.end(), isIt)) + isIt(last);
  }
};

// A frame of the model, with the dirtied time and "vidI" its record must hold.
struct Frame { BufferRef buffer; int64_t stamp = -1; bool interlaced = false; };

// A plug-in delivers frames of random size, raster type and time range (now
// and then the newest one again, or with an earlier arrival time, as racing
// delivery threads do; some with a display width but no height) while the
// host cues at output times around the clock's, sets the delay (odd values
// too) and the bound on delayed storage, flushes, and stalls long enough for
// waiting frames to expire. After every step the renderer must match the
// model: the frame or blank frame handed out, the dirtied times, the output
// format (with the frame rate learned from delivered and from delayed
// frames), the counters, and every frame's reference count and display size.
TEST_F(kaPluginVideoRendererTest, FollowsTheModelThroughRandomDeliveriesCuesDelaysAndFlushes) {
  const veTimeRange ranges[] = {{}, {30'000, 0, 30'000, 1'001}, {25, 0, 25, 1}, {0, 0, 25, 1}, {1, 0, 90'000, 0},
                                {1, 0, -5, 10}, {1, 0, 1'000, UINT64_MAX}};
  const int32_t widths[] = {16, 32, 6, 3};  // frames are half as high
  const uint32_t rasters[] = {kRgba, k2vuy, veRasterType::kBGRA};
  const int64_t arrivalSteps[] = {0, 500, 1'000, 2'000, -700}, cueOffsets[] = {-2'000, 0, 0, 500, 1'000, 3'000, 10'000};
  // Seconds, and the microseconds they become: truncated, none for NaN or negative values, at most 10 s.
  const std::pair<double, int64_t> delays[] = {{0, 0}, {0.001, 1'000}, {0.002, 2'000}, {0.0334, 33'400}, {0.0000009, 0},
                                               {1.9999999, 1'999'999}, {NAN, 0}, {-0.5, 0}, {HUGE_VAL, 10'000'000}};
  Queue measured;  // what a queue charges against its bound for a frame without storage
  const uint64_t charge = (measured.Enqueue(MakeFrame(1, 1, kRgba).get(), 0), measured.QueuedBytes());
  const uint64_t bounds[] = {charge - 1, charge, 3 * charge, Queue::kDefaultMaxQueuedBytes};
  host->SetRequest(TestHostMethods::Request::kMetadataThenBuffer), host->SetRecording(false);
  for (uint32_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    auto pick = [&random](const auto& values) { return values[random() % std::size(values)]; };
    renderer = TestVideoRenderer::Make("Camera", *group, *host);
    QueueModel queue{charge};
    std::vector<Frame> frames;  // delivered frames, and the blank frames cues handed out (the test keeps those)
    int current = -1, newest = -1;  // the frame on screen (-1: none), the frame delivered last
    bool changed = false;           // the frame on screen changed since a cue last stamped it
    int32_t width = 320, height = 240;
    uint32_t raster = kRgba;  // learned from frames shown without delay only
    veTimeRange rate;     // the last time range shown with both scales
    auto show = [&](int frame, bool delivered) {
      const kaBuffer2& shown = *frames[frame].buffer;
      current = frame, changed = true, width = shown.Width(), height = shown.Height();
      if (delivered) raster = shown.RasterType();
      const veTimeRange& range = shown.GetBufferTimeRange();
      if (range.timeScale && range.durationScale) rate = range;
    };
    for (int step = 0; step < 400 && !HasFailure(); ++step) {
      const uint32_t op = random() % 20;
      if (op < 7) {  // a delivery, now and then of the newest frame again
        clock().Advance(pick(arrivalSteps));
        if (newest < 0 || op != 0) {
          const int32_t w = pick(widths);
          frames.push_back(Frame{MakeFrame(w, w / 2, pick(rasters))}), newest = int(frames.size()) - 1;
          frames[newest].buffer->SetBufferTimeRange(pick(ranges));
          if (op % 2) frames[newest].buffer->SetDisplayWidth(w);
        }
        renderer->OnReceiveVideo(frames[newest].buffer.get());
        frames[newest].interlaced |= queue.delay == 0;
        queue.delay == 0 ? show(newest, true) : queue.Enqueue(newest, clock().Now());
      } else if (op < 13) {  // a cue
        const int64_t cueTime = clock().Now() + pick(cueOffsets);
        const int due = queue.delay != 0 ? queue.Dequeue(cueTime) : -1;
        if (due >= 0 && due != current) show(due, false);
        const bool blankFails = current == -1 && raster == k2vuy && width % 2 != 0;
        kaBuffer2* out = reinterpret_cast<kaBuffer2*>(&frames);  // must be overwritten
        EXPECT_EQ(renderer->CueVideo(&out, ka_renderer_params{cueTime}), blankFails ? -1 : 0);
        BufferRef shown(blankFails ? nullptr : out);
        if (current == -1 && shown) {  // opaque black in rgba, black in 2vuy, zero bytes in the others
          const uint32_t black = raster == k2vuy ? 0x00800080u : raster == kRgba ? 0xFF000000u : 0;
          EXPECT_EQ(std::tuple(out->Width(), out->Height(), out->RasterType()), std::tuple(width, height, raster));
          EXPECT_EQ(std::memcmp(out->GetStorage(), &black, 4), 0) << "a black first pixel";
          frames.push_back(Frame{std::move(shown)}), current = int(frames.size()) - 1, changed = true;
        }
        EXPECT_EQ(out, current >= 0 ? frames[current].buffer.get() : nullptr) << "null without a blank 2vuy frame";
        if (current >= 0 && changed) frames[current].stamp = cueTime;
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
      const int64_t stamp = current >= 0 ? frames[current].stamp : -1;
      EXPECT_EQ(std::tuple(renderer->QueueDelayMicros(), renderer->GetVideoDelay(), renderer->QueuedFrames(),
                           renderer->DelayedFramesDropped(), renderer->CueTimestampForParameters({0})),
                std::tuple(queue.delay, double(queue.delay) / 1e6, int32_t(queue.queued.size()), queue.dropped,
                           current >= 0 && stamp < 0 ? clock().Now() : stamp));
      veMediaRecord format;
      EXPECT_EQ(renderer->OutputFormat(veMediaTypeAudio, format, 0), 0) << "always video";
      const auto duration = int64_t(std::min<uint64_t>(rate.duration, INT64_MAX));
      const bool rated = rate.durationScale > 0 && duration > 0;
      EXPECT_EQ(std::tuple(format.MediaType(), format.Width(), format.Height(), format.RasterType(),
                           format.BytesPerRow(), format.AsInt64(veKeyTimeScale, -1), format.AsUInt64(veKeyDuration, 0),
                           format.AsFloat(veKeyFramesPerSecond, 0)),
                std::tuple(veMediaTypeVideo, width, height, raster, raster == k2vuy ? (width + 1) / 2 * 4 : 4 * width,
                           rate.durationScale > 0 ? rate.durationScale : -1, rated ? uint64_t(duration) : 0,
                           rated ? float(double(rate.durationScale) / double(duration)) : 0));
      for (size_t i = 0; i < frames.size(); ++i) {
        const kaBuffer2& b = *frames[i].buffer;
        EXPECT_EQ(std::tuple(b.RefCountForTesting(), b.DirtiedTime(), b.AsBool(veKeyVideoIsInterlaced, false),
                             b.GetDisplayWidth(), b.GetDisplayHeight()),
                  std::tuple(1 + (current == int(i)) + queue.Holds(int(i)), frames[i].stamp, frames[i].interlaced,
                             b.Width(), b.Height())) << "frame " << i;
      }
    }
  }
}

// A plug-in thread delivers numbered frames from the group's cache and
// flushes now and then; two host threads cue at the clock's time, one of them
// changing the delay. The host keeps the last frame it is told of and reads
// it on the test thread, as a multiviewer does, and now and then uses the
// renderer from a thread of its own while it is told of a frame (which never
// finishes if a renderer or queue lock is held around the callback). No
// thread runs more than kMaxLead iterations ahead, so deliveries and cues
// interleave. Every frame read must be whole (ThreadSanitizer and
// AddressSanitizer watch the reads), and no cue may show a frame older than
// one any cue returned before it started.
TEST_F(kaPluginVideoRendererTest, HostThreadReadsKeptFramesWhileTwoThreadsCueConcurrently) {
  constexpr int kFrames = 2'000, kMaxLead = 8;
  constexpr zKey kNumberKey = zFourCC("fnum");
  std::atomic<int> failures{0}, delivered{0}, running{3}, cued[2] = {0, 0};
  std::atomic<int64_t> newestShown{-1};
  std::mutex keptLock;
  std::shared_ptr<kaBuffer2> kept;  // guarded by keptLock
  host->SetRecording(false);
  host->SetHook([&](TestHostMethods::Kind, const std::string&, kaBuffer2Producer& producer) {
    std::shared_ptr<kaBuffer2> frame = producer.ProduceBuffer();
    if (frame->AsInt64(kNumberKey, 0) % 400 == 1) {
      std::thread([&] { renderer->SetOutputWidth(renderer->GetOutputWidth()), Cue(clock().Now()); }).join();
    }
    const std::lock_guard<std::mutex> guard(keptLock);
    kept = std::move(frame);
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
      const int64_t number = Cue(clock().Now())->AsInt64(kNumberKey, -1);  // -1: a blank frame, after a flush
      failures += (number < before && number != -1) || renderer->CueTimestampForParameters({0}) < -1;
      for (int64_t newest = before; number > newest && !newestShown.compare_exchange_weak(newest, number);) continue;
    }
    --running;
  };
  std::thread cue0(cue, 0), cue1(cue, 1);
  while (running.load() > 0) {
    const std::shared_ptr<kaBuffer2> frame = [&] { const std::lock_guard<std::mutex> guard(keptLock); return kept; }();
    const veMediaRecord copy = frame ? *frame : veMediaRecord();  // reads every entry
    failures += frame && (frame->GetDisplayWidth() != 64 || frame->GetDisplayHeight() != 36 || copy.Width() != 64 ||
                          frame->DirtiedTime() < -1 || !frame->AsBool(veKeyVideoIsInterlaced, true));
  }
  plugin.join(), cue0.join(), cue1.join();
  EXPECT_EQ(std::tuple(failures.load(), host->VideoCount()), std::tuple(0, int64_t{kFrames}));
  EXPECT_GT(newestShown.load(), 0) << "frames were shown";
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

// A plug-in renderer that supplies only its kind: it cues nothing, describes
// its video as "rgb " of its output size and refuses other media types, is
// live, takes settings without changing them, has no scaling preference and
// stamps a cue with the foundation clock's now.
TEST_F(kaPluginVideoRendererTest, APluginRendererSupplyingOnlyItsKindGivesTheBaseAnswers) {
  struct Bare : kaPluginRenderer {
    Bare(kaBufferGroup2& group, kaSourcesPluginMethods& methods) : kaPluginRenderer("Bare", group, methods) {}
    uint32_t RendererKind() const override { return zFourCC("bare"); }
  };
  const Held<Bare> bare(new Bare(*group, *host));
  bare->SetOutputWidth(64), bare->SetOutputHeight(36), bare->Sleep(), bare->Wake();
  veMediaRecord video(veMediaTypeAudio), other(veMediaTypeAudio);
  ASSERT_EQ(bare->OutputFormat(veMediaTypeVideo, video, 0), 0);
  EXPECT_EQ(std::tuple(video.MediaType(), video.Width(), video.Height(), video.RasterType(), bare->GetOutputWidth(),
                       bare->GetOutputHeight()),
            std::tuple(veMediaTypeVideo, 64, 36, uint32_t{veRasterType::kRGB}, 64, 36));
  EXPECT_EQ(bare->OutputFormat(zFourCC("text"), other, 0), -1);
  EXPECT_EQ(bare->kaRenderer2::OutputFormat(veMediaTypeVideo, other, 0), -1);
  EXPECT_EQ(other.MediaType(), veMediaTypeAudio) << "a refused description leaves the record alone";
  const BufferRef held = MakeFrame(1, 1, kRgba);
  kaBuffer2* out = held.get();
  zRecord settings, result;
  clock().Advance(1'234);
  const int32_t cued = bare->Cue(&out, ka_renderer_params{7});
  EXPECT_EQ(std::tuple(cued, out, bare->GetDuration(),
                       bare->ChangeConfigurationSettings(settings, 0, result), bare->VideoScaling().has_value(),
                       bare->CueTimestampForParameters(ka_renderer_params{7})),
            std::tuple(-1, held.get(), int64_t{0}, 0, false, clock().Now()));
  bare->EnteredScope(), bare->ExitedScope();
}

// Before any frame the delay format and the blank cue follow the output size
// the host set; once a frame is shown the delay format is that frame's record.
TEST_F(kaPluginVideoRendererTest, TheDelayFormatIsTheOutputSizeUntilAFrameIsShown) {
  renderer->SetOutputWidth(64), renderer->SetOutputHeight(36);
  veMediaRecord format(veMediaTypeAudio);
  renderer->GetVideoDelayFormat(format);
  const BufferRef blank = Cue(clock().Now());
  EXPECT_EQ(std::tuple(format.Width(), format.Height(), blank->Width(), blank->Height()), std::tuple(64, 36, 64, 36));
  const BufferRef frame = MakeFrame(6, 4, k2vuy);
  renderer->OnReceiveVideo(frame.get());
  const BufferRef shown = Cue(clock().Now());
  renderer->GetVideoDelayFormat(format);
  EXPECT_EQ(std::tuple(shown.get(), format.Width(), format.Height(), format.RasterType()),
            std::tuple(frame.get(), 6, 4, k2vuy));
}
