#pragma once
#include <cstdint>

#include "tolm/zFourCC.h"

// Media type codes.
using veMediaType = uint32_t;
inline constexpr veMediaType veMediaTypeVideo = zFourCC("vido");
inline constexpr veMediaType veMediaTypeAudio = zFourCC("audo");
