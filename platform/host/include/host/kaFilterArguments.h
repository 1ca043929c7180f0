#pragma once
#include <cstdint>

// The two argument blocks of a filter entry of the host's render graph, handed
// to the entry's image filter by reference. Their meaning belongs to the host
// and its filters; the filter manager passes them on and reads nothing.

// What the user set on the filter: which effect and how strongly.
struct kaFilterSettings {
  uint32_t effect = 0;  // a four-character code naming the effect
  float amount = 0.0f;  // 0 … 1
};

// What the graph knows about the pass being rendered.
struct kaFilterRenderState {
  int32_t outputWidth = 0;   // pixels
  int32_t outputHeight = 0;  // rows
  int64_t frameTime = 0;     // microseconds of the foundation clock
};
