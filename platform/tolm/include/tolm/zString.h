#pragma once
#include <cstdint>
#include <string>

#include "tolm/tolmExport.h"

// A byte string. Made from (text, length), where length -1 means "up to the
// NUL"; a null text gives an empty string. Not thread-safe.
class TOLM_EXPORT zString {
 public:
  zString() = default;
  zString(const char* text, int64_t length = -1);

  int32_t Length() const { return static_cast<int32_t>(text_.size()); }
  void Clear() { text_.clear(); }
  zString& operator+=(char c);
  // Never null: an empty string gives "".
  const char* Text() const { return text_.c_str(); }
  const std::string& String() const { return text_; }
  bool operator==(const zString& other) const { return text_ == other.text_; }

 private:
  std::string text_;
};
