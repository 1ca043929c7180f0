#include "HostCallbacks.h"

#include <new>

HostCallbacks::Ptr HostCallbacks::Make() { return Ptr(new (std::nothrow) HostCallbacks()); }

void HostCallbacks::VideoReceived(const std::string&, kaBuffer2Producer&) {
  videoCalls_.fetch_add(1, std::memory_order_relaxed);
}

void HostCallbacks::AudioReceived(const std::string&, kaOptimizedBuffer2Producer&) {
  audioCalls_.fetch_add(1, std::memory_order_relaxed);
}
