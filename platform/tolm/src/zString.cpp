#include "tolm/zString.h"

#include <cstring>

zString::zString(const char* text, int64_t length) {
  if (!text) return;
  try {
    if (length < 0) {
      text_.assign(text);
    } else {
      text_.assign(text, static_cast<size_t>(length));
    }
  } catch (...) {
    // Memory is short: the string stays empty.
    text_.clear();
  }
}

zString& zString::operator+=(char c) {
  try {
    text_.push_back(c);
  } catch (...) {
    // Memory is short: the character is dropped and the string is unchanged.
  }
  return *this;
}
