#include "tolm/zCritical.h"

#include <mutex>
#include <new>

namespace {

// The only kind of lock: re-entrant for its holder, as the delayed queue and
// the ring buffer take their own lock again from inside locked operations.
class zRecursiveCritical final : public zCritical {
 public:
  void Enter() Z_NO_THREAD_SAFETY_ANALYSIS override { mutex_.lock(); }
  void Leave() Z_NO_THREAD_SAFETY_ANALYSIS override { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace

zCritical* zCritical::Factory(int /*kind*/) { return new (std::nothrow) zRecursiveCritical(); }

zCritical::~zCritical() = default;
