#pragma once
#include <cstdint>

#include "Vel/Result.h"
#include "Vel/VelFourCC.h"

namespace Corvane::Vel {

// Property ids understood by the framework's filters.
namespace CodeBookProperty {
namespace MediaFilter {
// Four-character sample format of a filter's output ('sowt' for the audio converters).
inline constexpr uint32_t OutputFormat = FourCC("ofmt");
}  // namespace MediaFilter
namespace AudioConverter {
// Output frames per second of a rate converter (integer property).
inline constexpr uint32_t SampleRate = FourCC("srat");
}  // namespace AudioConverter
}  // namespace CodeBookProperty

// Property interface of framework objects: four-character and integer values
// keyed by property id. Called on the thread that configures the object,
// before it starts. The object that offers it owns it; there is no separate
// lifetime.
class IProperties {
 public:
  // Each setter returns ResultOK when the value was taken; ResultNotSupported
  // for a property id the object does not have or a value it cannot use;
  // ResultError when the object cannot change now (for a filter: while
  // started). On failure the stored value is unchanged.
  virtual Result SetFourProperty(uint32_t property, uint32_t value) noexcept = 0;
  virtual Result SetProperty(uint32_t property, int64_t value) noexcept = 0;
  // Each getter writes the current value to `value` and returns ResultOK, or
  // returns ResultNotSupported for an unknown id and leaves `value` as it was.
  virtual Result GetFourProperty(uint32_t property, uint32_t& value) const noexcept = 0;
  virtual Result GetProperty(uint32_t property, int64_t& value) const noexcept = 0;

 protected:
  IProperties() = default;
  IProperties(const IProperties&) = default;
  IProperties& operator=(const IProperties&) = default;
  // Not deleted through this interface: the object's own lifetime rules apply.
  ~IProperties() = default;
};

}  // namespace Corvane::Vel
