#pragma once
#include "foundation/kaExport.h"

// Version of the library the process runs with, as "major.minor.patch".
KASP2_EXPORT const char* kaLibraryVersion();
