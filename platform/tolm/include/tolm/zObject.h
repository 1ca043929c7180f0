#pragma once
#include <memory>

#include "tolm/tolmExport.h"

// Root of foundation objects that are not reference counted by xCUnknown.
class TOLM_EXPORT zObject {
 public:
  zObject() = default;
  virtual ~zObject();
};

// Base of objects that live only in std::shared_ptr (made with
// std::make_shared) and may hand out further shared pointers to themselves.
class TOLM_EXPORT zSharedObject : public zObject, public std::enable_shared_from_this<zSharedObject> {
 public:
  zSharedObject() = default;
  ~zSharedObject() override;
};
