// The real-time measurements: the terminal program on the real clock, in process against
// the simulated adapter and over a pty against the virtual device, and the Windows program
// under Wine. Each is timed from its transcript and held against the same update in
// virtual time.
#pragma once

#include <string>

#include "bench/report.h"
#include "bench/virtual_run.h"

namespace bench {

// `bin`: the build folder. `healthy`: the virtual-time run of the healthy scenario, whose
// first update is the same update as the real-time runs make.
void MeasureRealTime(Report* report, const std::string& bin, const ScenarioRun& healthy);

} // namespace bench
