#include "plugins/kaPluginRingBuffer.h"

#include <cstdlib>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr long long kMinSeekDistance = std::numeric_limits<int32_t>::min();
constexpr long long kMaxSeekDistance = std::numeric_limits<int32_t>::max();

// a - b without signed overflow: the result saturates at the int64 limits.
int64_t SaturatingSubtract(int64_t a, int64_t b) {
  int64_t result = 0;
  if (__builtin_sub_overflow(a, b, &result)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return result;
}

// Makes every page of the zeroed storage resident now, so that the delivery
// thread never takes a page fault writing audio into it: a lazily mapped ring
// of 33.8 MB would fault once per 4 KiB page for its first three minutes of
// audio, each fault a kernel entry (and under memory pressure a reclaim) on
// the real-time path. The system populates the pages in one call where it
// can; otherwise one write of zero per page does it. Either way the bytes
// stay zero.
void PrefaultZeroedPages(uint8_t* storage, size_t size) {
#if defined(__linux__)
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return;
  const auto pageSize = static_cast<uintptr_t>(page);
#if defined(MADV_POPULATE_WRITE)
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(storage) + pageSize - 1) & ~(pageSize - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(storage) + size) & ~(pageSize - 1);
  if (end > begin && madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0) {
    // The partial pages at either end are touched below.
    volatile uint8_t* const bytes = storage;
    bytes[0] = 0;
    bytes[size - 1] = 0;
    return;
  }
#endif
#else
  constexpr size_t pageSize = 4096;
#endif
  volatile uint8_t* const bytes = storage;
  for (size_t offset = 0; offset < size; offset += pageSize) bytes[offset] = 0;
  bytes[size - 1] = 0;
}

}  // namespace

kaPluginRingBuffer::kaPluginRingBuffer(unsigned int size, bool zeroFill) : lock_(zCritical::Factory(1)) {
  if (size == 0) return;  // a ring of no bytes would divide by zero: unusable
  storage_ = static_cast<uint8_t*>(zeroFill ? std::calloc(size, 1) : std::malloc(size));
  if (!storage_) return;  // unusable: capacity and wrap size stay 0
  if (zeroFill) PrefaultZeroedPages(storage_, size);
  wrapSize_ = size;
  capacity_ = size;
}

kaPluginRingBuffer::~kaPluginRingBuffer() {
  {
    zCriticalGuard guard(lock_);
    readPosition_ = 0;
    writePosition_ = 0;
    std::free(storage_);
    storage_ = nullptr;
  }
  lock_.reset();
}

void kaPluginRingBuffer::MakeEmpty() {
  zCriticalGuard guard(lock_);
  count_.store(0, std::memory_order_relaxed);
  writePosition_ = 0;
  readPosition_ = 0;
}

void kaPluginRingBuffer::SetWrapBufferSize(unsigned int size) {
  zCriticalGuard guard(lock_);
  if (size == 0 || size >= capacity_) return;
  wrapSize_ = size;
  // Positions and count stay as they are when they still fit; otherwise the
  // ring is emptied rather than left pointing outside the new ring.
  if (writePosition_ >= size || readPosition_ > size || count_.load(std::memory_order_relaxed) > size) {
    count_.store(0, std::memory_order_relaxed);
    writePosition_ = 0;
    readPosition_ = 0;
  }
}

unsigned int kaPluginRingBuffer::Read(void* destination, unsigned int length) {
  if (!destination || length == 0) return 0;
  zCriticalGuard guard(lock_);
  return ReadLocked(destination, length);
}

unsigned int kaPluginRingBuffer::ReadLocked(void* destination, unsigned int length) {
  if (!destination || length == 0 || wrapSize_ == 0) return 0;
  const uint32_t count = count_.load(std::memory_order_relaxed);
  const uint32_t n = length < count ? length : count;
  if (n > 0) {
    auto* out = static_cast<uint8_t*>(destination);
    if (static_cast<uint64_t>(readPosition_) + n <= wrapSize_) {
      zCopyMemory(storage_ + readPosition_, out, n);
    } else {
      // The data crosses the end of the ring: its tail, then its head.
      const uint32_t first = wrapSize_ - readPosition_;
      zCopyMemory(storage_ + readPosition_, out, first);
      zCopyMemory(storage_, out + first, n - first);
    }
  }
  return n;
}

unsigned int kaPluginRingBuffer::ReadAndSeek(void* destination, unsigned int length) {
  zCriticalGuard guard(lock_);
  const unsigned int copied = ReadLocked(destination, length);
  if (copied > 0) SeekRelativeLocked(copied);  // cannot fail: copied <= count
  return copied;
}

bool kaPluginRingBuffer::SeekRelative(long long distance) {
  zCriticalGuard guard(lock_);
  return SeekRelativeLocked(distance);
}

