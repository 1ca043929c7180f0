#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// What kaPluginRingBuffer must do, one byte at a time: positions advance
// modulo the wrap size byte by byte, so the model shares nothing with the
// ring's two-block copies and split arithmetic. The gtest suite and the
// libFuzzer target both drive a ring and this model side by side and compare
// every result, every byte read and the state after each step.
// Header-only and free of any test framework, so that both can include it.
struct RingBufferModel {
  explicit RingBufferModel(uint32_t size) : storage(size, 0), capacity(size), wrap(size) {}

  // `now` is the clock reading the ring stamps; a null source with a length
  // writes nothing and stamps nothing.
  uint32_t Write(const uint8_t* source, uint32_t length, int64_t now) {
    if (!source && length > 0) return 0;
    const uint32_t n = std::min(length, wrap - count);
    for (uint32_t i = 0; i < n; ++i) storage[(uint64_t{write} + i) % wrap] = source[i];
    write = static_cast<uint32_t>((uint64_t{write} + n) % wrap), count += n, lastWrite = now;
    return n;
  }
  uint32_t Read(uint8_t* destination, uint32_t length) const {
    if (!destination || length == 0) return 0;
    const uint32_t n = std::min(length, count);
    for (uint32_t i = 0; i < n; ++i) destination[i] = storage[(uint64_t{read} + i) % wrap];
    return n;
  }
  // A move that lands exactly on the wrap size stays there; reads from it
  // start at offset 0.
  bool SeekRelative(long long distance) {
    if (distance < INT32_MIN || distance > INT32_MAX) return false;  // the count is a signed 32-bit distance
    const int64_t newCount = int64_t{count} - distance;
    if (newCount < 0 || newCount > wrap) return false;
    const int64_t position = int64_t{read} + distance;
    read = static_cast<uint32_t>(position < 0 ? position + wrap : (position > wrap ? position % wrap : position));
    count = static_cast<uint32_t>(newCount);
    return true;
  }
  uint32_t ReadAndSeek(uint8_t* destination, uint32_t length) {
    const uint32_t n = Read(destination, length);
    return n > 0 && !SeekRelative(n) ? UINT32_MAX : n;  // the seek cannot fail: n <= count
  }
  void Seek(uint32_t position) {
    read = position % wrap;
    count = read <= write ? write - read : wrap - read + write;
  }
  bool SeekBackwards(uint32_t distance) {
    count = 0, read = write;
    return SeekRelative(-static_cast<long long>(distance));
  }
  void MakeEmpty() { count = write = read = 0; }
  // Sizes of 0 or at or above the capacity change nothing; a wrap size that
  // would leave a position or the count outside the ring empties it.
  void SetWrap(uint32_t size) {
    if (size == 0 || size >= capacity) return;
    wrap = size;
    if (write >= size || read > size || count > size) MakeEmpty();
  }
  // operator>>(zString&): the bytes up to the next zero byte or the end of
  // the data; the zero byte stays unread.
  std::string ReadString() {
    std::string text;
    for (uint8_t byte = 0; Read(&byte, 1) == 1 && byte != 0; SeekRelative(1)) text.push_back(static_cast<char>(byte));
    return text;
  }
  long long Elapsed(int64_t now) const { return lastWrite == 0 ? -1 : now - lastWrite; }

  std::vector<uint8_t> storage;
  uint32_t capacity, wrap, count = 0, write = 0, read = 0;
  int64_t lastWrite = 0;  // 0: never written
};
