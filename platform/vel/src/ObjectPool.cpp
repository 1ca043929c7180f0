#include "ObjectPool.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <new>

#include "NoDestroy.h"

#if defined(__SANITIZE_ADDRESS__)
#define VEL_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEL_POOL_ASAN 1
#endif
#endif

#if defined(VEL_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace Corvane::Vel::detail {
namespace {

// Whole block sizes, header included. The framework's objects run from about
// 50 bytes (a sample) to a few hundred (a converter); the classes step by
// 2x up to 256 bytes and by 1.5x above, so large objects waste at most a
// third of their block.
constexpr std::array<std::size_t, 10> kClassBytes = {64,  128, 192,  256,  384,
                                                     512, 768, 1024, 1536, 2048};
// Free blocks kept per class. A converter chain keeps a handful of samples in
// flight per stream; 64 covers many streams while bounding idle memory to
// about 450 KiB even if every class fills up.
constexpr int kMaxFreeBlocksPerClass = 64;
constexpr uint32_t kUnpooledClass = 0xFFFFFFFFu;  // block came from the heap directly
constexpr uint32_t kBlockMagic = 0x56656C42u;     // "VelB": a block in use
constexpr uint32_t kFreeMagic = 0x56656C46u;      // "VelF": a block in a free list

struct alignas(16) BlockHeader {
  uint32_t sizeClass;
  uint32_t magic;
  BlockHeader* next;  // free-list link, used only while the block is free
};
constexpr std::size_t kHeaderBytes = sizeof(BlockHeader);
static_assert(kHeaderBytes == 16, "the header keeps user memory 16-byte aligned");

struct SizeClass {
  std::mutex lock;              // guards head and count
  BlockHeader* head = nullptr;  // most recently freed first: reuse is warm in cache
  int count = 0;
};

struct PoolState {
  std::array<SizeClass, kClassBytes.size()> classes;
};

constinit NoDestroy<PoolState> gPool;

void PoisonUser(BlockHeader* header, std::size_t blockBytes) noexcept {
#if defined(VEL_POOL_ASAN)
  ASAN_POISON_MEMORY_REGION(reinterpret_cast<unsigned char*>(header) + kHeaderBytes,
                            blockBytes - kHeaderBytes);
#else
  (void)header;
  (void)blockBytes;
#endif
}

void UnpoisonUser(BlockHeader* header, std::size_t blockBytes) noexcept {
#if defined(VEL_POOL_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<unsigned char*>(header) + kHeaderBytes,
                              blockBytes - kHeaderBytes);
#else
  (void)header;
  (void)blockBytes;
#endif
}

uint32_t ClassFor(std::size_t bytes) noexcept {
  for (uint32_t i = 0; i < kClassBytes.size(); ++i) {
    if (bytes <= kClassBytes[i] - kHeaderBytes) return i;
  }
  return kUnpooledClass;
}

void* UserPointer(BlockHeader* header) noexcept {
  return reinterpret_cast<unsigned char*>(header) + kHeaderBytes;
}

}  // namespace

void* PoolAllocate(std::size_t bytes) noexcept {
  const uint32_t sizeClass = ClassFor(bytes);
  if (sizeClass == kUnpooledClass) {
    if (bytes > static_cast<std::size_t>(-1) - kHeaderBytes) return nullptr;
    void* raw = ::operator new(bytes + kHeaderBytes, std::nothrow);
    if (raw == nullptr) return nullptr;
    auto* header = new (raw) BlockHeader{kUnpooledClass, kBlockMagic, nullptr};
    return UserPointer(header);
  }

  SizeClass& cls = gPool.value.classes[sizeClass];
  BlockHeader* header = nullptr;
  {
    std::lock_guard<std::mutex> guard(cls.lock);
    if (cls.head != nullptr) {
      header = cls.head;
      cls.head = header->next;
      --cls.count;
    }
  }
  if (header != nullptr) {
    UnpoisonUser(header, kClassBytes[sizeClass]);
    header->magic = kBlockMagic;
    header->next = nullptr;
    return UserPointer(header);
  }
  void* raw = ::operator new(kClassBytes[sizeClass], std::nothrow);
  if (raw == nullptr) return nullptr;
  header = new (raw) BlockHeader{sizeClass, kBlockMagic, nullptr};
  return UserPointer(header);
}

void PoolFree(void* block) noexcept {
  if (block == nullptr) return;
  auto* header = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(block) - kHeaderBytes);
  // A block that is not ours, or one already freed, is left alone: leaking
  // beats corrupting the free list or the heap.
  if (header->magic != kBlockMagic) return;
  const uint32_t sizeClass = header->sizeClass;
  if (sizeClass >= kClassBytes.size()) {
    header->magic = 0;
    ::operator delete(header);
    return;
  }
  SizeClass& cls = gPool.value.classes[sizeClass];
  {
    std::lock_guard<std::mutex> guard(cls.lock);
    if (cls.count < kMaxFreeBlocksPerClass) {
      header->magic = kFreeMagic;
      header->next = cls.head;
      cls.head = header;
      ++cls.count;
      PoisonUser(header, kClassBytes[sizeClass]);
      return;
    }
  }
  header->magic = 0;
  ::operator delete(header);
}

std::size_t PoolFreeBlockCount() noexcept {
  std::size_t total = 0;
  for (SizeClass& cls : gPool.value.classes) {
    std::lock_guard<std::mutex> guard(cls.lock);
    total += static_cast<std::size_t>(cls.count);
  }
  return total;
}

}  // namespace Corvane::Vel::detail
