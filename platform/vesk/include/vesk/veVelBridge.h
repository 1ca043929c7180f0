#pragma once
#include "Vel/CAudioSample.h"
#include "Vel/CVideoProperties.h"
#include "vesk/veMediaRecord.h"
#include "vesk/veskExport.h"

// Bridge between the media-description library and the media framework's
// audio samples and video descriptions. Callable from any thread that owns
// the sample or record for the call.

// Makes `sample` refer to `length` bytes at `bytes` without copying them (any
// storage the sample owned is freed). With `takeOwnership` the sample frees
// the bytes with std::free when it lets go of them, so they must come from
// std::malloc; without it the caller keeps them alive and unchanged for as
// long as the sample refers to them. The sample's frame count is left as it
// was. Returns 0 on success; returns -1 and leaves the sample unchanged for a
// null sample, a negative length, or null bytes with a positive length.
VESK_EXPORT int VEL_SetAudioSampleData(Corvane::Vel::CAudioSample* sample, void* bytes, int length,
                                       bool takeOwnership);

// Describes in `record` the image that `properties` describe: media type
// "vido", width, height, raster type (the pixel format code) and bytes per row
// (0 when the properties leave it to the consumer, so the buffer group
// computes tight rows). The record's other fields and keyed entries are left
// as they were; nothing is allocated. Returns 0; returns -1 and leaves the
// record untouched for null properties.
VESK_EXPORT int VideoPropertiesToMediaRecord(const Corvane::Vel::CVideoProperties* properties,
                                             veMediaRecord& record);
