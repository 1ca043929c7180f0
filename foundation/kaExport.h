#pragma once
// Symbol visibility for libkasp2: the library is built with hidden visibility
// and exports exactly the classes and functions marked KASP2_EXPORT.
#define KASP2_EXPORT __attribute__((visibility("default")))
