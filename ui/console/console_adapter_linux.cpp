// The real adapter on Linux. This build carries no Linux adapter driver yet, so the
// program says so and runs only against the simulated bench.
#include "ui/console/console.h"

bool InstallRealAdapter(std::string* why) {
    *why = "this build has no Linux adapter driver yet; run the simulated device with "
           "--simulate (see --help)";
    return false;
}
