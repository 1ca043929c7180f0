#pragma once
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "buffers/kaBuffer2.h"
#include "foundation/kaFoundation.h"

// Holds delivered buffers for a live delay before they may be shown. A
// plug-in's thread enqueues each buffer under its arrival time; a host thread
// dequeues, for a cue time, the newest buffer that arrived at least the delay
// before it, and the queue repeats that buffer while no newer one is due. All
// times are microseconds on the zTime::MicroNow() clock; time arithmetic
// saturates at the int64 range instead of wrapping.
//
// The queue owns one reference to every buffer it holds (one per queued
// record, and one through the record last handed out). What it holds is
// bounded: at most MaxQueuedBytes() of buffer storage (plus the bookkeeping
// of each record) is queued, and the oldest records make way for a new one.
// One re-entrant lock guards all of its state: enqueue and dequeue may run on
// different threads at once. Buffers are released after the lock is left.
// T must be reference counted with AddRef/Release and report StorageSize()
// (kaBuffer2 in the library).
template <class T>
class KASP2_EXPORT kaDelayedBufferQueue {
 public:
  // One queued buffer. Made with one reference, owned by the list that holds
  // it; its last Release destroys it and releases its buffer.
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

  // A record still queued when a newer buffer arrives more than the delay
  // plus this margin after it can never be shown: a newer one would be due
  // first. It is dropped then.
  static constexpr int64_t kExpiryMarginUs = 500'000;
  // Storage a queue holds at most unless told otherwise: 2 GiB is 8 s of
  // 1080p60 in 2vuy, 4 s in rgba. A host that delays larger video for longer
  // raises it (SetMaxQueuedBytes).
  static constexpr uint64_t kDefaultMaxQueuedBytes = 2ull << 30;

  // Empty, no buffer handed out yet, delay 0. Throws std::bad_alloc when its
  // lock cannot be made.
  kaDelayedBufferQueue();
  // Clears, then deletes the lock.
  ~kaDelayedBufferQueue();
  kaDelayedBufferQueue(const kaDelayedBufferQueue&) = delete;
  kaDelayedBufferQueue& operator=(const kaDelayedBufferQueue&) = delete;

  // The delay in microseconds, read under the lock.
  int64_t GetDelay() const;
  // Stores the delay and empties the queue (as Clear), in one holding of the
  // lock; every call clears, even with an unchanged value. A negative delay
  // is stored as 0: a buffer cannot be shown before it arrived.
  void SetDelay(int64_t newDelay);
  // Releases every queued record and forgets the buffer last handed out, so
  // the next Dequeue returns null until a newly enqueued buffer is due.
  void Clear();

  // Adds `buffer` (one reference taken) under arrival time `time`, after any
  // queued buffer with the same time. First drops the records that can no
  // longer be shown: those at or before time - delay - kExpiryMarginUs (at or
  // before `time` when the delay is 0); then, while the queue would hold more
  // than MaxQueuedBytes(), the oldest records (counted in DroppedForSpace()).
  // Returns true when queued; false for a null buffer, for one that alone
  // exceeds MaxQueuedBytes() (counted as dropped), or when memory is short,
  // with no reference kept.
  bool Enqueue(T* buffer, int64_t time);

  // The buffer to show at `cueTime`, with one reference added for the caller:
  // the newest buffer enqueued at or before cueTime - delay (older due ones
  // are released and skipped), else the buffer handed out last when it is
  // still due by that time (a repeat), else null. A cue time that goes back
  // before the last handed-out buffer's time returns null and keeps it. Never
  // hands out a buffer that arrived before the one it handed out last.
  T* Dequeue(int64_t cueTime);
  // What a dequeue lets go of: the records skipped over and the record
  // handed out before. Released when it is destroyed.
  struct Dropped {
    RecordList skipped;
    kaRef<kaBufferDelayRecord> previous;
    Dropped() = default;
    Dropped(const Dropped&) = delete;
    Dropped& operator=(const Dropped&) = delete;
    ~Dropped() { skipped.RemoveAndReleaseAll(); }
  };
  // The same, for a caller that dequeues under a lock of its own: what the
  // dequeue lets go of goes into `dropped` (declared before the caller takes
  // its lock), so that no buffer is released under that lock.
  T* Dequeue(int64_t cueTime, Dropped& dropped);
  // Clear, handing what it lets go of to `dropped` in the same way.
  void Clear(Dropped& dropped);

  // Moves every record at the head of the queue enqueued at or before `time`
  // to the end of `out`, oldest first, stopping at the first later one. The
  // records change owner (the caller now releases them), not count, and no
  // node is allocated.
  void get_buffers_for_time(int64_t time, RecordList& out);

  // The bound on queued storage; 0 means nothing can be queued.
  uint64_t MaxQueuedBytes() const;
  void SetMaxQueuedBytes(uint64_t bytes);
  // What the queued records count against the bound now.
  uint64_t QueuedBytes() const;
  // Buffers dropped, or refused, to stay within the bound, since construction.
  uint64_t DroppedForSpace() const;

  // Number of records queued, under the lock.
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
    // What can no longer be shown goes first.
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
