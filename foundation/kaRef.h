#pragma once
#include <cstddef>
#include <type_traits>
#include <utility>

// Owning handle of one reference to an intrusively counted object (anything
// with AddRef/Release: kaBuffer2 and the other xCUnknown objects, zRefCount
// records). The two ways in are explicit, so that a reference is never
// adopted twice or retained and then leaked:
//   kaRef<T>::Adopt(p)   takes over a reference the caller already owns (a
//                        pointer from `new`, from an out parameter, from a
//                        queue that handed one over);
//   kaRef<T>::Retain(p)  adds a reference to a borrowed pointer.
// Copying retains, moving transfers, destruction and Reset release. Detach
// hands the reference back out as a raw pointer, for the plug-in ABI's out
// parameters. One handle is not safe to change from two threads at once; two
// handles to the same object are. Layout: one pointer.
template <class T>
class kaRef {
 public:
  using element_type = T;

  constexpr kaRef() noexcept = default;
  constexpr kaRef(std::nullptr_t) noexcept {}  // NOLINT: implicit from nullptr

  [[nodiscard]] static kaRef Adopt(T* object) noexcept { return kaRef(object); }
  [[nodiscard]] static kaRef Retain(T* object) noexcept {
    if (object != nullptr) object->AddRef();
    return kaRef(object);
  }

  kaRef(const kaRef& other) noexcept : object_(other.object_) {
    if (object_ != nullptr) object_->AddRef();
  }
  kaRef(kaRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  kaRef(kaRef<U>&& other) noexcept : object_(other.Detach()) {}  // NOLINT: implicit upcast

  // Copy-and-swap: the old object is released after the new one is held, so
  // assigning a handle to itself, or to another handle of the same object, is
  // safe.
  kaRef& operator=(kaRef other) noexcept {
    Swap(other);
    return *this;
  }

  ~kaRef() { Reset(); }

  // Releases the held reference (if any) and empties the handle.
  void Reset() noexcept {
    if (T* old = std::exchange(object_, nullptr)) old->Release();
  }
  // Empties the handle without releasing: the caller now owns the reference.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(object_, nullptr); }
  void Swap(kaRef& other) noexcept { std::swap(object_, other.object_); }

  T* Get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  friend bool operator==(const kaRef& a, const kaRef& b) noexcept { return a.object_ == b.object_; }
  friend bool operator==(const kaRef& a, const T* b) noexcept { return a.object_ == b; }

 private:
  explicit kaRef(T* object) noexcept : object_(object) {}

  T* object_ = nullptr;
};
