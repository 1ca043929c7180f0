#pragma once
// What libkasp2 uses of the foundation library (libtolm) and the
// media-description library (libvesk). Library code includes this header,
// never the stand-ins' sources.
#include "foundation/kaExport.h"
#include "tolm/tolm.h"
#include "vesk/vesk.h"
#include "foundation/kaRef.h"
#include "foundation/kaRequiredLock.h"
