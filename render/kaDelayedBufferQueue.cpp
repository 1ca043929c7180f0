#include "render/kaDelayedBufferQueue.h"

// The video renderer's queue, compiled and exported once here.
template class kaDelayedBufferQueue<kaBuffer2>;
