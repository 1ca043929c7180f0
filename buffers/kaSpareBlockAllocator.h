#pragma once
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

// Allocator for the recycling cache's double-ended queues. A queue that
// takes from the front and appends at the back frees one block and allocates
// one at every block boundary; this allocator keeps the last freed block of
// element type `Kept` and hands it back to the next allocation of the same
// size, so a queue whose length stays bounded allocates nothing in steady
// state. Blocks of other types (the queue's map) go straight to the heap.
// The first block of type `Kept` comes with a spare of the same size: a queue
// allocates its next block before it frees the one it leaves, so without it
// the first time the queue's contents cross a block boundary would allocate,
// at whatever moment a steady stream of requests and returns gets there.
//
// All copies and rebinds of one allocator share its spare slot, which lives
// until the last of them is gone, so the queue may free its blocks in any
// order during destruction. Not thread-safe: the queue's owner guards it.
namespace kaSpareBlockDetail {
// The slot shared by all copies and rebinds of one allocator: one spare
// block and its size.
struct Slot {
  Slot() = default;
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() { ::operator delete(block); }
  void* block = nullptr;
  size_t bytes = 0;
  bool primed = false;  // the first block's spare was made
};
}  // namespace kaSpareBlockDetail

template <class T, class Kept = T>
class kaSpareBlockAllocator {
 public:
  using value_type = T;
  template <class U>
  struct rebind {
    using other = kaSpareBlockAllocator<U, Kept>;
  };

  // Makes the shared slot (the only allocation of the allocator itself).
  kaSpareBlockAllocator() : slot_(std::make_shared<kaSpareBlockDetail::Slot>()) {}
  template <class U>
  kaSpareBlockAllocator(const kaSpareBlockAllocator<U, Kept>& other) noexcept : slot_(other.slot_) {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if constexpr (std::is_same_v<T, Kept>) {
      if (slot_ && slot_->block && slot_->bytes == bytes) {
        void* block = slot_->block;
        slot_->block = nullptr;
        return static_cast<T*>(block);
      }
      if (slot_ && !slot_->primed && !slot_->block) {
        slot_->primed = true;
        // Without memory for the spare the queue still works, as before.
        slot_->block = ::operator new(bytes, std::nothrow);
        slot_->bytes = slot_->block ? bytes : 0;
      }
    }
    return static_cast<T*>(::operator new(bytes));
  }

  void deallocate(T* p, size_t n) noexcept {
    if constexpr (std::is_same_v<T, Kept>) {
      if (slot_ && !slot_->block) {
        slot_->block = p;
        slot_->bytes = n * sizeof(T);
        return;
      }
    }
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const kaSpareBlockAllocator<U, Kept>& other) const noexcept {
    return slot_ == other.slot_;
  }

 private:
  template <class U, class K>
  friend class kaSpareBlockAllocator;

  std::shared_ptr<kaSpareBlockDetail::Slot> slot_;
};
