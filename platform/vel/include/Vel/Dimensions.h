#pragma once
#include <cstdint>

namespace Corvane::Vel {

// Width and height of an image in pixels, width first. A plain value; 0 in
// either member means "not known" or "empty".
struct Dimensions {
  int32_t width = 0;
  int32_t height = 0;

  friend constexpr bool operator==(const Dimensions& a, const Dimensions& b) noexcept = default;
};

}  // namespace Corvane::Vel
