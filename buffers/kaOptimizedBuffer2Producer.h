#pragma once
#include "buffers/kaBuffer2Producer.h"
#include "foundation/kaFoundation.h"

// A producer whose maker already knows the format: ProduceMetadata answers
// `metadata` without producing the buffer, so a host that only looks at the
// format costs no buffer. The record is borrowed: the maker keeps it alive
// for the producer's lifetime. Same threading as kaBuffer2Producer.
class KASP2_EXPORT kaOptimizedBuffer2Producer : public kaBuffer2Producer {
 public:
  kaOptimizedBuffer2Producer();
  explicit kaOptimizedBuffer2Producer(const veMediaRecord* format);
  ~kaOptimizedBuffer2Producer() override;

  // Returns `metadata` as set by the maker (null when it set none); never
  // calls `produce`.
  const veMediaRecord* ProduceMetadata() override;

  const veMediaRecord* metadata = nullptr;
};
