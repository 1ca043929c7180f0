#include "buffers/kaBuffer2Producer.h"

kaBuffer2Producer::kaBuffer2Producer() = default;

// Members go in reverse order of declaration: `produced` first, then `produce`.
kaBuffer2Producer::~kaBuffer2Producer() = default;

const veMediaRecord* kaBuffer2Producer::ProduceMetadata() {
  ProduceBuffer();
  if (produced) return produced.get();
  return &EmptyMetadata();
}

std::shared_ptr<kaBuffer2> kaBuffer2Producer::ProduceBuffer() {
  if (!produced && produce) produced = produce();
  return produced;
}

const veMediaRecord& kaBuffer2Producer::EmptyMetadata() {
  static const veMediaRecord empty;
  return empty;
}
