// The real-time measurements: the terminal program on the real clock, in process against
// the simulated adapter and over a pty against the virtual device, and the Windows program
// under Wine. Each is timed from its transcript and held against the same update in
// virtual time.
#pragma once

#include <string>

#include "bench/report.h"

namespace bench {

// `bin`: the build folder; `out`: the folder for the runs' transcripts. Each real-time
// update is the first of the healthy scenario, held against the same update in virtual
// time.
void MeasureRealTime(Report* report, const std::string& bin, const std::string& out);

} // namespace bench
