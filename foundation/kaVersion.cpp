#include "foundation/kaVersion.h"

const char* kaLibraryVersion() { return "0.1.0"; }
