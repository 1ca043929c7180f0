#pragma once
// Formatted notes to the foundation's trace log. Internal to the library: it
// uses {fmt}, which the library links privately, so it is not installed.
#include <exception>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "tolm/zTraceManager.h"

namespace zTraceDetail {

// What zTrace writes when formatting or writing fails.
inline constexpr const char* kRuntimeErrorFormat = "zTrace '{}'\n";
inline constexpr const char* kUnknownAssertion = "zTrace Unknown Assertion\n";

inline void WriteNote(const std::string& text) {
  zTraceManager::Default().TraceMessage(zTraceManager::kLevelNote, text.data(), text.size());
}

// Reports a failed line in its place. Never throws: should the report itself
// fail, the fixed text goes out instead, and should that fail too, nothing.
inline void WriteRuntimeErrorNote(const char* what) noexcept {
  try {
    WriteNote(fmt::vformat(kRuntimeErrorFormat, fmt::make_format_args(what ? what : "")));
  } catch (...) {
    try {
      zTraceManager::Default().TraceMessage(zTraceManager::kLevelNote, kUnknownAssertion);
    } catch (...) {
    }
  }
}

inline void WriteUnknownAssertionNote() noexcept {
  try {
    zTraceManager::Default().TraceMessage(zTraceManager::kLevelNote, kUnknownAssertion);
  } catch (...) {
  }
}

}  // namespace zTraceDetail

// Writes the text that `makeText` returns (a std::string) as one message at
// the level "note" on zTraceManager::Default(). When making or writing the
// text throws a std::runtime_error ({fmt} throws fmt::format_error, one of
// them), the message is "zTrace '<what>'\n" instead; for any other exception
// it is "zTrace Unknown Assertion\n". Exceptions never leave it. Any thread
// may call it.
template <class MakeText>
void zTraceGuarded(MakeText&& makeText) noexcept {
  try {
    zTraceDetail::WriteNote(makeText());
  } catch (const std::runtime_error& error) {
    zTraceDetail::WriteRuntimeErrorNote(error.what());
  } catch (...) {
    zTraceDetail::WriteUnknownAssertionNote();
  }
}

// Formats `format` with `args` ({fmt} syntax, checked at run time) and writes
// the text like zTraceGuarded, with the same two fallbacks. C-string arguments
// must not be null: {fmt} reads them without a check.
template <class... Args>
void zTrace(fmt::string_view format, const Args&... args) noexcept {
  zTraceGuarded([&] { return fmt::vformat(format, fmt::make_format_args(args...)); });
}
