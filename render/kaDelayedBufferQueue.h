#pragma once
#include <cstdint>
#include <limits>
#include <new>

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
// record, and one through the record last handed out). One re-entrant lock
// guards all of its state: enqueue and dequeue may run on different threads
// at once. Buffers are released after the lock is left, never under it.
// T must be reference counted with AddRef/Release (kaBuffer2 in the library).
template <class T>
class KASP2_EXPORT kaDelayedBufferQueue {
 public:
  // One queued buffer. Made with one reference, owned by the list that holds
  // it; its last Release destroys it and releases its buffer.
  class KASP2_EXPORT kaBufferDelayRecord : public zRefCount {
   public:
    // Adds a reference to `buffer`, which must not be null.
    kaBufferDelayRecord(T* queuedBuffer, int64_t time);

    T* const buffer;
    const int64_t enqueueTime;

   protected:
    ~kaBufferDelayRecord() override;
  };
  using RecordList = zList<kaBufferDelayRecord*>;

  // A record still queued when a newer buffer arrives more than the delay
  // plus this margin after it can never be shown: a newer one would be due
  // first. It is dropped then.
  static constexpr int64_t kExpiryMarginUs = 500'000;

  // Empty, no buffer handed out yet, delay 0. When the lock cannot be made
  // (memory short) the queue runs unguarded.
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
  // before `time` when the delay is 0). Returns true when queued; false for a
  // null buffer or when memory is short, with no reference kept (the expiry
  // has still happened).
  bool Enqueue(T* buffer, int64_t time);

  // The buffer to show at `cueTime`, with one reference added for the caller:
  // the newest buffer enqueued at or before cueTime - delay (older due ones
  // are released and skipped), else the buffer handed out last when it is
  // still due by that time (a repeat), else null. A cue time that goes back
  // before the last handed-out buffer's time returns null and keeps it.
  T* Dequeue(int64_t cueTime);

  // Moves every record at the head of the queue enqueued at or before `time`
  // to the end of `out`, oldest first, stopping at the first later one. The
  // records change owner (the caller now releases them), not count, and no
  // node is allocated.
  void get_buffers_for_time(int64_t time, RecordList& out);

  // Number of records queued, under the lock.
  int32_t CountForTesting() const;

 private:
  static int64_t SaturatingSub(int64_t a, int64_t b);
  // Moves all queued records into `out` and hands over the last-delivered
  // record's reference in `last`. The caller holds the lock and releases
  // both after leaving it.
  void DetachAllLocked(RecordList& out, kaBufferDelayRecord*& last);
  // Releases what DetachAllLocked handed over.
  static void ReleaseDetached(RecordList& records, kaBufferDelayRecord* last);

  zCriticalPtr queueLock;
  // Guarded by queueLock. Ascending by enqueueTime, equal times in order of
  // enqueueing; each element owns its record's one reference.
  RecordList records;
  // Guarded by queueLock. The record whose buffer Dequeue returned last; one
  // reference held.
  kaBufferDelayRecord* lastDelivered = nullptr;
  // Guarded by queueLock. Microseconds, never negative.
  int64_t delay = 0;
};

// ---- implementation ------------------------------------------------------------
// Defined out of class so that the library's explicit instantiation below
// exports every member; other buffer types instantiate from here.

template <class T>
kaDelayedBufferQueue<T>::kaBufferDelayRecord::kaBufferDelayRecord(T* queuedBuffer, int64_t time)
    : buffer(queuedBuffer), enqueueTime(time) {
  buffer->AddRef();
}

template <class T>
kaDelayedBufferQueue<T>::kaBufferDelayRecord::~kaBufferDelayRecord() {
  buffer->Release();
}

template <class T>
kaDelayedBufferQueue<T>::kaDelayedBufferQueue() : queueLock(zCritical::Factory(1)) {}

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
  RecordList detached;
  kaBufferDelayRecord* last = nullptr;
  {
    zCriticalGuard guard(queueLock);
    delay = newDelay < 0 ? 0 : newDelay;
    DetachAllLocked(detached, last);
  }
  ReleaseDetached(detached, last);
}

