#pragma once
#include <cstdint>
#include <string_view>

#include "tolm/zVariable.h"

// Process-wide table of interned record keys. A string is copied once, on its
// first use, and lives until the process ends, so its id and text stay valid
// everywhere. Any thread may call; lookups take a shared lock and allocate
// nothing.
namespace zKeyRegistry {

// Top bit of every string key: four-character codes stay below 2^32.
inline constexpr zKey kStringKeyBit = 1ull << 63;

// The id of `text`, interning it on first use. 0 for an empty text or when
// memory is short.
zKey Intern(std::string_view text);
// The id of `text` if it was interned before, else 0. Never allocates.
zKey Find(std::string_view text);
// The NUL-terminated text of an interned id, or null.
const char* Text(zKey key);

}  // namespace zKeyRegistry
