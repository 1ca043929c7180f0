#pragma once
#define VESK_EXPORT __attribute__((visibility("default")))
