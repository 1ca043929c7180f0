#pragma once
// Symbol visibility for libVel: classes and functions marked VEL_EXPORT form
// the framework's binary interface; everything else stays hidden.
#define VEL_EXPORT __attribute__((visibility("default")))
