#pragma once
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "buffers/kaBuffer2.h"
#include "foundation/kaFoundation.h"

// Holds delivered buffers for a live delay: a plug-in's thread enqueues each
// under its arrival time, a host thread dequeues for a cue time the newest
// one due (arrived at least the delay before), repeated while nothing newer
// is due. Times are zTime::MicroNow() microseconds; arithmetic on them
// saturates. Owns one reference per queued buffer and one to the buffer last
// handed out, at most MaxQueuedBytes() in all. One re-entrant lock guards
// everything, so enqueue and dequeue may run on different threads; buffers
// are released after it is left. T is counted (AddRef/Release) and reports
// StorageSize() (kaBuffer2 in the library).
template <class T>
class KASP2_EXPORT kaDelayedBufferQueue {
 public:
  // One queued buffer; the list holding it owns its one reference.
  class KASP2_EXPORT kaBufferDelayRecord : public zRefCount {
   public:
    // Retains `buffer`, which must not be null.
    kaBufferDelayRecord(T* queuedBuffer, int64_t time);

    const kaRef<T> buffer;
    const int64_t enqueueTime;
    // What the record counts against MaxQueuedBytes().
    const uint64_t chargedBytes;

   protected:
    ~kaBufferDelayRecord() override;
  };
  using RecordList = zList<kaBufferDelayRecord*>;

  // A record still queued when a buffer arrives more than the delay plus this
  // margin after it can never be shown (a newer one is due first): dropped.
  static constexpr int64_t kExpiryMarginUs = 500'000;
  // Storage a queue holds at most unless told otherwise: 2 GiB is 8 s of
  // 1080p60 in 2vuy, 4 s in rgba. A host that delays larger video for longer
  // raises it (SetMaxQueuedBytes).
  static constexpr uint64_t kDefaultMaxQueuedBytes = 2ull << 30;

  // Delay 0. Throws std::bad_alloc when its lock cannot be made.
  kaDelayedBufferQueue();
  ~kaDelayedBufferQueue();
  kaDelayedBufferQueue(const kaDelayedBufferQueue&) = delete;
  kaDelayedBufferQueue& operator=(const kaDelayedBufferQueue&) = delete;

  // The delay in microseconds.
  int64_t GetDelay() const;
  // Sets the delay (negative counts as 0: nothing shows before it arrived)
  // and, even when unchanged, empties the queue as Clear does, atomically.
  void SetDelay(int64_t newDelay);
  // Releases every queued buffer and the one last handed out: Dequeue returns
  // null until a newly enqueued buffer is due.
  void Clear();

  // Queues `buffer` (taking a reference) under arrival time `time`, after
  // buffers of the same time, and returns true. Records that can no longer
  // be shown go first, then the oldest as needed to stay within the bound
  // (counted in DroppedForSpace()).
  // Returns false, keeping no reference, for a null buffer, one larger than
  // the bound alone (counted as dropped), or memory short.
  bool Enqueue(T* buffer, int64_t time);

  // The buffer to show at `cueTime`, with a reference for the caller: the
  // newest one due (older due ones are released), else the last one again.
  // Never hands out a buffer older than the one it handed out last.
  // Returns null when nothing is due, including for a cue time that goes back
  // before the last buffer's (which is kept).
  T* Dequeue(int64_t cueTime);
  // What a dequeue lets go of, released when this is destroyed.
  struct Dropped {
    RecordList skipped;
    kaRef<kaBufferDelayRecord> previous;
    Dropped() = default;
    Dropped(const Dropped&) = delete;
    Dropped& operator=(const Dropped&) = delete;
    ~Dropped() { skipped.RemoveAndReleaseAll(); }
  };
  // For a caller that dequeues under a lock of its own: what is let go of
  // goes to `dropped`, declared before that lock, so no buffer is released
  // under it.
  T* Dequeue(int64_t cueTime, Dropped& dropped);
  // Clear, handing what it lets go of to `dropped` in the same way.
  void Clear(Dropped& dropped);

  // Moves the records enqueued at or before `time` to the end of `out`,
  // oldest first, with their references: the caller releases them. Allocates
  // nothing.
  void get_buffers_for_time(int64_t time, RecordList& out);

  // The bound on queued storage plus bookkeeping; 0 queues nothing. Lowering
  // it drops the oldest records at once.
  uint64_t MaxQueuedBytes() const;
  void SetMaxQueuedBytes(uint64_t bytes);
  // What the queued records count against the bound now.
  uint64_t QueuedBytes() const;
  // Buffers dropped or refused to stay within the bound, since construction.
  uint64_t DroppedForSpace() const;

