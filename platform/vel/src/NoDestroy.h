#pragma once
// Internal: storage for process-wide objects of the framework that must stay
// usable until the very end of the process (objects released from other
// libraries' static destructors still reach the pool and the inventory), so
// their destructor never runs. What they hold at exit stays reachable.

namespace Corvane::Vel::detail {

template <class T>
union NoDestroy {
  constexpr NoDestroy() : value() {}
  ~NoDestroy() {}
  NoDestroy(const NoDestroy&) = delete;
  NoDestroy& operator=(const NoDestroy&) = delete;

  T value;
};

}  // namespace Corvane::Vel::detail
