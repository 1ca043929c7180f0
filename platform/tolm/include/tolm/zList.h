#pragma once
#include <cstdint>
#include <new>
#include <utility>

// Doubly linked list of pointers (T is a pointer type whose pointee has a
// Release()). The list does not own its elements unless told to release them
// (RemoveAndReleaseAll). Nodes that leave the list are kept in a small free
// list and reused, so steady insert/remove cycles do not allocate.
// Not thread-safe: the owner guards it.
template <class T>
class zList {
 public:
  struct Node {
    T item{};
    Node* prev = nullptr;
    Node* next = nullptr;
  };

  zList() = default;
  zList(const zList&) = delete;
  zList& operator=(const zList&) = delete;
  ~zList() {
    while (head_) {
      Node* n = head_;
      head_ = n->next;
      delete n;
    }
    while (free_) {
      Node* n = free_;
      free_ = n->next;
      delete n;
    }
  }

  int32_t Count() const { return count_; }
  bool IsEmpty() const { return count_ == 0; }
  Node* First() const { return head_; }
  Node* Last() const { return tail_; }
  static Node* Next(Node* n) { return n ? n->next : nullptr; }

  // Element at `index`, or a value-initialised T when out of range.
  T Get(int32_t index) const {
    Node* n = NodeAt(index);
    return n ? n->item : T{};
  }

  // Appends `item`. Returns false (list unchanged) when no node can be had.
  bool Add(T item) { return InsertBefore(nullptr, item); }

  // Inserts before the element at `index`, or appends when `index` is past the
  // end (or negative).
  bool AddAtIndex(T item, int32_t index) { return InsertBefore(index < 0 ? nullptr : NodeAt(index), item); }

  // Inserts before `position` (append when null). `position` must be a node of
  // this list.
  bool InsertBefore(Node* position, T item) {
    Node* n = TakeNode();
    if (!n) return false;
    n->item = item;
    Link(position, n);
    return true;
  }

  // Removes the first element and returns it (value-initialised T when empty).
  T RemoveHead() {
    Node* n = head_;
    if (!n) return T{};
    T item = n->item;
    Unlink(n);
    RecycleNode(n);
    return item;
  }

  // Moves the first node to the end of `other` without allocating.
  bool MoveHeadTo(zList& other) {
    Node* n = head_;
    if (!n) return false;
    Unlink(n);
    other.Link(nullptr, n);
    return true;
  }

  // Calls Release() on every element, then empties the list.
  void RemoveAndReleaseAll() {
    while (head_) {
      T item = RemoveHead();
      if (item) item->Release();
    }
  }

  // Empties the list without touching the elements.
  void RemoveAll() {
    while (head_) RemoveHead();
  }

 private:
  static constexpr int32_t kMaxFreeNodes = 64;

  Node* NodeAt(int32_t index) const {
    if (index < 0) return nullptr;
    Node* n = head_;
    while (n && index-- > 0) n = n->next;
    return n;
  }
  Node* TakeNode() {
    if (free_) {
      Node* n = free_;
      free_ = n->next;
      --freeCount_;
      n->next = nullptr;
      return n;
    }
    return new (std::nothrow) Node();
  }
  void RecycleNode(Node* n) {
    n->item = T{};
    if (freeCount_ >= kMaxFreeNodes) {
      delete n;
      return;
    }
    n->prev = nullptr;
    n->next = free_;
    free_ = n;
    ++freeCount_;
  }
  void Link(Node* position, Node* n) {
    if (!position) {
      n->prev = tail_;
      n->next = nullptr;
      if (tail_) tail_->next = n; else head_ = n;
      tail_ = n;
    } else {
      n->next = position;
      n->prev = position->prev;
      if (position->prev) position->prev->next = n; else head_ = n;
      position->prev = n;
    }
    ++count_;
  }
  void Unlink(Node* n) {
    if (n->prev) n->prev->next = n->next; else head_ = n->next;
    if (n->next) n->next->prev = n->prev; else tail_ = n->prev;
    n->prev = n->next = nullptr;
    --count_;
  }

  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  Node* free_ = nullptr;
  int32_t count_ = 0;
  int32_t freeCount_ = 0;
};
