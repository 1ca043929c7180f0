#pragma once
// Symbol visibility for libtolm: everything declared with TOLM_EXPORT is part of
// the library's binary interface; the rest stays hidden.
#if defined(TOLM_BUILDING_LIBRARY)
#define TOLM_EXPORT __attribute__((visibility("default")))
#else
#define TOLM_EXPORT __attribute__((visibility("default")))
#endif
