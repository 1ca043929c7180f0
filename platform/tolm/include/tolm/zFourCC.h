#pragma once
#include <cstdint>

// Four-character codes: 32-bit integers whose bytes, most significant first,
// are four characters ("sowt", "vido", "mwid"). Written with this helper
// rather than multi-character literals, whose value is implementation-defined.
constexpr uint32_t zFourCC(const char (&code)[5]) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}
