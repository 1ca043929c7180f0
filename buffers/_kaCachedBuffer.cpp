#include "buffers/_kaCachedBuffer.h"

_kaCachedBuffer::_kaCachedBuffer() = default;

_kaCachedBuffer::~_kaCachedBuffer() = default;

kaXIGPUAccessibleBuffer::Mapping _kaCachedBuffer::Map(MapFlags /*flags*/) {
  return Mapping{GetStorage(), BytesPerRow()};
}

void _kaCachedBuffer::Unmap() {}
