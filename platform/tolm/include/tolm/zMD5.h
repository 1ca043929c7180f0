#pragma once
#include <cstdint>

#include "tolm/tolmExport.h"

// MD5 (RFC 1321) context: plain data, copyable and storable as it is. The
// digest lives in the context after zMD5Final.
struct zMD5Context {
  alignas(8) unsigned char state[96];
  unsigned char digest[16];
};

// Starts a digest. A null context is ignored.
TOLM_EXPORT void zMD5Init(zMD5Context* context);
// Adds `length` bytes. A null context is ignored; null data counts as no bytes.
TOLM_EXPORT void zMD5Update(zMD5Context* context, const void* data, uint32_t length);
// Finishes the digest (stored in context->digest).
TOLM_EXPORT void zMD5Final(zMD5Context* context);
// Writes the digest as 32 lower-case hexadecimal characters and a NUL into
// `text` (33 bytes). A null context writes an empty string; a null text is
// ignored.
TOLM_EXPORT void zMD5String(const zMD5Context* context, char text[33]);
