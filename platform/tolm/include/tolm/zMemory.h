#pragma once
#include <cstddef>
#include <cstdint>

#include "tolm/tolmExport.h"

// Block copy; null pointers or a zero count copy nothing. Regions must not
// overlap.
TOLM_EXPORT void zCopyMemory(const void* source, void* destination, size_t count);
TOLM_EXPORT void zZeroMemory(void* destination, size_t count);

// Copies `rows` rows of `bytesPerRow` bytes from `source` (rows `sourceRowBytes`
// apart) to `destination` (rows `destinationRowBytes` apart). Returns nonzero on
// success. Returns 0 and copies nothing when a pointer is null, `rows` or
// `bytesPerRow` is not positive, or either row distance is smaller than
// `bytesPerRow`. The caller guarantees that both images hold the rows.
TOLM_EXPORT int zCopyImage(const void* source, int32_t sourceRowBytes, void* destination,
                           int32_t destinationRowBytes, int32_t bytesPerRow, int32_t rows);
