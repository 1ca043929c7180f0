#pragma once
#include <functional>
#include <memory>

#include "buffers/kaBuffer2.h"
#include "foundation/kaFoundation.h"

// Offers one buffer to the host lazily: a renderer builds a producer on its
// stack, sets `produce`, hands the producer to a host callback and destroys
// it when the callback returns. The host may ask for the format
// (ProduceMetadata), for the buffer (ProduceBuffer), both or neither. Used on
// the thread of that callback only; not thread-safe. It owns the produced
// buffer's shared pointer.
class KASP2_EXPORT kaBuffer2Producer {
 public:
  using ProduceFunction = std::function<std::shared_ptr<kaBuffer2>()>;

  kaBuffer2Producer();
  kaBuffer2Producer(const kaBuffer2Producer&) = delete;
  kaBuffer2Producer& operator=(const kaBuffer2Producer&) = delete;
  // Drops `produced`, then destroys `produce`.
  virtual ~kaBuffer2Producer();

  // The format of the buffer: produces it (through the table) if needed and
  // returns its record, which lives as long as this producer. With no buffer
  // (no `produce`, or it yielded nothing) it returns EmptyMetadata(), the
  // same default record on every call.
  virtual const veMediaRecord* ProduceMetadata();
  // Calls `produce` while nothing was produced yet and `produce` is set, and
  // returns a copy of `produced` (empty when nothing was produced). A
  // `produce` that yielded nothing is tried again on the next call; one that
  // yielded a buffer is never called again. Never throws of its own.
  virtual std::shared_ptr<kaBuffer2> ProduceBuffer();

  // The empty record handed out when there is no buffer. Made once, on first
  // use, thread-safely; lives until the process exits.
  static const veMediaRecord& EmptyMetadata();

  ProduceFunction produce;
  std::shared_ptr<kaBuffer2> produced;
};
