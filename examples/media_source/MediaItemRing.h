#pragma once
#include <cstddef>
#include <vector>

// A first-in first-out ring of a fixed number of slots, made once and reused:
// a slot keeps what it owns (an audio slot its byte buffer) from one use to
// the next, so steady state allocates nothing. The producer fills Tail() and
// commits it with Push; the consumer reads Front() and frees it with Pop.
// No lock of its own: the owner guards it (MediaSource's queue lock).
template <class Item>
class MediaItemRing {
 public:
  explicit MediaItemRing(size_t capacity) : slots_(capacity > 0 ? capacity : 1) {}
  MediaItemRing(const MediaItemRing&) = delete;
  MediaItemRing& operator=(const MediaItemRing&) = delete;

  size_t Capacity() const { return slots_.size(); }
  size_t Size() const { return count_; }
  size_t Free() const { return slots_.size() - count_; }
  bool Empty() const { return count_ == 0; }
  bool Full() const { return count_ == slots_.size(); }

  // The oldest item, and the newest; only while not empty.
  Item& Front() { return slots_[head_]; }
  const Item& Front() const { return slots_[head_]; }
  const Item& Back() const { return slots_[(head_ + count_ - 1) % slots_.size()]; }
  // The slot that the next Push commits; only while not full.
  Item& Tail() { return slots_[(head_ + count_) % slots_.size()]; }

  // Commits Tail(); false, nothing changed, when full.
  bool Push() {
    if (Full()) return false;
    ++count_;
    return true;
  }
  // Frees Front(); the slot keeps its contents for reuse. False when empty.
  bool Pop() {
    if (Empty()) return false;
    head_ = (head_ + 1) % slots_.size();
    --count_;
    return true;
  }

 private:
  std::vector<Item> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
};