  int32_t CountForTesting() const;

 private:
  static int64_t SaturatingSub(int64_t a, int64_t b);
  // Moves the head record into `out`, taking its bytes off the count.
  void MoveHeadLocked(RecordList& out) Z_REQUIRES(queueLock);
  // get_buffers_for_time with the lock already held.
  void MoveDueLocked(int64_t time, RecordList& out) Z_REQUIRES(queueLock);
  // Moves all queued records into `out` and hands over the last-delivered
  // record in `last`. The caller releases both after leaving the lock.
  void DetachAllLocked(RecordList& out, kaRef<kaBufferDelayRecord>& last) Z_REQUIRES(queueLock);

  zCriticalPtr queueLock;
  // Ascending by enqueueTime, equal times in order of enqueueing; each
  // element owns its record's one reference.
  RecordList records Z_GUARDED_BY(queueLock);
  // The record whose buffer Dequeue returned last.
  kaRef<kaBufferDelayRecord> lastDelivered Z_GUARDED_BY(queueLock);
  // Microseconds, never negative.
  int64_t delay Z_GUARDED_BY(queueLock) = 0;
  uint64_t queuedBytes Z_GUARDED_BY(queueLock) = 0;
  uint64_t maxQueuedBytes Z_GUARDED_BY(queueLock) = kDefaultMaxQueuedBytes;
  uint64_t droppedForSpace Z_GUARDED_BY(queueLock) = 0;
};

// ---- implementation ------------------------------------------------------------
// Defined out of class so that the library's explicit instantiation below
// exports every member; other buffer types instantiate from here.

template <class T>
kaDelayedBufferQueue<T>::kaBufferDelayRecord::kaBufferDelayRecord(T* queuedBuffer, int64_t time)
    : buffer(kaRef<T>::Retain(queuedBuffer)),
      enqueueTime(time),
      // The buffer's storage and what a queued buffer costs besides: the
      // buffer object, its record and list node.
      chargedBytes(uint64_t{queuedBuffer->StorageSize()} + sizeof(T) + sizeof(kaBufferDelayRecord) +
                   sizeof(typename RecordList::Node)) {}

template <class T>
kaDelayedBufferQueue<T>::kaBufferDelayRecord::~kaBufferDelayRecord() = default;

template <class T>
kaDelayedBufferQueue<T>::kaDelayedBufferQueue() : queueLock(kaMakeRequiredLock()) {}

template <class T>
kaDelayedBufferQueue<T>::~kaDelayedBufferQueue() {
  Clear();
}

