#include "buffers/kaOptimizedBuffer2Producer.h"

kaOptimizedBuffer2Producer::kaOptimizedBuffer2Producer() = default;

kaOptimizedBuffer2Producer::kaOptimizedBuffer2Producer(const veMediaRecord* format) : metadata(format) {}

kaOptimizedBuffer2Producer::~kaOptimizedBuffer2Producer() = default;

const veMediaRecord* kaOptimizedBuffer2Producer::ProduceMetadata() { return metadata; }
