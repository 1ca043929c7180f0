#pragma once
// Umbrella header of libkasp2.
#include "foundation/kaFoundation.h"