template <class T>
int64_t kaDelayedBufferQueue<T>::SaturatingSub(int64_t a, int64_t b) {
  int64_t result = 0;
  if (__builtin_sub_overflow(a, b, &result)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return result;
}

template <class T>
int64_t kaDelayedBufferQueue<T>::GetDelay() const {
  zCriticalGuard guard(queueLock);
  return delay;
}

template <class T>
void kaDelayedBufferQueue<T>::SetDelay(int64_t newDelay) {
  Dropped dropped;
  zCriticalGuard guard(queueLock);
  delay = newDelay < 0 ? 0 : newDelay;
  DetachAllLocked(dropped.skipped, dropped.previous);
}

template <class T>
void kaDelayedBufferQueue<T>::Clear() {
  Dropped dropped;
  Clear(dropped);
}

template <class T>
void kaDelayedBufferQueue<T>::Clear(Dropped& dropped) {
  zCriticalGuard guard(queueLock);
  DetachAllLocked(dropped.skipped, dropped.previous);
}

template <class T>
void kaDelayedBufferQueue<T>::MoveHeadLocked(RecordList& out) {
  queuedBytes -= records.First()->item->chargedBytes;
  records.MoveHeadTo(out);
}

template <class T>
void kaDelayedBufferQueue<T>::DetachAllLocked(RecordList& out, kaRef<kaBufferDelayRecord>& last) {
  while (records.First()) MoveHeadLocked(out);
  last = std::move(lastDelivered);
}

template <class T>
bool kaDelayedBufferQueue<T>::Enqueue(T* buffer, int64_t time) {
  if (!buffer) return false;

  // The record takes the queue's reference to the buffer.
  kaRef<kaBufferDelayRecord> record = kaRef<kaBufferDelayRecord>::Adopt(new (std::nothrow)
                                                                            kaBufferDelayRecord(buffer, time));
  RecordList released;  // expired and displaced records, released after the lock
  bool inserted = false;
  {
    zCriticalGuard guard(queueLock);
    // What can no longer be shown goes first: a record at or before
    // time - delay - kExpiryMarginUs (at or before `time` without a delay)
    // would only ever be skipped for this one.
    const int64_t limit = delay != 0 ? SaturatingSub(SaturatingSub(time, delay), kExpiryMarginUs) : time;
    MoveDueLocked(limit, released);
    if (record) {
      if (record->chargedBytes > maxQueuedBytes) {
        ++droppedForSpace;  // could never fit: refused, the queue kept
      } else {
        // The oldest make way: they would be shown first, so the delay the
        // viewer sees shrinks rather than the newest frames going missing.
        while (records.First() && queuedBytes + record->chargedBytes > maxQueuedBytes) {
          MoveHeadLocked(released);
          ++droppedForSpace;
        }
        // Insert after every record with a time at or before `time`. Buffers
        // arrive in time order, so the walk starts at the tail and usually
        // stops at once.
        typename RecordList::Node* before = nullptr;
        typename RecordList::Node* node = records.Last();
        while (node && node->item->enqueueTime > time) {
          before = node;
          node = node->prev;
        }
        inserted = records.InsertBefore(before, record.Get());
        if (inserted) {
          queuedBytes += record->chargedBytes;
          (void)record.Detach();  // the list owns it now
        }
      }
    }
  }
  released.RemoveAndReleaseAll();
  return inserted;
}

template <class T>
T* kaDelayedBufferQueue<T>::Dequeue(int64_t cueTime) {
  Dropped dropped;
  return Dequeue(cueTime, dropped);
}

template <class T>
T* kaDelayedBufferQueue<T>::Dequeue(int64_t cueTime, Dropped& dropped) {
  RecordList& due = dropped.skipped;
  kaRef<T> result;
  {
    zCriticalGuard guard(queueLock);
    const int64_t dueTime = SaturatingSub(cueTime, delay);
    const int32_t before = due.Count();
    MoveDueLocked(dueTime, due);
    const bool anyDue = due.Count() > before;
    // A record that arrived before the one handed out last (enqueued late,
    // with an older time) must not take the screen back in time.
    const bool newer = anyDue && (!lastDelivered || due.Last()->item->enqueueTime >= lastDelivered->enqueueTime);
    if (newer) {
      dropped.previous = std::exchange(lastDelivered, kaRef<kaBufferDelayRecord>::Retain(due.Last()->item));
    }
    if (lastDelivered && lastDelivered->enqueueTime <= dueTime) {
      // The newest due buffer, or, with nothing newer due, the last one again.
      // The reference is taken under the lock, as a concurrent Clear may
      // release the record.
      result = lastDelivered->buffer;
    }
  }
  // The due records go to the caller with their buffers' references; the
  // newest lives on as lastDelivered, which holds a reference of its own.
  return result.Detach();
}

template <class T>
void kaDelayedBufferQueue<T>::get_buffers_for_time(int64_t time, RecordList& out) {
  zCriticalGuard guard(queueLock);
  MoveDueLocked(time, out);
}

template <class T>
void kaDelayedBufferQueue<T>::MoveDueLocked(int64_t time, RecordList& out) {
  while (records.First() && records.First()->item->enqueueTime <= time) MoveHeadLocked(out);
}

template <class T>
uint64_t kaDelayedBufferQueue<T>::MaxQueuedBytes() const {
  zCriticalGuard guard(queueLock);
  return maxQueuedBytes;
}

template <class T>
void kaDelayedBufferQueue<T>::SetMaxQueuedBytes(uint64_t bytes) {
  RecordList released;
  {
    zCriticalGuard guard(queueLock);
    maxQueuedBytes = bytes;
    while (records.First() && queuedBytes > maxQueuedBytes) {
      MoveHeadLocked(released);
      ++droppedForSpace;
    }
  }
  released.RemoveAndReleaseAll();
}

template <class T>
uint64_t kaDelayedBufferQueue<T>::QueuedBytes() const {
  zCriticalGuard guard(queueLock);
  return queuedBytes;
}

template <class T>
uint64_t kaDelayedBufferQueue<T>::DroppedForSpace() const {
  zCriticalGuard guard(queueLock);
  return droppedForSpace;
}

template <class T>
int32_t kaDelayedBufferQueue<T>::CountForTesting() const {
  zCriticalGuard guard(queueLock);
  return records.Count();
}

// The library's one instantiation lives in kaDelayedBufferQueue.cpp.
extern template class kaDelayedBufferQueue<kaBuffer2>;
