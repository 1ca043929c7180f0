#pragma once
#include <cstdint>

#include "Vel/VelExport.h"

namespace Corvane::Vel {

// Makes instances of one component type for the component inventory.
// Factories are registered by pointer and must outlive their registration
// (static objects, or objects that unregister before they go). CreateInstance
// may be called from any thread and must not call into the inventory.
template <class T>
class VEL_EXPORT CComponentFactory {
 public:
  using Product = T;

  // The four-character component type this factory makes ('afc ', 'asrc').
  virtual uint32_t GetType() const noexcept = 0;
  // A new instance with one reference for the caller, or null when it cannot
  // be made (memory exhausted). Never throws.
  virtual T* CreateInstance() noexcept = 0;

  virtual ~CComponentFactory() = default;

 protected:
  CComponentFactory() = default;
  CComponentFactory(const CComponentFactory&) = default;
  CComponentFactory& operator=(const CComponentFactory&) = default;
};

}  // namespace Corvane::Vel
