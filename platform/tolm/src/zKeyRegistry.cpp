#include "zKeyRegistry.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "zProcessLifetime.h"

namespace {

// The registry's storage. The map's keys view the interned copies, which are
// never freed, so looking a std::string_view up costs no allocation.
struct Registry {
  std::shared_mutex lock;
  std::unordered_map<std::string_view, zKey> ids;  // guarded by lock
  std::vector<const char*> texts;                  // guarded by lock; index = id without the top bit
};

// Never destroyed: keys may be used by static objects during process exit.
// Building it allocates nothing, so the first key of a process that is short
// of memory fails as a result (0), not as an exception.
Registry& TheRegistry() { return zProcessLifetime<Registry>(); }

}  // namespace

namespace zKeyRegistry {

zKey Find(std::string_view text) {
  if (text.empty()) return 0;
  Registry& registry = TheRegistry();
  std::shared_lock<std::shared_mutex> guard(registry.lock);
  auto it = registry.ids.find(text);
  return it == registry.ids.end() ? 0 : it->second;
}

zKey Intern(std::string_view text) {
  if (text.empty()) return 0;
  if (zKey known = Find(text)) return known;
  Registry& registry = TheRegistry();
  std::unique_lock<std::shared_mutex> guard(registry.lock);
  // Another thread may have interned it between the two locks.
  auto it = registry.ids.find(text);
  if (it != registry.ids.end()) return it->second;
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) return 0;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  try {
    registry.texts.reserve(registry.texts.size() + 1);
    const zKey id = kStringKeyBit | static_cast<zKey>(registry.texts.size());
    registry.ids.emplace(std::string_view(copy, text.size()), id);
    registry.texts.push_back(copy);  // cannot throw: capacity reserved above
    return id;
  } catch (...) {
    std::free(copy);
    return 0;
  }
}

const char* Text(zKey key) {
  if ((key & kStringKeyBit) == 0) return nullptr;
  const zKey index = key & ~kStringKeyBit;
  Registry& registry = TheRegistry();
  std::shared_lock<std::shared_mutex> guard(registry.lock);
  return index < registry.texts.size() ? registry.texts[static_cast<size_t>(index)] : nullptr;
}

}  // namespace zKeyRegistry
