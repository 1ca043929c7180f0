#pragma once
#include <atomic>
#include <cstdint>

#include "foundation/kaFoundation.h"

// kaPluginRingBuffer: a fixed-capacity byte ring addressed by position, used by
// the audio renderer as a window of recent audio history. It owns its storage
// (allocated once, never grown) and one re-entrant foundation lock that every
// operation takes for its whole body, so one writer thread (the plug-in's
// delivery thread) and one reader thread (the host's render thread) may use
// it at the same time. Reads copy without consuming; the count of available
// data is re-derived by every absolute seek.
//
// A ring that could not be made usable (size 0, or storage allocation failed)
// has a capacity and wrap size of 0: every operation on it returns 0 or false
// and changes nothing.
class KASP2_EXPORT kaPluginRingBuffer {
 public:
  // Allocates `size` bytes of storage (cleared to zero when `zeroFill`), with
  // count, positions and last-write time at 0 and the wrap size at `size`.
  // Never throws: when the storage cannot be allocated the ring is unusable
  // (Capacity() returns 0). When the lock cannot be made the ring runs
  // unguarded.
  kaPluginRingBuffer(unsigned int size, bool zeroFill);
  ~kaPluginRingBuffer();

  kaPluginRingBuffer(const kaPluginRingBuffer&) = delete;
  kaPluginRingBuffer& operator=(const kaPluginRingBuffer&) = delete;

  // Count, write position and read position become 0. Storage bytes, the
  // wrap size and the last-write time are untouched.
  void MakeEmpty();

  // Sets the wrap size to `size` when 1 <= size < capacity; any other value
  // changes nothing. When the new wrap size would leave the write position at
  // or beyond it, the read position beyond it, or the count above it, the
  // ring is emptied (count and both positions 0); otherwise positions and
  // count are kept as they are.
  void SetWrapBufferSize(unsigned int size);

  // Copies up to `length` bytes from the read position into `destination`
  // without moving the read position. Returns the bytes copied (the smaller
  // of `length` and the count); 0 for a null destination or a zero length,
  // in which case the lock is not taken.
  unsigned int Read(void* destination, unsigned int length);

  // Read, then SeekRelative by the bytes copied, as one locked step.
  // Returns the bytes copied and consumed.
  unsigned int ReadAndSeek(void* destination, unsigned int length);

  // Moves the read position forward (positive distance, consuming) or back
  // (negative, re-exposing older bytes). Returns false and changes nothing
  // when the count would leave 0 ... wrap size, or when `distance` is outside
  // the signed 32-bit range. A move that lands exactly on the wrap size
  // leaves the read position equal to it; the next read starts at offset 0.
  bool SeekRelative(long long distance);

  // Places the read position at `position` modulo the wrap size and sets the
  // count to the distance forward from there to the write position (0 when
  // it is the write position itself).
  void Seek(unsigned int position);

  // Places the read position `distance` bytes before the write position with
  // a count of `distance`, and returns true. When `distance` exceeds the wrap
  // size it returns false and leaves the read position at the write position
  // with a count of 0.
  bool SeekBackwardsRelativeToWritePosition(unsigned int distance);

  // Appends up to the free space (wrap size - count) from `source`; the rest
  // of the block is dropped, nothing held is overwritten. Stamps the
  // last-write time with zTime::MicroNow() even when nothing fitted. Returns
  // the bytes written. A null `source` with a non-zero length writes nothing,
  // returns 0 and does not stamp the time.
  unsigned int Write(const void* source, unsigned int length);

  // wrap size - count, under the lock.
  unsigned int AvailableSpace();
  // The count, under the lock.
  unsigned int AvailableData();
  // The count, read without the lock: may be about to change.
  unsigned int availableDataWithoutTakingLock() const;
  unsigned int CurrentReadPosition();
  unsigned int CurrentWritePosition();
  // -1 when nothing was ever written, else zTime::MicroNow() minus the
  // last-write time. Takes no lock.
  long long ElapseTimeSinceLastWrite() const;

  // The owner maps times to positions modulo the wrap size and times out
  // silence from the last-write time, so both are readable directly.
  unsigned int WrapSize();            // under the lock
  long long LastWriteTime() const;    // no lock; 0 when never written
  unsigned int Capacity() const;      // fixed at construction; 0 when unusable

  // Typed stream reads: ReadAndSeek for the size of the type, native byte
  // order. On short data only the leading bytes are filled (the others keep
  // their contents) and what was read is consumed.
  kaPluginRingBuffer& operator>>(char& value);
  kaPluginRingBuffer& operator>>(unsigned char& value);
  kaPluginRingBuffer& operator>>(short& value);
  kaPluginRingBuffer& operator>>(unsigned short& value);
  kaPluginRingBuffer& operator>>(int& value);
  kaPluginRingBuffer& operator>>(unsigned int& value);
  kaPluginRingBuffer& operator>>(long long& value);
  kaPluginRingBuffer& operator>>(unsigned long long& value);
  // Clears `text`, then appends bytes up to (not including) the next zero
  // byte or the end of the data. The zero byte stays in the ring. Takes the
  // lock per byte, so it is not atomic as a whole; it allocates only for the
  // growth of `text`.
  kaPluginRingBuffer& operator>>(zString& text);

  // Typed stream writes: Write of the value's bytes, native byte order. Into
  // short space only the leading bytes are written.
  kaPluginRingBuffer& operator<<(char value);
  kaPluginRingBuffer& operator<<(unsigned char value);
  kaPluginRingBuffer& operator<<(short value);
  kaPluginRingBuffer& operator<<(unsigned short value);
  kaPluginRingBuffer& operator<<(int value);
  kaPluginRingBuffer& operator<<(unsigned int value);
  kaPluginRingBuffer& operator<<(long long value);
  kaPluginRingBuffer& operator<<(unsigned long long value);
  // Writes the string's Length() bytes, with no length prefix and no
  // terminating zero.
  kaPluginRingBuffer& operator<<(const zString& text);

  // Diagnostics hook kept for plug-ins that call it; prints nothing.
  void Print(const char* label) const;

 private:
  // Read and SeekRelative with the lock held: the composite operations run
  // them inside one holding.
  unsigned int ReadLocked(void* destination, unsigned int length) Z_REQUIRES(lock_);
  bool SeekRelativeLocked(long long distance) Z_REQUIRES(lock_);

  // Fields in the documented layout order. count_ and lastWriteTime_ are
  // changed under lock_ and are atomics only because two observers read them
  // without it; capacity_ never changes after construction.
  zCriticalPtr lock_;
  std::atomic<uint32_t> count_{0};
  uint8_t* storage_ Z_GUARDED_BY(lock_) = nullptr;
  uint32_t wrapSize_ Z_GUARDED_BY(lock_) = 0;
  uint32_t capacity_ = 0;
  uint32_t writePosition_ Z_GUARDED_BY(lock_) = 0;
  // Below the wrap size, or equal to it after a relative seek that lands
  // exactly there; a read from the wrap size starts at offset 0.
  uint32_t readPosition_ Z_GUARDED_BY(lock_) = 0;
  std::atomic<int64_t> lastWriteTime_{0};
};
