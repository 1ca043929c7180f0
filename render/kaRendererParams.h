#pragma once
#include <cstdint>

// The parameters of one cue request. The host fills it, passes it by
// reference for the duration of the cue call and keeps it; a renderer never
// stores it. The library reads only `cueTime`; members that a host adds after
// it are the host's own and must stay after it.
struct ka_renderer_params {
  // The output time for which media is wanted: signed microseconds on the
  // zTime::MicroNow() clock. Renderers stamp the buffer they hand out for a
  // cue with it (kaBuffer2::SetDirtiedTime).
  int64_t cueTime = 0;
};
