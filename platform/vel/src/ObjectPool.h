#pragma once
#include <cstddef>

namespace Corvane::Vel::detail {

// Internal: the block pool behind CObject's operator new and delete. Blocks
// are grouped in size classes; a freed block goes to its class's free list
// (one mutex per class) unless the list is full, and the next allocation of
// that class takes it back. Larger blocks go straight to the heap. Every
// block carries a 16-byte header naming its class, so freeing needs no size.
// Blocks are 16-byte aligned; over-aligned objects are not supported.

// A block of at least `bytes` usable bytes, or null when memory runs out.
void* PoolAllocate(std::size_t bytes) noexcept;
// Gives back a block from PoolAllocate; null is ignored.
void PoolFree(void* block) noexcept;
// Blocks waiting in the free lists, all classes together.
std::size_t PoolFreeBlockCount() noexcept;

}  // namespace Corvane::Vel::detail
