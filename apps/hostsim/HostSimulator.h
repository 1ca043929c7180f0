#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "HostSimOptions.h"
#include "HostSimSummary.h"

// Runs the scene of `options` (real time, or on the simulated clock) and
// fills `summary`. Writes the status lines and the summary to `out` (null:
// nothing is printed). Returns 0 when every check passed, 1 when a check
// failed (the reasons are in summary.failures), 3 when the run could not be
// set up (the reason is the one failure).
int RunHostSimulator(const HostSimOptions& options, HostSimSummary& summary, FILE* out);

