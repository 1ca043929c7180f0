#pragma once
#include "Vel/CAudioSample.h"
#include "vesk/veskExport.h"

// Bridge from the media-description library to the media framework's audio
// samples. Callable from any thread that owns the sample for the call.

// Makes `sample` refer to `length` bytes at `bytes` without copying them (any
// storage the sample owned is freed). With `takeOwnership` the sample frees
// the bytes with std::free when it lets go of them, so they must come from
// std::malloc; without it the caller keeps them alive and unchanged for as
// long as the sample refers to them. The sample's frame count is left as it
// was. Returns 0 on success; returns -1 and leaves the sample unchanged for a
// null sample, a negative length, or null bytes with a positive length.
VESK_EXPORT int VEL_SetAudioSampleData(Corvane::Vel::CAudioSample* sample, void* bytes, int length,
                                       bool takeOwnership);
