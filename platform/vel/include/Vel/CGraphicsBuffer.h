#pragma once
#include <cstdint>

#include "Vel/CObject.h"

namespace Corvane::Vel {

// A block of graphics memory (vertices, uniforms, staging bytes) made by a
// graphics context. Contexts that offer such buffers derive their own class;
// this base only names the type. Same reference rules as every CObject.
class VEL_EXPORT CGraphicsBuffer : public CObject {
 public:
  static constexpr uint32_t kType = FourCC("gbuf");

  bool IsType(uint32_t code) const noexcept override;

 protected:
  explicit CGraphicsBuffer(uint32_t typeCode = kType) noexcept;
  ~CGraphicsBuffer() override;
};

}  // namespace Corvane::Vel
