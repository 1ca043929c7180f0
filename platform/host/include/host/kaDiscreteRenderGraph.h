#pragma once
#include <memory>
#include <string>
#include <vector>

#include "host/kaFilterArguments.h"
#include "host/kaXIFilterObject.h"

// The host's render graph, as far as the filter manager reads it: a node and
// its ordered list of filter entries. The host owns nodes and changes them on
// its own threads; the manager reads a node for the length of one call.
class kaDiscreteRenderGraph {
 public:
  class Node {
   public:
    struct FilterEntry {
      // The filter object, holding one reference (released with the entry);
      // empty for an entry without a filter.
      std::shared_ptr<kaXIFilterObject> filter;
      kaFilterSettings settings;        // first argument block
      kaFilterRenderState renderState;  // second argument block
      // Names the entry's settings for caching. Empty marks the entry as not
      // cacheable.
      std::string identity;
    };

    std::vector<FilterEntry>& Filters() { return filters_; }
    const std::vector<FilterEntry>& Filters() const { return filters_; }

   private:
    std::vector<FilterEntry> filters_;
  };
};
