#pragma once
#include <cstdint>

namespace Corvane::Vel {

// Four-character codes name the framework's object types, component types,
// properties and sample formats: a 32-bit number whose bytes, most
// significant first, are the four characters. Written with this helper
// rather than multi-character literals, whose value is implementation-defined.
constexpr uint32_t FourCC(const char (&code)[5]) noexcept {
  return (static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}

}  // namespace Corvane::Vel
