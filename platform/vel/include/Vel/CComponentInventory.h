#pragma once
#include <cstdint>

#include "Vel/CAudioConverter.h"
#include "Vel/CComponentFactory.h"
#include "Vel/Result.h"
#include "Vel/VelExport.h"

namespace Corvane::Vel {

enum class InventoryPosition {
  kFront,  // looked at before every factory already registered
  kBack,   // looked at after them
};

// The process-wide list of component factories of one product class. It is
// made on first use; for audio converters the framework then registers its
// built-ins, 'afc ' (sample format to 'sowt') and 'asrc' (sample rate), in
// that order. Every operation is thread-safe (one lock, held while a factory
// creates). Factories are borrowed: see CComponentFactory.
template <class Factory>
class VEL_EXPORT CComponentInventory {
 public:
  using Product = typename Factory::Product;
  // Registrations beyond this many fail; the list is fixed-size so that
  // lookups never allocate.
  static constexpr int kMaxFactories = 32;

  CComponentInventory() = delete;

  // Walks the factories in order; the first whose GetType() equals `type`
  // makes the instance, returned with one reference for the caller. Null
  // when no factory has the type or the matching factory fails.
  static Product* CreateInstance(uint32_t type) noexcept;
  // Adds a factory at the front or back of the list. ResultError, with the
  // list unchanged, for null, a factory already registered, or a full list.
  static Result Register(Factory* factory,
                         InventoryPosition where = InventoryPosition::kBack) noexcept;
  // Removes a factory. ResultError, with the list unchanged, when it is not
  // registered.
  static Result Unregister(Factory* factory) noexcept;
  static int GetFactoryCount() noexcept;
};

// The one inventory the framework provides, instantiated inside libVel.
using CAudioConverterInventory = CComponentInventory<CComponentFactory<CAudioConverter>>;
extern template class CComponentInventory<CComponentFactory<CAudioConverter>>;

}  // namespace Corvane::Vel
