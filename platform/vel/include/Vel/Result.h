#pragma once
#include <cstdint>

namespace Corvane::Vel {

// The outcome of a framework operation: a code and an optional message. A
// plain value, copied freely; the message points at static text and is never
// owned or freed. Every framework operation reports failure this way and none
// throws.
class Result {
 public:
  enum class Code : int32_t {
    kOK = 0,
    kError = -1,           // the operation failed; what it names is unchanged
    kNotImplemented = -2,  // the object does not offer this operation
    kNotSupported = -3,    // the operation exists but not for these arguments
  };

  constexpr Result() noexcept = default;
  constexpr explicit Result(Code code, const char* message = nullptr) noexcept
      : code_(code), message_(message) {}

  constexpr Code GetCode() const noexcept { return code_; }
  // Static text describing the failure, or null when none was given.
  constexpr const char* GetMessage() const noexcept { return message_; }
  // Every code but kOK is a failure.
  constexpr bool Failed() const noexcept { return code_ != Code::kOK; }
  constexpr bool Succeeded() const noexcept { return code_ == Code::kOK; }

  // Results compare by code; the message is commentary.
  friend constexpr bool operator==(const Result& a, const Result& b) noexcept {
    return a.code_ == b.code_;
  }

 private:
  Code code_ = Code::kOK;
  const char* message_ = nullptr;
};

// The named results. Each stands for its Result directly (`return ResultOK;`)
// and also makes one carrying a static message (`return ResultError("why");`,
// `return ResultNotImplemented();`).
struct ResultValue {
  Result::Code code;
  constexpr operator Result() const noexcept { return Result(code); }  // NOLINT: implicit by design
  constexpr Result operator()(const char* message = nullptr) const noexcept {
    return Result(code, message);
  }
};

inline constexpr ResultValue ResultOK{Result::Code::kOK};
inline constexpr ResultValue ResultError{Result::Code::kError};
inline constexpr ResultValue ResultNotImplemented{Result::Code::kNotImplemented};
inline constexpr ResultValue ResultNotSupported{Result::Code::kNotSupported};

}  // namespace Corvane::Vel
