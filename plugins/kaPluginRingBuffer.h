#pragma once
#include <atomic>
#include <cstdint>

#include "foundation/kaFoundation.h"

// A fixed-capacity byte ring addressed by position: the audio renderer's
// window of recent audio. Owns its storage (allocated once, never grown) and
// a re-entrant lock that every operation on the data holds throughout, so one
// writer (the delivery thread) and one reader (the render thread) may use it
// at once.
// Reads copy without consuming; an absolute seek re-derives the count. A ring
// whose storage could not be had has capacity 0 and refuses everything.
class KASP2_EXPORT kaPluginRingBuffer {
 public:
  // An empty ring of `size` bytes. When `zeroFill` its bytes are zero and its
  // pages resident from the start, so no write takes a page fault. Never throws:
  // without storage Capacity() is 0; without a lock the ring runs unguarded.
  kaPluginRingBuffer(unsigned int size, bool zeroFill);
  ~kaPluginRingBuffer();

  kaPluginRingBuffer(const kaPluginRingBuffer&) = delete;
  kaPluginRingBuffer& operator=(const kaPluginRingBuffer&) = delete;

  // Count and positions become 0; bytes, wrap size and last-write time stay.
  void MakeEmpty();

  // Narrows the ring to `size` bytes, 1 <= size < capacity (anything else
  // changes nothing). Data that no longer fits empties the ring; otherwise
  // positions and count stay.
  void SetWrapBufferSize(unsigned int size);

  // Copies up to `length` bytes from the read position without moving it;
  // returns the bytes copied. Returns 0 for a null destination or length 0.
  unsigned int Read(void* destination, unsigned int length);

  // Read, then consume what was copied, as one locked step.
  unsigned int ReadAndSeek(void* destination, unsigned int length);

  // Moves the read position forward (consuming) or back (re-exposing older
  // bytes) and returns true.
  // Returns false, nothing changed, when the count would leave 0 ... wrap
  // size or `distance` is outside 32 bits.
  bool SeekRelative(long long distance);

  // Reads from `position` modulo the wrap size on: the count becomes the
  // distance from there to the write position.
  void Seek(unsigned int position);

  // Reads from `distance` bytes before the write position on; returns true.
  // Returns false, with the read position at the write position and nothing
  // to read, when `distance` exceeds the wrap size.
  bool SeekBackwardsRelativeToWritePosition(unsigned int distance);

  // Appends what fits in the free space, never overwriting what is held, and
  // stamps the last-write time (even when nothing fitted); returns the bytes
  // written. Returns 0, nothing stamped, for a null `source` with a length.
  unsigned int Write(const void* source, unsigned int length);

  // wrap size - count, under the lock.
  unsigned int AvailableSpace();
  // The count, under the lock.
  unsigned int AvailableData();
  // The count, read without the lock: may be about to change.
  unsigned int availableDataWithoutTakingLock() const;
  unsigned int CurrentReadPosition();
  unsigned int CurrentWritePosition();
  // Microseconds since the last write; -1 when never written. No lock.
  long long ElapseTimeSinceLastWrite() const;

  // The renderer maps times to positions modulo the wrap size and times out
  // a silent writer from the last-write time.
  unsigned int WrapSize();            // under the lock
  long long LastWriteTime() const;    // no lock; 0 when never written
  unsigned int Capacity() const;      // fixed at construction; 0 when unusable

  // ReadAndSeek of the value's bytes, native order; short data fills only the
  // leading bytes.
  kaPluginRingBuffer& operator>>(char& value);
  kaPluginRingBuffer& operator>>(unsigned char& value);
  kaPluginRingBuffer& operator>>(short& value);
  kaPluginRingBuffer& operator>>(unsigned short& value);
  kaPluginRingBuffer& operator>>(int& value);
  kaPluginRingBuffer& operator>>(unsigned int& value);
  kaPluginRingBuffer& operator>>(long long& value);
  kaPluginRingBuffer& operator>>(unsigned long long& value);
  // Replaces `text` with the bytes up to the next zero byte (left in the
  // ring) or the end of the data. Locks per byte: not atomic as a whole.
  kaPluginRingBuffer& operator>>(zString& text);

  // Write of the value's bytes, native order; short space takes the leading ones.
  kaPluginRingBuffer& operator<<(char value);
  kaPluginRingBuffer& operator<<(unsigned char value);
  kaPluginRingBuffer& operator<<(short value);
  kaPluginRingBuffer& operator<<(unsigned short value);
  kaPluginRingBuffer& operator<<(int value);
  kaPluginRingBuffer& operator<<(unsigned int value);
  kaPluginRingBuffer& operator<<(long long value);
  kaPluginRingBuffer& operator<<(unsigned long long value);
  // The string's bytes, without length prefix or terminating zero.
  kaPluginRingBuffer& operator<<(const zString& text);

  // Diagnostics hook kept for plug-ins that call it; prints nothing.
  void Print(const char* label) const;

 private:
  // Read and SeekRelative for the composite operations, inside one holding.
  unsigned int ReadLocked(void* destination, unsigned int length) Z_REQUIRES(lock_);
  bool SeekRelativeLocked(long long distance) Z_REQUIRES(lock_);

  // The audio renderer embeds the ring by value and plug-in subclasses are
  // built against that layout, so the order is fixed. count_ and
  // lastWriteTime_ change under lock_; they are atomic because
  // availableDataWithoutTakingLock and the time readers skip the lock.
  // capacity_ never changes after construction.
  zCriticalPtr lock_;
  std::atomic<uint32_t> count_{0};
  uint8_t* storage_ Z_GUARDED_BY(lock_) = nullptr;
  uint32_t wrapSize_ Z_GUARDED_BY(lock_) = 0;
  uint32_t capacity_ = 0;
  uint32_t writePosition_ Z_GUARDED_BY(lock_) = 0;
  // Below the wrap size, or equal to it after a relative seek that lands
  // exactly there; a read from there starts at offset 0.
  uint32_t readPosition_ Z_GUARDED_BY(lock_) = 0;
  std::atomic<int64_t> lastWriteTime_{0};
};
