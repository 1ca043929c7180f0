#pragma once
#include <cstddef>
#include <type_traits>
#include <utility>

namespace Corvane::Vel {

// Owning handle of one reference to a framework object (any class with
// Acquire/Release, normally a CObject). The two ways in are explicit:
// Adopt takes over a reference the caller already owns (a pointer returned
// by a Create function or by `new`), Retain adds one to a borrowed pointer.
// Copying acquires, moving transfers, destruction and Reset release. One
// handle is not safe to change from two threads at once; two handles to the
// same object are.
template <class T>
class RObject {
 public:
  using element_type = T;

  constexpr RObject() noexcept = default;
  constexpr RObject(std::nullptr_t) noexcept {}  // NOLINT: implicit from nullptr

  // Takes over the caller's reference; no count changes. Null gives an
  // empty handle.
  [[nodiscard]] static RObject Adopt(T* object) noexcept { return RObject(object, AdoptTag{}); }
  // Adds a reference to a borrowed pointer. Null gives an empty handle.
  [[nodiscard]] static RObject Retain(T* object) noexcept {
    if (object != nullptr) object->Acquire();
    return RObject(object, AdoptTag{});
  }

  RObject(const RObject& other) noexcept : object_(other.object_) {
    if (object_ != nullptr) object_->Acquire();
  }
  RObject(RObject&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  RObject(const RObject<U>& other) noexcept : object_(other.object_) {  // NOLINT: implicit upcast
    if (object_ != nullptr) object_->Acquire();
  }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  RObject(RObject<U>&& other) noexcept  // NOLINT: implicit upcast
      : object_(std::exchange(other.object_, nullptr)) {}

  // Copy-and-swap: the old object is released after the new one is held,
  // so assigning a handle to itself (or to a handle of the same object) is safe.
  RObject& operator=(RObject other) noexcept {
    Swap(other);
    return *this;
  }

  ~RObject() { Reset(); }

  // Releases the held reference (if any) and empties the handle.
  void Reset() noexcept {
    if (T* old = std::exchange(object_, nullptr)) old->Release();
  }
  // Empties the handle without releasing: the caller now owns the reference.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(object_, nullptr); }
  void Swap(RObject& other) noexcept { std::swap(object_, other.object_); }

  T* Get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  friend bool operator==(const RObject& a, const RObject& b) noexcept {
    return a.object_ == b.object_;
  }
  friend bool operator==(const RObject& a, std::nullptr_t) noexcept { return a.object_ == nullptr; }

 private:
  template <class U>
  friend class RObject;
  struct AdoptTag {};
  RObject(T* object, AdoptTag) noexcept : object_(object) {}

  T* object_ = nullptr;
};

}  // namespace Corvane::Vel