template <class T>
void kaDelayedBufferQueue<T>::Clear() {
  RecordList detached;
  kaBufferDelayRecord* last = nullptr;
  {
    zCriticalGuard guard(queueLock);
    DetachAllLocked(detached, last);
  }
  ReleaseDetached(detached, last);
}

template <class T>
void kaDelayedBufferQueue<T>::DetachAllLocked(RecordList& out, kaBufferDelayRecord*& last) {
  while (records.MoveHeadTo(out)) {
  }
  last = lastDelivered;
  lastDelivered = nullptr;
}

template <class T>
void kaDelayedBufferQueue<T>::ReleaseDetached(RecordList& detached, kaBufferDelayRecord* last) {
  detached.RemoveAndReleaseAll();
  if (last) last->Release();
}

template <class T>
bool kaDelayedBufferQueue<T>::Enqueue(T* buffer, int64_t time) {
  if (!buffer) return false;

  // 1. Expire what can no longer be shown.
  RecordList expired;
  {
    zCriticalGuard guard(queueLock);
    const int64_t limit = delay != 0 ? SaturatingSub(SaturatingSub(time, delay), kExpiryMarginUs) : time;
    get_buffers_for_time(limit, expired);
  }
  expired.RemoveAndReleaseAll();

  // 2. The record takes the queue's reference to the buffer.
  kaBufferDelayRecord* record = new (std::nothrow) kaBufferDelayRecord(buffer, time);
  if (!record) return false;

  // 3. Insert after every record with a time at or before `time`. Buffers
  // arrive in time order, so the walk starts at the tail and usually stops
  // at once.
  bool inserted = false;
  {
    zCriticalGuard guard(queueLock);
    typename RecordList::Node* before = nullptr;
    typename RecordList::Node* node = records.Last();
    while (node && node->item->enqueueTime > time) {
      before = node;
      node = node->prev;
    }
    inserted = records.InsertBefore(before, record);
  }
  if (!inserted) record->Release();
  return inserted;
}

template <class T>
T* kaDelayedBufferQueue<T>::Dequeue(int64_t cueTime) {
  RecordList due;
  kaBufferDelayRecord* replaced = nullptr;
  T* result = nullptr;
  {
    zCriticalGuard guard(queueLock);
    const int64_t dueTime = SaturatingSub(cueTime, delay);
    get_buffers_for_time(dueTime, due);
    if (!due.IsEmpty()) {
      replaced = lastDelivered;
      lastDelivered = due.Last()->item;
      lastDelivered->AddRef();
    } else if (lastDelivered && lastDelivered->enqueueTime <= dueTime) {
      // Nothing newer is due: show the last buffer again. The reference is
      // taken under the lock, as a concurrent Clear may release the record.
      result = lastDelivered->buffer;
      result->AddRef();
    }
  }
  if (!due.IsEmpty()) {
    // `due` still owns its records, so the newest one is alive here.
    result = due.Last()->item->buffer;
    result->AddRef();
  }
  // Older due records die here with their buffers' references; the newest
  // lives on as lastDelivered.
  due.RemoveAndReleaseAll();
  if (replaced) replaced->Release();
  return result;
}

template <class T>
void kaDelayedBufferQueue<T>::get_buffers_for_time(int64_t time, RecordList& out) {
  zCriticalGuard guard(queueLock);
  while (records.First() && records.First()->item->enqueueTime <= time) records.MoveHeadTo(out);
}

template <class T>
int32_t kaDelayedBufferQueue<T>::CountForTesting() const {
  zCriticalGuard guard(queueLock);
  return records.Count();
}

// The library's one instantiation lives in kaDelayedBufferQueue.cpp.
extern template class kaDelayedBufferQueue<kaBuffer2>;
