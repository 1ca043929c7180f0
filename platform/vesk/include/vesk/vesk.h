#pragma once
// All of libvesk.
#include "vesk/veAudioFormat.h"
#include "vesk/veMediaRecord.h"
#include "vesk/veMediaType.h"
#include "vesk/veRasterType.h"
#include "vesk/veTimeRange.h"
#include "vesk/veVelBridge.h"