bool kaPluginRingBuffer::SeekRelativeLocked(long long distance) {
  if (wrapSize_ == 0) return false;
  if (distance < kMinSeekDistance || distance > kMaxSeekDistance) return false;
  const int64_t wrap = wrapSize_;
  const int64_t newCount = static_cast<int64_t>(count_.load(std::memory_order_relaxed)) - distance;
  if (newCount < 0 || newCount > wrap) return false;
  // With the count in 0 ... wrap and the read position in 0 ... wrap, the new
  // position lies in -wrap ... 2 * wrap, so one correction brings it back.
  int64_t position = static_cast<int64_t>(readPosition_) + distance;
  if (position < 0) {
    position += wrap;
  } else if (position > wrap) {
    position %= wrap;
  }
  readPosition_ = static_cast<uint32_t>(position);
  count_.store(static_cast<uint32_t>(newCount), std::memory_order_relaxed);
  return true;
}

void kaPluginRingBuffer::Seek(unsigned int position) {
  zCriticalGuard guard(lock_);
  if (wrapSize_ == 0) return;
  const uint32_t r = position % wrapSize_;
  readPosition_ = r;
  const uint32_t count = r <= writePosition_ ? writePosition_ - r : wrapSize_ - r + writePosition_;
  count_.store(count, std::memory_order_relaxed);
}

bool kaPluginRingBuffer::SeekBackwardsRelativeToWritePosition(unsigned int distance) {
  zCriticalGuard guard(lock_);
  if (wrapSize_ == 0) return false;
  count_.store(0, std::memory_order_relaxed);
  readPosition_ = writePosition_;
  return SeekRelativeLocked(-static_cast<long long>(distance));
}

unsigned int kaPluginRingBuffer::Write(const void* source, unsigned int length) {
  if (!source && length > 0) return 0;
  zCriticalGuard guard(lock_);
  if (wrapSize_ == 0) return 0;
  const uint32_t space = wrapSize_ - count_.load(std::memory_order_relaxed);
  const uint32_t n = length < space ? length : space;
  if (n > 0) {
    const auto* in = static_cast<const uint8_t*>(source);
    if (static_cast<uint64_t>(writePosition_) + n < wrapSize_) {
      zCopyMemory(in, storage_ + writePosition_, n);
    } else {
      // The block reaches or crosses the end of the ring.
      const uint32_t first = wrapSize_ - writePosition_;
      zCopyMemory(in, storage_ + writePosition_, first);
      zCopyMemory(in + first, storage_, n - first);
    }
    writePosition_ = static_cast<uint32_t>((static_cast<uint64_t>(writePosition_) + n) % wrapSize_);
    count_.store(count_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  lastWriteTime_.store(zTime::MicroNow(), std::memory_order_relaxed);
  return n;
}

unsigned int kaPluginRingBuffer::AvailableSpace() {
  zCriticalGuard guard(lock_);
  return wrapSize_ - count_.load(std::memory_order_relaxed);
}

unsigned int kaPluginRingBuffer::AvailableData() {
  zCriticalGuard guard(lock_);
  return count_.load(std::memory_order_relaxed);
}

unsigned int kaPluginRingBuffer::availableDataWithoutTakingLock() const {
  return count_.load(std::memory_order_relaxed);
}

unsigned int kaPluginRingBuffer::CurrentReadPosition() {
  zCriticalGuard guard(lock_);
  return readPosition_;
}

unsigned int kaPluginRingBuffer::CurrentWritePosition() {
  zCriticalGuard guard(lock_);
  return writePosition_;
}

long long kaPluginRingBuffer::ElapseTimeSinceLastWrite() const {
  const int64_t last = lastWriteTime_.load(std::memory_order_relaxed);
  if (last == 0) return -1;
  return SaturatingSubtract(zTime::MicroNow(), last);
}

unsigned int kaPluginRingBuffer::WrapSize() {
  zCriticalGuard guard(lock_);
  return wrapSize_;
}

long long kaPluginRingBuffer::LastWriteTime() const { return lastWriteTime_.load(std::memory_order_relaxed); }

unsigned int kaPluginRingBuffer::Capacity() const { return capacity_; }

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(char& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(unsigned char& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(short& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(unsigned short& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(int& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(unsigned int& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(long long& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(unsigned long long& value) {
  ReadAndSeek(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator>>(zString& text) {
  text.Clear();
  // One byte per holding of the lock: not atomic as a whole.
  for (;;) {
    char c = 0;
    if (Read(&c, 1) == 0 || c == 0) break;
    text += c;
    SeekRelative(1);
  }
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(char value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(unsigned char value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(short value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(unsigned short value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(int value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(unsigned int value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(long long value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(unsigned long long value) {
  Write(&value, sizeof value);
  return *this;
}

kaPluginRingBuffer& kaPluginRingBuffer::operator<<(const zString& text) {
  // Text() is never null: a string without text writes from "" (0 bytes).
  const int32_t length = text.Length();
  if (length > 0) {
    Write(text.Text(), static_cast<unsigned int>(length));
  } else {
    Write("", 0);
  }
  return *this;
}

void kaPluginRingBuffer::Print(const char* /*label*/) const {}
