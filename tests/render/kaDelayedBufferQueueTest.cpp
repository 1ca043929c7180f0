#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "RenderTestSupport.h"
#include "render/kaDelayedBufferQueue.h"

namespace {

using Queue = kaDelayedBufferQueue<kaBuffer2>;
using Record = Queue::kaBufferDelayRecord;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Each test owns its buffers (one reference each) and its queue; the fixture
// checks that nothing counted outlives the test.
class kaDelayedBufferQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { liveAtStart_ = xCUnknown::LiveObjectsForTesting(); }
  void TearDown() override {
    queue.reset();
    buffers.clear();
    EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveAtStart_) << "buffers leaked";
  }

  kaBuffer2* NewBuffer() {
    buffers.push_back(MakeFrame(2, 2, veRasterType::kRgba));
    return buffers.back().get();
  }
  // Dequeue and take over the returned reference.
  BufferRef Take(int64_t cueTime) { return BufferRef(queue->Dequeue(cueTime)); }

  std::unique_ptr<Queue> queue = std::make_unique<Queue>();
  std::vector<BufferRef> buffers;

 private:
  int64_t liveAtStart_ = 0;
};

TEST_F(kaDelayedBufferQueueTest, ReturnsNewestDueBufferAndRepeatsItUntilANewerOneIsDue) {
  queue->SetDelay(10'000);
  kaBuffer2* first = NewBuffer();
  kaBuffer2* second = NewBuffer();
  ASSERT_TRUE(queue->Enqueue(first, 1'000));
  ASSERT_TRUE(queue->Enqueue(second, 2'000));
  EXPECT_EQ(first->RefCountForTesting(), 2);

  EXPECT_EQ(Take(10'500), nullptr) << "nothing is due and nothing was handed out before";

  BufferRef shown = Take(11'500);
  EXPECT_EQ(shown.get(), first);
  // Test's, the caller's and the last-delivered record's references.
  EXPECT_EQ(first->RefCountForTesting(), 3);
  shown.reset();

  shown = Take(12'500);
  EXPECT_EQ(shown.get(), second);
  EXPECT_EQ(first->RefCountForTesting(), 1) << "the replaced record gave its buffer back";
  EXPECT_EQ(second->RefCountForTesting(), 3);
  shown.reset();

  shown = Take(13'000);
  EXPECT_EQ(shown.get(), second) << "the last buffer is shown again";
  EXPECT_EQ(second->RefCountForTesting(), 3);
  shown.reset();
  EXPECT_EQ(second->RefCountForTesting(), 2);
  EXPECT_EQ(queue->CountForTesting(), 0);
}

TEST_F(kaDelayedBufferQueueTest, SkipsOlderDueBuffersAndReleasesThem) {
  queue->SetDelay(1'000);
  kaBuffer2* a = NewBuffer();
  kaBuffer2* b = NewBuffer();
  kaBuffer2* c = NewBuffer();
  queue->Enqueue(a, 100);
  queue->Enqueue(b, 200);
  queue->Enqueue(c, 300);
  BufferRef shown = Take(1'250);  // due by 250: a and b
  EXPECT_EQ(shown.get(), b);
  EXPECT_EQ(a->RefCountForTesting(), 1);
  EXPECT_EQ(queue->CountForTesting(), 1);
  EXPECT_EQ(c->RefCountForTesting(), 2);
}

TEST_F(kaDelayedBufferQueueTest, ExpiresRecordsOlderThanDelayPlusMarginOnEnqueue) {
  queue->SetDelay(100'000);
  kaBuffer2* old = NewBuffer();
  queue->Enqueue(old, 1'000);
  queue->Enqueue(NewBuffer(), 600'999);
  EXPECT_EQ(queue->CountForTesting(), 2) << "one microsecond before the limit the record stays";
  EXPECT_EQ(old->RefCountForTesting(), 2);

  queue->Enqueue(NewBuffer(), 601'000);
  EXPECT_EQ(queue->CountForTesting(), 2);
  EXPECT_EQ(old->RefCountForTesting(), 1) << "the expired record released its buffer";
}

TEST_F(kaDelayedBufferQueueTest, WithoutDelayEnqueueExpiresEverythingUpToItsTime) {
  kaBuffer2* a = NewBuffer();
  queue->Enqueue(a, 500);
  queue->Enqueue(NewBuffer(), 500);
  EXPECT_EQ(queue->CountForTesting(), 1);
  EXPECT_EQ(a->RefCountForTesting(), 1);
}

TEST_F(kaDelayedBufferQueueTest, EqualTimesKeepEnqueueOrderAndTheLaterOneIsShown) {
  queue->SetDelay(1'000);
  kaBuffer2* a = NewBuffer();
  kaBuffer2* b = NewBuffer();
  queue->Enqueue(a, 5'000);
  queue->Enqueue(b, 5'000);
  BufferRef shown = Take(6'000);
  EXPECT_EQ(shown.get(), b);
  EXPECT_EQ(a->RefCountForTesting(), 1);
}

TEST_F(kaDelayedBufferQueueTest, OutOfOrderArrivalsAreKeptInTimeOrder) {
  queue->SetDelay(1);
  kaBuffer2* late = NewBuffer();
  kaBuffer2* early = NewBuffer();
  kaBuffer2* middle = NewBuffer();
  kaBuffer2* middleTwin = NewBuffer();
  queue->Enqueue(late, 3'000);
  queue->Enqueue(early, 1'000);
  queue->Enqueue(middle, 2'000);
  queue->Enqueue(middleTwin, 2'000);

  Queue::RecordList out;
  queue->get_buffers_for_time(3'000, out);
  ASSERT_EQ(out.Count(), 4);
  EXPECT_EQ(out.Get(0)->buffer, early);
  EXPECT_EQ(out.Get(1)->buffer, middle);
  EXPECT_EQ(out.Get(2)->buffer, middleTwin);
  EXPECT_EQ(out.Get(3)->buffer, late);
  out.RemoveAndReleaseAll();
}

TEST_F(kaDelayedBufferQueueTest, GetBuffersForTimeMovesRecordsWithoutChangingCounts) {
  queue->SetDelay(1'000);
  kaBuffer2* a = NewBuffer();
  kaBuffer2* b = NewBuffer();
  queue->Enqueue(a, 10);
  queue->Enqueue(b, 20);

  Queue::RecordList out;
  queue->get_buffers_for_time(9, out);
  EXPECT_TRUE(out.IsEmpty());

  queue->get_buffers_for_time(15, out);
  ASSERT_EQ(out.Count(), 1);
  Record* record = out.Get(0);
  EXPECT_EQ(record->buffer, a);
  EXPECT_EQ(record->enqueueTime, 10);
  EXPECT_EQ(record->RefCountForTesting(), 1);
  EXPECT_EQ(a->RefCountForTesting(), 2);
  EXPECT_EQ(queue->CountForTesting(), 1);

  queue->get_buffers_for_time(20, out);
  EXPECT_EQ(out.Count(), 2) << "appended after what the list held";
  out.RemoveAndReleaseAll();
  EXPECT_EQ(a->RefCountForTesting(), 1);
  EXPECT_EQ(b->RefCountForTesting(), 1);
}

TEST_F(kaDelayedBufferQueueTest, CueTimeGoingBackReturnsNullAndKeepsTheLastBuffer) {
  queue->SetDelay(1'000);
  kaBuffer2* a = NewBuffer();
  queue->Enqueue(a, 5'000);
  EXPECT_EQ(Take(7'000).get(), a);
  EXPECT_EQ(Take(5'500), nullptr) << "due time 4,500 is before the last buffer's arrival";
  EXPECT_EQ(a->RefCountForTesting(), 2) << "still held as the last delivered";
  EXPECT_EQ(Take(7'000).get(), a);
}

TEST_F(kaDelayedBufferQueueTest, SetDelayEmptiesTheQueueAndForgetsTheLastBufferEvenWhenUnchanged) {
  queue->SetDelay(1'000);
  kaBuffer2* a = NewBuffer();
  kaBuffer2* b = NewBuffer();
  queue->Enqueue(a, 1'000);
  queue->Enqueue(b, 50'000);
  EXPECT_EQ(Take(2'000).get(), a);

  queue->SetDelay(1'000);
  EXPECT_EQ(queue->GetDelay(), 1'000);
  EXPECT_EQ(queue->CountForTesting(), 0);
  EXPECT_EQ(a->RefCountForTesting(), 1);
  EXPECT_EQ(b->RefCountForTesting(), 1);
  EXPECT_EQ(Take(2'000), nullptr) << "nothing is repeated after a delay change";
}

TEST_F(kaDelayedBufferQueueTest, ClearReleasesQueuedAndLastDeliveredBuffers) {
  queue->SetDelay(1'000);
  kaBuffer2* a = NewBuffer();
  kaBuffer2* b = NewBuffer();
  queue->Enqueue(a, 1'000);
  queue->Enqueue(b, 9'000);
  EXPECT_EQ(Take(2'000).get(), a);
  queue->Clear();
  EXPECT_EQ(a->RefCountForTesting(), 1);
  EXPECT_EQ(b->RefCountForTesting(), 1);
  EXPECT_EQ(Take(20'000), nullptr);
  EXPECT_EQ(queue->GetDelay(), 1'000) << "clearing keeps the delay";
}

TEST_F(kaDelayedBufferQueueTest, DestructionReleasesEveryBufferReference) {
  queue->SetDelay(1'000);
  kaBuffer2* a = NewBuffer();
  kaBuffer2* b = NewBuffer();
  queue->Enqueue(a, 1'000);
  queue->Enqueue(b, 9'000);
  EXPECT_EQ(Take(2'000).get(), a);
  queue.reset();
  EXPECT_EQ(a->RefCountForTesting(), 1);
  EXPECT_EQ(b->RefCountForTesting(), 1);
}

TEST_F(kaDelayedBufferQueueTest, NegativeDelayIsStoredAsZero) {
  queue->SetDelay(-5);
  EXPECT_EQ(queue->GetDelay(), 0);
  queue->SetDelay(kMin);
  EXPECT_EQ(queue->GetDelay(), 0);
}

TEST_F(kaDelayedBufferQueueTest, NullBufferIsRefused) {
  EXPECT_FALSE(queue->Enqueue(nullptr, 1));
  EXPECT_EQ(queue->CountForTesting(), 0);
  EXPECT_EQ(Take(kMax), nullptr);
}

TEST_F(kaDelayedBufferQueueTest, TimeArithmeticSaturatesAtTheEdgesOfTheRange) {
  queue->SetDelay(kMax);
  kaBuffer2* a = NewBuffer();
  // Both expiry limits saturate at the minimum: nothing wraps round to a late
  // limit that would drop what is queued.
  ASSERT_TRUE(queue->Enqueue(a, kMin + 10));
  ASSERT_TRUE(queue->Enqueue(NewBuffer(), 1));
  EXPECT_EQ(queue->CountForTesting(), 2);
  EXPECT_EQ(Take(kMin), nullptr) << "the due time saturates at the minimum";
  EXPECT_EQ(Take(kMax).get(), a) << "due by 0";

  queue->SetDelay(1'000);
  kaBuffer2* b = NewBuffer();
  ASSERT_TRUE(queue->Enqueue(b, kMin + 1));
  EXPECT_EQ(queue->CountForTesting(), 1);
  EXPECT_EQ(Take(kMin + 999), nullptr) << "due time saturates at the minimum, before the buffer";
  EXPECT_EQ(Take(kMin + 1'001).get(), b);
}

}  // namespace
