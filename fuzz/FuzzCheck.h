#pragma once
#include <cstdio>
#include <cstdlib>

// A fuzz target's assertion: a broken expectation prints where and why and
// aborts, which libFuzzer reports as a crash and saves as a reproducer.
#define FUZZ_CHECK(condition, ...)                                                   \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
      std::fprintf(stderr, __VA_ARGS__);                                             \
      std::fprintf(stderr, "\n");                                                    \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)
